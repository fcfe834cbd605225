#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "qo_common/utils/FrameWithInfo.h"
#include "qo_common/utils/limited_queue.h"

// The triggered builder's ring of one camera's latest frames (TriggeredEventBuilder::Buffer): the
// builder's worker pushes, trigger threads collect the frames around a trigger time with
// getPrePost. A full ring overwrites its oldest frame; a poisoned ring holds nothing and ignores
// pushes.
//
// Threads: push from the worker, getPrePost from any number of trigger threads at once. A walk
// holds the ring's lock except while it waits, so a push waits at most for one walk step.
class TriggeredFrameRing : public limited_queue<std::shared_ptr<FrameWithInfo>> {
  public:
    using FramePtr = std::shared_ptr<FrameWithInfo>;
    // Frame guid -> frame.
    using Frames = std::map<std::string, FramePtr>;

    // How long a collection may wait. Tests shorten them; the service keeps the defaults.
    struct Limits {
        // One wait for the next frame.
        std::chrono::milliseconds frameWait{10000};
        // A trigger time further ahead of the clock than this is given up at once: no camera
        // delivers a frame that far in the future within a wait.
        std::chrono::milliseconds futureHorizon{5000};
        // An empty ring whose trigger time is older than this is not waited for: any frame that
        // arrives later is newer than the trigger time, so the camera cannot contribute.
        std::chrono::milliseconds staleEmpty{1000};
    };

    // Most frames one collection takes per part (pre or post); larger settings count as this.
    static constexpr int kMaxCollected = 10000;

    explicit TriggeredFrameRing(uint64_t capacity = 1);
    TriggeredFrameRing(uint64_t capacity, Limits limits);

    // The frames of the ring around `ts` (ms): with `pre` > 0 the last `pre` frames before the
    // start frame (the first frame at or after `ts`), once the start frame has arrived; with
    // `post` > 0 the start frame and the frames after it, `post` in all when they arrive in time.
    // Empty when the ring no longer reaches back to `ts`, when no start frame arrives, and at once
    // for a poisoned ring, a never-fed ring whose `ts` is stale, a `ts` beyond the future horizon,
    // or nothing to collect (`pre` and `post` not above 0). The search for the start frame ends
    // at the latest one frame wait after the clock passes `ts`; the post walk waits at most one
    // frame wait per missing frame. Negative `pre` and `post` count as 0, larger ones than
    // kMaxCollected as kMaxCollected. `srcId`, `triggerId` and `stage` ("pre" or "post") name the
    // collection in the log lines only.
    Frames getPrePost(int64_t ts, int pre, int post, int srcId, int64_t triggerId, const char* stage);

    const Limits& limits() const { return limits_; }
    // Waits for a push begun so far by all walks: lets a feeder push exactly when a walk waits.
    uint64_t waitsBegun() const { return waitsBegun_.load(); }

  private:
    using Lock = std::unique_lock<std::mutex>;
    using Clock = std::chrono::steady_clock;

    struct Walk;

    // Waits (lock held on entry and return) until a push after `seen` pushes, a poison, or
    // `deadline`; true when a new frame came.
    bool waitForPush(Lock& lock, uint64_t seen, Clock::time_point deadline);
    // Walks to the first frame at or after the trigger time, keeping the frames passed over in
    // the walk's pre ring; false (and the walk ends empty) when none arrives or the ring is poisoned.
    bool findStartFrame(Lock& lock, Walk& walk, iterator& position);
    void collectPost(Lock& lock, Walk& walk, iterator& position);
    void logTimeout(const Walk& walk, const char* reason);
    int64_t oldestTs();
    int64_t newestTs();

    Limits limits_;
    std::atomic<uint64_t> waitsBegun_{0};
};
