#include <gtest/gtest.h>
#include <httplib.h>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/ChildProcess.h"
#include "tests/e2e/PlateRoad.h"
#include "tests/support/FreePort.h"
#include "tests/support/TempDir.h"
#include "tools/event_sink/EventSink.h"

// The generated train scene (tests/e2e/train/make_train_scene.py) through the real qo_core: a file
// source, the scene's grid detector (plates and door classes), the generated plate recogniser and a
// "TrainSequence" builder posting to an event sink. The plate moves toward smaller x, stands beside
// an open door, and is gone: one event with the plate, direction +1, the open-door frame and the
// last frame.

namespace {

using nlohmann::json;
namespace fs = std::filesystem;

const std::string kSceneDir = QO_TRAIN_SCENE_DIR;
const std::string kPlateModelDir = QO_PLATE_MODELS_DIR;

json readJson(const std::string& path) {
    std::ifstream in(path);
    return json::parse(in);
}

json configuration(int port, const std::string& sinkUrl) {
    json source = {{"name", "cam1"},
                   {"id", 1},
                   {"type", "file"},
                   {"uri", kSceneDir + "/train.mp4"},
                   {"restart", 1},
                   {"processingMode", 0},
                   {"laneId", 1},
                   {"recordEnable", true},
                   {"destinations", {"yolo"}}};
    json yolo = {{"name", "yolo"},
                 {"type", "yolo"},
                 {"treshold", 0.5},
                 {"destinations", {"reader"}},
                 {"model",
                  {{"resize", 2},
                   {"keepAspect", true},
                   {"definition",
                    {{"path", kSceneDir},
                     {"cfg", "train_grid.onnx"},
                     {"content", {{"files", {{"class-names", "train_grid.names"}}}}}}}}}};
    json reader = plate_road::plateReader("reader", "train", kPlateModelDir);
    // The plate is gone for 2.4 s of each 4.6 s loop: longer than eventEmitWait, shorter than
    // lpForgetInterval, so the loops join the reported event and nothing more is posted.
    json builder = {{"name", "train"},          {"type", "TrainSequence"},
                    {"destinations", {"sink"}}, {"laneId", 1},
                    {"laneName", "platform1"},  {"eventEmitWait", 1000},
                    {"lpForgetInterval", 3000}, {"doorRoi", "0, 0, 1000, 1000"}};
    return {{"log", {{"file", true}, {"level", 3}, {"sender", "e2e-train"}}},
            {"webserver", {{"port", port}}},
            {"sources", json::array({source})},
            {"networks", json::array({yolo, reader})},
            {"eventbuilders", json::array({builder})},
            {"eventposters", json::array({{{"name", "sink"}, {"url", sinkUrl}}})},
            {"outputs", json::array()}};
}

// The mean colour (BGR) of a region of a received picture.
cv::Scalar meanOf(const fs::path& picture, const cv::Rect& region) {
    const cv::Mat image = cv::imread(picture.string());
    if (image.empty()) {
        ADD_FAILURE() << "cannot read " << picture;
        return {};
    }
    return cv::mean(image(region));
}

cv::Rect rectOf(const json& values) {
    return {values.at(0).get<int>(), values.at(1).get<int>(), values.at(2).get<int>(),
            values.at(3).get<int>()};
}

TEST(TrainProcessTest, ATrainThatStopsBesideAnOpenDoorIsPostedWithPlateDirectionDoorFrameAndLastFrame) {
    const json scene = readJson(kSceneDir + "/train_scene.json");
    TempDir dir;
    fs::create_directory_symlink(fs::path(QO_SOURCE_DIR) / "syntaxes", dir.path() / "syntaxes");

    const fs::path events = dir.path() / "events";
    const auto sinkPtr = plate_road::startEventSink(events);
    EventSink& sink = *sinkPtr;

    const int port = freePort();
    std::ofstream(dir.file("config.json")) << configuration(port, sink.url()).dump();
    ChildProcess process(QO_CORE_BINARY, {"config.json"}, dir.path().string());

    // A guard against a hang only: the event is due about 3.5 s after the start.
    const auto guard = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (sink.stored() == 0 && std::chrono::steady_clock::now() < guard) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    // One more loop of the video: its readings join the reported event and post nothing.
    std::this_thread::sleep_for(std::chrono::seconds(5));
    auto exit = httplib::Client("127.0.0.1", port).Get("/exit");
    ASSERT_TRUE(exit) << process.standardError().substr(0, 20000);
    EXPECT_EQ(process.wait(), 0) << process.standardError();
    sink.stop();
    const std::string log = ChildProcess::read(dir.file("qo_core.log"));
    ASSERT_EQ(sink.stored(), 1u) << log.substr(0, 20000);

    std::ifstream lines(events / "events.jsonl");
    std::string line;
    ASSERT_TRUE(std::getline(lines, line));
    const json event = json::parse(line);

    EXPECT_EQ(event.at("laneId"), 1);
    EXPECT_EQ(event.at("laneName"), "platform1");
    EXPECT_EQ(event.at("motion_direction"), 1);  // toward smaller x
    EXPECT_EQ(event.at("person_number"), 0);

    ASSERT_EQ(event.at("evts").size(), 1u);
    const json& plate = event.at("evts").at(0);
    EXPECT_EQ(plate.at("num"), scene.at("text"));
    EXPECT_EQ(plate.at("src"), "cam1");
    EXPECT_EQ(plate.at("srcId"), 1);
    EXPECT_EQ(plate.at("plateIndex"), 0);
    ASSERT_EQ(plate.at("yoloInfo").size(), 1u);
    const cv::Rect standing = rectOf(scene.at("plateStanding"));
    EXPECT_EQ(plate.at("yoloInfo").at(0).at("width"), standing.width);
    EXPECT_EQ(plate.at("yoloInfo").at(0).at("height"), standing.height);
    EXPECT_EQ(plate.at("yoloInfo").at(0).at("top"), standing.y);

    // The open-door frame first, then the last frame (a reading's frame may follow them).
    const json& frames = event.at("frames");
    ASSERT_GE(frames.size(), 2u);
    EXPECT_LE(frames.at(0).at("ts").get<int64_t>(), frames.at(1).at("ts").get<int64_t>());
    const cv::Rect door = rectOf(scene.at("door"));
    const auto doorColour = scene.at("doorColourBGR");
    const cv::Scalar openDoor = meanOf(events / frames.at(0).at("image").at("file").get<std::string>(), door);
    for (int c = 0; c < 3; ++c) {
        EXPECT_NEAR(openDoor[c], doorColour.at(c).get<double>(), 40.0) << "channel " << c;
    }
    for (int i = 0; i < 2; ++i) {
        const cv::Scalar atPlate =
            meanOf(events / frames.at(i).at("image").at("file").get<std::string>(), standing);
        EXPECT_GT(atPlate[1], 150.0) << "frame " << i << " shows the standing plate";
    }

    EXPECT_NE(log.find("train: Report: event: "), std::string::npos);
    EXPECT_NE(log.find("Send report, LP: " + scene.at("text").get<std::string>()), std::string::npos);
    EXPECT_EQ(log.find("[Error]"), std::string::npos) << log.substr(0, 20000);
}

}  // namespace
