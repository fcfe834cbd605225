#include "qo_common/utils/FPSMeter.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

TEST(FPSMeterTest, RateOfTheLastClosedInterval) {
    FPSMeter meter(1000);
    // 25 frames a second: calls at 0, 40, ..., 960 keep the first interval open.
    for (int64_t t = 0; t < 1000; t += 40) {
        EXPECT_EQ(meter.getFps(t), 0.0) << t;
    }
    EXPECT_DOUBLE_EQ(meter.getFps(1000), 25.0);
    EXPECT_DOUBLE_EQ(meter.fps(), 25.0);
    // Then 10 frames a second over the next interval; the old rate holds until it closes.
    for (int64_t t = 1100; t < 2000; t += 100) {
        EXPECT_DOUBLE_EQ(meter.getFps(t), 25.0) << t;
    }
    EXPECT_DOUBLE_EQ(meter.getFps(2000), 10.0);
}

TEST(FPSMeterTest, LongGapGivesTheRateOverTheWholeGap) {
    FPSMeter meter(1000);
    meter.getFps(0);
    meter.getFps(500);
    EXPECT_DOUBLE_EQ(meter.getFps(4000), 0.5);  // 2 frames in 4 s
}

TEST(FPSMeterTest, FpsDoesNotCount) {
    FPSMeter meter(100);
    meter.getFps(0);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(meter.fps(), 0.0);
    }
    EXPECT_DOUBLE_EQ(meter.getFps(100), 10.0);  // one frame in 100 ms
}

TEST(FPSMeterTest, RefusesAnIntervalThatIsNotPositive) {
    EXPECT_THROW(FPSMeter(0), std::invalid_argument);
    EXPECT_THROW(FPSMeter(-5), std::invalid_argument);
}

}  // namespace
