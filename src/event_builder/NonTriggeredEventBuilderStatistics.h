#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <deque>
#include <mutex>

#include "src/event_builder/Event.h"

// The statistics of the last closed events of a non-triggered builder: one entry per closed event,
// oldest first, at most maxSize. The builder's worker pushes; the worker and the statistics thread
// read through get(). Every access takes mtx.
class NonTriggeredEventBuilderStatistics {
  public:
    // Appends a copy of the event's statistics and drops the oldest entries beyond maxSize.
    void push(const EventGroupStatistics& event);

    // {"sizeStatistics", "avgLatency", "minLatency", "maxLatency"} and, per camera name seen in any
    // entry, {"avgNumberIncomingFrames", "avgNumberPersonFrames"} (each present when the camera
    // occurs in that map of some entry). Averages divide by the number of entries (integer
    // division); without entries every figure is 0 and there is no camera.
    nlohmann::json get() const;

    mutable std::mutex mtx;
    uint64_t maxSize = 100;
    std::deque<EventGroupStatistics> data;
};
