#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "qo_common/event_poster/QEVATriggerEvent.h"
#include "qo_common/utils/FrameWithInfo.h"
#include "src/event_builder/EventBuilderMode.h"

// What the pipeline core knows of an event builder.
//
// Threads: start() runs once on the main thread before the builder's worker starts; consume() is
// called only from that one worker; trigger() from trigger threads, concurrently with consume()
// and with other trigger() calls; getStatString() and getStatistics() from the statistics thread
// and from the worker. Neither calls it under the context lock, so getStatistics() may lock the
// builder's own state; a builder never holds a lock of its own while it takes the context lock.
class IEventBuilderComponent {
  public:
    virtual ~IEventBuilderComponent() = default;

    virtual void start() = 0;
    // One frame of the builder's input queue, the poison frame included (that is the stop).
    virtual void consume(std::shared_ptr<FrameWithInfo> frame) = 0;
    // No frame has reached the worker for `sinceLastFrame`: the time-based work that frames would
    // otherwise drive (sweeps due by frame time, return bounds). Worker thread only.
    virtual void idle(std::chrono::milliseconds sinceLastFrame) { (void)sinceLastFrame; }
    // The input has ended and every frame read has been consumed: report every open event that has
    // its detections as if its forget time had passed, and return once those reports have finished
    // (or at once when the stop is requested meanwhile). Worker thread only.
    virtual void flush() {}
    // How long after its last reading an open event may still wait for its report: what a drain of
    // this builder may need beyond its own work.
    virtual std::chrono::milliseconds settleTime() const { return std::chrono::milliseconds{0}; }
    // An accepted external trigger with the ids of the lane's online cameras.
    virtual void trigger(const QEVATriggerEvent& trigger, const std::vector<int>& cameraIds) = 0;
    virtual int laneId() const = 0;
    virtual std::string laneName() const = 0;
    // One-line summary for the periodic statistics log.
    virtual std::string getStatString() const = 0;
    // The builder's statistics object for the status document.
    virtual nlohmann::json getStatistics() const = 0;
    virtual EventBuilderMode mode() const = 0;

    // The configured name: key of the input queue and of the builder's status entry.
    std::string name;
};
