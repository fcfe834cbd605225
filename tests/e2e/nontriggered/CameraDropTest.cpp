#include <gtest/gtest.h>
#include <httplib.h>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/ChildProcess.h"
#include "tests/e2e/PlateRoad.h"
#include "tests/support/ClipChecks.h"
#include "tests/support/FreePort.h"
#include "tests/support/TempDir.h"
#include "tools/event_sink/EventSink.h"

// The real qo_core on a network camera that drops: an MPEG-TS stream over TCP from ffmpeg on this
// machine ends while a vehicle is in view, stays away for 20 s and comes back. The event of that
// vehicle still gets its clip, made of what the camera sent before the drop.
namespace {

using namespace plate_road;

constexpr int kFrames = 100;          // 4 s at 25 fps
constexpr int kFirstPlateFrame = 85;  // confirmed, but not yet due, when the stream ends
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

json configuration(int port, int streamPort, const std::string& sinkUrl) {
    json source = {{"name", "cam"},
                   {"id", 1},
                   {"type", "network"},
                   {"uri", "tcp://127.0.0.1:" + std::to_string(streamPort)},
                   {"restart", 1},
                   {"processingMode", 0},
                   {"laneId", 1},
                   {"destinations", {"plates"}},
                   {"recordEnable", true},
                   {"recordTimeBeforeEvent", 1500},
                   {"recordTimeAfterEvent", 2500},
                   {"pathToSaveVideo", "clips/"}};
    json builder = {{"name", "nt"},
                    {"type", "LP"},
                    {"triggeredMode", 0},
                    {"destinations", {"sink"}},
                    {"laneId", 1},
                    {"lpForgetInterval", 1000},
                    {"plateCatalogPath", "catalog.json"},
                    {"defaults", {{"stateActive", true}, {"state", "T1"}}}};
    return {{"log", {{"file", false}, {"level", 3}, {"sender", "drop-e2e"}}},
            {"webserver", {{"port", port}}},
            {"eventposters", json::array({{{"name", "sink"}, {"url", sinkUrl}}})},
            {"eventbuilders", json::array({builder})},
            {"networks", json::array({gridDetector("plates", "reader", QO_TEST_MODEL_DIR),
                                      plateReader("reader", "nt", QO_PLATE_MODELS_DIR)})},
            {"sources", json::array({source})}};
}

TEST(CameraDropTest, AnEventReadBeforeADropGetsAClipOfItsOwnConnection) {
    TempDir dir;
    prepareWorkDir(dir.path());
    const std::string clip = plate_road::makeClip(
        dir.path() / "plate.mp4", kFrames, [](int i) { return i >= kFirstPlateFrame; }, true);
    const auto sinkPtr = startEventSink(dir.path() / "events");
    EventSink& sink = *sinkPtr;

    const int streamPort = freePort();
    auto server = serve(dir.path() / "server1", clip, streamPort);
    const int port = freePort();
    std::ofstream(dir.file("config.json")) << configuration(port, streamPort, sink.url()).dump(2);
    ChildProcess process(QO_CORE_BINARY, {"config.json"}, dir.path().string());

    // The pass ends with the plate in view; the camera stays away, then comes back.
    ASSERT_EQ(server->wait(std::chrono::seconds(120)), 0)
        << ChildProcess::read((dir.path() / "server1/stderr.txt").string());
    std::this_thread::sleep_for(kDrop);
    server = serve(dir.path() / "server2", clip, streamPort);
    const auto guard = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    while (sink.stored() < 1 && std::chrono::steady_clock::now() < guard) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(httplib::Client("127.0.0.1", port).Get("/exit"));
    EXPECT_EQ(process.wait(), 0);
    sink.stop();
    const std::string log = process.standardError();
    ASSERT_GE(sink.stored(), 1u) << log.substr(0, 6000);
    EXPECT_EQ(log.find("Posted without a clip"), std::string::npos) << log.substr(0, 6000);

    const json event = storedEvents(dir.path() / "events").at(0);
    ASSERT_EQ(event.at("videos").size(), 1u) << log.substr(0, 6000);
    const fs::path mp4 = dir.path() / "clips" / (event.at("videos")[0].at("id").get<std::string>() + ".mp4");
    EXPECT_EQ(clipchecks::decodeErrors(mp4.string()), "");
    // The packets of the first connection, up to where it ended: a run of the pass that ends on its
    // last frame and shows the plate.
    const auto clipSums = clipchecks::frameChecksums(mp4.string());
    const auto sourceSums = clipchecks::frameChecksums(clip);
    EXPECT_TRUE(clipchecks::isContiguousRun(clipSums, sourceSums));
    ASSERT_FALSE(clipSums.empty());
    EXPECT_EQ(clipSums.back(), sourceSums.back());
    cv::VideoCapture capture(mp4.string());
    int shown = 0;
    for (cv::Mat frame; capture.read(frame);) {
        shown += cv::mean(frame(kPlate))[0] > 128.0 ? 1 : 0;
    }
    EXPECT_GT(shown, 0);
}

}  // namespace
