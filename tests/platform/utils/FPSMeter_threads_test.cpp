#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "qo_common/utils/FPSMeter.h"

namespace {

TEST(FPSMeterThreadsTest, CountsEveryCallFromManyThreads) {
    FPSMeter meter(1000);
    meter.getFps(0);
    constexpr int kThreads = 4;
    constexpr int kCalls = 5000;
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&] {
            for (int k = 0; k < kCalls; ++k) {
                meter.getFps(0);
                meter.fps();
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_DOUBLE_EQ(meter.getFps(1000), kThreads * kCalls + 1.0);
}

}  // namespace
