#include "src/event_builder/TriggeredFrameRing.h"

#include <algorithm>
#include <utility>

#include "qo_common/logger/log.h"
#include "qo_common/utils/CommonUtils.h"

struct TriggeredFrameRing::Walk {
    int64_t ts = 0;
    int pre = 0;
    int post = 0;
    int srcId = 0;
    int64_t triggerId = 0;
    const char* stage = "";
    limited_queue<FramePtr> preRing;  // the last `pre` frames passed over
    Frames result;
};

TriggeredFrameRing::TriggeredFrameRing(uint64_t capacity) : TriggeredFrameRing(capacity, Limits{}) {}

TriggeredFrameRing::TriggeredFrameRing(uint64_t capacity, Limits limits)
    : limited_queue<FramePtr>(capacity), limits_(limits) {}

TriggeredFrameRing::Frames TriggeredFrameRing::getPrePost(int64_t ts, int pre, int post, int srcId,
                                                          int64_t triggerId, const char* stage) {
    // Camera settings: a negative one collects nothing, and none may make a collection unbounded.
    pre = std::clamp(pre, 0, kMaxCollected);
    post = std::clamp(post, 0, kMaxCollected);
    Walk walk{ts, pre, post, srcId, triggerId, stage, limited_queue<FramePtr>(static_cast<uint64_t>(pre)),
              {}};
    Lock lock(_mutex);
    if (_is_poisoned || (pre == 0 && post == 0)) {
        return {};
    }
    const int64_t now = CommonUtils::getTs();
    if (ts - now > limits_.futureHorizon.count()) {
        logTimeout(walk, "search_start_frame");
        return {};
    }
    if (_queue.empty()) {
        if (now - ts > limits_.staleEmpty.count()) {
            logTimeout(walk, "empty_stale");
            return {};
        }
        waitForPush(lock, _counter, Clock::now() + limits_.frameWait);
        if (_is_poisoned) {
            return {};
        }
        if (_queue.empty()) {
            logTimeout(walk, "empty_after_wait");
            return {};
        }
    }
    if (ts < oldestTs()) {
        ILog::Warning(
            "Buffer: There are no data in the buffer during this interval. stage=%s triggerId=%li srcId=%i "
            "oldestTs=%li ts=%li",
            stage, static_cast<long>(triggerId), srcId, static_cast<long>(oldestTs()), static_cast<long>(ts));
        return {};
    }
    iterator position = begin();
    if (!findStartFrame(lock, walk, position)) {
        return {};
    }
    ILog::Debug("Buffer: Found start frame: timastamp delta = %li",
                static_cast<long>((*position)->frame->timestamp - ts));
    ILog::Debug("Buffer: pre buffer size = %li", static_cast<long>(walk.preRing.size()));
    for (const auto& frame : walk.preRing.poison()) {
        walk.result.emplace(frame->frame->guid, frame);
    }
    collectPost(lock, walk, position);
    return std::move(walk.result);
}

bool TriggeredFrameRing::waitForPush(Lock& lock, uint64_t seen, Clock::time_point deadline) {
    ++waitsBegun_;
    _not_empty.wait_until(lock, deadline, [&] { return _counter != seen || _is_poisoned; });
    return _counter != seen && !_is_poisoned;
}

bool TriggeredFrameRing::findStartFrame(Lock& lock, Walk& walk, iterator& position) {
    // However many frames keep arriving, the search ends one frame wait after the clock has
    // passed the trigger time.
    const int64_t ahead = std::max<int64_t>(walk.ts - CommonUtils::getTs(), 0);
    const auto deadline = Clock::now() + std::chrono::milliseconds(ahead) + limits_.frameWait;
    for (;;) {
        for (; !position.atEnd(); ++position) {
            const FramePtr& frame = *position;
            if (frame->frame->timestamp >= walk.ts) {
                return true;
            }
            walk.preRing.push(frame);
        }
        const auto waitEnd = std::min(Clock::now() + limits_.frameWait, deadline);
        if (!waitForPush(lock, _counter, waitEnd)) {
            if (!_is_poisoned) {
                logTimeout(walk, "search_start_frame");
            }
            return false;
        }
    }
}

void TriggeredFrameRing::collectPost(Lock& lock, Walk& walk, iterator& position) {
    int taken = 0;
    while (taken < walk.post) {
        for (; taken < walk.post && !position.atEnd(); ++position, ++taken) {
            const FramePtr& frame = *position;
            walk.result.emplace(frame->frame->guid, frame);
        }
        if (taken >= walk.post) {
            return;
        }
        if (!waitForPush(lock, _counter, Clock::now() + limits_.frameWait)) {
            if (!_is_poisoned) {
                logTimeout(walk, "collect_post_frames");
            }
            return;
        }
    }
}

void TriggeredFrameRing::logTimeout(const Walk& walk, const char* reason) {
    ILog::Warning(
        "Buffer: Timeout. stage=%s reason=%s triggerId=%li srcId=%i ts=%li pre=%i post=%i qsize=%ld "
        "oldestTs=%li "
        "newestTs=%li",
        walk.stage, reason, static_cast<long>(walk.triggerId), walk.srcId, static_cast<long>(walk.ts),
        walk.pre, walk.post, static_cast<long>(_queue.size()), static_cast<long>(oldestTs()),
        static_cast<long>(newestTs()));
}

int64_t TriggeredFrameRing::oldestTs() {
    return _queue.empty() ? 0 : (*this)[0]->frame->timestamp;
}

int64_t TriggeredFrameRing::newestTs() {
    return _queue.empty() ? 0 : (*this)[_queue.size() - 1]->frame->timestamp;
}
