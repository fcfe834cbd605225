#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <mutex>
#include <string>

#include "qo_common/utils/FPSMeter.h"

namespace ek::video {

// Counters of one source, written by its producer thread and read from any thread.
class SourceStatistics {
  public:
    explicit SourceStatistics(int64_t fpsIntervalMs) : fps_(fpsIntervalMs) {}

    void opened(int width, int height, const std::string& codec, const std::string& format,
                double nominalFps);
    void openFailed(const std::string& reason);
    void frameDelivered(int64_t timestamp);
    void dropped();
    void setBufferedPackets(uint64_t packets);

    // frames decoded, frame rate, drops, reconnects, resolution, codec, `online` as given.
    nlohmann::json json(bool online) const;
    double nominalFps() const;

  private:
    mutable std::mutex mutex_;
    FPSMeter fps_;
    uint64_t frames_ = 0;
    uint64_t drops_ = 0;
    uint64_t opens_ = 0;
    uint64_t failedOpens_ = 0;
    uint64_t bufferedPackets_ = 0;
    int width_ = 0;
    int height_ = 0;
    double nominalFps_ = 0.0;
    int64_t lastFrameTs_ = 0;
    std::string codec_;
    std::string format_;
    std::string lastError_;
};

}  // namespace ek::video
