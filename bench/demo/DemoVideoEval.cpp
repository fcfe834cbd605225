// The demo's networks on the demo video, through the service's own components, against the
// video's ground truth: how many plates are found and read, by plate width, and what each stage
// costs per frame and per plate.
//
//   demo_video_eval [config.json] [video] [truth.jsonl]
//
// Defaults are the demo's files; the video is read with the settings of the configuration's first
// source, decoded by our video library as fast as it goes (no pacing). Runs from the repository root,
// as the demo does (the plate reader's syntax files and engine cache are relative to it).
// Plates are scored when fully visible; boxes and plates are matched as the demo model checks match
// them (tests/demo/PlateMatch.h). "read": the best reading of the matched box is the drawn text,
// whatever its confidence; "accepted": that, and the reading clears the reading network's
// "treshold"; "wrong": the best reading clears it but is not the drawn text.

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "qo_common/video/IVideoSource.h"
#include "src/components/ComponentFactory.h"
#include "tests/demo/DemoFiles.h"
#include "tests/demo/PlateMatch.h"

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

std::map<long, std::vector<json>> truthByFrame(const std::string& path) {
    std::map<long, std::vector<json>> frames;
    for (json& plate : demo_files::readJsonLines(path)) {
        frames[plate.at("frame").get<long>()].push_back(std::move(plate));
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

// The matched box's id per plate index.
std::map<size_t, uint64_t> matchBoxes(const std::vector<YoloObjectInfo>& boxes,
                                      const std::vector<json>& plates, long& falseAlarms) {
    std::map<size_t, uint64_t> matched;
    for (const auto& m : plate_match::match(boxes, plates)) {
        if (m.plate) {
            matched[*m.plate] = m.box.id;
        } else {
            ++falseAlarms;
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

        const json config = demo_files::readJson(configPath);
        const json detectorNetwork = networkOfType(config, "yolo");
        json readerNetwork = networkOfType(config, "PlateReaderV3Colored");
        // Every reading is kept here; the demo's acceptance is applied below.
        const float acceptance = readerNetwork.value("treshold", 0.f);
        readerNetwork["treshold"] = 0;
        auto detector = ComponentFactory::create("yolo", detectorNetwork);
        auto reader = ComponentFactory::create("PlateReaderV3Colored", readerNetwork);
        const auto truth = truthByFrame(truthPath);

        // The demo source's settings (plate-width filter, ROI, ...), read once through to the end.
        ek::VideoSourceSettings settings;
        settings.configure(config.at("sources").at(0));
        settings.uri = videoPath;
        settings.type = "file";
        settings.restart = 0;
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
