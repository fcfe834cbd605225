#pragma once

#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "src/event_builder/IEventBuilderComponent.h"

// An event builder that records its triggers. With hold() its trigger() waits until release(),
// so a test can keep trigger threads running; failWith() makes trigger() throw.
class FakeEventBuilder : public IEventBuilderComponent {
  public:
    struct Call {
        QEVATriggerEvent trigger;
        std::vector<int> cameraIds;
    };

    FakeEventBuilder(const std::string& builderName, int lane, EventBuilderMode kind)
        : lane_(lane), mode_(kind) {
        name = builderName;
    }

    void start() override {}
    void consume(std::shared_ptr<FrameWithInfo>) override {}
    void trigger(const QEVATriggerEvent& te, const std::vector<int>& cameraIds) override {
        std::unique_lock<std::mutex> guard(mutex_);
        calls_.push_back({te, cameraIds});
        ++running_;
        changed_.notify_all();
        changed_.wait(guard, [this] { return !held_; });
        --running_;
        if (!failure_.empty()) {
            throw std::runtime_error(failure_);
        }
    }
    int laneId() const override { return lane_; }
    std::string laneName() const override { return "lane" + std::to_string(lane_); }
    std::string getStatString() const override { return name; }
    nlohmann::json getStatistics() const override { return nlohmann::json::object(); }
    EventBuilderMode mode() const override { return mode_; }

    void hold() {
        std::lock_guard<std::mutex> guard(mutex_);
        held_ = true;
    }
    void release() {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            held_ = false;
        }
        changed_.notify_all();
    }
    void failWith(std::string text) {
        std::lock_guard<std::mutex> guard(mutex_);
        failure_ = std::move(text);
    }
    // Waits until `n` trigger() calls are inside the builder at once.
    void waitRunning(int n) {
        std::unique_lock<std::mutex> guard(mutex_);
        changed_.wait(guard, [&] { return running_ == n; });
    }
    std::vector<Call> calls() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return calls_;
    }

  private:
    const int lane_;
    const EventBuilderMode mode_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Call> calls_;
    int running_ = 0;
    bool held_ = false;
    std::string failure_;
};
