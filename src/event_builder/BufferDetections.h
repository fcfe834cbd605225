#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "qo_common/utils/limited_queue.h"
#include "qo_common/yolo/YoloObjectInfo.h"

// One YOLO object of one frame, marked with the event that its plate joined.
struct Detection {
    YoloObjectInfo yolo;
    uint64_t idEvent = 0;     // 0 when no plate reading of the object joined an event
    bool foundEvent = false;  // true when one did
};

// Per-camera ring of (frame timestamp in ms, the frame's detections), pushed by the builder's
// worker in frame order and read by report threads through rects().
class BufferDetections : public limited_queue<std::pair<int64_t, std::vector<Detection>>> {
  public:
    using Entry = std::pair<int64_t, std::vector<Detection>>;
    using Rects = std::map<int64_t, std::vector<Detection>>;

    // rects() never waits past one deadline set when it is called:
    //   now + clamp(stop - now, 0, kMaxWaitAhead) + grace
    // so an interval that ends in the future is waited for (at most kMaxWaitAhead ahead), plus a
    // grace (kDefaultGrace unless given at construction) for the frames still in the pipeline.
    static constexpr std::chrono::milliseconds kMaxWaitAhead{60000};
    static constexpr std::chrono::milliseconds kDefaultGrace{10000};

    // grace: see above; tests shorten it.
    explicit BufferDetections(uint64_t capacity = 1, std::chrono::milliseconds grace = kDefaultGrace);

    // The entries with start <= timestamp <= stop, keyed by timestamp (a repeated timestamp keeps
    // the later entry). Blocks until an entry later than stop has been pushed, and returns early:
    //   - empty at once when start > stop;
    //   - empty, with a Warning, when the oldest entry is already later than stop, or when the
    //     first entry found after start is later than stop (no frame inside the interval);
    //   - what was gathered when the ring is poisoned (empty while still searching);
    //   - what was gathered, with a Warning, at the deadline.
    // Safe from any number of threads while the worker pushes; holds the ring's mutex except while
    // waiting.
    Rects rects(long start, long stop);
    // No entry will come any more (the input has ended): rects() stops waiting, now and later, and
    // gives what the ring holds of its interval. Pushes are still taken.
    void close();

  private:
    using Clock = std::chrono::steady_clock;

    Clock::time_point deadlineFor(long stop) const;
    // Waits until `it` stands on an entry, the ring is poisoned or the deadline passes; true when
    // there is an entry to read.
    bool waitForEntry(std::unique_lock<std::mutex>& lock, iterator& it, Clock::time_point deadline);
    // Walks to the first entry inside [start, stop]; false when there is none to wait for.
    bool findStart(std::unique_lock<std::mutex>& lock, iterator& it, long start, long stop,
                   Clock::time_point deadline);
    void copyInterval(std::unique_lock<std::mutex>& lock, iterator& it, long stop, Clock::time_point deadline,
                      Rects& result);

    // True when waiting is over: poisoned, or closed.
    bool waitEnds() const { return _is_poisoned || _closed; }

    std::chrono::milliseconds _grace;  // fixed at construction
    bool _closed = false;              // guarded by _mutex
};
