#include "src/event_builder/BufferDetections.h"

#include <algorithm>
#include <limits>

#include "qo_common/logger/log.h"
#include "qo_common/utils/CommonUtils.h"

namespace {

// later - earlier without overflow, for timestamps that come from outside (streams, clip packets).
long timeBetween(int64_t later, int64_t earlier) {
    int64_t difference = 0;
    if (__builtin_sub_overflow(later, earlier, &difference)) {
        return later > earlier ? std::numeric_limits<long>::max() : std::numeric_limits<long>::min();
    }
    return static_cast<long>(difference);
}

}  // namespace

BufferDetections::BufferDetections(uint64_t capacity, std::chrono::milliseconds grace)
    : limited_queue(capacity), _grace(std::max(grace, std::chrono::milliseconds{0})) {}

BufferDetections::Clock::time_point BufferDetections::deadlineFor(long stop) const {
    // stop is a frame timestamp of the system clock; the wait itself runs on the steady clock.
    const int64_t ahead =
        std::clamp<int64_t>(timeBetween(stop, CommonUtils::getTs()), 0, kMaxWaitAhead.count());
    return Clock::now() + std::chrono::milliseconds{ahead} + _grace;
}

BufferDetections::Rects BufferDetections::rects(long start, long stop) {
    ILog::Debug("LQ_Rects: buffer size: %i", static_cast<int>(size()));
    if (start > stop) {
        ILog::Warning("LQ_Rects: Empty interval requested: start %ld > stop %ld", start, stop);
        return {};
    }
    const auto deadline = deadlineFor(stop);

    std::unique_lock<std::mutex> lock(_mutex);
    const bool arrived =
        _not_empty.wait_until(lock, deadline, [this] { return !_queue.empty() || waitEnds(); });
    if (_is_poisoned) {
        return {};
    }
    if (!arrived || _queue.empty()) {
        ILog::Warning("LQ_Rects: No data arrived in the buffer for the interval (%ld, %ld)", start, stop);
        return {};
    }
    const int64_t first = (*this)[0].first;
    if (stop < first) {
        ILog::Warning("LQ_Rects: There are no data in the buffer during this interval");
        return {};
    }
    if (start < first) {
        ILog::Warning(
            "LQ_Rects: A much older data is requested from the buffer. It will not be possible to get a data "
            "of "
            "the required duration. buffer first data: %li > request: %li",
            static_cast<long>(first), start);
    }

    auto it = begin();
    if (!findStart(lock, it, start, stop, deadline)) {
        return {};
    }
    ILog::Debug("LQ_Rects: Found start frame: timastamp delta = %li", timeBetween(it->first, start));
    Rects result;
    copyInterval(lock, it, stop, deadline, result);
    return result;
}

bool BufferDetections::waitForEntry(std::unique_lock<std::mutex>& lock, iterator& it,
                                    Clock::time_point deadline) {
    _not_empty.wait_until(lock, deadline, [&] { return !it.atEnd() || waitEnds(); });
    return !_is_poisoned && !it.atEnd();
}

void BufferDetections::close() {
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _closed = true;
    }
    _not_empty.notify_all();
}

bool BufferDetections::findStart(std::unique_lock<std::mutex>& lock, iterator& it, long start, long stop,
                                 Clock::time_point deadline) {
    while (true) {
        for (; !it.atEnd(); ++it) {
            const int64_t ts = it->first;
            if (ts > stop) {
                // Frames come in timestamp order: nothing inside the interval will follow.
                ILog::Warning("LQ_Rects: No frame inside the interval (%ld, %ld); the next frame is at %ld",
                              start, stop, static_cast<long>(ts));
                return false;
            }
            if (ts >= start) {
                return true;
            }
        }
        if (!waitForEntry(lock, it, deadline)) {
            if (!waitEnds()) {
                ILog::Warning("LQ_Rects: Gave up waiting for the start of the interval (%ld, %ld)", start,
                              stop);
            }
            return false;
        }
    }
}

void BufferDetections::copyInterval(std::unique_lock<std::mutex>& lock, iterator& it, long stop,
                                    Clock::time_point deadline, Rects& result) {
    while (true) {
        for (; !it.atEnd(); ++it) {
            if (it->first > stop) {
                ILog::Debug("LQ_Rects: Copy a data frames for interval");
                return;
            }
            result[it->first] = it->second;
        }
        if (!waitForEntry(lock, it, deadline)) {
            if (!waitEnds()) {
                ILog::Warning(
                    "LQ_Rects: Gave up waiting for the end of the interval at %ld: %ld frames gathered", stop,
                    static_cast<long>(result.size()));
            }
            return;
        }
    }
}
