#pragma once

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "qo_common/utils/CommonUtils.h"
#include "tests/models/PlateDrawing.h"
#include "tools/event_sink/EventSink.h"

// What the process-level tests share: the generated plate clips, the working directory qo_core
// reads its syntaxes and catalog from, the generated detector and reader as configuration, and the
// event sink the builders post to.
namespace plate_road {

namespace fs = std::filesystem;
using nlohmann::json;

// 1024 x 96 stretched to the detector's 64 x 64 input makes each 16 x 16 grid cell a 256 x 24
// region of the frame: a plate drawn exactly on one cell gets a box that is exactly the plate.
constexpr int kWidth = 1024;
constexpr int kHeight = 96;
inline const cv::Rect kPlate(256, 24, plate_drawing::kWidth, plate_drawing::kHeight);
inline const std::string kDrawn = "AB0C12";
inline const std::string kCorrected =
    "ABOC12";  // the catalog's state T1 has the letter O where the reader has 0

// Encodes `frames` frames at 25 fps, the plate `kDrawn` on the frames `showsPlate` picks; with
// B-frames, as cameras and encoders often do. `numbered` marks each frame with its number (at most
// 127) in small squares at the top left, so that no two frames decode alike; the squares are far
// too dim a part of their detector cell to be found.
inline std::string makeClip(const fs::path& path, int frames, const std::function<bool(int)>& showsPlate,
                            bool numbered = false) {
    if (numbered && frames > 128) {
        throw std::invalid_argument("makeClip: " + std::to_string(frames) +
                                    " frames do not fit 7-bit frame numbers (" + path.string() + ")");
    }
    const std::string command =
        "ffmpeg -nostdin -y -loglevel error -f rawvideo -pix_fmt bgr24 -s " + std::to_string(kWidth) + "x" +
        std::to_string(kHeight) +
        " -r 25 -i - -c:v libx264 -preset veryfast -pix_fmt yuv420p -crf 10 -g 25 \"" + path.string() + "\"";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "w"), pclose);
    if (!pipe) {
        throw std::runtime_error("cannot run " + command);
    }
    const cv::Mat plate = plate_drawing::colourPlate(kDrawn);
    for (int i = 0; i < frames; ++i) {
        cv::Mat frame(kHeight, kWidth, CV_8UC3, cv::Scalar::all(0));
        if (showsPlate(i)) {
            plate.copyTo(frame(kPlate));
        }
        for (int bit = 0; numbered && bit < 7; ++bit) {
            if ((i >> bit) & 1) {
                frame(cv::Rect(4 + 8 * bit, 4, 4, 4)).setTo(cv::Scalar::all(255));
            }
        }
        std::fwrite(frame.data, 1, frame.total() * frame.elemSize(), pipe.get());
    }
    if (pclose(pipe.release()) != 0) {
        throw std::runtime_error("cannot encode " + path.string());
    }
    return path.string();
}

// The syntaxes and the plate catalog that the builders' "plateCatalogPath" "catalog.json" names.
inline void prepareWorkDir(const fs::path& dir) {
    fs::create_directories(dir / "syntaxes");
    // The reader's own syntaxes fit no plate of the clips, so it passes the text on as read.
    std::ofstream(dir / "syntaxes" / "default-syntax.json")
        << R"({"syntaxes": [{"definition": "[0-9]{9}", "state": "N9", "region": "eu"}]})";
    std::ofstream(dir / "syntaxes" / "watchlist.json") << R"({"records": []})";
    // State T1: two letters, the letter O, a letter, two digits. The reader has no O, so the
    // catalog turns its "AB0C12" into "ABOC12".
    std::ofstream(dir / "catalog.json")
        << R"({"list": [{"plate_state": "T1", "syntax_regex": "[A-Z]{2}O[A-Z][0-9]{2}"}]})";
}

// The generated grid detector as a "yolo" network sending its boxes to `destination`.
inline json gridDetector(const std::string& name, const std::string& destination,
                         const std::string& modelDir) {
    return {{"name", name},
            {"type", "yolo"},
            {"treshold", 0.5},
            {"destinations", {destination}},
            {"model",
             {{"resize", 1},
              {"keepAspect", false},
              {"definition",
               {{"path", modelDir},
                {"cfg", "grid_v5_64.onnx"},
                {"content", {{"files", {{"class-names", "grid.names"}}}}}}}}}};
}

// The generated plate recogniser as a "PlateReaderV3Colored" network sending its readings to
// `destination`.
inline json plateReader(const std::string& name, const std::string& destination,
                        const std::string& modelDir) {
    return {{"name", name},
            {"type", "PlateReaderV3Colored"},
            {"treshold", 0.5},
            {"destinations", {destination}},
            {"model",
             {{"region", "eu"},
              {"definition",
               {{"path", modelDir},
                {"content",
                 {{"files", {{"weights", "plate_reader.onnx"}, {"alphabet", plate_drawing::kAlphabet}}},
                  {"image-input-requirements", {{"width_ext", 0}, {"height_ext", 0}}}}}}}}}};
}

// The non-triggered builder "nt" of lane 1, posting to "sink", a vehicle forgotten 1 s after its
// last reading.
inline json nonTriggeredBuilder() {
    return {{"name", "nt"},
            {"type", "LP"},
            {"triggeredMode", 0},
            {"destinations", {"sink"}},
            {"laneId", 1},
            {"lpForgetInterval", 1000},
            {"plateCatalogPath", "catalog.json"}};
}

// One camera recording clips, the grid detector, the plate reader and a non-triggered builder
// posting to `sinkUrl`: the road of the non-triggered process tests.
inline json recordingRoad(int port, const std::string& type, const std::string& uri,
                          const std::string& sinkUrl, const std::string& sender, const std::string& modelDir,
                          const std::string& plateModelDir) {
    json source = {{"name", "cam"},
                   {"id", 1},
                   {"type", type},
                   {"uri", uri},
                   {"restart", 1},
                   {"processingMode", 0},
                   {"laneId", 1},
                   {"destinations", {"plates"}},
                   {"recordEnable", true},
                   {"recordTimeBeforeEvent", 1500},
                   {"recordTimeAfterEvent", 2500},
                   {"pathToSaveVideo", "clips/"}};
    json builder = nonTriggeredBuilder();
    builder["defaults"] = {{"stateActive", true}, {"state", "T1"}};
    return {{"log", {{"file", false}, {"level", 3}, {"sender", sender}}},
            {"webserver", {{"port", port}}},
            {"eventposters", json::array({{{"name", "sink"}, {"url", sinkUrl}}})},
            {"eventbuilders", json::array({builder})},
            {"networks", json::array({gridDetector("plates", "reader", modelDir),
                                      plateReader("reader", "nt", plateModelDir)})},
            {"sources", json::array({source})}};
}

// An event sink on a free port storing into `folder`, serving once this returns.
inline std::unique_ptr<EventSink> startEventSink(const fs::path& folder) {
    EventSink::Options options;
    options.port = 0;
    options.folder = folder;
    options.summaryOut = nullptr;
    auto sink = std::make_unique<EventSink>(options);
    sink->start();
    return sink;
}

// Waits until the sink holds at least `count` events; false after 90 s.
inline bool waitForEvents(const EventSink& sink, size_t count) {
    const auto guard = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    while (sink.stored() < count) {
        if (std::chrono::steady_clock::now() > guard) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

// The events a sink stored in `folder`, in order of arrival.
inline std::vector<json> storedEvents(const fs::path& folder) {
    std::vector<json> out;
    std::ifstream in(folder / "events.jsonl");
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) {
            out.push_back(json::parse(line));
        }
    }
    return out;
}

// A camera's entry of the status document says that it works: "working" until the first
// statistics step replaces it with the source's statistics.
inline bool cameraWorks(const json& status, const std::string& camera) {
    if (!status.is_object() || !status.contains(camera)) {
        return false;
    }
    const json& entry = status.at(camera);
    return entry == "working" || (entry.is_object() && entry.value("online", false));
}

// Frames that the triggered builder `builder` has begun to take, counted in the service's log at
// the debug level, which has a line for each.
inline size_t framesTakenBy(const std::string& log, const std::string& builder) {
    const std::string line = builder + ": eventHistory size: ";
    size_t n = 0;
    for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + line.size())) {
        ++n;
    }
    return n;
}

// Returns once the wall clock has passed `ms` (the clock of frame and trigger times).
inline void waitForWallClockPast(int64_t ms) {
    while (CommonUtils::getTs() <= ms) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace plate_road
