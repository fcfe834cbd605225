#pragma once

#include <cstdint>

namespace ek::video {

// Gives each frame of a source its timestamp on the wall clock (epoch ms), strictly increasing
// over the whole life of the source, also across reopens.
//  - Paced: a file delivered at its frame rate. Stream time is anchored to the wall clock at the
//    first frame; a frame is due at anchor + its stream time, and the caller waits until then.
//    A frame more than a second late re-anchors, so a slow consumer never causes a burst.
//  - Live: a network stream, never waited for. Stream time anchored the same way smooths network
//    jitter (never ahead of the wall clock); when it drifts from the wall clock by more than
//    `jitterFrames` frame intervals it is re-anchored.
//  - Unpaced: the wall clock at delivery.
class FrameClock {
  public:
    enum class Mode { Paced, Live, Unpaced };

    FrameClock(Mode mode, int jitterFrames) : mode_(mode), jitterFrames_(jitterFrames) {}

    // A new stream starts: the next frame anchors again.
    void restart() { anchored_ = false; }
    // The timestamp of a frame at stream time `mediaMs`, given `nowMs`; `intervalMs` is the
    // nominal frame interval. Only a Paced frame can be due later than `nowMs`.
    int64_t stamp(int64_t mediaMs, double intervalMs, int64_t nowMs);
    int64_t last() const { return last_; }

  private:
    int64_t anchoredTime(int64_t mediaMs, double intervalMs, int64_t nowMs);

    const Mode mode_;
    const int jitterFrames_;
    bool anchored_ = false;
    int64_t anchorWall_ = 0;
    int64_t anchorMedia_ = 0;
    int64_t lastMedia_ = 0;
    int64_t last_ = 0;
};

}  // namespace ek::video
