#include "qo_common/utils/balance_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

FrameWithInfoPtr frameAt(int64_t timestamp) {
    auto frame = std::make_shared<FrameWithInfo>();
    frame->frame->timestamp = timestamp;
    return frame;
}

// Fills the queue with frames 40 ms apart (a 25 fps camera).
void fill(balance_queue& queue, size_t count, int64_t start = 0) {
    for (size_t i = 0; i < count; ++i) {
        queue.push(frameAt(start + static_cast<int64_t>(i) * 40));
    }
}

std::vector<double> withZeros(double first, size_t zeros) {
    std::vector<double> reports(zeros + 1, 0.0);
    reports[0] = first;
    return reports;
}

std::vector<bool> popSkipFlags(balance_queue& queue, size_t count) {
    std::vector<bool> flags;
    for (size_t i = 0; i < count; ++i) {
        flags.push_back(queue.pop()->skip);
    }
    return flags;
}

TEST(BalanceQueueTest, SkipsWhileHalfFullAndProcessingIsSlowerThanTheCamera) {
    balance_queue queue(10, false);
    fill(queue, 10);
    queue.reportProcessTime(100.0);  // 100 ms per frame against 40 ms between frames
    // After each pop 9, 8, ... 0 frames wait; the rule needs at least 10 / 2.
    EXPECT_EQ(popSkipFlags(queue, 10),
              (std::vector<bool>{true, true, true, true, true, false, false, false, false, false}));
    EXPECT_EQ(queue.skipped(), 5u);
}

TEST(BalanceQueueTest, NoSkipWhileProcessingKeepsUp) {
    struct Case {
        const char* name;
        std::vector<double> reports;
    };
    const Case cases[] = {
        {"faster than the camera", {10.0}},
        {"exactly the camera's pace", {40.0}},
        {"nothing reported yet", {}},
        {"only unusable reports", {-5.0, NAN, INFINITY}},
        // 400 * 0.9^22 = 39.4 ms: the running mean has come back under the 40 ms interval.
        {"mean fell back below the interval", withZeros(400.0, 22)},
    };
    for (const auto& c : cases) {
        balance_queue queue(10, false);
        fill(queue, 10);
        for (double ms : c.reports) {
            queue.reportProcessTime(ms);
        }
        EXPECT_EQ(popSkipFlags(queue, 10), std::vector<bool>(10, false)) << c.name;
    }
}

TEST(BalanceQueueTest, FrameIntervalComesFromTheFrameTimestamps) {
    balance_queue queue(10, false);
    // 200 ms apart, and a jump backwards (a reconnect) that is left out of the mean.
    const int64_t stamps[] = {10000, 10200, 10400, 500, 700, 900, 1100, 1300, 1500, 1700};
    for (int64_t ts : stamps) {
        queue.push(frameAt(ts));
    }
    queue.reportProcessTime(150.0);  // slower than 40 ms would be, but faster than 200 ms
    EXPECT_EQ(popSkipFlags(queue, 10), std::vector<bool>(10, false));
}

TEST(BalanceQueueTest, TriggeredQueueNeverSkipsAndClearsAnEarlierSkip) {
    balance_queue queue(10, true);
    fill(queue, 9);
    auto marked = frameAt(360);
    marked->skip = true;  // e.g. skipped on its first pass through the networks
    queue.push(marked);
    queue.reportProcessTime(1000.0);
    EXPECT_EQ(popSkipFlags(queue, 10), std::vector<bool>(10, false));
    EXPECT_EQ(queue.skipped(), 0u);
}

TEST(BalanceQueueTest, KeepsFifoOrderAndDropsNothingBeforePoison) {
    for (bool triggered : {false, true}) {
        balance_queue queue(4, triggered);
        std::vector<FrameWithInfoPtr> pushed;
        for (int round = 0; round < 3; ++round) {
            for (int i = 0; i < 4; ++i) {
                pushed.push_back(frameAt(round * 1000 + i));
                queue.push(pushed.back());
            }
            for (int i = 0; i < 4; ++i) {
                EXPECT_EQ(queue.pop(), pushed[static_cast<size_t>(round * 4 + i)]);
            }
        }
    }
}

TEST(BalanceQueueTest, PoisonLeavesOnlyThePoisonFrameUnmarked) {
    balance_queue queue(10, false);
    fill(queue, 10);
    queue.reportProcessTime(100.0);
    auto poison = FrameWithInfo::makePoison();
    queue.poison(poison);
    queue.push(frameAt(5000));  // dropped: the queue is poisoned
    EXPECT_EQ(queue.size(), 1u);
    auto popped = queue.pop();
    EXPECT_EQ(popped, poison);
    EXPECT_FALSE(popped->skip);
    EXPECT_EQ(queue.size(), 0u);
}

TEST(BalanceQueueTest, WriterWaitingOnAFullQueueIsReleasedByPoison) {
    balance_queue queue(2, true);
    fill(queue, 2);
    std::atomic<bool> returned{false};
    std::thread writer([&] {
        queue.push(frameAt(999));
        returned = true;
    });
    EXPECT_FALSE(returned.load());  // cannot return while the queue is full
    auto poison = FrameWithInfo::makePoison();
    queue.poison(poison);
    writer.join();
    EXPECT_EQ(queue.size(), 1u);
    EXPECT_EQ(queue.pop(), poison);
}

TEST(BalanceQueueTest, RefusesCapacityZero) {
    EXPECT_THROW(balance_queue(0, false), std::invalid_argument);
}

TEST(BalanceQueueTest, StatTextShowsFillLevelCountsAndMeans) {
    balance_queue queue(10, false);
    fill(queue, 3);
    queue.pop();
    queue.reportProcessTime(52.14);
    EXPECT_EQ(queue.getStat(), "size 2/10, pushed 3, popped 1, skipped 0, process 52.1 ms, interval 40.0 ms");
}

TEST(BalanceQueueTest, ManyWritersOneReaderWithStatisticsAlongside) {
    balance_queue queue(10, false);
    constexpr int kWriters = 3;
    constexpr int kFrames = 2000;
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([&queue, w] { fill(queue, kFrames, w * 1000000); });
    }
    std::atomic<bool> done{false};
    std::thread observer([&] {
        while (!done) {
            queue.reportProcessTime(50.0);
            (void)queue.getStat();
        }
    });
    std::vector<FrameWithInfoPtr> popped;
    for (int i = 0; i < kWriters * kFrames; ++i) {
        popped.push_back(queue.pop());
        (void)popped.back()->skip;
    }
    for (auto& w : writers) {
        w.join();
    }
    done = true;
    observer.join();
    std::set<FrameWithInfo*> distinct;
    for (const auto& frame : popped) {
        distinct.insert(frame.get());
    }
    EXPECT_EQ(distinct.size(), static_cast<size_t>(kWriters * kFrames));
    EXPECT_EQ(queue.size(), 0u);
}

}  // namespace
