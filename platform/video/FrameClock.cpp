#include "FrameClock.h"

#include <algorithm>
#include <cstdlib>

namespace ek::video {

namespace {

constexpr int64_t kMaxLateMs = 1000;
constexpr double kMinDriftMs = 100.0;

}  // namespace

int64_t FrameClock::stamp(int64_t mediaMs, double intervalMs, int64_t nowMs) {
    int64_t ts = nowMs;
    if (mode_ == Mode::Paced) {
        ts = anchoredTime(mediaMs, intervalMs, nowMs);
    } else if (mode_ == Mode::Live) {
        // A frame that arrives early (a burst after a network stall) is not stamped in the future.
        ts = std::min(anchoredTime(mediaMs, intervalMs, nowMs), nowMs);
    }
    last_ = std::max(ts, last_ + 1);
    return last_;
}

int64_t FrameClock::anchoredTime(int64_t mediaMs, double intervalMs, int64_t nowMs) {
    // Stream time that goes backwards (a loop, a camera restart) starts a new anchor.
    if (anchored_ && mediaMs < lastMedia_) {
        anchored_ = false;
    }
    lastMedia_ = mediaMs;
    int64_t due = anchorWall_ + (mediaMs - anchorMedia_);
    if (anchored_) {
        const bool resync = mode_ == Mode::Paced
                                ? nowMs - due > kMaxLateMs
                                : std::llabs(due - nowMs) > std::max(kMinDriftMs, jitterFrames_ * intervalMs);
        anchored_ = !resync;
    }
    if (!anchored_) {
        anchored_ = true;
        anchorWall_ = nowMs;
        anchorMedia_ = mediaMs;
        due = nowMs;
    }
    return due;
}

}  // namespace ek::video
