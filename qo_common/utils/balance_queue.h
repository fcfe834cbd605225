#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "qo_common/utils/FrameWithInfo.h"
#include "qo_common/utils/blocking_queue.h"

// The frame queue between a producer (or the triggered builder) and its balancer thread.
// Any number of threads may push; one balancer thread pops; getStat may be called from any thread.
//
// Skip rule (only when built with triggered == false): the queue keeps two running means, each
// updated as mean = (mean * 9 + sample) / 10 after a first sample taken as it is:
//  - the processing time that the builder reports back for processed frames (reportProcessTime);
//  - the frame interval, from the timestamps of consecutive pushed frames (frame->frame->timestamp;
//    a difference that is not positive, e.g. after a reconnect, is left out).
// A popped frame is marked `skip` when, right after the pop, at least max(1, capacity / 2) frames
// still wait in the queue and the mean processing time exceeds the mean frame interval: the
// pipeline is falling behind the camera. The poison frame is never marked. Skipped frames still
// travel on (the networks pass them untouched), so nothing is lost.
//
// A triggered queue (triggered == true) never marks a frame and clears a `skip` flag that a frame
// brings along: every claimed frame must come back inferred, or its triggered event would wait
// for ever. Neither kind drops a frame before poison().
class balance_queue {
  public:
    // Throws std::invalid_argument for capacity 0, whose push could never complete.
    balance_queue(uint64_t capacity, bool triggered);
    balance_queue(const balance_queue&) = delete;
    balance_queue& operator=(const balance_queue&) = delete;

    // Waits while full; drops the frame once poisoned.
    void push(const FrameWithInfoPtr& frame);
    // Waits while empty; gives the poison frame after poison(). May set the frame's `skip` (see above).
    FrameWithInfoPtr pop();
    // Processing time in ms of a frame that came back processed; negative or non-finite values are
    // ignored.
    void reportProcessTime(double ms);
    // One line: fill level, counts and the two means, e.g.
    // "size 3/10, pushed 120, popped 117, skipped 4, process 52.1 ms, interval 40.0 ms".
    std::string getStat() const;
    // Discards the queued frames and leaves `frame` (a poison frame) as the only item.
    void poison(const FrameWithInfoPtr& frame);

    uint64_t size() const { return queue_.size(); }
    uint64_t capacity() const { return queue_.capacity(); }
    bool triggered() const { return triggered_; }
    uint64_t skipped() const { return skipped_.load(); }

  private:
    static uint64_t checkedCapacity(uint64_t capacity);
    void noteInterval(int64_t timestamp);
    bool shouldSkip(uint64_t waiting) const;

    blocking_queue<FrameWithInfoPtr> queue_;
    const bool triggered_;
    mutable std::mutex statsMutex_;
    double meanProcessMs_ = 0.0;
    double meanIntervalMs_ = 0.0;
    bool haveProcess_ = false;
    bool haveInterval_ = false;
    bool haveLastTs_ = false;
    int64_t lastPushTs_ = 0;
    std::atomic<uint64_t> pushed_{0};
    std::atomic<uint64_t> popped_{0};
    std::atomic<uint64_t> skipped_{0};
};
