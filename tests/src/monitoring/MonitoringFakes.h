#pragma once

#include <nlohmann/json.hpp>

#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>

#include "tests/src/FakeEventBuilder.h"
#include "tests/src/FakeVideoSource.h"

// A fake event builder whose summary and statistics a test sets; failSummary() makes
// getStatString throw, as a builder in trouble may.
class MonitoredBuilder : public FakeEventBuilder {
  public:
    MonitoredBuilder(const std::string& builderName, std::string summary, nlohmann::json statistics)
        : FakeEventBuilder(builderName, 1, EventBuilderMode::NonTriggered),
          summary_(std::move(summary)),
          statistics_(std::move(statistics)) {}

    std::string getStatString() const override {
        std::lock_guard<std::mutex> guard(mutex_);
        if (failSummary_) {
            throw std::runtime_error("summary of " + name + " failed");
        }
        return summary_;
    }
    nlohmann::json getStatistics() const override {
        std::lock_guard<std::mutex> guard(mutex_);
        return statistics_;
    }
    void failSummary() {
        std::lock_guard<std::mutex> guard(mutex_);
        failSummary_ = true;
    }

  private:
    mutable std::mutex mutex_;
    std::string summary_;
    nlohmann::json statistics_;
    bool failSummary_ = false;
};

// A fake video source that gives the statistics a test sets (null by default).
class MonitoredSource : public FakeVideoSource {
  public:
    MonitoredSource(const std::string& name, nlohmann::json statistics)
        : FakeVideoSource(name, 1, 1), statistics_(std::move(statistics)) {}

    nlohmann::json getStatistics() const override {
        std::lock_guard<std::mutex> guard(mutex_);
        return statistics_;
    }

  private:
    mutable std::mutex mutex_;
    nlohmann::json statistics_;
};
