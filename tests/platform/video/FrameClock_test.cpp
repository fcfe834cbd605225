#include <gtest/gtest.h>

#include "platform/video/FrameClock.h"

using ek::video::FrameClock;

TEST(FrameClock, PacedFramesAreDueAtTheirStreamTimeFromTheFirstFrame) {
    FrameClock clock(FrameClock::Mode::Paced, 4);
    EXPECT_EQ(clock.stamp(5000, 40, 100000), 100000);  // anchors
    EXPECT_EQ(clock.stamp(5040, 40, 100001), 100040);  // due later: the caller waits
    EXPECT_EQ(clock.stamp(5080, 40, 100900), 100080);  // late but within a second: keeps the schedule
    EXPECT_EQ(clock.stamp(5120, 40, 101200), 101200);  // more than a second late: re-anchors
    EXPECT_EQ(clock.stamp(5160, 40, 101201), 101240);
}

TEST(FrameClock, StreamTimeGoingBackwardsReanchors) {
    FrameClock clock(FrameClock::Mode::Paced, 4);
    clock.stamp(3960, 40, 100000);
    EXPECT_EQ(clock.stamp(0, 40, 100040), 100040);
    EXPECT_EQ(clock.stamp(40, 40, 100041), 100080);
}

TEST(FrameClock, LiveFramesAreNeverAheadOfTheWallClock) {
    FrameClock clock(FrameClock::Mode::Live, 4);
    EXPECT_EQ(clock.stamp(0, 40, 100000), 100000);
    EXPECT_EQ(clock.stamp(40, 40, 100045), 100040);   // network jitter smoothed
    EXPECT_EQ(clock.stamp(80, 40, 100050), 100050);   // early: capped at now
    EXPECT_EQ(clock.stamp(120, 40, 100400), 100400);  // drifted beyond 4 intervals: re-anchored
    EXPECT_EQ(clock.stamp(160, 40, 100441), 100440);
}

TEST(FrameClock, TimestampsStayStrictlyIncreasing) {
    for (auto mode : {FrameClock::Mode::Unpaced, FrameClock::Mode::Live, FrameClock::Mode::Paced}) {
        FrameClock clock(mode, 4);
        int64_t last = clock.stamp(0, 40, 1000);
        for (int i = 1; i < 10; ++i) {
            const int64_t ts = clock.stamp(0, 40, 1000);  // same stream time and wall time
            EXPECT_GT(ts, last);
            last = ts;
        }
        clock.restart();
        EXPECT_GT(clock.stamp(0, 40, 900), last);  // a reopen with a clock step back
    }
}
