#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "qo_common/utils/CommonUtils.h"
#include "src/event_builder/EventBuilderComponent.h"
#include "src/event_builder/NonTriggeredWTriggerBuilder.h"
#include "tests/src/event_builder/triggered/TrFixtures.h"
#include "tests/support/CapturingLog.h"

// The builder with both modes: the non-triggered part sees every camera frame once, the triggered
// part every frame, and frames that come back for a trigger only the triggered part.
namespace {

using namespace tr;

class NTwTriggerBuilderTest : public ::testing::Test {
  protected:
    void make(const json& extra = json::object()) {
        TriggeredEventBuilder::Timing timing;
        timing.ring.frameWait = std::chrono::seconds(30);
        builder = std::make_shared<NTwTriggerEventBuilder>(lane.ctx, lane.config(extra), timing);
        builder->start();
    }

    // A frame as the networks hand it back: read, InProccess.
    std::shared_ptr<FrameWithInfo> fromNetworks(int index, const std::vector<Plate>& plates = {{"AB0C12"}}) {
        auto f = frameOf(1, base, index, plates);
        markProcessed(*f);
        f->status = FrameWithInfo::InProccess;
        return f;
    }

    size_t seenByNonTriggered(const std::shared_ptr<FrameWithInfo>& f) const {
        return capture.log->count("tr: guid: " + f->frame->guid + ", lprDetections", ILog::LevelDebug);
    }

    CapturingLog::Installed capture;
    Lane lane;
    std::shared_ptr<NTwTriggerEventBuilder> builder;
    const int64_t base = CommonUtils::getTs() - 600000;
};

TEST_F(NTwTriggerBuilderTest, IsMadeByTheFactoryAndNestsBothStatistics) {
    lane.addCamera(1, 2, 2, ek::VideoProcessingMode::NonTriggeredWithTrigger);
    auto made = createEventBuilder(lane.ctx, lane.config({{"type", "LP"}, {"triggeredMode", 3}}));
    EXPECT_EQ(made->mode(), EventBuilderMode::NonTriggeredWithTrigger);
    EXPECT_EQ(made->getStatString(), "non-triggered: AvgLatency = 0 ms triggered: AvgLatency = 0 ms");
    const json stats = made->getStatistics();
    ASSERT_TRUE(stats.contains("non-triggered-w-trigger"));
    EXPECT_EQ(stats["non-triggered-w-trigger"]["non-triggered"].at("sizeStatistics"), 0);
    EXPECT_EQ(stats["non-triggered-w-trigger"]["triggered"].at("incompleteEvents"), 0);
    EXPECT_EQ(createEventBuilder(lane.ctx, lane.config({{"triggeredMode", 2}}))->mode(),
              EventBuilderMode::Triggered);
    // A key of either part fails the loading.
    EXPECT_THROW(createEventBuilder(lane.ctx, lane.config({{"triggeredMode", 3}, {"bufferSize", 0}})),
                 BuilderConfig::Error);
    EXPECT_THROW(createEventBuilder(lane.ctx, lane.config({{"triggeredMode", 3}, {"eventEmitWait", -1}})),
                 BuilderConfig::Error);
}

// Ordinary traffic makes the vehicle event; a trigger meanwhile finds its frames processed and is
// reported in its own thread, with no frame sent through the networks again.
TEST_F(NTwTriggerBuilderTest, ATriggerBesideOrdinaryTrafficGivesBothEvents) {
    lane.addCamera(1, 3, 3, ek::VideoProcessingMode::NonTriggeredWithTrigger);
    make();
    Echo echo(lane, *builder);
    // Less than eventEmitWait (1 s) of frame time: the vehicle event is not due yet.
    std::vector<std::shared_ptr<FrameWithInfo>> frames;
    for (int i = 0; i < 20; ++i) {
        frames.push_back(fromNetworks(i));
        echo.feed(frames.back());
    }
    echo.drain();
    for (const auto& f : frames) {
        EXPECT_EQ(f->status, FrameWithInfo::Processed);
        EXPECT_EQ(seenByNonTriggered(f), 1u);
    }
    builder->trigger(triggerAt(8, base + 10 * kStep), {1});
    // Reported before trigger() returned: every collected frame was processed.
    ASSERT_EQ(lane.sink->size(), 1u);
    auto triggered = lane.sink->pop();
    EXPECT_EQ(triggered.event->trigger.triggerId, 8);
    EXPECT_EQ(triggered.event->frames.size(), 6u);
    ASSERT_EQ(triggered.event->evts.size(), 1u);
    EXPECT_EQ(triggered.event->evts[0]->num, "ABOC12");
    EXPECT_TRUE(echo.passes().empty());

    // More than eventEmitWait of frame time with the plate: the vehicle event is due.
    for (int i = 20; i < 60; ++i) {
        echo.feed(fromNetworks(i));
    }
    echo.drain();
    auto vehicle = lane.takeEvents(1);
    ASSERT_EQ(vehicle.size(), 1u);
    EXPECT_EQ(vehicle[0].event->trigger.triggerId, 0);
    ASSERT_FALSE(vehicle[0].event->evts.empty());
    EXPECT_EQ(vehicle[0].event->evts[0]->num, "ABOC12");
    const json stats = builder->getStatistics()["non-triggered-w-trigger"];
    EXPECT_EQ(stats["triggered"].at("sizeStatistics"), 1);
}

// A frame that reached the builder unprocessed (a skipped frame) is claimed, goes through the
// networks and comes back carrying the id: only the triggered part sees it again.
TEST_F(NTwTriggerBuilderTest, AFrameThatComesBackForATriggerReachesOnlyTheTriggeredPart) {
    lane.addCamera(1, 1, 1, ek::VideoProcessingMode::NonTriggeredWithTrigger);
    make();
    Echo echo(lane, *builder, [](FrameWithInfo& f) { addPlates(f, {{"AB0C12"}}); });
    auto skipped = frameOf(1, base, 5);  // NoProcessed, no readings
    for (int i = 0; i < 10; ++i) {
        echo.feed(i == 5 ? skipped : fromNetworks(i, {}));
    }
    echo.drain();
    EXPECT_EQ(seenByNonTriggered(skipped), 1u);
    builder->trigger(triggerAt(9, base + 5 * kStep), {1});  // frames 4 and 5
    auto events = lane.takeEvents(1);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(echo.passes().size(), 1u);
    EXPECT_EQ(skipped->triggerIds.get(), (std::vector<int64_t>{9}));
    EXPECT_EQ(seenByNonTriggered(skipped), 1u);
    ASSERT_EQ(events[0].event->evts.size(), 1u);
    EXPECT_EQ(events[0].event->evts[0]->frameGuid, skipped->frame->guid);
}

// FACE frames pass the non-triggered part untouched, InProccess: the triggered part marks them
// done, or no trigger on the lane could ever complete.
TEST_F(NTwTriggerBuilderTest, FaceFramesCountAtOnce) {
    lane.addCamera(1, 2, 2, ek::VideoProcessingMode::NonTriggeredWithTrigger);
    make();
    Echo echo(lane, *builder);
    for (int i = 0; i < 10; ++i) {
        auto f = fromNetworks(i, {});
        f->frame->cameraType = CameraType::FACE;
        echo.feed(f);
    }
    echo.drain();
    builder->trigger(triggerAt(3, base + 5 * kStep), {1});
    ASSERT_EQ(lane.sink->size(), 1u);
    EXPECT_EQ(lane.sink->pop().event->frames.size(), 4u);
    EXPECT_TRUE(echo.passes().empty());
}

TEST_F(NTwTriggerBuilderTest, ThePoisonFrameReachesBothParts) {
    auto& camera = lane.addCamera(1, 2, 2, ek::VideoProcessingMode::NonTriggeredWithTrigger);
    (void)camera;
    make();
    builder->consume(fromNetworks(0));
    ASSERT_NE(builder->triggered().frameRing(1), nullptr);
    EXPECT_EQ(builder->triggered().frameRing(1)->size(), 1u);
    auto poison = FrameWithInfo::makePoison();
    poison->frame->guid = "the-poison-frame";
    builder->consume(poison);
    builder->consume(fromNetworks(1));
    EXPECT_EQ(builder->triggered().frameRing(1)->size(), 0u);
    EXPECT_EQ(seenByNonTriggered(poison), 1u);
    // The non-triggered part's detection rings are poisoned as well: pushes are ignored.
    auto& rings = builder->nonTriggered().rings();
    ASSERT_FALSE(rings.empty());
    for (auto& [id, ring] : rings) {
        ring.push({1, {}});
        EXPECT_EQ(ring.size(), 0u) << id;
    }
}

}  // namespace
