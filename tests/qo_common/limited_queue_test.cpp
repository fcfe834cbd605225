#include "qo_common/utils/limited_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

// A derived buffer as the detection and frame rings are: it locks the ring's mutex around
// iterator use and waits on its condition variable.
class Ring : public limited_queue<std::string> {
  public:
    using limited_queue::limited_queue;

    std::unique_lock<std::mutex> lock() { return std::unique_lock<std::mutex>(_mutex); }

    // Logical contents, oldest first, walked with the ring's own iterators.
    std::vector<std::string> contents() {
        auto guard = lock();
        std::vector<std::string> out;
        for (auto it = begin(); it != end(); ++it) {
            out.push_back(*it);
        }
        return out;
    }

    // Waits until `it` stands on an entry (true) or the ring is poisoned (false), then reads it.
    bool next(iterator& it, std::string& out) {
        auto guard = lock();
        _not_empty.wait(guard, [&] { return !it.atEnd() || _is_poisoned; });
        if (it.atEnd()) {
            return false;
        }
        out = *it;
        ++it;
        return true;
    }
};

void pushAll(Ring& ring, std::initializer_list<const char*> items) {
    for (const char* item : items) {
        ring.push(item);
    }
}

TEST(LimitedQueueTest, FullRingOverwritesItsOldestEntry) {
    Ring ring(3);
    pushAll(ring, {"a", "b", "c", "d", "e"});
    EXPECT_EQ(ring.contents(), (std::vector<std::string>{"c", "d", "e"}));
    EXPECT_EQ(ring.counter(), 5u);
    EXPECT_EQ(ring.size(), 3u);
    auto guard = ring.lock();
    EXPECT_EQ(ring[0], "c");
    EXPECT_EQ(ring[2], "e");
}

TEST(LimitedQueueTest, IteratorStaysOnItsEntryWhileAFullRingMoves) {
    Ring ring(3);
    pushAll(ring, {"a", "b", "c"});
    auto guard = ring.lock();
    auto it = ring.begin();
    ++it;
    ++it;
    EXPECT_EQ(*it, "c");
    guard.unlock();
    ring.push("d");
    guard.lock();
    EXPECT_EQ(it.position(), 1u);
    EXPECT_EQ(*it, "c");
    ++it;
    EXPECT_EQ(*it, "d");
}

TEST(LimitedQueueTest, PushIntoARingNotYetFullLeavesTheIteratorOnItsEntry) {
    Ring ring(5);
    pushAll(ring, {"a", "b"});
    auto guard = ring.lock();
    auto it = ring.begin();
    EXPECT_EQ(*it, "a");
    ++it;
    EXPECT_EQ(*it, "b");
    guard.unlock();
    ring.push("c");
    guard.lock();
    // Nothing left the ring, so the iterator stays where it was.
    EXPECT_EQ(it.position(), 1u);
    EXPECT_EQ(*it, "b");
    ++it;
    EXPECT_EQ(*it, "c");
}

// A walk that crosses the moment the ring fills and starts overwriting: each push between two
// steps moves the iterator back only by the entries that left.
TEST(LimitedQueueTest, WalkAcrossFillingAndOverwritingVisitsEachEntryOnce) {
    Ring ring(3);
    ring.push("a");
    auto guard = ring.lock();
    auto it = ring.begin();
    std::vector<std::string> visited;
    for (const char* item : {"b", "c", "d", "e", "f"}) {
        visited.push_back(*it);
        ++it;
        guard.unlock();
        ring.push(item);
        guard.lock();
    }
    while (!it.atEnd()) {
        visited.push_back(*it);
        ++it;
    }
    EXPECT_EQ(visited, (std::vector<std::string>{"a", "b", "c", "d", "e", "f"}));
}

// Entries overwritten before the walk reached them are passed over, never visited twice.
TEST(LimitedQueueTest, WalkPassesOverEntriesOverwrittenBeforeItReachedThem) {
    Ring ring(3);
    pushAll(ring, {"a", "b"});
    auto guard = ring.lock();
    auto it = ring.begin();
    EXPECT_EQ(*it, "a");
    ++it;  // on "b"
    guard.unlock();
    pushAll(ring, {"c", "d", "e", "f"});  // a, b and c leave; d, e, f stay
    guard.lock();
    std::vector<std::string> visited;
    while (!it.atEnd()) {
        visited.push_back(*it);
        ++it;
    }
    EXPECT_EQ(visited, (std::vector<std::string>{"d", "e", "f"}));
}

TEST(LimitedQueueTest, PoisonedRingIgnoresPushesAndDoesNotCount) {
    Ring ring(3);
    pushAll(ring, {"a", "b", "c", "d"});
    EXPECT_EQ(ring.poison(), (std::vector<std::string>{"b", "c", "d"}));
    ring.push("e");
    EXPECT_EQ(ring.size(), 0u);
    EXPECT_EQ(ring.counter(), 4u);
    EXPECT_TRUE(ring.contents().empty());
}

TEST(LimitedQueueTest, IteratorPastTheEndAfterPoisonIsAtTheEnd) {
    Ring ring(3);
    pushAll(ring, {"a", "b", "c", "d"});
    auto guard = ring.lock();
    auto it = ring.begin();
    ++it;
    ++it;
    guard.unlock();
    ring.poison();
    guard.lock();
    EXPECT_TRUE(it.atEnd());
    EXPECT_TRUE(it == ring.end());
    ++it;  // stepping further stays at the end and reads nothing
    EXPECT_TRUE(it.atEnd());
}

TEST(LimitedQueueTest, EveryIteratorIsAtTheEndAfterPoison) {
    for (size_t pushes : {size_t{2}, size_t{5}}) {  // a ring not yet full, and a full one
        Ring ring(3);
        for (size_t i = 0; i < pushes; ++i) {
            ring.push(std::to_string(i));
        }
        auto guard = ring.lock();
        auto first = ring.begin();
        auto second = ring.begin();
        ++second;
        guard.unlock();
        ring.poison();
        ring.push("late");
        guard.lock();
        EXPECT_TRUE(first.atEnd()) << pushes;
        EXPECT_TRUE(second.atEnd()) << pushes;
        EXPECT_TRUE(ring.begin() == ring.end()) << pushes;
    }
}

TEST(LimitedQueueTest, CapacityZeroStoresNothing) {
    Ring ring(0);
    pushAll(ring, {"a", "b"});
    EXPECT_EQ(ring.size(), 0u);
    EXPECT_EQ(ring.counter(), 0u);
    EXPECT_TRUE(ring.contents().empty());
    EXPECT_TRUE(ring.poison().empty());
}

TEST(LimitedQueueTest, CopiesTakeTheEntriesCounterAndPoisonFlag) {
    Ring ring(3);
    pushAll(ring, {"a", "b", "c", "d"});
    Ring copy(ring);
    EXPECT_EQ(copy.contents(), (std::vector<std::string>{"b", "c", "d"}));
    EXPECT_EQ(copy.counter(), 4u);
    copy.push("e");  // the copy moves on its own
    EXPECT_EQ(copy.contents(), (std::vector<std::string>{"c", "d", "e"}));
    EXPECT_EQ(ring.contents(), (std::vector<std::string>{"b", "c", "d"}));

    Ring assigned(1);
    assigned = copy;
    EXPECT_EQ(assigned.capacity(), 3u);
    EXPECT_EQ(assigned.contents(), (std::vector<std::string>{"c", "d", "e"}));
    auto& self = assigned;
    assigned = self;
    EXPECT_EQ(assigned.contents(), (std::vector<std::string>{"c", "d", "e"}));

    ring.poison();
    Ring poisonedCopy(ring);
    poisonedCopy.push("f");
    EXPECT_EQ(poisonedCopy.size(), 0u);
}

TEST(LimitedQueueTest, ReaderWaitingForEntriesIsWokenByPushesAndByPoison) {
    Ring ring(3);
    pushAll(ring, {"x", "y", "z"});
    std::vector<std::string> read;
    std::atomic<size_t> readCount{0};
    std::atomic<bool> positioned{false};
    std::thread reader([&] {
        auto guard = ring.lock();
        auto it = ring.begin();
        for (int i = 0; i < 3; ++i) {
            ++it;  // past the entries that were there before
        }
        guard.unlock();
        positioned = true;
        std::string item;
        while (ring.next(it, item)) {
            read.push_back(item);
            ++readCount;
        }
    });
    while (!positioned.load()) {
        std::this_thread::yield();
    }
    const std::vector<std::string> items{"a", "b", "c", "d", "e"};
    for (size_t i = 0; i < items.size(); ++i) {
        ring.push(items[i]);
        while (readCount.load() < i + 1) {  // one entry at a time, so none is overwritten unread
            std::this_thread::yield();
        }
    }
    ring.poison();
    reader.join();
    EXPECT_EQ(read, items);
}

}  // namespace
