#pragma once

#include <httplib.h>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "qo_common/utils/CommonUtils.h"
#include "tests/e2e/ChildProcess.h"
#include "tests/models/PlateDrawing.h"
#include "tests/support/FreePort.h"
#include "tests/support/TempDir.h"
#include "tools/event_sink/EventSink.h"

// The real qo_core on a looping generated clip that shows one plate in every frame: a file source
// on lane 1, the generated grid detector and recogniser, a triggered builder (or the builder with
// both modes) posting to our event sink. Frames carry wall-clock times, so triggers are sent with
// times taken from the test's clock.
namespace triggered_e2e {

namespace fs = std::filesystem;
using nlohmann::json;

// 1024 x 96 stretched to the detector's 64 x 64 input makes each 16 x 16 grid cell a 256 x 24
// region of the frame: a plate drawn exactly on one cell gets a box that is exactly the plate.
constexpr int kWidth = 1024;
constexpr int kHeight = 96;
const cv::Rect kPlate(256, 24, plate_drawing::kWidth, plate_drawing::kHeight);
const std::string kDrawn = "AB0C12";
const std::string kCorrected = "ABOC12";  // the catalog's state T1 has the letter O where the reader has 0

inline std::string makeClip(const fs::path& dir, int frames) {
    const std::string path = (dir / "plate.mp4").string();
    const std::string command =
        "ffmpeg -nostdin -y -loglevel error -f rawvideo -pix_fmt bgr24 -s " + std::to_string(kWidth) + "x" +
        std::to_string(kHeight) +
        " -r 25 -i - -c:v libx264 -preset veryfast -pix_fmt yuv420p -crf 10 -g 25 \"" + path + "\"";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "w"), pclose);
    if (!pipe) {
        throw std::runtime_error("cannot run " + command);
    }
    cv::Mat frame(kHeight, kWidth, CV_8UC3, cv::Scalar::all(0));
    plate_drawing::colourPlate(kDrawn).copyTo(frame(kPlate));
    for (int i = 0; i < frames; ++i) {
        std::fwrite(frame.data, 1, frame.total() * frame.elemSize(), pipe.get());
    }
    if (pclose(pipe.release()) != 0) {
        throw std::runtime_error("cannot encode " + path);
    }
    return path;
}

struct RunOptions {
    int processingMode = 2;  // of the source
    int triggeredMode = 2;   // of the builder
    int frames = 750;        // 30 s of clip
    int logLevel = 3;
    json builderExtra = json::object();
};

class TriggeredRun {
  public:
    explicit TriggeredRun(const RunOptions& options) : options_(options) {
        fs::create_directories(dir.path() / "syntaxes");
        // The reader's own syntaxes fit no plate of the clip, so it passes the text on as read.
        std::ofstream(dir.path() / "syntaxes" / "default-syntax.json")
            << R"({"syntaxes": [{"definition": "[0-9]{9}", "state": "N9", "region": "eu"}]})";
        std::ofstream(dir.path() / "syntaxes" / "watchlist.json") << R"({"records": []})";
        std::ofstream(dir.path() / "catalog.json")
            << R"({"list": [{"plate_state": "T1", "syntax_regex": "[A-Z]{2}O[A-Z][0-9]{2}"}]})";
        const std::string clip = makeClip(dir.path(), options.frames);

        EventSink::Options sinkOptions;
        sinkOptions.port = 0;
        sinkOptions.folder = dir.path() / "events";
        sinkOptions.summaryOut = nullptr;
        sink = std::make_unique<EventSink>(sinkOptions);
        sink->start();

        port = freePort();
        std::ofstream(dir.file("config.json")) << configuration(clip).dump(2);
        process = std::make_unique<ChildProcess>(QO_CORE_BINARY, std::vector<std::string>{"config.json"},
                                                 dir.path().string());
        client = std::make_unique<httplib::Client>("127.0.0.1", port);
        client->set_read_timeout(10, 0);
    }

    ~TriggeredRun() {
        if (sink) {
            sink->stop();
        }
    }

    // Waits until frames reach the builder (its statistics appear in the status document), then a
    // little longer so that its rings hold the frames before the trigger times the tests use.
    bool waitForFrames(std::chrono::seconds guard = std::chrono::seconds(60)) {
        const auto deadline = std::chrono::steady_clock::now() + guard;
        while (std::chrono::steady_clock::now() < deadline) {
            const json s = status();
            if (s.contains("tr") && s.contains("cam") && s["cam"] == "working") {
                std::this_thread::sleep_for(std::chrono::milliseconds(800));
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    json status() {
        auto res = client->Get("/status");
        if (!res || res->status != 200 || res->body.empty()) {
            return json::object();
        }
        return json::parse(res->body, nullptr, false);
    }

    static json triggerBody(int64_t id, int64_t ts) {
        return {{"laneId", 1},
                {"triggerId", id},
                {"triggerTimestamp", ts},
                {"triggerGuid", "trigger-" + std::to_string(id)},
                {"laneName", "gate lane"},
                {"vehicleGuid", "vehicle-" + std::to_string(id)},
                {"triggerName", "gate"},
                {"triggerSource", "test"},
                {"additional_data", json::array({{{"name", "axles"}, {"value", "3"}}})}};
    }

    // The answer to POST "/trigger": status and body ("OK" when accepted); {0, ""} when none came.
    std::pair<int, std::string> trigger(const json& body, httplib::Client* via = nullptr) {
        auto res = (via ? via : client.get())->Post("/trigger", body.dump(), "application/json");
        if (!res) {
            return {0, ""};
        }
        return {res->status, res->body};
    }

    // Waits until the sink has stored `n` events.
    bool waitForEvents(size_t n, std::chrono::seconds guard = std::chrono::seconds(30)) {
        const auto deadline = std::chrono::steady_clock::now() + guard;
        while (sink->stored() < n && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return sink->stored() >= n;
    }

    std::vector<json> events() const {
        std::vector<json> out;
        std::ifstream in(dir.path() / "events" / "events.jsonl");
        for (std::string line; std::getline(in, line);) {
            if (!line.empty()) {
                out.push_back(json::parse(line));
            }
        }
        return out;
    }

    TempDir dir;
    int port = 0;
    std::unique_ptr<EventSink> sink;
    std::unique_ptr<ChildProcess> process;
    std::unique_ptr<httplib::Client> client;

  private:
    json configuration(const std::string& clip) const {
        json source = {{"name", "cam"},  {"id", 1},
                       {"type", "file"}, {"uri", clip},
                       {"restart", 1},   {"processingMode", options_.processingMode},
                       {"laneId", 1},    {"pre", 5},
                       {"post", 5},      {"destinations", {"plates"}}};
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
            {"destinations", {"tr"}},
            {"model",
             {{"region", "eu"},
              {"definition",
               {{"path", QO_PLATE_MODELS_DIR},
                {"content",
                 {{"files", {{"weights", "plate_reader.onnx"}, {"alphabet", plate_drawing::kAlphabet}}},
                  {"image-input-requirements", {{"width_ext", 0}, {"height_ext", 0}}}}}}}}}};
        json builder = {{"name", "tr"},
                        {"type", "LP"},
                        {"triggeredMode", options_.triggeredMode},
                        {"destinations", {"sink"}},
                        {"laneId", 1},
                        {"includeAllImages", true},
                        {"plateCatalogPath", "catalog.json"},
                        {"defaults", {{"stateActive", true}, {"state", "T1"}}}};
        builder.merge_patch(options_.builderExtra);
        return {{"log", {{"file", false}, {"level", options_.logLevel}, {"sender", "triggered-e2e"}}},
                {"webserver", {{"port", port}}},
                {"eventposters", json::array({{{"name", "sink"}, {"url", sink->url()}}})},
                {"eventbuilders", json::array({builder})},
                {"networks", json::array({detector, reader})},
                {"sources", json::array({source})}};
    }

    RunOptions options_;
};

}  // namespace triggered_e2e
