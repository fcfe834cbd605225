#include <gtest/gtest.h>
#include <httplib.h>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/ChildProcess.h"
#include "tests/models/PlateDrawing.h"
#include "tests/support/FreePort.h"
#include "tests/support/TempDir.h"
#include "tools/event_sink/EventSink.h"

// The real qo_core on a generated clip: a file source records, the generated grid detector finds
// the plate, the generated recogniser reads it, the non-triggered builder makes one event per pass
// of the plate and posts it to our event sink; the clip and its metadata land in the camera's save
// directory.
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// 1024 x 96 stretched to the detector's 64 x 64 input makes each 16 x 16 grid cell a 256 x 24
// region of the frame: a plate drawn exactly on one cell gets a box that is exactly the plate.
constexpr int kWidth = 1024;
constexpr int kHeight = 96;
const cv::Rect kPlate(256, 24, plate_drawing::kWidth, plate_drawing::kHeight);
constexpr int kFrames = 100;  // 4 s at 25 fps
constexpr int kFirstPlateFrame = 25;
constexpr int kLastPlateFrame = 74;  // the plate shows from 1 s to 3 s of each pass
const std::string kDrawn = "AB0C12";

// The clip, encoded with B-frames as cameras and encoders often do.
std::string makeClip(const fs::path& dir) {
    const std::string path = (dir / "plate.mp4").string();
    const std::string command =
        "ffmpeg -nostdin -y -loglevel error -f rawvideo -pix_fmt bgr24 -s " + std::to_string(kWidth) + "x" +
        std::to_string(kHeight) +
        " -r 25 -i - -c:v libx264 -preset veryfast -pix_fmt yuv420p -crf 10 -g 25 \"" + path + "\"";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "w"), pclose);
    if (!pipe) {
        throw std::runtime_error("cannot run " + command);
    }
    const cv::Mat plate = plate_drawing::colourPlate(kDrawn);
    for (int i = 0; i < kFrames; ++i) {
        cv::Mat frame(kHeight, kWidth, CV_8UC3, cv::Scalar::all(0));
        if (i >= kFirstPlateFrame && i <= kLastPlateFrame) {
            plate.copyTo(frame(kPlate));
        }
        std::fwrite(frame.data, 1, frame.total() * frame.elemSize(), pipe.get());
    }
    if (pclose(pipe.release()) != 0) {
        throw std::runtime_error("cannot encode " + path);
    }
    return path;
}

json configuration(int port, const std::string& clip, const std::string& sinkUrl) {
    json source = {{"name", "cam"},
                   {"id", 1},
                   {"type", "file"},
                   {"uri", clip},
                   {"restart", 1},
                   {"processingMode", 0},
                   {"laneId", 1},
                   {"destinations", {"plates"}},
                   {"recordEnable", true},
                   {"recordTimeBeforeEvent", 1500},
                   {"recordTimeAfterEvent", 2500},
                   {"pathToSaveVideo", "clips/"}};
    json detector = {{"name", "plates"},
                     {"type", "yolo"},
                     {"treshold", 0.5},
                     {"destinations", {"reader"}},
                     {"model",
                      {{"resize", 1},
                       {"keepAspect", false},
                       {"definition",
                        {{"path", QO_TEST_MODEL_DIR},
                         {"cfg", "grid_v5_64.onnx"},
                         {"content", {{"files", {{"class-names", "grid.names"}}}}}}}}}};
    json reader = {
        {"name", "reader"},
        {"type", "PlateReaderV3Colored"},
        {"treshold", 0.5},
        {"destinations", {"nt"}},
        {"model",
         {{"region", "eu"},
          {"definition",
           {{"path", QO_PLATE_MODELS_DIR},
            {"content",
             {{"files", {{"weights", "plate_reader.onnx"}, {"alphabet", plate_drawing::kAlphabet}}},
              {"image-input-requirements", {{"width_ext", 0}, {"height_ext", 0}}}}}}}}}};
    json builder = {{"name", "nt"},
                    {"type", "LP"},
                    {"triggeredMode", 0},
                    {"destinations", {"sink"}},
                    {"laneId", 1},
                    {"lpForgetInterval", 1000},
                    {"plateCatalogPath", "catalog.json"},
                    {"defaults", {{"stateActive", true}, {"state", "T1"}}}};
    return {{"log", {{"file", false}, {"level", 3}, {"sender", "nt-e2e"}}},
            {"webserver", {{"port", port}}},
            {"eventposters", json::array({{{"name", "sink"}, {"url", sinkUrl}}})},
            {"eventbuilders", json::array({builder})},
            {"networks", json::array({detector, reader})},
            {"sources", json::array({source})}};
}

void prepareWorkDir(const fs::path& dir) {
    fs::create_directories(dir / "syntaxes");
    // The reader's own syntaxes fit no plate of the clip, so it passes the text on as read.
    std::ofstream(dir / "syntaxes" / "default-syntax.json")
        << R"({"syntaxes": [{"definition": "[0-9]{9}", "state": "N9", "region": "eu"}]})";
    std::ofstream(dir / "syntaxes" / "watchlist.json") << R"({"records": []})";
    // State T1: two letters, the letter O, a letter, two digits. The reader has no O, so the
    // catalog turns its "AB0C12" into "ABOC12".
    std::ofstream(dir / "catalog.json")
        << R"({"list": [{"plate_state": "T1", "syntax_regex": "[A-Z]{2}O[A-Z][0-9]{2}"}]})";
}

std::vector<json> readLines(const fs::path& path) {
    std::vector<json> out;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) {
            out.push_back(json::parse(line));
        }
    }
    return out;
}

std::string commandOutput(const std::string& command) {
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    std::string out;
    char buffer[4096];
    for (size_t n; pipe && (n = fread(buffer, 1, sizeof(buffer), pipe.get())) > 0;) {
        out.append(buffer, n);
    }
    return out;
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

TEST(NonTriggeredEventsTest, OneEventPerPassWithCorrectedPlateImagesAndAnAlignedClip) {
    TempDir dir;
    prepareWorkDir(dir.path());
    const std::string clip = makeClip(dir.path());

    EventSink::Options options;
    options.port = 0;
    options.folder = dir.path() / "events";
    options.summaryOut = nullptr;
    EventSink sink(options);
    sink.start();

    const int port = freePort();
    std::ofstream(dir.file("config.json")) << configuration(port, clip, sink.url()).dump(2);
    ChildProcess process(QO_CORE_BINARY, {"config.json"}, dir.path().string());
    const auto guard = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    while (sink.stored() < 1 && std::chrono::steady_clock::now() < guard) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    auto exit = httplib::Client("127.0.0.1", port).Get("/exit");
    EXPECT_TRUE(exit);
    EXPECT_EQ(process.wait(), 0);
    sink.stop();
    const std::string log = process.standardError();
    ASSERT_GE(sink.stored(), 1u) << log.substr(0, 6000);
    EXPECT_EQ(sink.refused(), 0u);
    EXPECT_EQ(log.find("Exception detected in Report thread"), std::string::npos);

    const json event = readLines(dir.path() / "events" / "events.jsonl").at(0);
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
    EXPECT_EQ(commandOutput("ffmpeg -nostdin -v error -i \"" + mp4.string() + "\" -f null - 2>&1"), "");

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

}  // namespace
