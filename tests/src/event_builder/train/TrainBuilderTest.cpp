#include "src/event_builder/TrainBuilder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "src/PipelineContext.h"
#include "tests/src/FakeVideoSource.h"
#include "tests/src/event_builder/EventFixtures.h"
#include "tests/support/CapturingLog.h"

namespace {

using nlohmann::json;

const cv::Size kImage{1000, 500};
const cv::Rect kStanding{100, 100, 40, 12};
const std::string kPlate = "TRN4512";
const cv::Size kSmall{200, 150};  // enough for kStanding, cheap to copy

// Fails to start the first `failures` report threads, as a process out of threads would.
class FlakyTrainBuilder : public TrainBuilder {
  public:
    FlakyTrainBuilder(ek::PipelineContext& ctx, const json& config, int failures)
        : TrainBuilder(ctx, config), failures_(failures) {}

  protected:
    std::future<void> startReportThread(std::function<void()> job) override {
        if (failures_ > 0) {
            --failures_;
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        }
        return TrainBuilder::startReportThread(std::move(job));
    }

  private:
    int failures_;
};

class TrainBuilderTest : public ::testing::Test {
  protected:
    TrainBuilderTest() { sink = ctx.addEventQueue("sink", 1000); }

    FakeVideoSource& addCamera(const std::string& name, int id, int lane = 1, bool recording = true,
                               bool online = true) {
        auto source = std::make_unique<FakeVideoSource>(name, id, lane, online);
        source->settings.recordEnable = recording;
        auto& kept = *source;
        ctx.addVideoSource(std::move(source));
        return kept;
    }

    static json config(const json& extra = json::object()) {
        json c = {
            {"name", "train"},         {"type", "TrainSequence"}, {"destinations", {"sink"}}, {"laneId", 1},
            {"laneName", "platform1"}, {"eventEmitWait", 1000},   {"lpForgetInterval", 5000}};
        c.update(extra);
        return c;
    }

    std::unique_ptr<TrainBuilder> started(const json& extra = json::object()) {
        auto b = std::make_unique<TrainBuilder>(ctx, config(extra));
        b->start();
        return b;
    }

    // A frame of `camera` at `ts`, as the networks leave it, with a plate at `plate` when given.
    static std::shared_ptr<FrameWithInfo> frame(int64_t ts, std::optional<cv::Rect> plate = kStanding,
                                                int camera = 1, const std::string& text = kPlate,
                                                float confidence = 0.9f, cv::Size image = kImage) {
        auto f = fixtures::frame(camera, ts, image);
        f->status = FrameWithInfo::InProccess;
        if (plate) {
            const uint64_t object = fixtures::addObject(*f, 0, *plate);
            fixtures::addReading(*f, text, confidence, object, *plate);
        }
        return f;
    }

    size_t count(const std::string& part, int level = ILog::LevelDebug) const {
        return capture.log->count(part, level);
    }

    // The posted pairs, in order; waits for `expected` reports to finish first.
    std::vector<QEVAPair> posted(size_t expected) {
        EXPECT_TRUE(waitForReports(expected));
        std::vector<QEVAPair> pairs;
        while (sink->size() > 0) {
            pairs.push_back(sink->pop());
        }
        return pairs;
    }

    bool waitForReports(size_t n) {
        const auto guard = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (count(". Finish report") < n && std::chrono::steady_clock::now() < guard) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return count(". Finish report") >= n;
    }

    CapturingLog::Installed capture;
    ek::PipelineContext ctx{json{{"webserver", {{"port", 0}}}}};
    std::shared_ptr<ek::PipelineContext::EventQueue> sink;
};

// ---- configuration ----

TEST_F(TrainBuilderTest, KeysDefaultsAndTheEventModelValuesTheBuilderDoesNotRead) {
    TrainBuilder defaults(ctx, {{"name", "train"}, {"destinations", {"sink"}}});
    const auto& d = defaults.eventSettings();
    EXPECT_EQ(d.eventBuilderName, "train");
    EXPECT_EQ(d.eventEmitWait, 30000);
    EXPECT_EQ(d.lpForgetInterval, 60000);
    EXPECT_EQ(d.minDetections, 2u);
    EXPECT_EQ(d.minDoorOpenCount, 3);
    EXPECT_EQ(d.maxDoorDistancePercent, 20);
    EXPECT_EQ(d.stationaryPlateMinCount, 3);
    EXPECT_FLOAT_EQ(d.iouThreshold, 0.7f);
    EXPECT_EQ(d.doorRoi, cv::Rect(0, 0, 1000, 1000));
    EXPECT_EQ(d.YoloOpenDoorClassId, 1);
    EXPECT_EQ(d.YoloCloseDoorClassId, 2);
    EXPECT_EQ(defaults.mode(), EventBuilderMode::Train);
    EXPECT_EQ(defaults.getStatString(), "Events in history 0");
    EXPECT_EQ(defaults.getStatistics(), (json{{"eventsInHistory", 0}}));

    TrainBuilder set(ctx, config({{"eventEmitWait", 10},
                                  {"lpForgetInterval", 20},
                                  {"minDetections", 0},
                                  {"minDoorOpenCount", 0},
                                  {"maxDoorDistancePercent", 50},
                                  {"stationaryPlateMinCount", 5},
                                  {"iouThreshold", 0.5},
                                  {"doorRoi", "100, 0, 800, 1000"},
                                  // licence-plate keys, not the train builder's
                                  {"reportInterval", 5},
                                  {"lpConfidenceVariance", 0.5},
                                  {"maxNumberLpVariance", 3},
                                  {"minDirectionVector", 7}}));
    const auto& s = set.eventSettings();
    EXPECT_EQ(s.eventEmitWait, 10);
    EXPECT_EQ(s.lpForgetInterval, 20);
    EXPECT_EQ(s.minDetections, 0u);
    EXPECT_EQ(s.minDoorOpenCount, 0);
    EXPECT_EQ(s.maxDoorDistancePercent, 50);
    EXPECT_EQ(s.stationaryPlateMinCount, 5);
    EXPECT_FLOAT_EQ(s.iouThreshold, 0.5f);
    EXPECT_EQ(s.doorRoi, cv::Rect(100, 0, 800, 1000));
    EXPECT_EQ(s.reportInterval, 0);
    EXPECT_FLOAT_EQ(s.lpConfidenceVariance, 0.05f);
    EXPECT_EQ(s.maxNumberLpVariance, 15u);
    EXPECT_EQ(s.minDirectionVector, 0);
    EXPECT_EQ(capture.log->count("", ILog::LevelWarning), 0u);
}

TEST_F(TrainBuilderTest, KeysOfTheWrongKindAndNegativeCountsAreRefusedAtLoad) {
    const std::vector<std::pair<json, std::string>> cases = {
        {{{"eventEmitWait", "1"}},
         "eventEmitWait: expected an integer from -2147483648 to 2147483647, got string \"1\""},
        {{{"minDoorOpenCount", 1.5}}, "minDoorOpenCount: expected an integer"},
        {{{"iouThreshold", "high"}}, "iouThreshold: expected a number, got string \"high\""},
        {{{"lpForgetInterval", 5000000000}},
         "lpForgetInterval: expected an integer from -2147483648 to 2147483647"},
        {{{"minDetections", -1}}, "minDetections: must be at least 0, got -1"},
        {{{"minDoorOpenCount", -1}}, "minDoorOpenCount: must be at least 0, got -1 (builder \"train\")"},
    };
    for (const auto& [extra, error] : cases) {
        SCOPED_TRACE(extra.dump());
        try {
            TrainBuilder b(ctx, config(extra));
            ADD_FAILURE() << "accepted";
        } catch (const BuilderConfig::Error& e) {
            EXPECT_NE(std::string(e.what()).find(error), std::string::npos) << e.what();
        }
    }
}

TEST_F(TrainBuilderTest, DoorRoiIsReadStrictlyAndAMalformedValueGivesTheWholeImageWithAWarning) {
    const cv::Rect whole{0, 0, 1000, 1000};
    struct Case {
        json value;
        cv::Rect roi;
        std::string warning;  // "" for none
    };
    const std::string malformed = "train: doorRoi is malformed, got ";
    const std::vector<Case> cases = {
        {"100, 0, 800, 1000", {100, 0, 800, 1000}, ""},
        {" 5 ,6,\t7, 8 ", {5, 6, 7, 8}, ""},
        {"-10, +0, 1200, 1000", {-10, 0, 1200, 1000}, ""},  // outside 0..1000 is taken as it is
        {"0, 0, 1000", whole, malformed + "string \"0, 0, 1000\""},
        {"0, 0, 1000, 1000, 5", whole, malformed + "string \"0, 0, 1000, 1000, 5\""},
        {"10x, 0, 10, 10", whole, malformed + "string \"10x, 0, 10, 10\""},
        {"1e3, 0, 10, 10", whole, malformed + "string \"1e3, 0, 10, 10\""},
        {"99999999999, 0, 10, 10", whole, malformed + "string \"99999999999, 0, 10, 10\""},
        {"a, b, c, d", whole, malformed + "string \"a, b, c, d\""},
        {"1,,2,3", whole, malformed + "string \"1,,2,3\""},
        {"+-1, 0, 1, 1", whole, malformed + "string \"+-1, 0, 1, 1\""},
        {"", whole, malformed + "string \"\""},
        {5, whole, malformed + "number 5"},
        {nullptr, whole, malformed + "null"},
        {json::array({"0", "0", "1", "1"}), whole, malformed + "array"},
        {"0, 0, 0, 1000",
         {0, 0, 0, 1000},
         "train: doorRoi 0, 0, 0, 1000 has no area: no door will ever be found"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value.dump());
        capture.log->clear();
        TrainBuilder b(ctx, config({{"doorRoi", c.value}}));
        EXPECT_EQ(b.eventSettings().doorRoi, c.roi);
        const auto warnings = capture.log->messages(ILog::LevelWarning);
        if (c.warning.empty()) {
            EXPECT_TRUE(warnings.empty()) << warnings.front();
        } else {
            ASSERT_EQ(warnings.size(), 1u);
            EXPECT_EQ(warnings[0].rfind(c.warning, 0), 0u) << warnings[0];
        }
    }
}

TEST_F(TrainBuilderTest, AnIouThresholdOutsideZeroToOneIsAcceptedWithAWarning) {
    for (const auto& [value, warned] : std::vector<std::pair<double, bool>>{
             {0.0, true}, {-0.5, true}, {1.5, true}, {1e300, true}, {1.0, false}, {0.01, false}}) {
        SCOPED_TRACE(value);
        capture.log->clear();
        TrainBuilder b(ctx, config({{"iouThreshold", value}}));
        if (value < 2.0) {
            EXPECT_FLOAT_EQ(b.eventSettings().iouThreshold, static_cast<float>(value));
        } else {
            EXPECT_TRUE(std::isinf(b.eventSettings().iouThreshold));  // beyond the float range
        }
        EXPECT_EQ(count("train: iouThreshold", ILog::LevelWarning), warned ? 1u : 0u);
    }
}

TEST_F(TrainBuilderTest, TheFactoryMakesItForTrainSequenceAndTriggersDoNothing) {
    addCamera("cam1", 1);
    auto made = createEventBuilder(ctx, config());
    ASSERT_TRUE(made);
    EXPECT_EQ(made->mode(), EventBuilderMode::Train);
    EXPECT_FALSE(takesTriggers(made->mode()));
    made->start();
    QEVATriggerEvent trigger;
    trigger.laneId = 1;
    made->trigger(trigger, {1});
    made->consume(FrameWithInfo::makePoison());
    EXPECT_EQ(made->getStatistics(), (json{{"eventsInHistory", 0}}));
    EXPECT_EQ(sink->size(), 0u);
}

TEST_F(TrainBuilderTest, StartTakesTheLaneCamerasAndWarnsWhenNoneOrNoneRecords) {
    {
        auto b = started();
        EXPECT_EQ(count("train: no camera on lane 1: its events would be posted without plates",
                        ILog::LevelWarning),
                  1u);
    }
    addCamera("cam1", 1, 1, false);
    addCamera("other", 2, 2, true);
    {
        capture.log->clear();
        auto b = started();
        EXPECT_EQ(count("train: Get cameras from video sources"), 1u);
        EXPECT_EQ(count("train: Connect ot camera: cam1"), 1u);
        EXPECT_EQ(count("Connect ot camera: other"), 0u);
        EXPECT_EQ(count("train: no recording camera on lane 1", ILog::LevelWarning), 1u);
    }
    addCamera("cam3", 3, 1, true);
    capture.log->clear();
    auto b = started();
    EXPECT_EQ(capture.log->count("", ILog::LevelWarning), 0u);
}

// ---- the lifecycle, frame by frame ----

TEST_F(TrainBuilderTest, AStandingPlateIsReportedOnceAfterEventEmitWaitOfSilence) {
    addCamera("cam1", 1);
    auto b = started();
    const std::string confirmed = "train: update status event to: Confirm";
    for (int64_t ts = 1000; ts <= 1200; ts += 100) {
        b->consume(frame(ts));
    }
    EXPECT_EQ(count(confirmed), 0u);
    EXPECT_EQ(b->getStatString(), "Events in history 1");
    auto fourth = frame(1300);
    b->consume(fourth);
    EXPECT_EQ(count(confirmed), 1u);
    EXPECT_EQ(fourth->status.load(), FrameWithInfo::Processed);

    // Silence is measured with the timestamps of the frames that come in.
    b->consume(frame(2300, std::nullopt));
    EXPECT_EQ(count("META: Run report thread"), 0u);
    b->consume(frame(2301, std::nullopt));
    EXPECT_EQ(count("META: Run report thread"), 1u);
    EXPECT_EQ(count("train: Need send report for event ID: "), 1u);
    auto pairs = posted(1);
    ASSERT_EQ(pairs.size(), 1u);
    ASSERT_TRUE(pairs[0].event);
    ASSERT_EQ(pairs[0].event->evts.size(), 1u);
    EXPECT_EQ(pairs[0].event->evts[0]->num, kPlate);
    EXPECT_EQ(pairs[0].event->ts, 1000);
    // No door, and no reading since the plate was found standing: the last frame alone.
    EXPECT_EQ(pairs[0].event->frames.size(), 1u);

    // Readings after the report join the event and bring no second report, nor does its finish.
    for (int64_t ts = 2400; ts <= 2800; ts += 100) {
        b->consume(frame(ts));
    }
    b->consume(frame(2800 + 1001, std::nullopt));
    b->consume(frame(2800 + 5000, std::nullopt));
    EXPECT_EQ(b->getStatString(), "Events in history 1");
    b->consume(frame(2800 + 5001, std::nullopt));
    EXPECT_EQ(b->getStatString(), "Events in history 0");
    EXPECT_EQ(count("META: Run report thread"), 1u);
    EXPECT_EQ(count("train: Need send report for event ID: "), 2u);  // the finish, cleared
    EXPECT_EQ(count("train: Delete Finish event from history ID: "), 1u);
    EXPECT_EQ(count("LP:  " + kPlate), 1u);
    EXPECT_EQ(count("No report event ID"), 0u);
    EXPECT_EQ(count("train: ID: ", ILog::LevelInfo), 1u);
    EXPECT_EQ(count("LP: " + kPlate + ", {\"cam1\":{\"numberFrames\":9},\"duration\":", ILog::LevelInfo), 1u);
    b.reset();
    EXPECT_EQ(sink->size(), 0u);
}

TEST_F(TrainBuilderTest, ConfirmationNeedsMinDetectionsAsWellAsAStandingPlate) {
    addCamera("cam1", 1);
    auto b = started({{"minDetections", 5}});
    for (int64_t ts = 1000; ts <= 1300; ts += 100) {
        b->consume(frame(ts));
    }
    EXPECT_EQ(count("update status event to: Confirm"), 0u);
    // Without minDetections the fifth standing reading confirms the event as it is appended.
    b->consume(frame(1400));
    EXPECT_EQ(count("change status to Confirm"), 1u);
    b->consume(frame(2401, std::nullopt));
    EXPECT_EQ(posted(1).size(), 1u);
}

TEST_F(TrainBuilderTest, AMovingPlateNeverConfirmsAndIsDroppedUnreportedAfterTheForgetInterval) {
    addCamera("cam1", 1);
    auto b = started();
    for (int i = 0; i < 10; ++i) {
        b->consume(frame(1000 + 100 * i, cv::Rect(50 * i, 100, 40, 12)));
    }
    b->consume(frame(1900 + 5000, std::nullopt));
    EXPECT_EQ(b->getStatString(), "Events in history 1");
    b->consume(frame(1900 + 5001, std::nullopt));
    EXPECT_EQ(b->getStatString(), "Events in history 0");
    EXPECT_EQ(count("Confirm"), 0u);
    EXPECT_EQ(count("train: Delete Ignored event from history ID: "), 1u);
    EXPECT_EQ(count(", detections: 10, number reads: 1"), 1u);
    EXPECT_EQ(count("META: Run report thread"), 0u);
    b.reset();
    EXPECT_EQ(sink->size(), 0u);
}

TEST_F(TrainBuilderTest, FramesOfCamerasOffTheLaneAreNotMatchedButDriveTheSweep) {
    addCamera("cam1", 1);
    addCamera("cam9", 9, 2);
    auto b = started();
    auto foreign = frame(900, kStanding, 9, "ZZ9999");
    b->consume(foreign);
    EXPECT_EQ(foreign->status.load(), FrameWithInfo::Processed);
    EXPECT_EQ(b->getStatString(), "Events in history 0");

    for (int64_t ts = 1000; ts <= 1300; ts += 100) {
        b->consume(frame(ts));
    }
    auto untouched = frame(1400, std::nullopt, 9);
    untouched->status = FrameWithInfo::NoProcessed;
    b->consume(untouched);
    EXPECT_EQ(untouched->status.load(), FrameWithInfo::NoProcessed);
    b->consume(frame(2301, kStanding, 9, "ZZ9999"));  // only its time counts
    auto pairs = posted(1);
    ASSERT_EQ(pairs.size(), 1u);
    EXPECT_EQ(pairs[0].event->evts.at(0)->num, kPlate);
    EXPECT_EQ(b->getStatString(), "Events in history 1");
}

TEST_F(TrainBuilderTest, AReportWhoseThreadDoesNotStartIsRetriedAtTheNextFrame) {
    addCamera("cam1", 1);
    FlakyTrainBuilder b(ctx, config(), 2);
    b.start();
    for (int64_t ts = 1000; ts <= 1300; ts += 100) {
        b.consume(frame(ts));
    }
    b.consume(frame(2301, std::nullopt));
    EXPECT_EQ(count("train: report thread for event ID ", ILog::LevelError), 1u);
    EXPECT_EQ(count("retrying at the next frame", ILog::LevelError), 1u);
    b.consume(frame(2302, std::nullopt));
    EXPECT_EQ(count("did not start", ILog::LevelError), 2u);
    b.consume(frame(2303, std::nullopt));
    auto pairs = posted(1);
    EXPECT_EQ(pairs.size(), 1u);
    b.consume(frame(2304, std::nullopt));
    EXPECT_EQ(count("META: Run report thread"), 3u);  // two failed starts and the report
}

TEST_F(TrainBuilderTest, AFinishedEventWhoseReportDidNotStartStaysUntilItIsReported) {
    addCamera("cam1", 1);
    FlakyTrainBuilder b(ctx, config({{"eventEmitWait", 100000}}), 1);
    b.start();
    for (int64_t ts = 1000; ts <= 1300; ts += 100) {
        b.consume(frame(ts));
    }
    b.consume(frame(1300 + 5001, std::nullopt));  // finishes: its report is due now, and fails to start
    EXPECT_EQ(count("did not start", ILog::LevelError), 1u);
    EXPECT_EQ(b.getStatString(), "Events in history 1");
    EXPECT_EQ(count("Delete Finish event"), 0u);
    b.consume(frame(1300 + 5002, std::nullopt));
    EXPECT_EQ(b.getStatString(), "Events in history 0");
    EXPECT_EQ(count("Delete Finish event"), 1u);
    EXPECT_EQ(posted(1).size(), 1u);
}

TEST_F(TrainBuilderTest, TheDestructorWaitsForItsReports) {
    addCamera("cam1", 1);
    auto b = started();
    for (int64_t ts = 1000; ts <= 1300; ts += 100) {
        b->consume(frame(ts));
    }
    b->consume(frame(2301, std::nullopt));
    b.reset();
    EXPECT_EQ(sink->size(), 1u);
}

// ---- while no frame comes ----

// The worker's idle sweeps stand in for the frames that do not come: the standing plate is
// reported once eventEmitWait of silence has passed and dropped after lpForgetInterval, as frames
// at those times would do.
TEST_F(TrainBuilderTest, IdleSweepsReportAfterTheSilenceAndDropAfterTheForgetInterval) {
    addCamera("cam1", 1);
    auto b = started();                         // eventEmitWait 1000, lpForgetInterval 5000
    b->idle(std::chrono::milliseconds(60000));  // no frame yet: nothing happens
    for (int64_t ts = 1000; ts <= 1300; ts += 100) {
        b->consume(frame(ts));
    }
    b->idle(std::chrono::milliseconds(1000));
    EXPECT_EQ(count("META: Run report thread"), 0u);
    b->idle(std::chrono::milliseconds(1001));
    EXPECT_EQ(count("META: Run report thread"), 1u);
    b->idle(std::chrono::milliseconds(5000));
    EXPECT_EQ(b->getStatString(), "Events in history 1");
    b->idle(std::chrono::milliseconds(5001));
    EXPECT_EQ(b->getStatString(), "Events in history 0");
    EXPECT_EQ(count("META: Run report thread"), 1u);
    EXPECT_EQ(posted(1).size(), 1u);
}

// At the end of the input, flush reports the confirmed event at once, drops the one that never
// confirmed, and returns after the report is posted. The camera went offline with its file; its
// readings still count during the drain.
TEST_F(TrainBuilderTest, FlushReportsTheConfirmedEventsWithTheReadingsOfACameraThatHasEnded) {
    addCamera("cam1", 1, 1, true, false);
    auto b = started();
    for (int64_t ts = 1000; ts <= 1300; ts += 100) {
        b->consume(frame(ts));
    }
    for (int i = 0; i < 4; ++i) {
        b->consume(frame(1400 + 100 * i, cv::Rect(50 * i, 300, 40, 12), 1, "MOV1234"));
    }
    EXPECT_EQ(count("META: Run report thread"), 0u);
    ctx.requestDrain();
    b->flush();
    EXPECT_EQ(count("META: Run report thread"), 1u);
    ASSERT_EQ(sink->size(), 1u);  // flush waited for the report
    const auto pair = sink->pop();
    ASSERT_EQ(pair.event->evts.size(), 1u);
    EXPECT_EQ(pair.event->evts[0]->num, kPlate);
    EXPECT_EQ(b->getStatString(), "Events in history 0");
    EXPECT_EQ(count("train: Delete Ignored event from history ID: "), 1u);
    EXPECT_EQ(b->settleTime(), std::chrono::milliseconds(6000));
}

// ---- the report ----

class TrainReportTest : public TrainBuilderTest {
  protected:
    void SetUp() override {
        addCamera("cam1", 1, 1, true, true);
        addCamera("cam2", 2, 1, true, false);  // records, offline
        addCamera("cam3", 3, 1, false, true);  // online, does not record
        b = started();
    }

    // A camera's reading of the plate in a frame with a picture of its own.
    std::shared_ptr<FrameWithInfo> readingFrame(int camera, int64_t ts, float confidence) {
        auto f = frame(ts, kStanding, camera, kPlate, confidence);
        cv::randu(f->frame->image, cv::Scalar::all(0), cv::Scalar::all(255));
        f->lprDetections[0].matchType = LPRMatchType::SyntaxExact;
        return f;
    }

    QEVAEvent reportOf(const TrainEvent& event) {
        b->report(event);
        auto pair = sink->pop();
        EXPECT_FALSE(pair.triggerEvent);
        EXPECT_FALSE(pair.poison);
        return *pair.event;
    }

    std::unique_ptr<TrainBuilder> b;
};

TEST_F(TrainReportTest, ThePlateOncePerOnlineRecordingCameraWithTheBestTextAndItsOwnFrameAndCrop) {
    TrainEvent event(&b->eventSettings());
    auto f1 = readingFrame(1, 1000, 0.80f);
    auto f2 = readingFrame(2, 1001, 0.85f);
    auto f3 = readingFrame(3, 1002, 0.95f);
    for (const auto& f : {f1, f2, f3}) {
        event.appendLPRs(f, fixtures::readingsOf(*f));
    }
    const QEVAEvent out = reportOf(event);

    EXPECT_EQ(count("train: Report: event: " + std::to_string(event.id) + ". Camera is offline: cam2",
                    ILog::LevelWarning),
              1u);
    ASSERT_EQ(out.evts.size(), 1u);
    const PlateDetectionEvent& d = *out.evts[0];
    const auto& reading = event.histogram.at(kPlate).second.at(1);
    EXPECT_EQ(d.guid, reading->guid);
    EXPECT_EQ(d.frameGuid, f1->frame->guid);
    EXPECT_EQ(d.srcId, 1);
    EXPECT_EQ(d.src, "cam1");
    EXPECT_EQ(d.num, kPlate);
    EXPECT_FLOAT_EQ(d.confidence, 0.95f);  // the best reading's, from a camera that does not record
    EXPECT_EQ(d.matchType, LPRMatchType::SyntaxExact);
    EXPECT_EQ(d.ts, 1000);
    ASSERT_EQ(d.yoloInfo.size(), 1u);
    EXPECT_EQ(d.yoloInfo[0].rect(), kStanding);
    EXPECT_EQ(d.yoloInfo[0].classId, 0);
    EXPECT_EQ(d.yoloInfo[0].className, "");
    EXPECT_EQ(d.yoloInfo[0].detectionConfidence, 0.f);
    EXPECT_EQ(d.plateIndex, 0);
    EXPECT_TRUE(d.nontriggered);
    EXPECT_TRUE(d.state.empty());
    EXPECT_TRUE(d.rootLpr.empty());

    // Deep copies: the frame and the crop own their pixels.
    ASSERT_NE(d.frame, f1->frame);
    EXPECT_NE(d.frame->image.data, f1->frame->image.data);
    EXPECT_EQ(cv::norm(d.frame->image, f1->frame->image, cv::NORM_INF), 0.0);
    EXPECT_EQ(d.frame->guid, f1->frame->guid);
    ASSERT_EQ(d.plate.size(), kStanding.size());
    EXPECT_EQ(cv::norm(d.plate, f1->frame->image(kStanding), cv::NORM_INF), 0.0);
    EXPECT_FALSE(d.plate.isSubmatrix());
    f1->frame->image.setTo(cv::Scalar::all(0));
    EXPECT_GT(cv::norm(d.plate, cv::NORM_INF), 0.0);

    EXPECT_EQ(out.ts, 1000);
    EXPECT_EQ(out.laneId, 1);
    EXPECT_EQ(out.laneName, "platform1");
    EXPECT_FALSE(out.guid.empty());
    EXPECT_EQ(out.person_number, 0);
    EXPECT_EQ(out.txId, 0);
    EXPECT_FALSE(out.postTrigger);
    EXPECT_TRUE(out.videos.empty());
    EXPECT_TRUE(out.roi.empty());
    EXPECT_EQ(count("Send report, LP: " + kPlate), 1u);
    EXPECT_EQ(count(". Finish report"), 1u);
}

TEST_F(TrainReportTest, FramesAreTheOpenDoorFrameThenTheLastFrameAsCopiesOrTheLastFrameAlone) {
    TrainEvent withDoor(&b->eventSettings());
    std::vector<std::shared_ptr<FrameWithInfo>> doors;
    for (int i = 0; i < 5; ++i) {
        auto f = readingFrame(1, 1000 + i, 0.9f);
        fixtures::addObject(*f, 1, {120, 100, 50, 80});
        doors.push_back(f);
        withDoor.appendLPRs(f, fixtures::readingsOf(*f));
    }
    auto last = readingFrame(1, 2000, 0.9f);
    withDoor.appendLPRs(last, fixtures::readingsOf(*last));
    ASSERT_TRUE(withDoor.openDoorFrame && withDoor.openDoorFrame->isActualDetection);

    const QEVAEvent out = reportOf(withDoor);
    ASSERT_EQ(out.frames.size(), 2u);
    const auto& opened = *doors[3]->frame;
    EXPECT_EQ(out.frames[0]->guid, opened.guid);
    EXPECT_NE(out.frames[0]->image.data, opened.image.data);
    EXPECT_EQ(cv::norm(out.frames[0]->image, opened.image, cv::NORM_INF), 0.0);
    EXPECT_EQ(out.frames[1]->guid, last->frame->guid);
    EXPECT_NE(out.frames[1]->image.data, last->frame->image.data);
    EXPECT_EQ(cv::norm(out.frames[1]->image, last->frame->image, cv::NORM_INF), 0.0);
    EXPECT_EQ(out.motion_direction, 0.f);

    TrainEvent moving(&b->eventSettings());
    for (int i = 0; i < 3; ++i) {
        auto f = readingFrame(1, 3000 + i, 0.9f);
        f->lprDetections[0].r = {300 - 100 * i, 100, 40, 12};
        moving.appendLPRs(f, fixtures::readingsOf(*f));
    }
    const QEVAEvent alone = reportOf(moving);
    ASSERT_EQ(alone.frames.size(), 1u);
    EXPECT_EQ(alone.frames[0]->timestamp, 3002);
    EXPECT_EQ(alone.motion_direction, 1.f);
}

TEST_F(TrainReportTest, APlatePartlyOutsideTheImageGivesTheCropOfWhatIsInside) {
    TrainEvent event(&b->eventSettings());
    auto f = readingFrame(1, 1000, 0.9f);
    f->lprDetections[0].r = {kImage.width - 20, 10, 40, 12};
    event.appendLPRs(f, fixtures::readingsOf(*f));
    const QEVAEvent out = reportOf(event);
    ASSERT_EQ(out.evts.size(), 1u);
    EXPECT_EQ(out.evts[0]->plate.size(), cv::Size(20, 12));
}

TEST_F(TrainReportTest, AFailingPostIsLoggedByTheReportThread) {
    json c = config({{"destinations", {"sink"}}});
    auto other = std::make_unique<TrainBuilder>(ctx, c);
    other->start();
    ctx.eventQueues.erase("sink");  // the poster's queue is gone: posting throws
    for (int64_t ts = 1000; ts <= 1300; ts += 100) {
        other->consume(frame(ts));
    }
    other->consume(frame(2301, std::nullopt));
    other.reset();
    EXPECT_EQ(
        count("Exception detected in Report thread. message: EventBuilderComponent: missing destination "
              "object: sink",
              ILog::LevelError),
        1u);
}

// ---- statistics from another thread ----

TEST_F(TrainBuilderTest, StatisticsAreReadSafelyWhileTheWorkerOpensAndClosesEvents) {
    addCamera("cam1", 1);
    auto b = started({{"eventEmitWait", 20}, {"lpForgetInterval", 40}});
    std::atomic<bool> done{false};
    std::thread worker([&] {
        int64_t ts = 1000;
        for (int train = 0; train < 60; ++train) {
            const std::string text = "TR" + std::to_string(1000 + train);
            for (int i = 0; i < 5; ++i) {
                b->consume(frame(ts += 5, kStanding, 1, text, 0.9f, kSmall));
            }
            for (int i = 0; i < 12; ++i) {
                b->consume(frame(ts += 5, std::nullopt, 1, kPlate, 0.9f, kSmall));
            }
        }
        done = true;
    });
    size_t reads = 0;
    size_t mostSeen = 0;
    while (!done) {
        ctx.withLock([&](ek::PipelineContext&) {
            const json stats = b->getStatistics();
            mostSeen = std::max(mostSeen, stats.at("eventsInHistory").get<size_t>());
        });
        EXPECT_EQ(b->getStatString().rfind("Events in history ", 0), 0u);
        ++reads;
    }
    worker.join();
    b.reset();
    EXPECT_GT(reads, 0u);
    EXPECT_LE(mostSeen, 1u);
    EXPECT_EQ(sink->size(), 60u);
}

}  // namespace
