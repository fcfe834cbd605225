#include <gtest/gtest.h>
#include <httplib.h>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/ChildProcess.h"
#include "tests/e2e/PlateRoad.h"
#include "tests/support/ClipChecks.h"
#include "tests/support/FreePort.h"
#include "tests/support/TempDir.h"
#include "tools/event_sink/EventSink.h"

// The real qo_core on a generated clip: a file source records, the generated grid detector finds
// the plate, the generated recogniser reads it, the non-triggered builder makes one event per pass
// of the plate and posts it to our event sink; the clip and its metadata land in the camera's save
// directory.
namespace {

using namespace plate_road;

constexpr int kFrames = 100;  // 4 s at 25 fps
constexpr int kFirstPlateFrame = 25;
constexpr int kLastPlateFrame = 74;  // the plate shows from 1 s to 3 s of each pass

// Numbered frames: the checksums of the clip's frames then place it in the source.
std::string makeClip(const fs::path& dir) {
    return plate_road::makeClip(
        dir / "plate.mp4", kFrames, [](int i) { return i >= kFirstPlateFrame && i <= kLastPlateFrame; },
        true);
}

json configuration(int port, const std::string& clip, const std::string& sinkUrl) {
    return recordingRoad(port, "file", clip, sinkUrl, "nt-e2e", QO_TEST_MODEL_DIR, QO_PLATE_MODELS_DIR);
}

// True for each decoded frame of the clip that shows the plate.
std::vector<bool> plateShown(const std::string& clip) {
    cv::VideoCapture capture(clip);
    std::vector<bool> shown;
    for (cv::Mat frame; capture.read(frame);) {
        shown.push_back(cv::mean(frame(kPlate))[0] > 128.0);
    }
    return shown;
}

// qo_core running the road of the looping plate clip, its events stored by a sink.
class NonTriggeredEventsTest : public ::testing::Test {
  protected:
    NonTriggeredEventsTest()
        : clip((prepareWorkDir(dir.path()), makeClip(dir.path()))),
          sinkPtr(startEventSink(dir.path() / "events")),
          sink(*sinkPtr),
          port(freePort()) {
        std::ofstream(dir.file("config.json")) << configuration(port, clip, sink.url()).dump(2);
        process = std::make_unique<ChildProcess>(QO_CORE_BINARY, std::vector<std::string>{"config.json"},
                                                 dir.path().string());
    }

    TempDir dir;
    const std::string clip;
    const std::unique_ptr<EventSink> sinkPtr;
    EventSink& sink;
    const int port;
    std::unique_ptr<ChildProcess> process;
};

TEST_F(NonTriggeredEventsTest, OneEventPerPassWithCorrectedPlateImagesAndAnAlignedClip) {
    // Two events: a second report of the first pass's vehicle (when it ends, 1 s after it is last
    // seen) would come before the next pass's vehicle is due.
    waitForEvents(sink, 2);
    auto exit = httplib::Client("127.0.0.1", port).Get("/exit");
    EXPECT_TRUE(exit);
    EXPECT_EQ(process->wait(), 0);
    sink.stop();
    const std::string log = process->standardError();
    ASSERT_GE(sink.stored(), 2u) << log.substr(0, 6000);
    EXPECT_EQ(sink.refused(), 0u);
    EXPECT_EQ(log.find("Exception detected in Report thread"), std::string::npos);

    // One event per vehicle: reports of the same event carry the time of its first frame.
    const auto events = storedEvents(dir.path() / "events");
    std::set<int64_t> firstFrames;
    for (const auto& e : events) {
        EXPECT_TRUE(firstFrames.insert(e.at("ts").get<int64_t>()).second)
            << "a second event at " << e.at("ts");
    }

    const json event = events.at(0);
    ASSERT_EQ(event.at("evts").size(), 1u) << event.dump();
    const json& plate = event.at("evts")[0];
    EXPECT_EQ(plate.at("num"), "ABOC12");
    EXPECT_EQ(plate.at("state"), "T1");
    EXPECT_NEAR(plate.at("stateConfidence").get<double>(), 0.99, 1e-6);
    EXPECT_GT(plate.at("confidence").get<double>(), 0.5);
    EXPECT_EQ(plate.at("src"), "cam");
    EXPECT_EQ(plate.at("plateIndex"), 0);
    EXPECT_EQ(plate.at("nontriggered"), true);
    EXPECT_GE(plate.at("ts").get<int64_t>(), event.at("ts").get<int64_t>());
    EXPECT_EQ(plate.at("yoloInfo").at(0).at("width"), kPlate.width);
    EXPECT_EQ(plate.at("plate").at("width"), kPlate.width);
    EXPECT_EQ(plate.at("plate").at("height"), kPlate.height);
    ASSERT_GE(event.at("frames").size(), 1u);
    EXPECT_EQ(event.at("frames")[0].at("width"), kWidth);
    EXPECT_EQ(event.at("frames")[0].at("guid"), plate.at("frameGuid"));
    EXPECT_EQ(event.at("motion_direction"), 0);
    EXPECT_EQ(event.at("person_number"), 0);

    ASSERT_EQ(event.at("videos").size(), 1u);
    EXPECT_EQ(event.at("videos")[0].at("srcId"), 1);
    const std::string clipId = event.at("videos")[0].at("id");
    const fs::path mp4 = dir.path() / "clips" / (clipId + ".mp4");
    ASSERT_TRUE(fs::exists(mp4));
    EXPECT_EQ(clipchecks::decodeErrors(mp4.string()), "");
    // A stream copy of the camera's packets: the clip decodes to a run of the source's frames, one
    // frame per packet, one frame step (25 fps in 1/12800) apart. The source loops, but a clip holds
    // the packets of one connection only, so no clip reaches across the end of the file.
    const auto clipSums = clipchecks::frameChecksums(mp4.string());
    EXPECT_EQ(clipSums.size(), clipchecks::packetCount(mp4.string()));
    const auto sourceSums = clipchecks::frameChecksums(clip);
    ASSERT_EQ(std::set<std::string>(sourceSums.begin(), sourceSums.end()).size(), sourceSums.size())
        << "numbered frames decode alike to no other";
    EXPECT_TRUE(clipchecks::isContiguousRun(clipSums, sourceSums));
    const auto times = clipchecks::presentationTimes(mp4.string());
    ASSERT_EQ(times.size(), clipSums.size());
    for (size_t i = 0; i < times.size(); ++i) {
        EXPECT_EQ(times[i], static_cast<int64_t>(i) * 512) << "clip frame " << i;
    }
    EXPECT_EQ(clipchecks::probeStream(mp4.string(), "avg_frame_rate"), "25/1");

    // The metadata describes the clip frame by frame: objects exactly where the plate shows.
    const auto shown = plateShown(mp4.string());
    std::ifstream in(dir.path() / "clips" / (clipId + ".rects"));
    const json metadata = json::parse(in);
    const json& detections = metadata.at("detections");
    ASSERT_EQ(detections.size(), shown.size());
    size_t withPlate = 0;
    size_t described = 0;
    size_t withoutPlate = 0;
    for (size_t i = 0; i < shown.size(); ++i) {
        EXPECT_EQ(detections[i].at("timestamp"), i);
        const json& rects = detections[i].at("rects");
        if (!shown[i]) {
            ++withoutPlate;
            EXPECT_TRUE(rects.empty()) << "clip frame " << i << " shows no plate";
            continue;
        }
        ++withPlate;
        if (rects.empty()) {
            continue;  // a frame the balancer let pass uninferred
        }
        ++described;
        ASSERT_EQ(rects.size(), 1u) << "clip frame " << i;
        EXPECT_EQ(rects[0].at("box"), json({kPlate.x, kPlate.y, kPlate.width, kPlate.height}));
        EXPECT_EQ(rects[0].at("found_event"), true);
        EXPECT_EQ(rects[0].at("event_id"), metadata.at("notblurring_id"));
    }
    EXPECT_GT(withoutPlate, 0u);
    EXPECT_GT(withPlate, 0u);
    EXPECT_GE(described * 10, withPlate * 8) << described << " of " << withPlate;
    // The image metadata of the plate's frame: the frame has no other object.
    std::ifstream image(dir.path() / "clips" / (plate.at("frameGuid").get<std::string>() + ".rects"));
    ASSERT_TRUE(image.good());
    EXPECT_EQ(json::parse(image), json::array());
}

TEST_F(NonTriggeredEventsTest, AClipFolderRemovedWhileRunningIsMadeAgainForTheNextEvents) {
    ASSERT_TRUE(waitForEvents(sink, 1)) << process->standardError().substr(0, 6000);
    fs::remove_all(dir.path() / "clips");
    // The event after the next one (one per pass of the plate) is reported wholly after the removal.
    const bool reported = waitForEvents(sink, sink.stored() + 2);
    httplib::Client("127.0.0.1", port).Get("/exit");
    EXPECT_EQ(process->wait(), 0);
    sink.stop();
    const std::string log = process->standardError();
    ASSERT_TRUE(reported) << log.substr(0, 6000);

    const json last = storedEvents(dir.path() / "events").back();
    ASSERT_EQ(last.at("videos").size(), 1u) << last.dump();
    const fs::path mp4 = dir.path() / "clips" / (last.at("videos")[0].at("id").get<std::string>() + ".mp4");
    ASSERT_TRUE(fs::exists(mp4));
    EXPECT_EQ(clipchecks::decodeErrors(mp4.string()), "");
    const std::string remadeLine =
        "[Info] nt-e2e: nt: Save directory clips of camera cam was gone, made it again";
    size_t remade = 0;
    for (size_t at = log.find(remadeLine); at != std::string::npos; at = log.find(remadeLine, at + 1)) {
        ++remade;
    }
    EXPECT_EQ(remade, 1u) << log.substr(0, 6000);
}

}  // namespace
