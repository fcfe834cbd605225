#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "src/event_builder/NonTriggeredBuilder.h"
#include "tests/platform/video/TestClips.h"
#include "tests/src/event_builder/nontriggered/NtFixtures.h"
#include "tests/support/CapturingLog.h"

// The builder while no frame comes: its worker's timed pop hands it the time since the last frame
// (idle), and the end of the input hands it a flush. The tests give those times themselves.
namespace {

using nlohmann::json;
using nt::frameOf;
using nt::Plate;
using std::chrono::milliseconds;

class NonTriggeredIdleTest : public ::testing::Test {
  protected:
    NonTriggeredEventBuilder& make(const json& extra = json::object()) {
        builder = std::make_unique<NonTriggeredEventBuilder>(lane.ctx, lane.builderConfig(extra));
        builder->start();
        return *builder;
    }

    // Frames of camera 1 carrying `text`, every 40 ms from `from` to `to` (both included).
    void plateFrames(int64_t from, int64_t to, const std::string& text) {
        for (int64_t ts = from; ts <= to; ts += 40) {
            builder->consume(frameOf(1, ts, {Plate{text}}));
        }
    }

    CapturingLog::Installed capture;
    nt::Lane lane;
    std::unique_ptr<NonTriggeredEventBuilder> builder;
};

// A vehicle read just before the camera stalls: the sweeps of the idle worker, at the last frame's
// time plus the silence, report it once the event is due (more than eventEmitWait after its
// confirmation) and close it after lpForgetInterval, exactly as frames at those times would.
TEST_F(NonTriggeredIdleTest, IdleSweepsReportAndCloseAsFramesWouldHave) {
    lane.addCamera(1);
    make();                               // eventEmitWait 1000, lpForgetInterval 30000, minDetections 2
    builder->idle(milliseconds(100000));  // no frame yet: nothing to sweep
    // Confirmed at 1040 (its second frame): due after 2040. Last reading 1400.
    plateFrames(1000, 1400, "AB0C12");
    struct Step {
        int64_t silence;
        size_t reports;  // launched so far
        bool closed;
    };
    const std::vector<Step> steps = {{100, 0, false},   {640, 0, false},  {641, 1, false}, {5000, 1, false},
                                     {30000, 1, false}, {30001, 1, true}, {90000, 1, true}};
    for (const auto& step : steps) {
        SCOPED_TRACE(step.silence);
        builder->idle(milliseconds(step.silence));
        EXPECT_EQ(capture.log->count("META: Run report thread"), step.reports);
        EXPECT_EQ(builder->getStatistics().at("sizeStatistics") == 1, step.closed);
    }
    EXPECT_TRUE(capture.log->contains("no frame for 641 ms: sweep at 2041"));
    const auto events = lane.takeEvents(1);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].event->evts.at(0)->num, "AB0C12");
}

// The end of the input: every event that has its detections is reported as if forgotten and
// closed, the others are closed unreported, a reported one is not reported again, and flush
// returns only once every report is out, also one whose clip wants frames that will never come.
TEST_F(NonTriggeredIdleTest, FlushReportsEveryEventWithItsDetectionsAndWaitsForTheReports) {
    auto& camera = lane.addCamera<nt::RecordingSource>(1);
    camera.settings.recordEnable = true;
    camera.settings.pathToSaveVideo = lane.dir.path().string() + "/";
    // The clip lies 40 s ahead of the clock: its detections would be waited for about a minute.
    const auto clip = nt::readClip(testclips::h264Mp4(), CommonUtils::getTs() + 40000, 0);
    camera.packets = clip.packets;
    make({{"lpForgetInterval", 3000}, {"eventEmitWait", 2500}, {"minDetections", 3}});
    const int64_t t = clip.frameTimes.front();
    plateFrames(t, t + 120, "AA1111");                          // confirmed at t + 80
    builder->consume(frameOf(1, t + 3000, {Plate{"BB2222"}}));  // AA1111 due: its report starts
    plateFrames(t + 3040, t + 3080, "CC3333");                  // two readings: never confirmed
    plateFrames(t + 3120, t + 3200, "DD4444");                  // confirmed, not due
    ASSERT_EQ(capture.log->count("META: Run report thread"), 1u);

    builder->flush();
    EXPECT_EQ(capture.log->count("META: Run report thread"), 2u);
    ASSERT_EQ(lane.sink->size(), 2u);  // already there: flush waited for both reports
    std::vector<std::string> plates;
    for (int i = 0; i < 2; ++i) {
        const auto pair = lane.sink->pop();
        plates.push_back(pair.event->evts.at(0)->num);
        ASSERT_EQ(pair.event->videos.count(1), 1u);
        EXPECT_TRUE(std::filesystem::exists(lane.dir.file(pair.event->videos.at(1) + ".rects")));
    }
    std::sort(plates.begin(), plates.end());
    EXPECT_EQ(plates, (std::vector<std::string>{"AA1111", "DD4444"}));
    EXPECT_EQ(builder->runningReports(), 0u);
    EXPECT_EQ(builder->getStatistics().at("sizeStatistics"), 4);  // every event closed
    EXPECT_FALSE(capture.log->contains("Gave up waiting"));
    builder->flush();  // nothing left
    EXPECT_EQ(capture.log->count("META: Run report thread"), 2u);
    EXPECT_EQ(builder->settleTime(), milliseconds(5500));
}

}  // namespace
