#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "qo_common/utils/CommonUtils.h"
#include "src/event_builder/TriggeredBuilder.h"
#include "tests/src/event_builder/triggered/TrFixtures.h"
#include "tests/support/CapturingLog.h"

namespace {

using namespace tr;
using Clock = std::chrono::steady_clock;

TriggeredEventBuilder::Timing testTiming(std::chrono::milliseconds frameWait = 30s,
                                         std::chrono::milliseconds returnBound = 30s) {
    TriggeredEventBuilder::Timing timing;
    timing.ring.frameWait = frameWait;
    timing.returnBound = returnBound;
    return timing;
}

// Waits until no event is registered any more (the erase follows the post).
bool settles(const TriggeredEventBuilder& builder, std::chrono::seconds guard = 30s) {
    const auto deadline = Clock::now() + guard;
    while (builder.heldEvents() > 0 && Clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    return builder.heldEvents() == 0;
}

std::vector<std::string> frameGuids(const QEVAEvent& event) {
    std::vector<std::string> out;
    for (const auto& f : event.frames) {
        out.push_back(f->guid);
    }
    return out;
}

std::vector<std::string> guidsOf(int camera, int from, int to) {
    std::vector<std::string> out;
    for (int i = from; i <= to; ++i) {
        out.push_back(frameOf(camera, 0, i)->frame->guid);
    }
    return out;
}

void readPlate(FrameWithInfo& f) {
    addPlates(f, {{"AB0C12", 0.9f}});
}

class TriggeredBuilderTest : public ::testing::Test {
  protected:
    void make(const json& extra = json::object(), TriggeredEventBuilder::Timing timing = testTiming()) {
        builder = std::make_shared<TriggeredEventBuilder>(lane.ctx, lane.config(extra), timing);
        builder->start();
    }

    int64_t triggerFor(int index) const { return base + index * kStep; }

    CapturingLog::Installed capture;
    Lane lane;
    std::shared_ptr<TriggeredEventBuilder> builder;
    // Frames of ten minutes ago: no bound of the clock applies to them.
    const int64_t base = CommonUtils::getTs() - 600000;
};

// Frames that are new go through the networks once and count when they come back; processed ones
// count at once. The event is posted once every collected frame has been counted, never before.
TEST_F(TriggeredBuilderTest, ClaimsAndCounts) {
    struct Case {
        const char* name;
        std::function<bool(int)> processed;  // frame index -> fed already processed
        size_t passes;                       // frames sent through the networks
    };
    const std::vector<Case> cases = {
        {"all new", [](int) { return false; }, 6},
        {"all processed", [](int) { return true; }, 0},
        {"mixed", [](int i) { return i % 2 == 0; }, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Lane lane;
        lane.addCamera(1, 3, 3);
        auto builder = std::make_shared<TriggeredEventBuilder>(lane.ctx, lane.config(), testTiming());
        builder->start();
        Echo echo(lane, *builder, readPlate);
        for (int i = 0; i < 20; ++i) {
            echo.feed(c.processed(i) ? processedFrameOf(1, base, i, {{"AB0C12"}}) : frameOf(1, base, i));
        }
        echo.drain();
        builder->trigger(triggerAt(7, triggerFor(10)), {1});
        if (c.passes == 0) {
            // Nothing to wait for: the trigger thread reported it before trigger() returned.
            EXPECT_EQ(lane.sink->size(), 1u);
        }
        auto events = lane.takeEvents(1);
        ASSERT_EQ(events.size(), 1u);
        const QEVAEvent& event = *events[0].event;
        EXPECT_EQ(frameGuids(event), guidsOf(1, 7, 12));
        for (const auto& f : event.frames) {
            EXPECT_TRUE(isMarked(*f)) << f->guid << " was copied before its networks were done";
        }
        ASSERT_EQ(event.evts.size(), 1u);
        EXPECT_EQ(event.evts[0]->num, "ABOC12");
        EXPECT_EQ(event.evts[0]->plateIndex, 0);
        EXPECT_EQ(event.trigger.triggerId, 7);
        EXPECT_EQ(event.ts, triggerFor(10));
        const auto passes = echo.passes();
        EXPECT_EQ(passes.size(), c.passes);
        for (const auto& [guid, n] : passes) {
            EXPECT_EQ(n, 1) << guid;
        }
        EXPECT_TRUE(settles(*builder));
        echo.stop();
        EXPECT_EQ(lane.sink->size(), 0u);
        const json stats = builder->getStatistics();
        EXPECT_EQ(stats.at("sizeStatistics"), 1);
        EXPECT_EQ(stats.at("incompleteEvents"), 0);
        EXPECT_EQ(stats.at("cam1"), (json{{"numberFrames", {{"min", 6}, {"max", 6}}}}));
    }
}

// Two events that both collect frames still on their way: each frame is pushed once, comes back
// carrying both ids and counts for both.
TEST_F(TriggeredBuilderTest, AFrameSharedByTwoEventsIsClaimedOnceAndCountedForBoth) {
    lane.addCamera(1, 2, 3);
    make();
    Echo echo(lane, *builder, readPlate);
    for (int i = 0; i < 20; ++i) {
        echo.feed(frameOf(1, base, i));
    }
    echo.drain();
    echo.close();
    builder->trigger(triggerAt(1, triggerFor(8)), {1});   // frames 6-10
    builder->trigger(triggerAt(2, triggerFor(10)), {1});  // frames 8-12: 8, 9, 10 already claimed
    EXPECT_EQ(lane.sink->size(), 0u);
    EXPECT_EQ(builder->heldEvents(), 2u);
    echo.open();
    auto events = lane.takeEvents(2);
    ASSERT_EQ(events.size(), 2u);
    std::map<int64_t, std::vector<std::string>> byTrigger;
    for (const auto& pair : events) {
        byTrigger[pair.event->trigger.triggerId] = frameGuids(*pair.event);
        for (const auto& f : pair.event->frames) {
            EXPECT_TRUE(isMarked(*f)) << f->guid;
        }
    }
    EXPECT_EQ(byTrigger[1], guidsOf(1, 6, 10));
    EXPECT_EQ(byTrigger[2], guidsOf(1, 8, 12));
    const auto passes = echo.passes();
    EXPECT_EQ(passes.size(), 7u);  // frames 6-12
    for (const auto& [guid, n] : passes) {
        EXPECT_EQ(n, 1) << guid;
    }
    EXPECT_TRUE(settles(*builder));
}

// A claim pushes into "_triggered" (10), whose frames pass the network (3) back to the builder (2):
// a trigger that claims far more frames than that completes, and the worker keeps going.
TEST_F(TriggeredBuilderTest, ATriggerThatClaimsMoreThanTheQueuesHoldCompletes) {
    lane.addCamera(1, 20, 20);
    lane.addCamera(2, 20, 20);
    make({{"bufferSize", 60}});
    Echo echo(lane, *builder, readPlate);
    for (int i = 0; i < 50; ++i) {
        echo.feed(frameOf(1, base, i));
        echo.feed(frameOf(2, base, i));
    }
    echo.drain();
    auto done = std::async(std::launch::async, [&] {
        builder->trigger(triggerAt(3, triggerFor(25)), {1, 2});
    });
    auto events = lane.takeEvents(1);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].event->frames.size(), 80u);
    EXPECT_EQ(echo.passes().size(), 80u);
    EXPECT_EQ(done.wait_for(30s), std::future_status::ready);
    echo.feed(frameOf(1, base, 50));
    echo.drain();
    EXPECT_TRUE(settles(*builder));
}

TEST_F(TriggeredBuilderTest, TheSameIdFromTwoThreadsAtOnceMakesOneEvent) {
    lane.addCamera(1, 2, 2);
    make();
    Echo echo(lane, *builder, readPlate);
    for (int i = 0; i < 10; ++i) {
        echo.feed(frameOf(1, base, i));
    }
    echo.drain();
    // The trigger time is ahead of the ring: both collections wait for the camera.
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&] { builder->trigger(triggerAt(9, triggerFor(12)), {1}); });
    }
    const auto deadline = Clock::now() + 30s;
    while (lane.ctx.triggerStats.droppedDuplicate == 0 && Clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    for (int i = 10; i < 20; ++i) {
        echo.feed(frameOf(1, base, i));
    }
    for (auto& t : threads) {
        t.join();
    }
    auto events = lane.takeEvents(1);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(frameGuids(*events[0].event), guidsOf(1, 10, 13));
    EXPECT_EQ(lane.ctx.triggerStats.droppedDuplicate, 1);
    EXPECT_TRUE(settles(*builder));
    echo.drain();
    EXPECT_EQ(lane.sink->size(), 0u);
}

TEST_F(TriggeredBuilderTest, TheSameIdAfterItsReportMakesANewEvent) {
    lane.addCamera(1, 1, 1);
    make();
    Echo echo(lane, *builder);
    for (int i = 0; i < 10; ++i) {
        echo.feed(processedFrameOf(1, base, i));
    }
    echo.drain();
    builder->trigger(triggerAt(4, triggerFor(5)), {1});
    builder->trigger(triggerAt(4, triggerFor(6)), {1});
    auto events = lane.takeEvents(2);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_NE(events[0].event->guid, events[1].event->guid);
    EXPECT_EQ(frameGuids(*events[1].event), guidsOf(1, 5, 6));
    EXPECT_EQ(lane.ctx.triggerStats.droppedDuplicate, 0);
    EXPECT_EQ(capture.log->count("Income trigger 4", ILog::LevelDebug), 2u);
}

// Ids are 64-bit: two that differ only above 32 bits are two triggers.
TEST_F(TriggeredBuilderTest, TriggerIdsKeepAll64Bits) {
    lane.addCamera(1, 1, 1);
    make();
    Echo echo(lane, *builder);
    for (int i = 0; i < 10; ++i) {
        echo.feed(frameOf(1, base, i));
    }
    echo.drain();
    echo.close();
    const int64_t low = 5;
    const int64_t high = low + (int64_t{1} << 32);
    builder->trigger(triggerAt(low, triggerFor(5)), {1});
    builder->trigger(triggerAt(high, triggerFor(5)), {1});
    EXPECT_EQ(builder->heldEvents(), 2u);
    EXPECT_TRUE(builder->heldEvent(high));
    echo.open();
    auto events = lane.takeEvents(2);
    ASSERT_EQ(events.size(), 2u);
    std::set<int64_t> ids = {events[0].event->trigger.triggerId, events[1].event->trigger.triggerId};
    EXPECT_EQ(ids, (std::set<int64_t>{low, high}));
    EXPECT_EQ(lane.ctx.triggerStats.droppedDuplicate, 0);
}

// An event that collected nothing is reported at once, as incomplete, and leaves nothing behind.
TEST_F(TriggeredBuilderTest, AnEventThatCollectedNothingIsReportedAtOnce) {
    struct Case {
        const char* name;
        int64_t triggerTs;
        std::vector<int> cameras;
    };
    lane.addCamera(1, 3, 3);
    lane.addCamera(2, 3, 3);
    // An hour's frame wait: a collection that waited for frames would hang the test.
    make(json::object(), testTiming(1h));
    Echo echo(lane, *builder);
    for (int i = 0; i < 10; ++i) {
        echo.feed(frameOf(1, base, i));
    }
    echo.drain();
    const std::vector<Case> cases = {
        {"older than every ring", base - 1000, {1, 2}},
        {"a camera that never delivered, trigger time long gone", base + 5 * kStep, {2}},
        {"no camera of the trigger has a ring", base + 5 * kStep, {7}},
    };
    int64_t id = 100;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        builder->trigger(triggerAt(++id, c.triggerTs), c.cameras);
        EXPECT_EQ(lane.sink->size(), 1u) << "not reported before trigger() returned";
        auto events = lane.takeEvents(1);
        ASSERT_EQ(events.size(), 1u);
        EXPECT_TRUE(events[0].event->frames.empty());
        EXPECT_TRUE(events[0].event->evts.empty());
        EXPECT_EQ(events[0].event->trigger.triggerId, id);
        EXPECT_EQ(builder->heldEvents(), 0u);
    }
    const json stats = builder->getStatistics();
    EXPECT_EQ(stats.at("sizeStatistics"), 3);
    EXPECT_EQ(stats.at("incompleteEvents"), 2);  // the last one expected nothing
    EXPECT_TRUE(echo.passes().empty());
}

// A claimed frame that never comes back: after the return bound the event is reported over the
// frames counted so far, with a Warning, and counts as incomplete.
TEST_F(TriggeredBuilderTest, AFrameThatNeverReturnsIsLeftOutAfterTheBound) {
    lane.addCamera(1, 2, 2);
    make(json::object(), testTiming(30s, 300ms));
    Echo echo(lane, *builder, readPlate);
    for (int i = 0; i < 10; ++i) {
        echo.feed(frameOf(1, base, i));
    }
    echo.drain();
    echo.lose(frameOf(1, base, 6)->frame->guid);
    builder->trigger(triggerAt(11, triggerFor(6)), {1});  // frames 4-7
    // Arriving frames (and triggers) let the builder notice the overdue event.
    std::vector<QEVAPair> events;
    for (int i = 10; i < 1000 && events.empty(); ++i) {
        echo.feed(frameOf(1, base, i));
        std::this_thread::sleep_for(10ms);
        if (lane.sink->size() > 0) {
            events.push_back(lane.sink->pop());
        }
    }
    ASSERT_EQ(events.size(), 1u);
    std::vector<std::string> expected = guidsOf(1, 4, 5);
    expected.push_back(guidsOf(1, 7, 7)[0]);
    EXPECT_EQ(frameGuids(*events[0].event), expected);
    EXPECT_TRUE(capture.log->contains("did not come back within 300 ms", ILog::LevelWarning));
    EXPECT_TRUE(settles(*builder));
    EXPECT_EQ(builder->getStatistics().at("incompleteEvents"), 1);
}

// While no frame comes, the worker's idle call checks the return bound on the builder's clock (the
// test drives it); at the end of the input, flush reports a pending event at once over what it has.
TEST_F(TriggeredBuilderTest, IdleChecksTheReturnBoundAndFlushReportsPendingEventsAtOnce) {
    lane.addCamera(1, 2, 2);
    std::atomic<Clock::time_point> now{Clock::now()};
    auto timing = testTiming(30s, 300ms);
    timing.now = [&now] { return now.load(); };
    make(json::object(), timing);
    Echo echo(lane, *builder, readPlate);
    for (int i = 0; i < 14; ++i) {
        echo.feed(frameOf(1, base, i));
    }
    echo.drain();
    echo.lose(frameOf(1, base, 6)->frame->guid);
    echo.lose(frameOf(1, base, 10)->frame->guid);
    const auto waitCounted = [&](int64_t id, uint64_t n) {
        const auto guard = Clock::now() + 30s;
        while (builder->heldEvent(id) && builder->heldEvent(id)->frameCounter() < n && Clock::now() < guard) {
            std::this_thread::sleep_for(1ms);
        }
    };
    const auto start = now.load();
    builder->trigger(triggerAt(11, triggerFor(6)), {1});  // frames 4-7, 6 lost
    waitCounted(11, 3);
    now = start + 299ms;
    builder->idle(1h);
    EXPECT_EQ(lane.sink->size(), 0u);
    now = start + 300ms;
    builder->idle(1ms);
    ASSERT_EQ(lane.sink->size(), 1u);  // reported in the idle call itself
    std::vector<std::string> expected = guidsOf(1, 4, 5);
    expected.push_back(guidsOf(1, 7, 7)[0]);
    EXPECT_EQ(frameGuids(*lane.sink->pop().event), expected);
    EXPECT_TRUE(capture.log->contains("did not come back within 300 ms", ILog::LevelWarning));

    builder->trigger(triggerAt(12, triggerFor(10)), {1});  // frames 8-11, 10 lost
    waitCounted(12, 3);
    builder->flush();
    ASSERT_EQ(lane.sink->size(), 1u);
    EXPECT_EQ(lane.sink->pop().event->trigger.triggerId, 12);
    EXPECT_TRUE(capture.log->contains("had not come back when the input ended", ILog::LevelWarning));
    EXPECT_EQ(builder->heldEvents(), 0u);
    EXPECT_EQ(builder->getStatistics().at("incompleteEvents"), 2);
}

// A report that throws is logged with its trigger id, its event is erased, and the other ids of
// the frame that completed it are still counted.
TEST_F(TriggeredBuilderTest, AReportThatThrowsIsLoggedAndErased) {
    lane.addCamera(1, 1, 1);
    make();
    Echo echo(lane, *builder, readPlate);
    // Frame 4 carries a reading whose object is missing: matching it throws.
    auto broken = processedFrameOf(1, base, 4);
    LPRDetection orphan;
    orphan.value = "ZZ0Z99";
    orphan.idYoloInfo = 42;
    broken->lprDetections.push_back(orphan);
    for (int i = 0; i < 10; ++i) {
        echo.feed(i == 4 ? broken : frameOf(1, base, i));
    }
    echo.drain();
    echo.close();
    builder->trigger(triggerAt(21, triggerFor(5)), {1});  // frames 4 (broken) and 5 (claimed)
    builder->trigger(triggerAt(22, triggerFor(6)), {1});  // frames 5 (on its way) and 6
    echo.open();
    auto events = lane.takeEvents(1);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].event->trigger.triggerId, 22);
    EXPECT_EQ(frameGuids(*events[0].event), guidsOf(1, 5, 6));
    EXPECT_TRUE(settles(*builder));
    EXPECT_TRUE(capture.log->contains("event dropped: exception: tr: Can't find rect", ILog::LevelError));
    EXPECT_TRUE(capture.log->contains("by trigger 21 failed", ILog::LevelError));
    // The id is free again.
    builder->trigger(triggerAt(21, triggerFor(7)), {1});
    EXPECT_EQ(lane.takeEvents(1).size(), 1u);
}

TEST_F(TriggeredBuilderTest, ThePoisonFrameWakesCollectionsAndDropsPendingEvents) {
    lane.addCamera(1, 2, 2);
    make();
    Echo echo(lane, *builder, readPlate);
    for (int i = 0; i < 10; ++i) {
        echo.feed(frameOf(1, base, i));
    }
    echo.drain();
    echo.close();
    builder->trigger(triggerAt(31, triggerFor(5)), {1});  // claimed frames held in the network
    lane.ctx.stop = true;
    // The collection waits (for 30 s) for frames that the camera does not deliver.
    auto waiting =
        std::async(std::launch::async, [&] { builder->trigger(triggerAt(32, triggerFor(15)), {1}); });
    ASSERT_TRUE(capture.log->waitFor("by trigger 32"));  // logged once its id is registered
    echo.feed(FrameWithInfo::makePoison());
    EXPECT_EQ(waiting.wait_for(20s), std::future_status::ready);
    EXPECT_TRUE(capture.log->contains("tr: 2 pending trigger event(s) dropped at the stop", ILog::LevelInfo));
    // Dropped, not reported over the frames it had when it woke.
    EXPECT_FALSE(capture.log->contains("by trigger 32 is created"));
    EXPECT_EQ(builder->heldEvents(), 0u);
    // Later triggers still register, collect nothing and leave nothing behind.
    builder->trigger(triggerAt(33, triggerFor(5)), {1});
    EXPECT_EQ(builder->heldEvents(), 0u);
    echo.stop();
    EXPECT_EQ(lane.sink->size(), 0u);  // stopping: nothing is posted
}

TEST_F(TriggeredBuilderTest, StartGivesEveryLaneCameraItsRingAndWarnsAboutCamerasThatCannotServe) {
    lane.addCamera(1, 2, 2);                                           // fine
    lane.addCamera(2, 60, 2);                                          // pre beyond the ring
    lane.addCamera(3, 2, 2, ek::VideoProcessingMode::NonTriggered);    // no "_triggered"
    lane.addCamera(4, 2, 2, static_cast<ek::VideoProcessingMode>(7));  // routes nothing
    lane.addCamera(5, 2, 2, ek::VideoProcessingMode::Triggered, 2);    // another lane
    make();
    for (int id : {1, 2, 3, 4}) {
        ASSERT_NE(builder->frameRing(id), nullptr) << id;
        EXPECT_EQ(builder->frameRing(id)->capacity(), 50u);
    }
    EXPECT_EQ(builder->frameRing(5), nullptr);
    EXPECT_TRUE(capture.log->contains("tr, Create buffer (50 frames) for camera: cam1", ILog::LevelDebug));
    const auto warnings = capture.log->messages(ILog::LevelWarning);
    EXPECT_EQ(warnings.size(), 4u);  // cam2 pre, cam3 queue, cam4 mode and queue
    EXPECT_TRUE(capture.log->contains("camera cam2 has pre 60 but bufferSize is 50"));
    EXPECT_TRUE(capture.log->contains("camera cam3 has no balancer queue cam3_triggered"));
    EXPECT_TRUE(capture.log->contains("camera cam4 has processingMode 7, which routes no frames"));

    // A frame of a camera without a ring is not kept.
    builder->consume(frameOf(9, base, 0));
    EXPECT_TRUE(capture.log->contains("camera 9 has no frame ring", ILog::LevelDebug));
    EXPECT_EQ(builder->frameRing(9), nullptr);
}

TEST_F(TriggeredBuilderTest, AModeTwoCameraOfAnotherBuilderIsNamed) {
    lane.addCamera(1, 2, 2);
    auto first =
        std::make_shared<TriggeredEventBuilder>(lane.ctx, lane.config({{"name", "a"}}), testTiming());
    lane.ctx.eventBuilders["a"] = first;
    make({{"name", "b"}});
    lane.ctx.eventBuilders["b"] = builder;
    EXPECT_TRUE(capture.log->contains("b: camera cam1 sends its frames to builder a", ILog::LevelWarning));
    lane.ctx.eventBuilders.clear();
}

// Frames of a camera without "_triggered" (mode 0 or 1) count as they are, without a claim; frames
// that reach the ring InProccess (e.g. FACE frames beside the non-triggered half) are done.
TEST_F(TriggeredBuilderTest, FramesThatCannotBeClaimedCountAsTheyAre) {
    lane.addCamera(1, 2, 2, ek::VideoProcessingMode::NonTriggered);
    make();
    Echo echo(lane, *builder);
    for (int i = 0; i < 10; ++i) {
        auto f = frameOf(1, base, i, {{"AB0C12"}});
        if (i % 2 == 0) {
            f->status = FrameWithInfo::InProccess;
            f->frame->cameraType = CameraType::FACE;
        }
        echo.feed(f);
    }
    echo.drain();
    builder->trigger(triggerAt(41, triggerFor(5)), {1});
    auto events = lane.takeEvents(1);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(frameGuids(*events[0].event), guidsOf(1, 3, 6));
    EXPECT_TRUE(echo.passes().empty());
}

// After 70 frames a ring of 80 still reaches back to frame 3; one of 50 would start at frame 20 and
// give the trigger no frames at all.
TEST_F(TriggeredBuilderTest, TheRingsHoldBufferSizeFrames) {
    lane.addCamera(1, 2, 2);
    make({{"bufferSize", 80}});
    for (int i = 0; i < 70; ++i) {
        builder->consume(processedFrameOf(1, base, i));
    }
    builder->trigger(triggerAt(12, triggerFor(5)), {1});
    auto events = lane.takeEvents(1);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(frameGuids(*events[0].event), guidsOf(1, 3, 6));
}

// The builder reads the key itself: one plate per frame that read the vehicle, else one per camera.
TEST_F(TriggeredBuilderTest, IncludeAllLprResultsReportsEveryFrameRead) {
    for (const bool all : {false, true}) {
        SCOPED_TRACE(all);
        Lane lane;
        lane.addCamera(1, 2, 2);
        auto builder = std::make_shared<TriggeredEventBuilder>(
            lane.ctx, lane.config({{"includeAllLprResults", all}}), testTiming());
        builder->start();
        for (int i = 0; i < 10; ++i) {
            builder->consume(processedFrameOf(1, base, i, {{"AB0C12"}}));
        }
        builder->trigger(triggerAt(13, triggerFor(5)), {1});
        auto events = lane.takeEvents(1);
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].event->evts.size(), all ? 4u : 1u);
    }
}

TEST_F(TriggeredBuilderTest, BufferSizeIsRefusedOutsideItsRange) {
    for (const json& size : {json(0), json(-3), json(10001), json("50")}) {
        SCOPED_TRACE(size.dump());
        EXPECT_THROW(TriggeredEventBuilder(lane.ctx, lane.config({{"bufferSize", size}})),
                     BuilderConfig::Error);
    }
    try {
        TriggeredEventBuilder(lane.ctx, lane.config({{"bufferSize", 0}}));
    } catch (const BuilderConfig::Error& e) {
        EXPECT_STREQ(e.what(), "bufferSize: must be from 1 to 10000 frames, got 0 (builder \"tr\")");
    }
    TriggeredEventBuilder ok(lane.ctx, lane.config({{"bufferSize", 1}}));
    EXPECT_EQ(ok.mode(), EventBuilderMode::Triggered);
    EXPECT_EQ(ok.getStatString(), "AvgLatency = 0 ms");
    EXPECT_EQ(ok.getStatistics(), (json{{"sizeStatistics", 0},
                                        {"avgLatency", 0},
                                        {"minLatency", 0},
                                        {"maxLatency", 0},
                                        {"incompleteEvents", 0}}));
}

}  // namespace
