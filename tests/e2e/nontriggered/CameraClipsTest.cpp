#include <gtest/gtest.h>
#include <httplib.h>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/ChildProcess.h"
#include "tests/e2e/PlateRoad.h"
#include "tests/support/ClipChecks.h"
#include "tests/support/FreePort.h"
#include "tests/support/TempDir.h"
#include "tools/event_sink/EventSink.h"

// The real qo_core's event clips from cameras as they come beside a road: a network camera that
// drops (an MPEG-TS stream over TCP from ffmpeg on this machine ends while a vehicle is in view,
// stays away for 20 s and comes back), and an H.265 camera with B-frames.
namespace {

using namespace plate_road;

constexpr int kFrames = 100;  // 4 s at 25 fps
constexpr auto kDrop = std::chrono::seconds(20);

// One pass of the clip served to the first client that connects, at its frame rate.
std::unique_ptr<ChildProcess> serve(const fs::path& dir, const std::string& clip, int port) {
    fs::create_directories(dir);
    return std::make_unique<ChildProcess>(
        "/usr/bin/ffmpeg",
        std::vector<std::string>{"-nostdin", "-loglevel", "error", "-re", "-i", clip, "-c", "copy", "-f",
                                 "mpegts", "tcp://127.0.0.1:" + std::to_string(port) + "?listen=1"},
        dir.string());
}

// The same clip in H.265, with x265's B-frames and open groups of pictures.
std::string toH265(const std::string& h264, const fs::path& path) {
    const std::string command =
        "ffmpeg -nostdin -y -loglevel error -i \"" + h264 +
        "\" -c:v libx265 -pix_fmt yuv420p -crf 10 -x265-params keyint=25:log-level=error \"" + path.string() +
        "\"";
    if (std::system(command.c_str()) != 0) {
        throw std::runtime_error("cannot run " + command);
    }
    return path.string();
}

json configuration(int port, const std::string& type, const std::string& uri, const std::string& sinkUrl) {
    return recordingRoad(port, type, uri, sinkUrl, "clips-e2e", QO_TEST_MODEL_DIR, QO_PLATE_MODELS_DIR);
}

// The first event's clip: it decodes cleanly, one frame per packet, to a gapless run of the
// source's frames that shows the plate. Returns its frame checksums.
std::vector<std::string> checkClip(const fs::path& dir, const std::string& source, const std::string& log) {
    const json event = storedEvents(dir / "events").at(0);
    if (event.at("videos").size() != 1u) {
        ADD_FAILURE() << "no clip: " << log.substr(0, 6000);
        return {};
    }
    const fs::path mp4 = dir / "clips" / (event.at("videos")[0].at("id").get<std::string>() + ".mp4");
    EXPECT_EQ(clipchecks::decodeErrors(mp4.string()), "");
    const auto clipSums = clipchecks::frameChecksums(mp4.string());
    EXPECT_EQ(clipSums.size(), clipchecks::packetCount(mp4.string()));
    EXPECT_TRUE(clipchecks::isContiguousRun(clipSums, clipchecks::frameChecksums(source)));
    cv::VideoCapture capture(mp4.string());
    int shown = 0;
    for (cv::Mat frame; capture.read(frame);) {
        shown += cv::mean(frame(kPlate))[0] > 128.0 ? 1 : 0;
    }
    EXPECT_GT(shown, 0);
    return clipSums;
}

TEST(CameraClipsTest, AnEventReadBeforeADropGetsAClipOfItsOwnConnection) {
    TempDir dir;
    prepareWorkDir(dir.path());
    // Confirmed, but not yet due, when the stream ends.
    const std::string clip = plate_road::makeClip(
        dir.path() / "plate.mp4", kFrames, [](int i) { return i >= 85; }, true);
    const auto sinkPtr = startEventSink(dir.path() / "events");
    EventSink& sink = *sinkPtr;

    const int streamPort = freePort();
    auto server = serve(dir.path() / "server1", clip, streamPort);
    const int port = freePort();
    std::ofstream(dir.file("config.json"))
        << configuration(port, "network", "tcp://127.0.0.1:" + std::to_string(streamPort), sink.url())
               .dump(2);
    ChildProcess process(QO_CORE_BINARY, {"config.json"}, dir.path().string());

    // The pass ends with the plate in view; the camera stays away, then comes back.
    ASSERT_EQ(server->wait(std::chrono::seconds(120)), 0)
        << ChildProcess::read((dir.path() / "server1/stderr.txt").string());
    std::this_thread::sleep_for(kDrop);
    server = serve(dir.path() / "server2", clip, streamPort);
    const bool reported = waitForEvents(sink, 1);
    EXPECT_TRUE(httplib::Client("127.0.0.1", port).Get("/exit"));
    EXPECT_EQ(process.wait(), 0);
    sink.stop();
    const std::string log = process.standardError();
    ASSERT_TRUE(reported) << log.substr(0, 6000);
    EXPECT_EQ(log.find("Posted without a clip"), std::string::npos) << log.substr(0, 6000);

    // The packets of the first connection, up to where it ended.
    const auto clipSums = checkClip(dir.path(), clip, log);
    ASSERT_FALSE(clipSums.empty());
    EXPECT_EQ(clipSums.back(), clipchecks::frameChecksums(clip).back());
}

TEST(CameraClipsTest, AnH265CameraWithBFramesGetsClipsThatDecodeToTheirEnd) {
    TempDir dir;
    prepareWorkDir(dir.path());
    const std::string clip =
        toH265(plate_road::makeClip(
                   dir.path() / "plate.mp4", kFrames, [](int i) { return i >= 25 && i <= 74; }, true),
               dir.path() / "plate_h265.mp4");
    const auto sinkPtr = startEventSink(dir.path() / "events");
    EventSink& sink = *sinkPtr;
    const int port = freePort();
    std::ofstream(dir.file("config.json")) << configuration(port, "file", clip, sink.url()).dump(2);
    ChildProcess process(QO_CORE_BINARY, {"config.json"}, dir.path().string());
    const bool reported = waitForEvents(sink, 1);
    EXPECT_TRUE(httplib::Client("127.0.0.1", port).Get("/exit"));
    EXPECT_EQ(process.wait(), 0);
    sink.stop();
    const std::string log = process.standardError();
    ASSERT_TRUE(reported) << log.substr(0, 6000);
    checkClip(dir.path(), clip, log);
}

}  // namespace
