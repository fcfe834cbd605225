// The demo's networks on the demo video, through the service's own components, against the
// video's ground truth: how many plates are found and read, by plate width, and what each stage
// costs per frame and per plate.
//
//   demo_video_eval [config.json] [video] [truth.jsonl]
//
// Defaults are the demo's files. Runs from the repository root, as the demo does (the plate
// reader's syntax files and engine cache are relative to it). Frames are decoded by our video
// library as fast as it can (no pacing). Plates are scored when fully visible; a detection matches
// a plate at IoU >= 0.5. "read" is the best reading of the matched box equal to the drawn text,
// whatever its confidence; "accepted" also needs the reading network's "treshold"; "wrong" counts
// accepted best readings of matched boxes that differ from the drawn text.

#include <unistd.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "qo_common/video/IVideoSource.h"
#include "src/components/ComponentFactory.h"

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

struct Bucket {
    int from;
    int to;  // exclusive
    long plates = 0;
    long detected = 0;
    long read = 0;
    long accepted = 0;
    long wrong = 0;
};

json readJson(const std::string& path) {
    std::ifstream in(path);
    if (!in) {
        throw std::runtime_error("cannot open " + path);
    }
    return json::parse(in);
}

std::map<long, std::vector<json>> truthByFrame(const std::string& path) {
    std::ifstream in(path);
    if (!in) {
        throw std::runtime_error("cannot open " + path);
    }
    std::map<long, std::vector<json>> frames;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) {
            json plate = json::parse(line);
            frames[plate.at("frame").get<long>()].push_back(plate);
        }
    }
    return frames;
}

const json& networkOfType(const json& config, const std::string& type) {
    for (const json& network : config.at("networks")) {
        if (network.at("type") == type) {
            return network;
        }
    }
    throw std::runtime_error("the configuration has no network of type " + type);
}

cv::Rect truthBox(const json& plate) {
    return {plate.at("x").get<int>(), plate.at("y").get<int>(), plate.at("w").get<int>(),
            plate.at("h").get<int>()};
}

double iou(const cv::Rect& a, const cv::Rect& b) {
    const double inter = (a & b).area();
    const double uni = double(a.area()) + double(b.area()) - inter;
    return uni > 0 ? inter / uni : 0.0;
}

// Most confident box first, each plate taken once; the box id per plate index.
std::map<size_t, uint64_t> matchBoxes(std::vector<YoloObjectInfo> boxes, const std::vector<json>& plates,
                                      long& falseAlarms) {
    std::sort(boxes.begin(), boxes.end(),
              [](const auto& a, const auto& b) { return a.detectionConfidence > b.detectionConfidence; });
    std::map<size_t, uint64_t> matched;
    for (const auto& box : boxes) {
        double best = 0.5;
        long index = -1;
        for (size_t i = 0; i < plates.size(); ++i) {
            double v = iou(box.rect(), truthBox(plates[i]));
            if (!matched.count(i) && v >= best) {
                best = v;
                index = static_cast<long>(i);
            }
        }
        if (index < 0) {
            ++falseAlarms;
        } else {
            matched[static_cast<size_t>(index)] = box.id;
        }
    }
    return matched;
}

// The best reading of a box: the reading component appends a box's readings best first.
const LPRDetection* bestReading(const FrameWithInfo& frame, uint64_t boxId) {
    for (const auto& reading : frame.lprDetections) {
        if (reading.idYoloInfo == boxId) {
            return &reading;
        }
    }
    return nullptr;
}

double ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

}  // namespace

int main(int argc, char** argv) {
    try {
        std::filesystem::current_path(QO_SOURCE_DIR);
        const std::string configPath = argc > 1 ? argv[1] : "demo/config.json";
        const std::string videoPath = argc > 2 ? argv[2] : "demo/road.mp4";
        const std::string truthPath = argc > 3 ? argv[3] : "demo/road.truth.jsonl";

        const json config = readJson(configPath);
        const json detectorNetwork = networkOfType(config, "yolo");
        json readerNetwork = networkOfType(config, "PlateReaderV3Colored");
        // Every reading is kept here; the demo's acceptance is applied below.
        const float acceptance = readerNetwork.value("treshold", 0.f);
        readerNetwork["treshold"] = 0;
        auto detector = ComponentFactory::create("yolo", detectorNetwork);
        auto reader = ComponentFactory::create("PlateReaderV3Colored", readerNetwork);
        const auto truth = truthByFrame(truthPath);

        ek::VideoSourceSettings settings;
        settings.name = "eval";
        settings.uri = videoPath;
        settings.type = "file";
        settings.pacing = false;
        auto source = ek::createVideoSource(settings);
        source->open();

        std::vector<Bucket> buckets = {{0, 50}, {50, 80}, {80, 110}, {110, 140}, {140, 100000}};
        long frames = 0, boxes = 0, falseAlarms = 0, relevant = 0, found = 0;
        Clock::duration detectTime{}, readTime{};
        for (;; ++frames) {
            auto frame = source->getFrame();
            if (frame->poison || frame->frame->image.empty()) {
                break;
            }
            auto t0 = Clock::now();
            detector->prepare(frame);
            detector->infer(frame);
            auto t1 = Clock::now();
            reader->prepare(frame);
            reader->infer(frame);
            auto t2 = Clock::now();
            detectTime += t1 - t0;
            readTime += t2 - t1;
            boxes += static_cast<long>(frame->yoloInfo.size());

            static const std::vector<json> none;
            auto it = truth.find(frames);
            const auto& plates = it == truth.end() ? none : it->second;
            auto matched = matchBoxes(frame->yoloInfo, plates, falseAlarms);
            for (size_t i = 0; i < plates.size(); ++i) {
                const json& plate = plates[i];
                if (!plate.at("full").get<bool>()) {
                    continue;
                }
                const int width = plate.at("w").get<int>();
                if (width >= 50) {
                    ++relevant;
                    found += matched.count(i) ? 1 : 0;
                }
                auto bucket = std::find_if(buckets.begin(), buckets.end(),
                                           [&](const Bucket& b) { return b.from <= width && width < b.to; });
                ++bucket->plates;
                if (!matched.count(i)) {
                    continue;
                }
                ++bucket->detected;
                const LPRDetection* best = bestReading(*frame, matched[i]);
                if (!best) {
                    continue;
                }
                const bool exact = best->rootValue == plate.at("text").get<std::string>();
                const bool accepted = best->confidence >= acceptance;
                bucket->read += exact ? 1 : 0;
                bucket->accepted += exact && accepted ? 1 : 0;
                bucket->wrong += !exact && accepted ? 1 : 0;
            }
        }
        source->stop();

        const double truePositives = static_cast<double>(found);
        std::printf(
            "%ld frames of %s; detector on plates >= 50 px: recall %.3f, %ld boxes matching no plate "
            "(%.3f a frame)\n",
            frames, videoPath.c_str(), truePositives / std::max(1L, relevant), falseAlarms,
            double(falseAlarms) / std::max(1L, frames));
        std::printf(
            "detector component (prepare + infer): %.2f ms a frame; reading component: %.2f ms a box "
            "(%ld boxes)\n",
            ms(detectTime) / std::max(1L, frames), ms(readTime) / std::max(1L, boxes), boxes);
        std::printf("plate width  plates  detected  read  accepted(>=%.2f)  wrong accepted\n", acceptance);
        for (const auto& b : buckets) {
            const double n = static_cast<double>(std::max(1L, b.plates));
            std::printf("%4d-%-6s  %6ld  %8.3f  %.3f  %15.3f  %14.3f\n", b.from,
                        b.to < 100000 ? std::to_string(b.to).c_str() : "", b.plates, b.detected / n,
                        b.read / n, b.accepted / n, b.wrong / n);
        }
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "demo_video_eval: %s\n", e.what());
        return 1;
    }
}
