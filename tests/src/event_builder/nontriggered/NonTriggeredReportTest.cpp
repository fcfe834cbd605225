#include "src/event_builder/NonTriggeredReport.h"

#include <gtest/gtest.h>
#include <opencv2/videoio.hpp>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/platform/video/TestClips.h"
#include "tests/src/event_builder/nontriggered/NtFixtures.h"
#include "tests/support/CapturingLog.h"
#include "tests/support/ClipChecks.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using nt::frameOf;
using nt::Plate;

std::vector<cv::Mat> decode(const std::string& path) {
    cv::VideoCapture capture(path);
    std::vector<cv::Mat> frames;
    for (cv::Mat frame; capture.read(frame);) {
        frames.push_back(frame.clone());
    }
    return frames;
}

json readJson(const fs::path& path) {
    std::ifstream in(path);
    return json::parse(in);
}

class NonTriggeredReportTest : public ::testing::Test {
  protected:
    NonTriggeredEventBuilder& start(const json& extra = json::object()) {
        builder = std::make_unique<NonTriggeredEventBuilder>(lane.ctx, lane.builderConfig(extra));
        builder->start();
        return *builder;
    }

    std::unique_ptr<EventGroup> event() const {
        return std::make_unique<EventGroup>(&builder->groupSettings());
    }

    // Appends the readings of one frame to `e`.
    static void read(EventGroup& e, const std::shared_ptr<FrameWithInfo>& frame) {
        std::vector<const LPRDetection*> readings;
        for (const auto& d : frame->lprDetections) {
            readings.push_back(&d);
        }
        e.appendLPRs(frame, readings, nullptr);
    }

    std::vector<QEVAPair> report(const EventGroup& e) {
        std::vector<QEVAPair> posted;
        NonTriggeredReport(*builder, [&](const QEVAPair& pair) { posted.push_back(pair); }).run(e);
        return posted;
    }

    // A recording lane camera saving into <dir>/clips/.
    nt::RecordingSource& recordingCamera(int id) {
        auto& camera = lane.addCamera<nt::RecordingSource>(id);
        camera.settings.recordEnable = true;
        camera.settings.pathToSaveVideo = clips().string() + "/";
        camera.settings.roi = {0, 0, 1000, 0, 1000, 1000};
        return camera;
    }
    fs::path clips() const { return lane.dir.path() / "clips"; }

    CapturingLog::Installed capture;
    nt::Lane lane;
    std::unique_ptr<NonTriggeredEventBuilder> builder;
};

TEST_F(NonTriggeredReportTest, AssemblesPlatesFramesPairFramesAndThePersonsFrame) {
    for (int id : {1, 2, 3}) {
        lane.addCamera(id);
    }
    lane.addCamera(4).online = false;
    lane.addCamera(5, 2);  // another lane
    start();

    struct Case {
        float beautifulConfidence;
        bool beautifulUsed;
    };
    for (const Case c : {Case{0.625f, true}, Case{0.5f, false}}) {
        SCOPED_TRACE(c.beautifulConfidence);
        auto e = event();
        // Camera 1: the chosen reading (0.75) far from the beautiful row (160 of 240 rows), then a
        // less sure one on it.
        auto chosen = frameOf(1, 1000, {Plate{"AB0C12", 0.75f, {10, 10, 64, 16}, 4}});
        read(*e, chosen);
        read(*e, frameOf(1, 1040, {Plate{"AB0C12", c.beautifulConfidence, {20, 150, 64, 16}, 2}}));
        // Camera 2 reads it last; its frame is paired with camera 3's.
        auto last = frameOf(2, 1060, {Plate{"AB0C12", 0.8f}});
        auto paired = std::make_shared<ek::pipeline::Frame>(cv::Mat(240, 320, CV_8UC3, cv::Scalar::all(9)));
        paired->guid = "pair-of-3";
        paired->sourceId = 3;
        last->pairs.set(3, paired);
        read(*e, last);
        e->appendState({"T1", 0.8f, 5});
        e->personsFrame = std::make_shared<ek::pipeline::Frame>(cv::Mat(4, 4, CV_8UC3));
        e->personNumber = 2;
        e->personDetections = {cv::Rect(1, 1, 2, 2)};

        const QEVAEvent event = NonTriggeredReport(*builder, {}).assemble(*e);
        EXPECT_EQ(event.ts, 1000);
        EXPECT_EQ(event.person_number, 2);
        ASSERT_EQ(event.evts.size(), 2u);
        for (const auto& plate : event.evts) {
            EXPECT_EQ(plate->num, "ABOC12");  // corrected for the state T1
            EXPECT_FLOAT_EQ(plate->confidence, 0.8f);
            EXPECT_EQ(plate->state, "T1");
            EXPECT_FLOAT_EQ(plate->stateConfidence, 0.8f);
            EXPECT_EQ(plate->ts, 1060);
        }
        EXPECT_EQ(event.evts[0]->srcId, 1);
        EXPECT_EQ(event.evts[0]->yoloInfo.at(0).top, c.beautifulUsed ? 150 : 10);
        EXPECT_EQ(event.evts[1]->srcId, 2);
        ASSERT_EQ(event.frames.size(), 4u);
        EXPECT_EQ(event.frames[0], event.evts[0]->frame);
        EXPECT_EQ(event.frames[1], event.evts[1]->frame);
        EXPECT_EQ(event.frames[2]->guid, "pair-of-3");
        EXPECT_NE(event.frames[2], paired) << "a copy, not the pipeline's frame";
        EXPECT_NE(event.frames[3], e->personsFrame);
        EXPECT_NE(event.evts[1]->frame, last->frame);
        EXPECT_TRUE(capture.log->contains("Camera is offline: cam4", ILog::LevelWarning));
        EXPECT_FALSE(capture.log->contains("cam5"));
    }
}

// A camera that drops after reading the plate: the event, reported while it is away, keeps the plate.
TEST_F(NonTriggeredReportTest, ACameraThatDroppedStillGivesThePlateItRead) {
    auto& camera = lane.addCamera(1);
    start();
    auto e = event();
    read(*e, frameOf(1, 1000, {Plate{"AB0C12", 0.75f}}));
    camera.online = false;

    const QEVAEvent event = NonTriggeredReport(*builder, {}).assemble(*e);
    ASSERT_EQ(event.evts.size(), 1u);
    EXPECT_EQ(event.evts[0]->srcId, 1);
    EXPECT_FALSE(event.evts[0]->num.empty());
    EXPECT_TRUE(capture.log->contains("Camera is offline: cam1", ILog::LevelWarning));
}

TEST_F(NonTriggeredReportTest, MotionDirectionVotesOfTheLaneCameras) {
    for (int id : {1, 2}) {
        lane.addCamera(id);
    }
    lane.addCamera(9, 2);
    start();
    struct Reading {
        int camera;
        int64_t ts;
        int x;
    };
    struct Case {
        std::vector<Reading> readings;
        float direction;
        std::string warning;
    };
    const Case cases[] = {
        {{{1, 1000, 10}, {1, 1040, 60}}, 1.f, ""},
        {{{1, 1000, 60}, {1, 1040, 10}}, -1.f, ""},
        {{{1, 1000, 10}, {1, 1040, 20}}, 0.f, "lenth (10.000000) of vector direction is below 10"},
        {{{1, 1000, 10}, {1, 1040, 60}, {2, 1000, 60}, {2, 1040, 10}}, 0.f, ""},
        {{{1, 1000, 10}, {1, 1040, 60}, {9, 1000, 60}, {9, 1040, 10}},
         1.f,
         "camera: 9 is not a camera of lane 1"},
        {{{1, 1000, 10}, {2, 1000, 60}}, 0.f, ""},
    };
    for (const auto& c : cases) {
        capture.log->clear();
        auto e = event();
        // An event keeps one reading per plate text and camera: each reading gets a text of its own.
        int n = 0;
        for (const auto& r : c.readings) {
            read(*e,
                 frameOf(r.camera, r.ts, {Plate{"AB0C1" + std::to_string(n++), 0.9f, {r.x, 100, 64, 16}}}));
        }
        EXPECT_EQ(builder->getMotionDirection(*e), c.direction) << c.readings.size();
        if (!c.warning.empty()) {
            EXPECT_TRUE(capture.log->contains(c.warning, ILog::LevelWarning)) << c.warning;
        }
    }
}

TEST_F(NonTriggeredReportTest, AClipThatCannotBeWrittenStillPostsTheEvent) {
    auto& camera = recordingCamera(1);
    // Saving one level below clips/: once clips/ is gone, its subdirectory cannot be made again.
    fs::create_directory(clips());
    camera.settings.pathToSaveVideo = (clips() / "cam1").string() + "/";
    camera.packets = nt::readClip(testclips::h264Mp4(), 0, 0).packets;
    start();
    builder->rings().at(1).push({1000000, {}});  // a frame after the clip: no detections to wait for
    auto e = event();
    read(*e, frameOf(1, 1000, {Plate{"AB0C12"}}));
    fs::remove_all(clips());

    const auto posted = report(*e);
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].event->evts.size(), 1u);
    EXPECT_TRUE(posted[0].event->videos.empty());
    EXPECT_TRUE(posted[0].event->roi.empty());
    EXPECT_TRUE(capture.log->contains(
        "Can`t make save directory " + (clips() / "cam1").string() + " of camera cam1 again",
        ILog::LevelError));
    EXPECT_TRUE(capture.log->contains("Can`t write video for camera cam1", ILog::LevelError));
    EXPECT_TRUE(capture.log->contains("Can`t write image metadata to file", ILog::LevelError));
    EXPECT_FALSE(fs::exists(clips()));

    // No packets at all, or a packet buffer that fails: no clip, the event still goes out.
    fs::create_directories(clips() / "cam1");
    camera.packets.clear();
    const auto withoutPackets = report(*e);
    ASSERT_EQ(withoutPackets.size(), 1u);
    EXPECT_TRUE(withoutPackets[0].event->videos.empty());
    EXPECT_TRUE(capture.log->contains("Got video frames 0 for interval (1000, 1000)"));
    camera.packetFailure = "packet buffer torn down";
    const auto withFailingBuffer = report(*e);
    ASSERT_EQ(withFailingBuffer.size(), 1u);
    EXPECT_EQ(withFailingBuffer[0].event->evts.size(), 1u);
    EXPECT_TRUE(withFailingBuffer[0].event->videos.empty());
    EXPECT_TRUE(
        capture.log->contains("Can`t get video frames of camera cam1 for interval (1000, 1000): packet "
                              "buffer torn down",
                              ILog::LevelError));
}

TEST_F(NonTriggeredReportTest, ASaveDirectoryRemovedWhileRunningIsMadeAgainForTheNextClip) {
    auto& camera = recordingCamera(1);
    camera.packets = nt::readClip(testclips::h264Mp4(), 0, 0).packets;
    start();
    builder->rings().at(1).push({1000000, {}});
    auto e = event();
    const auto frame = frameOf(1, 1000, {Plate{"AB0C12"}});
    read(*e, frame);
    fs::remove_all(clips());

    const auto posted = report(*e);
    ASSERT_EQ(posted.size(), 1u);
    ASSERT_EQ(posted[0].event->videos.count(1), 1u);
    const std::string clip = posted[0].event->videos.at(1);
    EXPECT_EQ(clipchecks::decodeErrors((clips() / (clip + ".mp4")).string()), "");
    EXPECT_TRUE(fs::exists(clips() / (clip + ".rects")));
    EXPECT_TRUE(fs::exists(clips() / (frame->frame->guid + ".rects")));
    EXPECT_EQ(
        capture.log->count("Save directory " + clips().string() + " of camera cam1 was gone, made it again",
                           ILog::LevelInfo),
        1u);
    EXPECT_FALSE(capture.log->contains("Can`t", ILog::LevelError));
}

TEST_F(NonTriggeredReportTest, ClipMetadataDescribesEachClipFrameInClipOrder) {
    constexpr int kCorrection = 7;
    constexpr int64_t kBase = 500000;
    auto& camera = recordingCamera(1);
    camera.correctionTs = kCorrection;
    camera.settings.recordTimeBeforeEvent = 1000;
    camera.settings.recordTimeAfterEvent = 2000;
    // With B-frames, decode order is not presentation order. The buffer starts at the second
    // keyframe (frame 25), so clip frame i is source frame 25 + i.
    const auto clip = nt::readClip(testclips::h264Mp4BFrames(), kBase, kCorrection);
    size_t keyframes = 0;
    for (const auto& packet : clip.packets) {
        keyframes += (packet->packet->flags & AV_PKT_FLAG_KEY) != 0;
        if (keyframes >= 2) {
            camera.packets.push_back(packet);
        }
    }
    start();
    // The ring holds every frame of the source, each marked with its index as its class, and one
    // frame later, so no report waits.
    auto& ring = builder->rings().at(1);
    for (size_t k = 0; k <= clip.frameTimes.size(); ++k) {
        Detection d;
        d.yolo.classId = static_cast<int>(k);
        d.yolo.className = "frame";
        d.idEvent = 42;
        d.foundEvent = true;
        const int64_t ts = k < clip.frameTimes.size() ? clip.frameTimes[k] : clip.frameTimes.back() + 40;
        ring.push({ts, {d}});
    }

    auto e = event();
    auto frame = frameOf(1, kBase + 1400, {Plate{"AB0C12", 0.9f, {40, 100, 64, 16}, 1}});
    YoloObjectInfo other;
    other.id = 0;
    other.left = 5;
    other.classId = 3;
    other.className = "car";
    frame->yoloDetectionsOverROI.insert(frame->yoloDetectionsOverROI.begin(), other);
    read(*e, frame);
    const auto posted = report(*e);
    ASSERT_EQ(posted.size(), 1u);
    const QEVAEvent& event = *posted[0].event;
    EXPECT_EQ(camera.lastFrom.load(), kBase + 400);
    EXPECT_EQ(camera.lastTo.load(), kBase + 3400);
    ASSERT_EQ(event.videos.count(1), 1u);
    EXPECT_EQ(event.roi.at(1), (std::vector<float>{0.f, 0.f, 1.f, 0.f, 1.f, 1.f}));
    const fs::path mp4 = clips() / (event.videos.at(1) + ".mp4");
    EXPECT_EQ(clipchecks::decodeErrors(mp4.string()), "");

    const auto source = decode(testclips::h264Mp4BFrames());
    const auto written = decode(mp4.string());
    ASSERT_EQ(written.size(), source.size() - 25);
    const json metadata = readJson(clips() / (event.videos.at(1) + ".rects"));
    EXPECT_EQ(metadata.at("notblurring_id"), e->id);
    const json& detections = metadata.at("detections");
    ASSERT_EQ(detections.size(), written.size());
    for (size_t i = 0; i < written.size(); ++i) {
        ASSERT_EQ(detections[i].at("timestamp"), i);
        const json& rect = detections[i].at("rects").at(0);
        ASSERT_EQ(rect.at("class"), 25 + i) << "metadata element " << i;
        ASSERT_EQ(cv::norm(written[i], source[25 + i], cv::NORM_INF), 0.0) << "clip frame " << i;
        EXPECT_EQ(rect.at("event_id"), 42);
        EXPECT_EQ(rect.at("found_event"), true);
    }

    // The image metadata of the plate's frame lists the frame's other objects.
    const json image = readJson(clips() / (frame->frame->guid + ".rects"));
    ASSERT_EQ(image.size(), 1u);
    EXPECT_EQ(image[0],
              (json{{"box", {5, 0, 0, 0}}, {"class", 3}, {"class_name", "car"}, {"confidence", 0.0}}));
    for (const auto& entry : fs::directory_iterator(clips())) {
        EXPECT_EQ(entry.path().string().find(".tmp"), std::string::npos) << entry.path();
    }
}

TEST_F(NonTriggeredReportTest, TwoReportsWritingTheSameImageMetadataNeverInterleave) {
    TempDir dir;
    const std::string path = dir.file("frame.rects");
    json big = json::array();
    for (int i = 0; i < 2000; ++i) {
        big.push_back({{"box", {i, i, i, i}}, {"class", i}});
    }
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([&] {
            for (int i = 0; i < 20; ++i) {
                std::string error;
                EXPECT_TRUE(NonTriggeredReport::writeJsonFile(path, big, error)) << error;
            }
        });
    }
    for (auto& w : writers) {
        w.join();
    }
    EXPECT_EQ(readJson(path), big);
}

}  // namespace

// An event reported after its camera dropped still gets the clip the camera's buffer kept; one that
// goes out without its clip says which event, which camera and why.
TEST_F(NonTriggeredReportTest, AnEventWithoutItsClipSaysWhichCameraAndWhy) {
    auto& camera = recordingCamera(1);
    start();
    builder->rings().at(1).push({1000000, {}});  // a frame after the clips: no detections to wait for
    auto e = event();
    read(*e, frameOf(1, 1000, {Plate{"AB0C12"}}));
    const std::string prefix =
        "Report: event: " + std::to_string(e->id) + ". Posted without a clip of camera cam1: ";
    struct Case {
        const char* name;
        bool online;
        int packets;          // 0: none, 1: of one stream, 2: of two streams (which no clip can hold)
        std::string warning;  // empty: the clip is written
    };
    const std::vector<Case> cases = {
        {"offline since a drop", false, 1, ""},
        {"nothing buffered", true, 0, prefix + "its buffer holds no packets of (1000, 1000)"},
        {"nothing buffered, offline", false, 0, "first reading (the camera is offline)"},
        {"clip not written", true, 2, prefix + "Clip: packets of more than one stream"},
    };
    const auto one = nt::readClip(testclips::h264Mp4(), 0, 0).packets;
    auto two = nt::readClip(testclips::h264Mp4(), 0, 0).packets;
    two.front() = one.front();
    const std::vector<std::vector<std::shared_ptr<Packet>>> packets = {{}, one, two};
    for (const auto& c : cases) {
        capture.log->clear();
        camera.online = c.online;
        camera.packets = packets[c.packets];
        const auto posted = report(*e);
        ASSERT_EQ(posted.size(), 1u) << c.name;
        EXPECT_EQ(posted[0].event->videos.empty(), !c.warning.empty()) << c.name;
        if (c.warning.empty()) {
            EXPECT_FALSE(capture.log->contains("Posted without a clip", ILog::LevelWarning)) << c.name;
        } else {
            EXPECT_TRUE(capture.log->contains(c.warning, ILog::LevelWarning)) << c.name;
        }
    }
}
