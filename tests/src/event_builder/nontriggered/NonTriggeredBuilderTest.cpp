#include "src/event_builder/NonTriggeredBuilder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "src/event_builder/EventBuilderComponent.h"
#include "tests/platform/video/TestClips.h"
#include "tests/src/event_builder/nontriggered/NtFixtures.h"
#include "tests/support/CapturingLog.h"

// The builder's worker driven frame by frame on a scripted frame clock; reports go to a capturing
// event queue.
namespace {

using nlohmann::json;
using nt::frameOf;
using nt::Plate;

class NonTriggeredBuilderTest : public ::testing::Test {
  protected:
    void SetUp() override { lane.addCamera(1); }

    NonTriggeredEventBuilder& make(const json& extra = json::object()) {
        builder = std::make_unique<NonTriggeredEventBuilder>(lane.ctx, lane.builderConfig(extra));
        builder->start();
        return *builder;
    }

    // Frames of camera 1 carrying `text`, every 40 ms from `from` to `to` (both included).
    void plateFrames(int64_t from, int64_t to, const std::string& text = "AB0C12") {
        for (int64_t ts = from; ts <= to; ts += 40) {
            builder->consume(frameOf(1, ts, {Plate{text}}));
        }
    }

    void waitForReports() {
        while (builder->runningReports() > 0) {
            builder->consume(frameOf(1, lastTs_));  // a frame without readings prunes finished reports
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    CapturingLog::Installed capture;
    nt::Lane lane;
    std::unique_ptr<NonTriggeredEventBuilder> builder;
    int64_t lastTs_ = 0;
};

TEST_F(NonTriggeredBuilderTest, ReportsOnlyWhenMoreThanEventEmitWaitHasPassedSinceConfirmation) {
    make();
    // Confirmed by the second counted frame (1040): due after 1040 + 1000.
    plateFrames(1000, 2040);
    builder->consume(frameOf(1, 2040, {Plate{"AB0C12"}}));
    EXPECT_EQ(builder->runningReports(), 0u);
    EXPECT_FALSE(capture.log->contains("Need send report"));

    builder->consume(frameOf(1, 2041, {Plate{"AB0C12"}}));
    auto events = lane.takeEvents(1);
    ASSERT_EQ(events.size(), 1u);
    const QEVAEvent& event = *events[0].event;
    EXPECT_FALSE(events[0].triggerEvent);
    EXPECT_EQ(event.ts, 1000);  // the event's first frame
    EXPECT_EQ(event.laneId, 1);
    EXPECT_EQ(event.laneName, "lane1");
    EXPECT_FALSE(event.guid.empty());
    ASSERT_EQ(event.evts.size(), 1u);
    const auto& plate = *event.evts[0];
    EXPECT_EQ(plate.num, "AB0C12");  // no state, no default state: not corrected
    EXPECT_EQ(plate.ts, 2041);       // the event's last frame
    EXPECT_EQ(plate.plateIndex, 0);
    EXPECT_TRUE(plate.nontriggered);
    EXPECT_EQ(plate.src, "cam1");
    EXPECT_EQ(plate.plate.size(), cv::Size(64, 16));
    ASSERT_EQ(event.frames.size(), 1u);
    EXPECT_EQ(event.frames[0], plate.frame);
    EXPECT_EQ(event.trigger.triggerTimestamp, 1000);
    EXPECT_EQ(event.trigger.triggerGuid, event.guid);
    EXPECT_TRUE(event.videos.empty());
    EXPECT_EQ(lane.sink->size(), 0u);
}

TEST_F(NonTriggeredBuilderTest, ManyReportsByEventReportsAgainWhenTheEventFinishes) {
    struct Case {
        bool many;
        size_t reports;
    };
    for (const Case c : {Case{false, 1}, Case{true, 2}}) {
        SCOPED_TRACE(c.many);
        make({{"manyReportsByEvent", c.many}, {"lpForgetInterval", 1000}});
        plateFrames(1000, 3000);
        // A frame without the plate more than lpForgetInterval later finishes the event.
        lastTs_ = 4100;
        builder->consume(frameOf(1, lastTs_));
        waitForReports();
        EXPECT_EQ(lane.takeEvents(c.reports, std::chrono::seconds(5)).size(), c.reports);
        EXPECT_EQ(lane.sink->size(), 0u);
        const json stats = builder->getStatistics();
        EXPECT_EQ(stats.at("sizeStatistics"), 1);
        EXPECT_EQ(stats.at("cam1").at("avgNumberIncomingFrames"), 51);
        builder.reset();
    }
}

TEST_F(NonTriggeredBuilderTest, KeepsTheStatisticsOfTheLast100ClosedEvents) {
    lane.addCamera(2);
    make({{"lpForgetInterval", 1000}});
    json empty = builder->getStatistics();
    EXPECT_EQ(empty, (json{{"sizeStatistics", 0}, {"avgLatency", 0}, {"minLatency", 0}, {"maxLatency", 0}}));
    EXPECT_EQ(builder->getStatString(), "AvgLatency = 0 ms");

    // Each event is read once and closes (never confirmed) at the next frame, 2 s later. Only the
    // first is read by camera 2, so the 101st closing must drop that one, the oldest.
    for (int i = 0; i <= 101; ++i) {
        char text[16];
        std::snprintf(text, sizeof(text), "Q%03dZZ", i);
        builder->consume(frameOf(i == 0 ? 2 : 1, 1000 + 2000 * i, {Plate{text}}));
    }
    const json stats = builder->getStatistics();
    EXPECT_EQ(stats.at("sizeStatistics"), 100);
    EXPECT_EQ(stats.at("avgLatency"), 0);
    EXPECT_EQ(stats.at("cam1").at("avgNumberIncomingFrames"), 1);
    EXPECT_FALSE(stats.contains("cam2")) << stats.dump();
    EXPECT_EQ(capture.log->count("No report event ID"), 101u);
    EXPECT_EQ(lane.sink->size(), 0u);
}

TEST_F(NonTriggeredBuilderTest, IgnoresFaceFramesAndFeedsBackOnlyFramesInProcess) {
    auto balancer = std::make_shared<balance_queue>(10, false);
    lane.ctx.queuesLoadBalancer["cam1"] = balancer;
    make();
    capture.log->clear();

    auto face = frameOf(1, 1000, {Plate{"AB0C12"}}, FrameWithInfo::InProccess);
    face->frame->cameraType = CameraType::FACE;
    face->processTime = 70.f;
    builder->consume(face);
    for (const auto& message : capture.log->messages()) {
        // Only the sweep thread, which starts with the builder, may have spoken meanwhile.
        EXPECT_NE(message.find("deleting old files"), std::string::npos) << message;
    }
    EXPECT_EQ(face->status.load(), FrameWithInfo::InProccess);

    struct Case {
        FrameWithInfo::Status status;
        float processTime;
        FrameWithInfo::Status after;
        std::string stat;
    };
    const Case cases[] = {
        {FrameWithInfo::NoProcessed, 80.f, FrameWithInfo::NoProcessed, "process 0.0 ms"},
        {FrameWithInfo::InProccess, 50.f, FrameWithInfo::Processed, "process 50.0 ms"},
        {FrameWithInfo::Processed, 90.f, FrameWithInfo::Processed, "process 50.0 ms"},
    };
    int64_t ts = 2000;
    for (const auto& c : cases) {
        auto frame = frameOf(1, ts += 40, {Plate{"AB0C12"}}, c.status);
        frame->processTime = c.processTime;
        builder->consume(frame);
        EXPECT_EQ(frame->status.load(), c.after);
        EXPECT_NE(balancer->getStat().find(c.stat), std::string::npos) << balancer->getStat();
    }

    // A camera without a balancer queue: no feedback, but its readings still count.
    auto stranger = frameOf(1, ts += 40, {Plate{"XY1234"}}, FrameWithInfo::InProccess);
    stranger->frame->cameraName = "unbalanced";
    builder->consume(stranger);
    EXPECT_EQ(stranger->status.load(), FrameWithInfo::Processed);
    EXPECT_TRUE(capture.log->contains("no balancer queue for camera unbalanced", ILog::LevelDebug));
    EXPECT_TRUE(capture.log->contains("append lpr XY1234"));
}

TEST_F(NonTriggeredBuilderTest, PoisonLeavesOpenEventsUnreportedAndTriggersChangeNothing) {
    make();
    plateFrames(1000, 1200);
    builder->trigger(QEVATriggerEvent{}, {1});
    // So late that a sweep at its time would finish the confirmed event and report it.
    auto poison = FrameWithInfo::makePoison();
    poison->frame->timestamp = 1200 + 60000;
    builder->consume(poison);
    EXPECT_EQ(builder->runningReports(), 0u);
    EXPECT_FALSE(capture.log->contains("Delete "));
    builder.reset();
    EXPECT_EQ(lane.sink->size(), 0u);
}

// Reports whose event queue is full cannot end, so each launch finds all earlier ones running.
TEST_F(NonTriggeredBuilderTest, ThreeRunningReportsAreWorthAWarningAndAFourthStillStarts) {
    auto full = lane.ctx.addEventQueue("full", 1);
    full->push(QEVAPair{});
    make({{"destinations", {"full"}}});
    // Four vehicles in the same frames are due in the same sweep.
    const std::vector<Plate> plates = {
        Plate{"AA1111", 0.9f, {0, 100, 64, 16}, 0}, Plate{"BB2222", 0.9f, {80, 100, 64, 16}, 1},
        Plate{"CC3333", 0.9f, {160, 100, 64, 16}, 2}, Plate{"DD4444", 0.9f, {240, 100, 64, 16}, 3}};
    for (int64_t ts = 1000; ts <= 2080; ts += 40) {
        builder->consume(frameOf(1, ts, plates));
    }
    EXPECT_EQ(builder->runningReports(), 4u);
    EXPECT_TRUE(capture.log->contains("nt: Number reports threads: 2", ILog::LevelDebug));
    EXPECT_FALSE(capture.log->contains("Number reports threads: 2", ILog::LevelWarning));
    EXPECT_TRUE(capture.log->contains("nt: Number reports threads: 3", ILog::LevelWarning));
    full->poison(QEVAPair::makePoison());  // the blocked posts give up and the reports end
    builder.reset();
}

TEST_F(NonTriggeredBuilderTest, ConfigurationKeysAreCheckedAndNamed) {
    struct Case {
        json extra;
        std::string message;
    };
    const Case cases[] = {
        {{{"eventEmitWait", -1}}, "eventEmitWait: must not be negative"},
        {{{"eventEmitWait", "1000"}}, "eventEmitWait"},
        {{{"manyReportsByEvent", 1}}, "manyReportsByEvent"},
        {{{"lpForgetInterval", -5}}, "lpForgetInterval: must not be negative"},
        {{{"maxNumberStateVariance", 0}}, "maxNumberStateVariance: must be at least 1"},
        {{{"maxNumberLpVariance", 0}}, "maxNumberLpVariance"},
        {{{"lpConfidenceVariance", 0}}, "lpConfidenceVariance"},
        {{{"reportInterval", 5000000000LL}}, "reportInterval"},
        {{{"defaults", 3}}, "defaults: expected an object"},
        {{{"defaults", {{"stateConfidence", "high"}}}}, "defaults.stateConfidence"},
        {{{"plateCatalogPath", "/nonexistent/catalog.json"}},
         "plate catalog file: /nonexistent/catalog.json not exist"},
    };
    for (const auto& c : cases) {
        try {
            NonTriggeredEventBuilder b(lane.ctx, lane.builderConfig(c.extra));
            ADD_FAILURE() << "accepted " << c.extra.dump();
        } catch (const std::exception& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
    }
}

// Each key of the licence-plate builders lands in its own field: absent, the field holds the
// documented default; given, its value changes that field and no other.
TEST(LpEventBuilderKeysTest, EachKeyHasItsDefaultAndItsOwnField) {
    nt::Lane lane;
    using Builder = NonTriggeredEventBuilder;
    const auto real = [](float value) { return json(static_cast<double>(value)); };
    struct Field {
        std::string name;
        std::function<json(const Builder&)> read;
        json byDefault;
        json config;  // the key with a value other than its default
        json value;   // what the field then holds
    };
    const std::vector<Field> fields = {
        {"reportInterval",
         [](const Builder& b) { return json(b.groupSettings().reportInterval); },
         60000,
         {{"reportInterval", 7000}},
         7000},
        {"minDetections",
         [](const Builder& b) { return json(b.groupSettings().minDetections); },
         2,
         {{"minDetections", 5}},
         5},
        {"lpForgetInterval",
         [](const Builder& b) { return json(b.groupSettings().lpForgetInterval); },
         30000,
         {{"lpForgetInterval", 1500}},
         1500},
        {"lpConfidenceVariance",
         [&](const Builder& b) { return real(b.groupSettings().lpConfidenceVariance); },
         real(0.05f),
         {{"lpConfidenceVariance", 0.2}},
         real(0.2f)},
        {"minDirectionVector",
         [](const Builder& b) { return json(b.groupSettings().minDirectionVector); },
         10,
         {{"minDirectionVector", 25}},
         25},
        {"maxNumberLpVariance",
         [](const Builder& b) { return json(b.groupSettings().maxNumberLpVariance); },
         15,
         {{"maxNumberLpVariance", 4}},
         4},
        {"maxNumberStateVariance",
         [](const Builder& b) { return json(b.groupSettings().maxNumberStateVariance); },
         15,
         {{"maxNumberStateVariance", 6}},
         6},
        {"vehicleClassId",
         [](const Builder& b) { return json(b.groupSettings().vehicleClassId); },
         1,
         {{"vehicleClassId", 7}},
         7},
        {"personClassId",
         [](const Builder& b) { return json(b.groupSettings().personClassId); },
         2,
         {{"personClassId", 8}},
         8},
        {"showPersonRects",
         [](const Builder& b) { return json(b.groupSettings().showPersonRects); },
         false,
         {{"showPersonRects", true}},
         true},
        {"showPersonImage",
         [](const Builder& b) { return json(b.groupSettings().showPersonImage); },
         false,
         {{"showPersonImage", true}},
         true},
        {"positionBeautifulFrame",
         [&](const Builder& b) { return real(b.groupSettings().positionBeautifulFrame); },
         real(0.67f),
         {{"positionBeautifulFrame", 0.4}},
         real(0.4f)},
        {"name",
         [](const Builder& b) { return json(b.groupSettings().eventBuilderName); },
         "nt",
         {{"name", "lane7"}},
         "lane7"},
        // "defaults" with one key: the other two keep their defaults.
        {"defaults.stateActive",
         [](const Builder& b) { return json(b.eventDefaults().state.use); },
         false,
         {{"defaults", {{"stateActive", true}}}},
         true},
        {"defaults.state",
         [](const Builder& b) { return json(b.eventDefaults().state.value.value); },
         "",
         {{"defaults", {{"state", "T1"}}}},
         "T1"},
        {"defaults.stateConfidence",
         [&](const Builder& b) { return real(b.eventDefaults().state.value.confidence); },
         real(0.99f),
         {{"defaults", {{"stateConfidence", 0.5}}}},
         real(0.5f)},
    };
    const auto readAll = [&](const Builder& b) {
        json all;
        for (const auto& f : fields) {
            all[f.name] = f.read(b);
        }
        return all;
    };
    json defaults;
    for (const auto& f : fields) {
        defaults[f.name] = f.byDefault;
    }
    EXPECT_EQ(readAll(Builder(lane.ctx, lane.builderConfig())), defaults);
    for (const auto& f : fields) {
        SCOPED_TRACE(f.config.dump());
        json expected = defaults;
        expected[f.name] = f.value;
        EXPECT_EQ(readAll(Builder(lane.ctx, lane.builderConfig(f.config))), expected);
    }
}

TEST(LpEventBuilderStartTest, RingsForEveryLaneCameraAndSavePathsCheckedBeforeWork) {
    CapturingLog::Installed capture;
    nt::Lane lane;
    const std::string dir = lane.dir.path().string();
    std::ofstream(dir + "/afile") << "x";
    struct Camera {
        int id;
        int laneId;
        uint64_t bufferFrames;
        bool record;
        std::string path;
    };
    struct Case {
        std::vector<Camera> cameras;
        std::string error;    // empty: the start succeeds
        std::string warning;  // expected Warning, if any
    };
    const Case cases[] = {
        {{{1, 1, 50, true, dir + "/clips1/"}, {2, 1, 0, false, ""}, {3, 2, 50, true, ""}}, "", ""},
        {{{1, 1, 50, true, dir + "/cam1_"}}, "", "is a file-name prefix, not a directory: " + dir + "/cam1_"},
        {{{1, 1, 50, true, ""}}, "nt: camera cam1 records clips but has no \"pathToSaveVideo\"", ""},
        {{{1, 1, 50, true, dir + "/afile/"}},
         "nt: the save directory " + dir + "/afile of camera cam1 (\"pathToSaveVideo\" " + dir +
             "/afile/) is not a directory",
         ""},
        {{{1, 1, 50, true, dir + "/missing/deeper/"}},
         "can't create the save directory " + dir + "/missing/deeper",
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cameras.front().path);
        nt::Lane caseLane;
        for (const auto& camera : c.cameras) {
            auto& source = caseLane.addCamera<nt::RecordingSource>(camera.id, camera.laneId);
            source.bufferFrames = camera.bufferFrames;
            source.settings.recordEnable = camera.record;
            source.settings.pathToSaveVideo = camera.path;
        }
        NonTriggeredEventBuilder builder(caseLane.ctx, caseLane.builderConfig());
        if (!c.error.empty()) {
            try {
                builder.start();
                ADD_FAILURE() << "started";
            } catch (const std::exception& e) {
                EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what() << "\n"
                                                                                  << c.error;
            }
            continue;
        }
        builder.start();
        if (!c.warning.empty()) {
            EXPECT_TRUE(capture.log->contains(c.warning, ILog::LevelWarning));
        }
        // Every camera of the lane has its ring from the start on (one entry when its buffer is
        // unsized); a camera of another lane has none.
        for (const auto& camera : c.cameras) {
            const auto ring = builder.rings().find(camera.id);
            if (camera.laneId != 1) {
                EXPECT_EQ(ring, builder.rings().end());
                continue;
            }
            ASSERT_NE(ring, builder.rings().end());
            EXPECT_EQ(ring->second.capacity(), camera.bufferFrames > 0 ? 2 * camera.bufferFrames : 1u);
        }
    }
}

TEST(LpEventBuilderMatchTest, DetectionsOfARecordingCameraGoToItsRingJoinedObjectsFirst) {
    CapturingLog::Installed capture;
    nt::Lane lane;
    auto& recording = lane.addCamera<nt::RecordingSource>(1);
    recording.settings.recordEnable = true;
    recording.settings.pathToSaveVideo = lane.dir.path().string() + "/";
    lane.addCamera(2);  // does not record
    NonTriggeredEventBuilder builder(lane.ctx, lane.builderConfig());
    builder.start();

    auto frame = frameOf(
        1, 1000, {Plate{"BBB777", 0.9f, {200, 0, 64, 16}, 7}, Plate{"AAA333", 0.9f, {0, 0, 64, 16}, 3}});
    YoloObjectInfo car;
    car.id = 0;
    car.classId = 1;
    frame->yoloDetectionsOverROI.insert(frame->yoloDetectionsOverROI.begin(), car);
    builder.consume(frame);
    builder.consume(frameOf(2, 1010, {Plate{"CCC999"}}));
    builder.consume(frameOf(1, 1040));

    const auto rects = builder.rings().at(1).rects(1000, 1000);
    ASSERT_EQ(rects.size(), 1u);
    const auto& detections = rects.at(1000);
    ASSERT_EQ(detections.size(), 3u);
    EXPECT_EQ(detections[0].yolo.id, 3u);
    EXPECT_TRUE(detections[0].foundEvent);
    EXPECT_EQ(detections[1].yolo.id, 7u);
    EXPECT_TRUE(detections[1].foundEvent);
    EXPECT_EQ(detections[1].idEvent, detections[0].idEvent + 1) << "object 3 opened its event first";
    EXPECT_EQ(detections[2].yolo.id, 0u);
    EXPECT_FALSE(detections[2].foundEvent);
    EXPECT_EQ(detections[2].idEvent, 0u);
    EXPECT_EQ(builder.rings().at(2).size(), 0u) << "camera 2 does not record";

    // A reading whose object is missing from the frame's objects.
    auto broken = frameOf(1, 1080, {Plate{"DDD444"}});
    broken->yoloDetectionsOverROI.clear();
    EXPECT_THROW(builder.consume(broken), std::runtime_error);
    EXPECT_TRUE(capture.log->contains("Can`t found rect in yoloDetectionsOverROI (size: 0) by id: 0",
                                      ILog::LevelError));
}

TEST_F(NonTriggeredBuilderTest, TheFactoryMakesTheNonTriggeredBuilderForLpMode0) {
    auto made = createEventBuilder(lane.ctx, lane.builderConfig({{"type", "LP"}, {"triggeredMode", 0}}));
    ASSERT_TRUE(made);
    EXPECT_EQ(made->mode(), EventBuilderMode::NonTriggered);
    EXPECT_NE(dynamic_cast<NonTriggeredEventBuilder*>(made.get()), nullptr);
}

}  // namespace

namespace {

// Reports write clips and wait for detections in their own threads while the worker goes on
// pushing frames into the same ring and the statistics are read from a third thread.
TEST(NonTriggeredBuilderThreadsTest, ReportsRunBesideTheWorker) {
    CapturingLog::Installed capture;
    nt::Lane lane;
    auto& camera = lane.addCamera<nt::RecordingSource>(1);
    camera.settings.recordEnable = true;
    camera.settings.pathToSaveVideo = lane.dir.path().string() + "/";
    camera.settings.recordTimeAfterEvent = 4000;
    const auto clip = nt::readClip(testclips::h264Mp4(), 0, 0);
    camera.packets = clip.packets;
    auto builder = std::make_unique<NonTriggeredEventBuilder>(lane.ctx, lane.builderConfig());
    builder->start();

    std::atomic<bool> done{false};
    std::thread statistics([&] {
        while (!done) {
            (void)builder->getStatistics();
            (void)builder->getStatString();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    const std::vector<Plate> plates = {Plate{"AA1111", 0.9f, {0, 0, 64, 16}, 0},
                                       Plate{"BB2222", 0.9f, {80, 0, 64, 16}, 1},
                                       Plate{"CC3333", 0.9f, {160, 0, 64, 16}, 2}};
    for (int64_t ts : clip.frameTimes) {
        builder->consume(frameOf(1, ts, plates, FrameWithInfo::InProccess));
    }
    builder->consume(frameOf(1, clip.frameTimes.back() + 40));
    const auto events = lane.takeEvents(3);
    done = true;
    statistics.join();
    builder.reset();  // waits for whatever still runs

    ASSERT_EQ(events.size(), 3u);
    for (const auto& pair : events) {
        ASSERT_EQ(pair.event->videos.count(1), 1u);
        EXPECT_TRUE(std::filesystem::exists(lane.dir.file(pair.event->videos.at(1) + ".mp4")));
        EXPECT_TRUE(std::filesystem::exists(lane.dir.file(pair.event->videos.at(1) + ".rects")));
    }
    EXPECT_FALSE(capture.log->contains("Exception detected in Report thread"));
}

// A report waiting in rects() for clip frames that have not come yet (the clip lies ten minutes
// ahead of the clock, so the ring waits its longest, kMaxWaitAhead plus the grace) ends when the
// rings are poisoned, by the poison frame or by the builder's destruction, and its event still goes
// out.
TEST(NonTriggeredBuilderThreadsTest, PoisonAndDestructionEndReportsWaitingForDetections) {
    for (const bool byDestruction : {false, true}) {
        SCOPED_TRACE(byDestruction ? "destruction" : "poison frame");
        CapturingLog::Installed capture;
        nt::Lane lane;
        auto& camera = lane.addCamera<nt::RecordingSource>(1);
        camera.settings.recordEnable = true;
        camera.settings.pathToSaveVideo = lane.dir.path().string() + "/";
        const auto clip = nt::readClip(testclips::h264Mp4(), CommonUtils::getTs() + 600000, 0);
        camera.packets = clip.packets;
        auto builder =
            std::make_unique<NonTriggeredEventBuilder>(lane.ctx, lane.builderConfig({{"eventEmitWait", 0}}));
        builder->start();
        // Confirmed by the second frame, due at the third: the report wants all 100 clip frames.
        for (size_t i = 0; i < 3; ++i) {
            builder->consume(frameOf(1, clip.frameTimes[i], {Plate{"AB0C12"}}));
        }
        // The ring's lock is held from this line into the wait for the missing frames.
        ASSERT_TRUE(capture.log->waitFor("LQ_Rects: Found start frame", std::chrono::seconds(30)));

        // On a thread of its own: the destruction waits for the report.
        std::thread ending([&] {
            if (byDestruction) {
                builder.reset();
            } else {
                builder->consume(FrameWithInfo::makePoison());
            }
        });
        // Only a woken report posts before the ring's own deadline, which is further away.
        const auto events = lane.takeEvents(
            1, std::chrono::duration_cast<std::chrono::seconds>(BufferDetections::kMaxWaitAhead));
        ending.join();
        ASSERT_EQ(events.size(), 1u);
        ASSERT_EQ(events[0].event->videos.count(1), 1u);
        EXPECT_TRUE(std::filesystem::exists(lane.dir.file(events[0].event->videos.at(1) + ".rects")));
        builder.reset();
        EXPECT_FALSE(capture.log->contains("Exception detected in Report thread"));
    }
}

}  // namespace
