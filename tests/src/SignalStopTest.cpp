#include "src/SignalStop.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

bool waitFor(const std::atomic<int>& value, int expected) {
    const auto guard = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (value.load() != expected && std::chrono::steady_clock::now() < guard) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return value.load() == expected;
}

// The signals go to the whole process; SignalStop is made before any other thread, as in main.
TEST(SignalStopTest, TheFirstSignalStopsOnceInTheWatcherAndLaterOnesAreIgnored) {
    std::atomic<int> calls{0};
    std::atomic<int> lastSignal{0};
    {
        ek::SignalStop signals;
        signals.start([&](int signal) {
            lastSignal = signal;
            ++calls;
        });
        ::kill(::getpid(), SIGTERM);
        ASSERT_TRUE(waitFor(calls, 1));
        EXPECT_EQ(lastSignal.load(), SIGTERM);
        ::kill(::getpid(), SIGINT);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(calls.load(), 1);
    }
    // The watcher is joined and the previous mask is back: the process still runs.
    sigset_t mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    EXPECT_EQ(sigismember(&mask, SIGTERM), 0);
}

TEST(SignalStopTest, ASignalBeforeStartIsTakenOnceTheWatcherRuns) {
    std::atomic<int> calls{0};
    ek::SignalStop signals;
    ::kill(::getpid(), SIGINT);  // blocked, so it waits
    signals.start([&](int signal) {
        EXPECT_EQ(signal, SIGINT);
        ++calls;
    });
    EXPECT_TRUE(waitFor(calls, 1));
}

TEST(SignalStopTest, StoppingWithoutASignalCallsNothing) {
    std::atomic<int> calls{0};
    ek::SignalStop signals;
    signals.start([&](int) { ++calls; });
    signals.stop();
    signals.stop();
    EXPECT_EQ(calls.load(), 0);
}

}  // namespace
