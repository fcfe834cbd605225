#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "qo_common/utils/FrameWithInfo.h"
#include "qo_common/utils/blocking_queue.h"

// The frame queue between a producer (or the triggered builder) and its balancer thread.
//
// Skip rule (only when built with triggered == false): the queue keeps a running mean of the
// processing time that the builder reports back for processed frames. A frame is marked `skip`
// when, at the moment it is popped, more frames wait behind it than the pipeline can work off
// within one mean processing time at the producer's frame rate — precisely, when
// waiting >= capacity / 2 and the mean processing time exceeds the mean frame interval seen by
// push. Skipped frames still travel on (the networks pass them untouched), so nothing is lost.
// A triggered queue (triggered == true) never marks a frame: every claimed frame must come back
// inferred, or its triggered event would wait for ever.
class balance_queue {
public:
    balance_queue(uint64_t capacity, bool triggered);

    // Waits while full; drops the frame once poisoned.
    void push(const FrameWithInfoPtr& frame);
    // Waits while empty; gives the poison frame after poison().
    FrameWithInfoPtr pop();
    // Processing time of a frame that came back processed.
    void reportProcessTime(double ms);
    std::string getStat() const;
    void poison(const FrameWithInfoPtr& frame);

    uint64_t size() const { return queue_->size(); }
    uint64_t capacity() const { return queue_->capacity(); }
    bool triggered() const { return triggered_; }

private:
    class FrameQueue : public blocking_queue<FrameWithInfoPtr> {
    public:
        using blocking_queue<FrameWithInfoPtr>::blocking_queue;
    };

    bool shouldSkip(uint64_t waiting) const;

    std::unique_ptr<FrameQueue> queue_;
    const bool triggered_;
    mutable std::mutex statsMutex_;
    double meanProcessMs_ = 0.0;
    double meanIntervalMs_ = 0.0;
    int64_t lastPushTs_ = 0;
    std::atomic<uint64_t> pushed_{0};
    std::atomic<uint64_t> popped_{0};
    std::atomic<uint64_t> skipped_{0};
    std::atomic<uint64_t> reported_{0};
};
