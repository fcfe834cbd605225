#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "qo_common/utils/CommonUtils.h"
#include "src/event_builder/TriggeredBuilder.h"
#include "src/event_builder/TriggeredEvent.h"
#include "src/event_builder/TriggeredEventBuilderStatistics.h"
#include "src/event_builder/TriggeredReport.h"
#include "tests/src/event_builder/triggered/TrFixtures.h"
#include "tests/support/CapturingLog.h"

// The triggered report's assembly of one event from collected frames, its statistics, and the
// trigger event's counting rules.
namespace {

using namespace tr;

const int64_t kBase = 1'700'000'000'000;
const int64_t kTriggerTs = kBase + 10 * kStep;
const cv::Rect kBoxA{40, 10, 20, 8};
const cv::Rect kBoxX{4, 30, 24, 10};

std::vector<std::string> guidsOf(const std::vector<std::shared_ptr<ek::pipeline::Frame>>& frames) {
    std::vector<std::string> out;
    for (const auto& f : frames) {
        out.push_back(f->guid);
    }
    return out;
}

std::string g(int camera, int index) {
    return frameOf(camera, 0, index)->frame->guid;
}

// Two vehicles (plates "AB0C12" and "XY0Z34", corrected to "ABOC12" and "XYOZ34") seen by cameras 1
// and 2 around the trigger time; camera 3 sees neither. Camera 3's two frames are equally far from
// the trigger time.
class TriggeredReportTest : public ::testing::Test {
  protected:
    TriggeredReportTest() {
        lane.addCamera(1, 2, 2);
        lane.addCamera(2, 2, 2);
        lane.addCamera(3, 1, 1);
    }

    TriggeredReport::Result assemble(bool allLpr, bool allImages, bool readings = true) {
        builder = std::make_unique<TriggeredEventBuilder>(
            lane.ctx, lane.config({{"includeAllLprResults", allLpr}, {"includeAllImages", allImages}}));
        builder->start();
        TriggeredEvent::Collected c;
        c.id = 5;
        c.trigger = triggerAt(99, kTriggerTs);
        c.trigger.additional_data = {{"axle", "3"}};
        auto add = [&](TriggeredEvent::FramesByCamera& part, int camera, int index,
                       const std::vector<Plate>& plates, int64_t ts = -1) {
            auto f = processedFrameOf(camera, kBase, index, readings ? plates : std::vector<Plate>{});
            if (ts >= 0) {
                f->frame->timestamp = ts;
            }
            part[camera][f->frame->guid] = f;
        };
        const Plate a{"AB0C12", 0.9f, kBoxA};
        const Plate x{"XY0Z34", 0.9f, kBoxX};
        add(c.preFrames, 1, 8, {});
        add(c.preFrames, 1, 9, {a, {"XY0Z34", 0.92f, kBoxX}});
        add(c.postFrames, 1, 10, {{"AB0C12", 0.95f, kBoxA}, x});
        add(c.postFrames, 1, 11, {a});
        add(c.preFrames, 2, 8, {});
        add(c.preFrames, 2, 9, {x});
        add(c.postFrames, 2, 10, {a, {"XY0Z34", 0.85f, kBoxX}});
        add(c.postFrames, 2, 11, {});
        add(c.preFrames, 3, 9, {}, kTriggerTs - 40);
        add(c.postFrames, 3, 11, {}, kTriggerTs + 40);
        collected = c;
        return TriggeredReport(*builder, {allLpr, allImages}).assemble(c);
    }

    CapturingLog::Installed capture;
    Lane lane;
    std::unique_ptr<TriggeredEventBuilder> builder;
    TriggeredEvent::Collected collected;
};

struct PlateRow {
    std::string num;
    int srcId;
    std::string frameGuid;
    int plateIndex;
    float confidence;
};

void expectPlates(const QEVAEvent& event, const std::vector<PlateRow>& rows) {
    ASSERT_EQ(event.evts.size(), rows.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(i);
        const auto& p = *event.evts[i];
        EXPECT_EQ(p.num, rows[i].num);
        EXPECT_EQ(p.srcId, rows[i].srcId);
        EXPECT_EQ(p.src, "cam" + std::to_string(rows[i].srcId));
        EXPECT_EQ(p.frameGuid, rows[i].frameGuid);
        EXPECT_EQ(p.plateIndex, rows[i].plateIndex);
        EXPECT_FLOAT_EQ(p.confidence, rows[i].confidence);
        EXPECT_EQ(p.state, "T1");
        EXPECT_FLOAT_EQ(p.stateConfidence, 0.99f);
        EXPECT_TRUE(p.nontriggered);
        EXPECT_EQ(p.frame->guid, p.frameGuid);
        const cv::Rect box = p.num == "ABOC12" ? kBoxA : kBoxX;
        ASSERT_EQ(p.yoloInfo.size(), 1u);
        EXPECT_EQ(p.yoloInfo[0].rect(), box);
        EXPECT_EQ(p.plate.size(), box.size());
    }
}

TEST_F(TriggeredReportTest, OnePlatePerCameraAndVehicleWithTheFramesOfTheReadings) {
    const auto r = assemble(false, false);
    const QEVAEvent& e = r.event;
    expectPlates(e, {{"ABOC12", 1, g(1, 10), 0, 0.95f},
                     {"ABOC12", 2, g(2, 10), 0, 0.9f},
                     {"XYOZ34", 1, g(1, 9), 1, 0.92f},
                     {"XYOZ34", 2, g(2, 9), 1, 0.9f}});
    // The frames of the readings in collection order, then camera 3's nearest frame: of two frames
    // equally far from the trigger time the one listed first (a pre frame).
    EXPECT_EQ(guidsOf(e.frames), (std::vector<std::string>{g(1, 9), g(2, 9), g(1, 10), g(2, 10), g(3, 9)}));
    EXPECT_EQ(e.ts, kTriggerTs);
    EXPECT_EQ(e.trigger, collected.trigger);
    EXPECT_FALSE(e.guid.empty());
    EXPECT_EQ(e.laneId, 1);
    EXPECT_EQ(e.laneName, "lane1");
    EXPECT_EQ(e.motion_direction, 0.f);
    EXPECT_FALSE(e.postTrigger);
    EXPECT_TRUE(e.videos.empty());
    EXPECT_EQ(r.plateList, "ABOC12 ABOC12 XYOZ34 XYOZ34 ");
    // A plate's time is its vehicle's last reading (camera 1, frame 11), not the time of the
    // reading reported (frame 10, the trigger time).
    for (size_t i = 0; i < e.evts.size(); ++i) {
        EXPECT_EQ(e.evts[i]->ts, e.evts[i]->num == "ABOC12" ? kBase + 11 * kStep : kBase + 10 * kStep) << i;
    }
    // Frames are full copies.
    EXPECT_NE(e.frames[0].get(), collected.preFrames.at(1).at(g(1, 9))->frame.get());
    EXPECT_NE(e.evts[0]->frame.get(), e.frames[2].get());

    EXPECT_EQ(r.stat.numberFrames, (std::map<std::string, int>{{"cam1", 4}, {"cam2", 4}, {"cam3", 2}}));
    EXPECT_EQ(r.stat.numberPlates, 4);
    EXPECT_EQ(r.stat.numberCameras, 3);
    EXPECT_EQ(r.stat.collectedFrames, 10);
    EXPECT_EQ(r.stat.expectedFrames, 10);
    EXPECT_FALSE(r.stat.incomplete());
    EXPECT_TRUE(capture.log->contains("tr: Report: event:  5. Start report", ILog::LevelDebug));
}

TEST_F(TriggeredReportTest, AllLprResultsGiveOnePlatePerFrameRead) {
    const auto r = assemble(true, false);
    // In collection order (the order among frames is not significant, but it is stable).
    expectPlates(r.event, {{"ABOC12", 1, g(1, 9), 0, 0.9f},
                           {"ABOC12", 1, g(1, 10), 0, 0.95f},
                           {"ABOC12", 1, g(1, 11), 0, 0.9f},
                           {"ABOC12", 2, g(2, 10), 0, 0.9f},
                           {"XYOZ34", 1, g(1, 9), 1, 0.92f},
                           {"XYOZ34", 2, g(2, 9), 1, 0.9f},
                           {"XYOZ34", 1, g(1, 10), 1, 0.9f},
                           {"XYOZ34", 2, g(2, 10), 1, 0.85f}});
    EXPECT_EQ(guidsOf(r.event.frames),
              (std::vector<std::string>{g(1, 9), g(2, 9), g(1, 10), g(1, 11), g(2, 10), g(3, 9)}));
}

TEST_F(TriggeredReportTest, AllImagesGiveEveryCollectedFrameInCollectionOrder) {
    const auto r = assemble(false, true);
    EXPECT_EQ(r.event.evts.size(), 4u);
    EXPECT_EQ(guidsOf(r.event.frames),
              (std::vector<std::string>{g(1, 8), g(1, 9), g(2, 8), g(2, 9), g(3, 9), g(1, 10), g(1, 11),
                                        g(2, 10), g(2, 11), g(3, 11)}));
}

TEST_F(TriggeredReportTest, WithoutReadingsTheNearestFrameOfEveryCamera) {
    const auto r = assemble(false, false, false);
    EXPECT_TRUE(r.event.evts.empty());
    EXPECT_EQ(guidsOf(r.event.frames), (std::vector<std::string>{g(1, 10), g(2, 10), g(3, 9)}));
    EXPECT_EQ(r.event.person_number, 0);
    EXPECT_EQ(r.plateList, "");
}

// Three vehicles side by side in one frame carry 1, 3 and 2 persons: the event counts the most.
TEST_F(TriggeredReportTest, PersonNumberIsTheMostPersonsAtOneVehicle) {
    builder = std::make_unique<TriggeredEventBuilder>(lane.ctx, lane.config({{"showPersonImage", true}}));
    builder->start();
    auto f = processedFrameOf(1, kBase, 10,
                              {{"AB0C12", 0.9f, {2, 30, 16, 8}},
                               {"XY0Z34", 0.9f, {23, 30, 16, 8}},
                               {"KL0M56", 0.9f, {44, 30, 16, 8}}});
    const auto object = [&](int classId, cv::Rect box) {
        YoloObjectInfo o;
        o.id = f->yoloDetectionsOverROI.size();
        o.classId = classId;
        o.left = box.x;
        o.top = box.y;
        o.width = box.width;
        o.height = box.height;
        f->yoloDetectionsOverROI.push_back(o);
    };
    const int persons[] = {1, 3, 2};
    for (int v = 0; v < 3; ++v) {
        object(1, {21 * v, 0, 20, 48});
        for (int p = 0; p < persons[v]; ++p) {
            object(2, {21 * v + 2, 2 + 6 * p, 4, 4});
        }
    }
    TriggeredEvent::Collected c;
    c.trigger = triggerAt(98, kTriggerTs);
    c.postFrames[1][f->frame->guid] = f;
    const auto r = TriggeredReport(*builder, {}).assemble(c);
    EXPECT_EQ(r.event.evts.size(), 3u);
    EXPECT_EQ(r.event.person_number, 3);
}

TEST(TriggeredStatisticsTest, EmptyAndTheLast100Reports) {
    TriggeredEventBuilderStatistics stats;
    EXPECT_EQ(stats.get(), (nlohmann::json{{"sizeStatistics", 0},
                                           {"avgLatency", 0},
                                           {"minLatency", 0},
                                           {"maxLatency", 0},
                                           {"incompleteEvents", 0}}));
    for (int i = 0; i <= 100; ++i) {
        TriggeredEventStat s;
        s.durationMs = 10 * i;
        s.numberFrames = {{"cam1", i}};
        if (i % 2 == 0) {
            s.numberFrames["cam2"] = 2 * i;
        }
        s.numberPlates = i % 3;
        s.numberCameras = static_cast<int>(s.numberFrames.size());
        s.collectedFrames = i;
        s.expectedFrames = 50;  // reports 1 to 49 are short
        s.timedOut = i == 70;   // and one whose frames did not all come back
        stats.update(s);
    }
    // Report 0 has left: 1 to 100 count.
    EXPECT_EQ(stats.get(), (nlohmann::json{{"sizeStatistics", 100},
                                           {"avgLatency", 505},
                                           {"minLatency", 10},
                                           {"maxLatency", 1000},
                                           {"numberPlates", {{"min", 0}, {"max", 2}}},
                                           {"numberCameras", {{"min", 1}, {"max", 2}}},
                                           {"incompleteEvents", 50},
                                           {"cam1", {{"numberFrames", {{"min", 1}, {"max", 100}}}}},
                                           {"cam2", {{"numberFrames", {{"min", 4}, {"max", 200}}}}}}));
    EXPECT_EQ(stats.avgLatency(), 505);
}

// A camera named like a fixed key leaves the fixed key alone.
TEST(TriggeredStatisticsTest, ACameraNamedLikeAKeyDoesNotReplaceIt) {
    TriggeredEventBuilderStatistics stats;
    TriggeredEventStat s;
    s.numberFrames = {{"avgLatency", 3}};
    stats.update(s);
    EXPECT_EQ(stats.get().at("avgLatency"), 0);
}

TEST(TriggeredEventTest, CountsEachFrameOncePerPartAndOnlyWhileProcessing) {
    auto f1 = frameOf(1, kBase, 1);
    auto f2 = frameOf(1, kBase, 2);
    auto other = frameOf(2, kBase, 1);
    TriggeredEvent e(triggerAt(1, kBase));
    const int64_t firstId = e.id;
    EXPECT_EQ(TriggeredEvent(triggerAt(2, kBase)).id, firstId + 1);

    e.update(f1);  // Create: nothing counts yet
    EXPECT_EQ(e.frameCounter(), 0u);
    // f2 is both a pre and a post frame (it counts twice); `other` is in neither.
    ASSERT_TRUE(e.startProcessing({{1, {{g(1, 1), f1}, {g(1, 2), f2}}}}, {{1, {{g(1, 2), f2}}}}));
    EXPECT_FALSE(e.startProcessing({}, {}));
    EXPECT_EQ(e.frameNumber(), 3u);
    e.update(f1);
    e.update(f1);  // the worker and the trigger thread both: counted once
    e.update(other);
    EXPECT_EQ(e.frameCounter(), 1u);
    EXPECT_EQ(e.status(), TriggeredEvent::Processing);
    EXPECT_FALSE(e.claimReport());
    e.update(f2);
    EXPECT_EQ(e.frameCounter(), 3u);
    EXPECT_EQ(e.status(), TriggeredEvent::NeedReport);
    auto claimed = e.claimReport();
    ASSERT_TRUE(claimed);
    EXPECT_EQ(claimed->trigger.triggerId, 1);
    EXPECT_EQ(e.status(), TriggeredEvent::Finish);
    EXPECT_FALSE(e.claimReport());
    e.update(f1);
    EXPECT_EQ(e.frameCounter(), 3u);
}

TEST(TriggeredEventTest, NothingCollectedNeedsAReportAtOnce) {
    TriggeredEvent e(triggerAt(1, kBase));
    ASSERT_TRUE(e.startProcessing({{1, {}}}, {}));
    EXPECT_EQ(e.status(), TriggeredEvent::NeedReport);
}

TEST(TriggeredEventTest, AnOverdueEventKeepsOnlyItsCountedFrames) {
    auto f1 = frameOf(1, kBase, 1);
    auto f2 = frameOf(1, kBase, 2);
    TriggeredEvent e(triggerAt(1, kBase));
    ASSERT_TRUE(e.startProcessing({{1, {{g(1, 1), f1}}}}, {{1, {{g(1, 2), f2}}}}));
    uint64_t missing = 0;
    const auto now = TriggeredEvent::Clock::now();
    EXPECT_FALSE(e.claimOverdue(now, missing));  // no deadline yet: still collecting or dispatching
    e.setReturnDeadline(now + std::chrono::seconds(5));
    EXPECT_FALSE(e.claimOverdue(now, missing));
    e.update(f2);
    auto c = e.claimOverdue(now + std::chrono::seconds(5), missing);
    ASSERT_TRUE(c);
    EXPECT_EQ(missing, 1u);
    EXPECT_TRUE(c->timedOut);
    EXPECT_TRUE(c->preFrames.at(1).empty());
    EXPECT_EQ(c->postFrames.at(1).size(), 1u);
    EXPECT_EQ(e.status(), TriggeredEvent::Finish);
    EXPECT_FALSE(e.drop());
}

// Many threads count the same frames and race for the report: exactly one gets it.
TEST(TriggeredEventTest, ExactlyOneThreadClaimsTheReport) {
    for (int round = 0; round < 200; ++round) {
        std::vector<std::shared_ptr<FrameWithInfo>> frames;
        TriggeredEvent::FramesByCamera post;
        for (int i = 0; i < 8; ++i) {
            frames.push_back(frameOf(1, kBase, i));
            post[1][frames.back()->frame->guid] = frames.back();
        }
        TriggeredEvent e(triggerAt(1, kBase));
        ASSERT_TRUE(e.startProcessing({}, post));
        std::atomic<int> claims{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&] {
                for (const auto& f : frames) {
                    e.update(f);
                    claims += e.claimReport() ? 1 : 0;
                }
            });
        }
        for (auto& t : threads) {
            t.join();
        }
        EXPECT_EQ(claims, 1);
        EXPECT_EQ(e.frameCounter(), 8u);
    }
}

}  // namespace
