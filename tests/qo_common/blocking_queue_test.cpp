#include "qo_common/utils/blocking_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "qo_common/event_poster/QEVAPair.h"

namespace {

const std::string kPoison = "<poison>";

TEST(BlockingQueueTest, FirstInFirstOut) {
    blocking_queue<std::string> queue(3);
    queue.push("a");
    queue.push("b");
    queue.push("c");
    EXPECT_EQ(queue.size(), 3u);
    EXPECT_EQ(queue.capacity(), 3u);
    EXPECT_EQ(queue.pop(), "a");
    EXPECT_EQ(queue.pop(), "b");
    EXPECT_EQ(queue.pop(), "c");
    EXPECT_EQ(queue.size(), 0u);
}

TEST(BlockingQueueTest, PushOnAFullQueueWaitsForAPop) {
    blocking_queue<std::string> queue(2);
    queue.push("a");
    queue.push("b");
    std::atomic<bool> returned{false};
    std::thread writer([&] {
        queue.push("c");
        returned = true;
    });
    EXPECT_FALSE(returned.load());  // the queue is full until the pop below
    EXPECT_EQ(queue.pop(), "a");
    writer.join();
    EXPECT_EQ(queue.size(), 2u);
    EXPECT_EQ(queue.pop(), "b");
    EXPECT_EQ(queue.pop(), "c");
}

// The timed forms give up only on an empty (popFor) or full (pushUntil) queue; a poisoned queue
// takes a pushUntil as the plain push does: dropped, and no wait.
TEST(BlockingQueueTest, TimedPopAndPushGiveUpOnlyWhenTheyWouldWait) {
    blocking_queue<std::string> queue(1);
    EXPECT_FALSE(queue.popFor(std::chrono::milliseconds(1)));
    const auto past = std::chrono::steady_clock::now() - std::chrono::seconds(1);
    EXPECT_TRUE(queue.pushUntil("a", past));  // room: stored without waiting
    EXPECT_FALSE(queue.pushUntil("b", past));
    EXPECT_EQ(queue.size(), 1u);
    EXPECT_EQ(queue.popFor(std::chrono::milliseconds(0)), std::optional<std::string>("a"));

    queue.push("c");
    std::thread reader([&] { EXPECT_EQ(queue.pop(), "c"); });
    // Waits for the reader's pop, however long that takes.
    EXPECT_TRUE(queue.pushUntil("d", std::chrono::steady_clock::time_point::max()));
    reader.join();
    EXPECT_EQ(queue.popFor(std::chrono::hours(1)), std::optional<std::string>("d"));

    queue.push("e");
    queue.poison(kPoison);
    EXPECT_TRUE(queue.pushUntil("f", past));
    EXPECT_EQ(queue.popFor(std::chrono::milliseconds(0)), std::optional<std::string>(kPoison));
    EXPECT_FALSE(queue.popFor(std::chrono::milliseconds(0)));
}

TEST(BlockingQueueTest, PoisonReleasesAWaitingWriterWithoutItsItem) {
    blocking_queue<std::string> queue(2);
    queue.push("a");
    queue.push("b");
    std::thread writer([&] { queue.push("c"); });
    auto drained = queue.poison(kPoison);
    writer.join();
    EXPECT_EQ(drained, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(queue.size(), 1u);
    EXPECT_EQ(queue.pop(), kPoison);
}

TEST(BlockingQueueTest, PoisonReturnsTheQueuedItemsOldestFirst) {
    blocking_queue<std::string> queue(5);
    for (const char* item : {"a", "b", "c"}) {
        queue.push(item);
    }
    EXPECT_EQ(queue.poison(kPoison), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_TRUE(queue.poisoned());
}

TEST(BlockingQueueTest, PoisonedQueueGivesThePoisonOnceAndDropsLaterPushes) {
    blocking_queue<std::string> queue(2);
    EXPECT_FALSE(queue.poisoned());
    queue.poison(kPoison);
    queue.push("late");
    queue.push("later");  // would wait for ever if dropped pushes were stored
    EXPECT_EQ(queue.size(), 1u);
    EXPECT_EQ(queue.pop(), kPoison);
    EXPECT_EQ(queue.size(), 0u);
}

TEST(BlockingQueueTest, ReaderEndsAtThePoisonItem) {
    blocking_queue<std::string> queue(2);
    std::vector<std::string> read;
    std::thread reader([&] {
        for (;;) {
            auto item = queue.pop();
            if (item == kPoison) {
                return;
            }
            read.push_back(item);
        }
    });
    for (const char* item : {"a", "b", "c", "d", "e"}) {
        queue.push(item);
    }
    // Whatever the reader has not taken yet is discarded by the poison.
    auto discarded = queue.poison(kPoison);
    reader.join();
    read.insert(read.end(), discarded.begin(), discarded.end());
    EXPECT_EQ(read, (std::vector<std::string>{"a", "b", "c", "d", "e"}));
    EXPECT_EQ(queue.size(), 0u);
}

TEST(BlockingQueueTest, ManyWritersKeepTheirOwnOrder) {
    blocking_queue<int> queue(3);
    constexpr int kWriters = 4;
    constexpr int kItems = 3000;
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([&queue, w] {
            for (int i = 0; i < kItems; ++i) {
                queue.push(w * kItems + i);
            }
        });
    }
    std::vector<int> last(kWriters, -1);
    for (int n = 0; n < kWriters * kItems; ++n) {
        int item = queue.pop();
        int writer = item / kItems;
        ASSERT_GT(item % kItems, last[static_cast<size_t>(writer)]);
        last[static_cast<size_t>(writer)] = item % kItems;
    }
    for (auto& t : writers) {
        t.join();
    }
    EXPECT_EQ(last, std::vector<int>(kWriters, kItems - 1));
}

TEST(BlockingQueueTest, EventQueueCopiesPairsInAndOut) {
    blocking_queue<QEVAPair> queue(5);
    QEVAPair pair(std::make_unique<QEVAEvent>(), std::make_unique<QEVATriggerEvent>());
    pair.event->guid = "event-1";
    pair.triggerEvent->triggerId = 7;
    queue.push(pair);
    pair.event->guid = "changed after push";
    pair.triggerEvent->triggerId = 8;

    QEVAPair popped = queue.pop();
    ASSERT_TRUE(popped.event && popped.triggerEvent);
    EXPECT_EQ(popped.event->guid, "event-1");
    EXPECT_EQ(popped.triggerEvent->triggerId, 7);
    EXPECT_FALSE(popped.poison);

    queue.poison(QEVAPair::makePoison());
    EXPECT_TRUE(queue.pop().poison);
}

}  // namespace
