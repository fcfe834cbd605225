#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>

// One reported trigger event.
struct TriggeredEventStat {
    int64_t durationMs = 0;                   // trigger time to the end of the report
    std::map<std::string, int> numberFrames;  // camera name -> frames collected (pre and post)
    int numberPlates = 0;                     // plate detections posted
    int numberCameras = 0;                    // cameras in numberFrames
    int collectedFrames = 0;                  // sum of numberFrames
    int expectedFrames = 0;                   // sum of pre + post over the collected lane cameras
    bool timedOut = false;                    // claimed frames that never came back were left out

    bool incomplete() const { return timedOut || collectedFrames < expectedFrames; }
};

// Smallest and largest of a series; {"min", "max"}.
struct TriggeredStatAgg {
    int64_t cnt = 0;
    int64_t mn = 0;
    int64_t mx = 0;

    void add(int64_t value);
    nlohmann::json toJson() const;
};

// The triggered builder's statistics over its last `maxSize` reports. Safe from any thread: the
// reporting threads update, the worker and the statistics thread read.
class TriggeredEventBuilderStatistics {
  public:
    explicit TriggeredEventBuilderStatistics(uint64_t maxSize = 100) : maxSize(maxSize) {}

    // Appends a stat and drops the oldest beyond maxSize.
    void update(const TriggeredEventStat& stat);
    // Integer mean of durationMs; 0 without stats.
    int64_t avgLatency() const;
    // {"sizeStatistics", "avgLatency", "minLatency", "maxLatency", "numberPlates", "numberCameras",
    // "incompleteEvents", and per camera name {"numberFrames": {"min", "max"}}}; without stats only
    // the count, the three latencies and "incompleteEvents", all 0. A camera named like a fixed key
    // is left out (the fixed key keeps its meaning).
    nlohmann::json get() const;

  private:
    mutable std::mutex mtx;
    const uint64_t maxSize;
    std::deque<TriggeredEventStat> data;
};
