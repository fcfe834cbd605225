#include "src/event_builder/BufferDetections.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <set>
#include <thread>
#include <vector>

#include "tests/support/CapturingLog.h"

namespace {

using namespace std::chrono_literals;
using Keys = std::vector<int64_t>;

// One detection per entry whose object id is the entry's timestamp, so a result shows which
// entry each key's detections came from.
BufferDetections::Entry entry(int64_t ts, uint64_t marker = 0) {
    Detection detection;
    detection.yolo.id = marker != 0 ? marker : static_cast<uint64_t>(ts);
    detection.idEvent = 7;
    detection.foundEvent = true;
    return {ts, {detection}};
}

void pushAll(BufferDetections& ring, const Keys& timestamps) {
    for (auto ts : timestamps) {
        ring.push(entry(ts));
    }
}

Keys keysOf(const BufferDetections::Rects& rects) {
    Keys keys;
    for (const auto& [ts, detections] : rects) {
        keys.push_back(ts);
    }
    return keys;
}

constexpr const char* kBegun = "LQ_Rects: buffer size";
// Logged under the ring's mutex, which the reader then keeps until it has copied what is there
// and waits: a push or poison after this line comes after that copy.
constexpr const char* kStartFound = "LQ_Rects: Found start frame";

// Starts rects(start, stop) in another thread and returns once it has logged `marker`.
std::future<BufferDetections::Rects> startRects(BufferDetections& ring, long start, long stop,
                                                CapturingLog& log, const char* marker = kBegun) {
    size_t before = log.count(marker);
    auto result = std::async(std::launch::async, [&ring, start, stop] { return ring.rects(start, stop); });
    while (log.count(marker) == before) {
        std::this_thread::sleep_for(1ms);
    }
    return result;
}

// Entries already in the ring: the answer comes at once.
TEST(BufferDetectionsTest, IntervalsAgainstTheEntriesInTheRing) {
    struct Case {
        const char* what;
        long start;
        long stop;
        Keys expected;
        const char* warning;  // nullptr: none
    };
    const std::vector<Case> cases = {
        {"inside", 150, 300, {150, 200, 250, 300}, nullptr},
        {"one entry", 200, 200, {200}, nullptr},
        {"before the oldest entry", 10, 90, {}, "There are no data in the buffer during this interval"},
        {"starting before the oldest entry", 50, 200, {100, 150, 200}, "A much older data is requested"},
        {"a gap over the interval", 160, 190, {}, "No frame inside the interval (160, 190)"},
        {"start after stop", 300, 200, {}, "Empty interval requested"},
    };
    for (const auto& c : cases) {
        auto capture = CapturingLog::install();
        BufferDetections ring(16);
        pushAll(ring, {100, 150, 200, 250, 300, 350});
        EXPECT_EQ(keysOf(ring.rects(c.start, c.stop)), c.expected) << c.what;
        auto warnings = capture.log->messages(ILog::LevelWarning);
        if (c.warning == nullptr) {
            EXPECT_TRUE(warnings.empty()) << c.what;
        } else {
            ASSERT_EQ(warnings.size(), 1u) << c.what;
            EXPECT_NE(warnings[0].find(c.warning), std::string::npos) << c.what << ": " << warnings[0];
        }
    }
}

TEST(BufferDetectionsTest, RepeatedTimestampKeepsTheLaterEntry) {
    BufferDetections ring(8);
    ring.push(entry(100, 1));
    ring.push(entry(100, 2));
    ring.push(entry(200));
    auto rects = ring.rects(100, 150);
    ASSERT_EQ(keysOf(rects), Keys{100});
    EXPECT_EQ(rects.at(100).at(0).yolo.id, 2u);
    EXPECT_EQ(rects.at(100).at(0).idEvent, 7u);
    EXPECT_TRUE(rects.at(100).at(0).foundEvent);
}

TEST(BufferDetectionsTest, IntervalEndingInTheFutureWaitsForANewerEntry) {
    auto capture = CapturingLog::install();
    BufferDetections ring(16);
    pushAll(ring, {100, 150});
    auto reader = startRects(ring, 140, 300, *capture.log);
    pushAll(ring, {200, 250, 300});  // the entry at exactly stop is taken, and still not the end
    EXPECT_EQ(reader.wait_for(50ms), std::future_status::timeout);
    ring.push(entry(350));
    EXPECT_EQ(keysOf(reader.get()), (Keys{150, 200, 250, 300}));
    EXPECT_TRUE(capture.log->messages(ILog::LevelWarning).empty());
}

TEST(BufferDetectionsTest, EmptyRingWaitsForItsFirstEntry) {
    auto capture = CapturingLog::install();
    BufferDetections ring(4);
    auto reader = startRects(ring, 100, 200, *capture.log);
    pushAll(ring, {100, 200, 300});
    EXPECT_EQ(keysOf(reader.get()), (Keys{100, 200}));
}

TEST(BufferDetectionsTest, StartFoundLaterWhileWaiting) {
    auto capture = CapturingLog::install();
    BufferDetections ring(4);
    pushAll(ring, {100});
    auto reader = startRects(ring, 150, 250, *capture.log);
    pushAll(ring, {120, 160, 200, 260});
    EXPECT_EQ(keysOf(reader.get()), (Keys{160, 200}));

    // A gap that opens while the search waits ends it too.
    auto gap = startRects(ring, 270, 280, *capture.log);
    ring.push(entry(290));
    EXPECT_TRUE(gap.get().empty());
    EXPECT_TRUE(capture.log->contains("No frame inside the interval (270, 280)", ILog::LevelWarning));
}

TEST(BufferDetectionsTest, PoisonWakesEveryWaiterWithWhatItGathered) {
    auto capture = CapturingLog::install();
    BufferDetections ring(16, std::chrono::hours(1));  // only the poison can end these waits
    pushAll(ring, {100, 150});
    auto searching = startRects(ring, 300, 400, *capture.log);
    auto searchingToo = startRects(ring, 200, 250, *capture.log);
    auto copying = startRects(ring, 120, 400, *capture.log, kStartFound);
    ring.poison();
    EXPECT_TRUE(searching.get().empty());
    EXPECT_TRUE(searchingToo.get().empty());
    EXPECT_EQ(keysOf(copying.get()), Keys{150});
    EXPECT_TRUE(ring.rects(100, 200).empty());  // later calls return at once

    BufferDetections empty(4, std::chrono::hours(1));
    auto waiting = startRects(empty, 100, 200, *capture.log);
    empty.poison();
    EXPECT_TRUE(waiting.get().empty());
}

// Closed (no frame will come), the ring ends every wait with what it holds of the interval, and
// later calls do not wait at all; unlike the poison it keeps its entries, and it warns of nothing.
TEST(BufferDetectionsTest, CloseEndsEveryWaitWithWhatTheRingHolds) {
    auto capture = CapturingLog::install();
    BufferDetections ring(16, std::chrono::hours(1));  // only the close can end these waits
    pushAll(ring, {100, 150});
    auto searching = startRects(ring, 300, 400, *capture.log);
    auto copying = startRects(ring, 120, 400, *capture.log, kStartFound);
    BufferDetections empty(4, std::chrono::hours(1));
    auto waiting = startRects(empty, 100, 200, *capture.log);
    ring.close();
    empty.close();
    EXPECT_TRUE(searching.get().empty());
    EXPECT_EQ(keysOf(copying.get()), Keys{150});
    EXPECT_TRUE(waiting.get().empty());
    EXPECT_EQ(keysOf(ring.rects(100, 1000)), (Keys{100, 150}));
    ring.push(entry(200));
    EXPECT_EQ(keysOf(ring.rects(140, 1000)), (Keys{150, 200}));
    EXPECT_FALSE(capture.log->contains("Gave up waiting"));
}

TEST(BufferDetectionsTest, PusherThatStopsEndsTheWaitAtTheDeadline) {
    auto capture = CapturingLog::install();
    BufferDetections ring(16, 200ms);
    pushAll(ring, {100, 150});
    EXPECT_EQ(keysOf(ring.rects(140, 300)), Keys{150});
    EXPECT_TRUE(capture.log->contains("Gave up waiting for the end of the interval", ILog::LevelWarning));
    EXPECT_TRUE(ring.rects(160, 300).empty());
    EXPECT_TRUE(capture.log->contains("Gave up waiting for the start of the interval", ILog::LevelWarning));

    BufferDetections empty(4, 100ms);
    EXPECT_TRUE(empty.rects(100, 200).empty());
    EXPECT_TRUE(capture.log->contains("No data arrived", ILog::LevelWarning));
}

// Pushes that keep arriving at or below stop would renew a per-wait time-out for ever; the one
// deadline still ends the call.
TEST(BufferDetectionsTest, PushesThatNeverPassStopStillEndAtTheDeadline) {
    auto capture = CapturingLog::install();
    BufferDetections ring(4, 300ms);
    pushAll(ring, {100});
    std::atomic<bool> stop{false};
    std::thread pusher([&] {
        int64_t ts = 100;
        while (!stop.load()) {
            ts = std::min<int64_t>(ts + 1, 500);  // climbs to stop, then stays there
            ring.push(entry(ts));
            std::this_thread::sleep_for(1ms);
        }
    });
    auto rects = ring.rects(100, 500);
    stop = true;
    pusher.join();
    EXPECT_FALSE(rects.empty());
    EXPECT_LE(keysOf(rects).back(), 500);
    EXPECT_TRUE(capture.log->contains("Gave up waiting for the end of the interval", ILog::LevelWarning));
}

// Entries overwritten while a reader waits are passed over; whatever it gathered is a clean,
// ordered piece of the interval and it ends at the first entry past stop.
TEST(BufferDetectionsTest, OverwritesDuringAWaitAreSkippedNotRepeated) {
    auto capture = CapturingLog::install();
    for (int round = 0; round < 20; ++round) {
        BufferDetections ring(2);
        pushAll(ring, {100, 110});
        auto reader = startRects(ring, 105, 500, *capture.log, kStartFound);
        for (int64_t ts = 120; ts <= 490; ts += 10) {
            ring.push(entry(ts));
        }
        ring.push(entry(600));
        auto rects = reader.get();
        ASSERT_FALSE(rects.empty());
        EXPECT_EQ(rects.begin()->first, 110);
        for (const auto& [ts, detections] : rects) {
            EXPECT_LE(ts, 500);
            ASSERT_EQ(detections.size(), 1u);
            EXPECT_EQ(detections[0].yolo.id, static_cast<uint64_t>(ts));
        }
    }
}

TEST(BufferDetectionsTest, DefaultRingHoldsOneEntryAndCopiesAreIndependent) {
    BufferDetections ring;
    EXPECT_EQ(ring.capacity(), 1u);
    pushAll(ring, {100, 200});
    BufferDetections copy(ring);
    copy.push(entry(300));
    EXPECT_EQ(ring.counter(), 2u);
    EXPECT_EQ(copy.counter(), 3u);
    ASSERT_EQ(ring.poison().size(), 1u);
    auto copied = copy.poison();
    ASSERT_EQ(copied.size(), 1u);
    EXPECT_EQ(copied[0].first, 300);
}

}  // namespace
