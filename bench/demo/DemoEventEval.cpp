// Event quality of the demo: the real qo_core on the demo configuration (its networks, its event
// builder and its poster) reads the demo video once through at its frame rate, our event sink
// collects the events, and the events are scored against the video's ground truth.
//
//   demo_event_eval [--keep DIR] [config.json] [video] [truth.jsonl]
//
// Defaults are the demo's files; --keep runs in DIR (made fresh) and leaves qo_core's log
// ("stderr.txt"), the events and the clips there. qo_core runs in a scratch directory that links the
// repository's "demo" and "syntaxes" (as the demo check does), with the poster pointed at an in-process sink
// and free ports. The source restarts at the end of the video, so that the vehicles of the last seconds are
// reported as in the endless demo; only events whose first frame lies in the first pass count. The first
// frame's time is taken from the builder's Debug line "<builder>: cam: <id>, timestamp: <ms>".
//
// Scored vehicles: those whose plate is fully visible at 80 px or wider in some frame. For each, the
// events with exactly its plate: one (correct), two or more (duplicated) or none (missed). Events
// whose plate is the plate of no vehicle of the video are "foreign".

extern "C" {
#include <libavformat/avformat.h>
}

#include <httplib.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/demo/DemoFiles.h"
#include "tests/e2e/ChildProcess.h"
#include "tests/support/FreePort.h"
#include "tests/support/TempDir.h"
#include "tools/event_sink/EventSink.h"

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr int kScoredWidth = 80;
// Beyond the builder's own waits: the last report's clip, its post, and the sink's answer.
constexpr int64_t kSettleMs = 5000;

struct Vehicle {
    std::string plate;
    bool scored = false;  // fully visible at kScoredWidth or wider in some frame
    bool toward = false;  // the plate grows: the vehicle comes toward the camera
    long firstFrame = 0;
    long lastFrame = 0;
};

struct VideoTiming {
    int64_t durationMs = 0;
    double frameMs = 40;
};

std::map<long, Vehicle> vehiclesOf(const std::string& truthPath) {
    std::map<long, Vehicle> vehicles;
    std::map<long, std::pair<int, int>> widths;  // first and last width seen
    for (const json& plate : demo_files::readJsonLines(truthPath)) {
        const long track = plate.at("track").get<long>();
        const long frame = plate.at("frame").get<long>();
        const int width = plate.at("w").get<int>();
        auto [it, fresh] = vehicles.try_emplace(track);
        Vehicle& v = it->second;
        if (fresh) {
            v.plate = plate.at("text").get<std::string>();
            v.firstFrame = frame;
            widths[track] = {width, width};
        }
        v.lastFrame = frame;
        widths[track].second = width;
        v.scored = v.scored || (plate.at("full").get<bool>() && width >= kScoredWidth);
    }
    for (auto& [track, v] : vehicles) {
        v.toward = widths[track].second > widths[track].first;
    }
    return vehicles;
}

VideoTiming timingOf(const std::string& path) {
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) {
        throw std::runtime_error("cannot open the video " + path);
    }
    std::unique_ptr<AVFormatContext, void (*)(AVFormatContext*)> input(
        raw, [](AVFormatContext* c) { avformat_close_input(&c); });
    if (avformat_find_stream_info(input.get(), nullptr) < 0 || input->duration <= 0) {
        throw std::runtime_error("no duration in " + path);
    }
    VideoTiming timing;
    timing.durationMs = input->duration / (AV_TIME_BASE / 1000);
    const int index = av_find_best_stream(input.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (index >= 0 && input->streams[index]->avg_frame_rate.num > 0) {
        timing.frameMs = 1000.0 / av_q2d(input->streams[index]->avg_frame_rate);
    }
    return timing;
}

// The time of the first frame that reached the builder, once its Debug line is in the log.
std::optional<int64_t> firstFrameTime(const std::string& log, const std::string& builder) {
    const std::string marker = builder + ": cam: ";
    const size_t at = log.find(marker);
    if (at == std::string::npos) {
        return std::nullopt;
    }
    const std::string key = "timestamp: ";
    const size_t ts = log.find(key, at);
    const size_t end = ts == std::string::npos ? ts : log.find(',', ts);
    if (end == std::string::npos) {
        return std::nullopt;  // the line is still being written
    }
    return std::stoll(log.substr(ts + key.size(), end - ts - key.size()));
}

int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

int countOf(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) {
        ++n;
    }
    return n;
}

std::string plateOf(const json& event) {
    const json& readings = event.at("evts");
    return readings.empty() ? std::string() : readings.at(0).at("num").get<std::string>();
}

// The run's directory: a kept one or a scratch one.
struct WorkDir {
    explicit WorkDir(std::filesystem::path p) : dir(std::move(p)) {}
    const std::filesystem::path& path() const { return dir; }
    std::string file(const std::string& name) const { return (dir / name).string(); }
    std::filesystem::path dir;
};

double share(long part, long whole) {
    return whole == 0 ? 0.0 : static_cast<double>(part) / static_cast<double>(whole);
}

// The demo configuration as the evaluation runs it.
json runConfig(json config, const std::string& video, int port, const std::string& sinkUrl) {
    config["webserver"]["port"] = port;
    config["log"]["level"] = 3;  // the builder's Debug lines give the first frame's time
    config["log"]["file"] = false;
    if (!config.contains("eventposters") || config["eventposters"].empty()) {
        throw std::runtime_error("the configuration has no event poster to collect events from");
    }
    for (json& poster : config["eventposters"]) {
        poster["url"] = sinkUrl;
    }
    json& source = config.at("sources").at(0);
    source["uri"] = video;
    source["restart"] = 1;
    source["pacing"] = true;
    config["outputs"] = json::array();  // no display window in a batch run
    for (json& network : config.at("networks")) {
        json kept = json::array();
        for (const json& destination : network.value("destinations", json::array())) {
            if (destination != "view") {
                kept.push_back(destination);
            }
        }
        network["destinations"] = kept;
    }
    return config;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        namespace fs = std::filesystem;
        std::vector<std::string> args(argv + 1, argv + argc);
        std::optional<fs::path> keep;
        if (args.size() >= 2 && args[0] == "--keep") {
            keep = fs::absolute(args[1]);
            args.erase(args.begin(), args.begin() + 2);
        }
        auto arg = [&args](size_t i, const char* fallback) {
            return fs::absolute(i < args.size() ? args[i] : demo_files::sourcePath(fallback)).string();
        };
        const std::string configPath = arg(0, "demo/config.json");
        const std::string videoPath = arg(1, "demo/road.mp4");
        const std::string truthPath = arg(2, "demo/road.truth.jsonl");
        const json demoConfig = demo_files::readJson(configPath);
        const json builder = demoConfig.at("eventbuilders").at(0);
        const std::string builderName = builder.at("name").get<std::string>();
        const auto vehicles = vehiclesOf(truthPath);
        const VideoTiming timing = timingOf(videoPath);

        std::optional<TempDir> scratch;
        if (keep) {
            fs::remove_all(*keep);
            fs::create_directories(*keep);
        } else {
            scratch.emplace();
        }
        const WorkDir work(keep ? *keep : scratch->path());
        for (const char* shared : {"demo", "syntaxes"}) {
            fs::create_directory_symlink(demo_files::sourcePath(shared), work.path() / shared);
        }
        EventSink::Options sinkOptions;
        sinkOptions.port = 0;
        sinkOptions.folder = work.path() / "events";
        sinkOptions.summaryOut = nullptr;
        EventSink sink(sinkOptions);
        sink.start();
        const json config = runConfig(demoConfig, videoPath, freePort(), sink.url());
        const std::string clipPrefix = config.at("sources").at(0).value("pathToSaveVideo", "");
        if (!clipPrefix.empty()) {
            fs::create_directories(work.path() / fs::path(clipPrefix).parent_path());
        }
        std::ofstream(work.file("config.json")) << config.dump(4);

        std::printf("qo_core on %s (%.1f s), builder %s: %s\n", videoPath.c_str(), timing.durationMs / 1000.0,
                    builderName.c_str(), builder.dump().c_str());
        std::fflush(stdout);
        ChildProcess core(QO_CORE_BINARY, {"config.json"}, work.path().string());
        std::optional<int64_t> start;
        const auto guard = Clock::now() + std::chrono::seconds(120);
        while (!(start = firstFrameTime(core.standardError(), builderName)) && Clock::now() < guard) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        if (!start) {
            throw std::runtime_error("no frame reached the builder within 120 s; log:\n" +
                                     core.standardError().substr(0, 4000));
        }
        // The first pass ends with its last frame; the restart opens the file again 1 s later.
        const int64_t passEnd = *start + timing.durationMs;
        const int64_t waits =
            std::max(builder.value("eventEmitWait", 1000), builder.value("lpForgetInterval", 30000));
        const int64_t after = config.at("sources").at(0).value("recordTimeAfterEvent", 0);
        const int64_t stopAt = passEnd + waits + after + kSettleMs;
        while (nowMs() < stopAt) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        httplib::Client("127.0.0.1", config["webserver"]["port"].get<int>()).Get("/exit");
        const int status = core.wait(std::chrono::seconds(30));
        sink.stop();
        const std::string log = core.standardError();
        if (status != 0) {
            throw std::runtime_error("qo_core ended with status " + std::to_string(status) + "; log:\n" +
                                     log.substr(0, 4000));
        }

        std::vector<json> events;
        const fs::path stored = work.path() / "events" / "events.jsonl";
        if (fs::exists(stored)) {
            for (json& event : demo_files::readJsonLines(stored.string())) {
                if (event.at("ts").get<int64_t>() < passEnd) {
                    events.push_back(std::move(event));
                }
            }
        }

        std::set<std::string> videoPlates;
        for (const auto& [track, v] : vehicles) {
            videoPlates.insert(v.plate);
        }
        std::map<std::string, std::vector<const json*>> byPlate;
        std::vector<const json*> foreign;
        for (const json& event : events) {
            const std::string plate = plateOf(event);
            (videoPlates.count(plate) ? byPlate[plate] : foreign).push_back(&event);
        }
        long scored = 0, correct = 0, duplicated = 0, missed = 0;
        std::map<std::string, std::map<int, int>> directions;  // toward/away -> direction -> events
        for (const auto& [track, v] : vehicles) {
            const auto& mine = byPlate[v.plate];
            for (const json* event : mine) {
                ++directions[v.toward ? "toward" : "away"][event->at("motion_direction").get<int>()];
            }
            if (!v.scored) {
                continue;
            }
            ++scored;
            if (mine.size() == 1) {
                ++correct;
            } else if (mine.size() > 1) {
                ++duplicated;
                std::printf("  duplicated: %s (track %ld, frames %ld-%ld): %zu events\n", v.plate.c_str(),
                            track, v.firstFrame, v.lastFrame, mine.size());
            } else {
                ++missed;
                std::printf("  missed: %s (track %ld, frames %ld-%ld)\n", v.plate.c_str(), track,
                            v.firstFrame, v.lastFrame);
            }
        }
        for (const json* event : foreign) {
            std::printf("  foreign: \"%s\" (first frame ~%ld)\n", plateOf(*event).c_str(),
                        static_cast<long>((event->at("ts").get<int64_t>() - *start) / timing.frameMs));
        }
        long clips = 0, clipFiles = 0;
        for (const json& event : events) {
            for (const json& video : event.value("videos", json::array())) {
                ++clips;
                const std::string id = video.at("id").get<std::string>();
                const fs::path base = work.path() / (clipPrefix + id);
                clipFiles +=
                    fs::exists(base.string() + ".mp4") && fs::exists(base.string() + ".rects") ? 1 : 0;
            }
        }

        std::printf("%zu events from the first pass; %ld vehicles with a plate fully visible at >= %d px\n",
                    events.size(), scored, kScoredWidth);
        std::printf("exactly one correct event: %ld (%.3f)   two or more: %ld (%.3f)   none: %ld (%.3f)\n",
                    correct, share(correct, scored), duplicated, share(duplicated, scored), missed,
                    share(missed, scored));
        std::printf("events whose plate no vehicle of the video carries: %zu\n", foreign.size());
        std::printf("clips named by the events: %ld, with their .mp4 and .rects present: %ld\n", clips,
                    clipFiles);
        for (const auto& [way, counts] : directions) {
            std::printf("motion_direction of %s vehicles' events:", way.c_str());
            for (const auto& [direction, n] : counts) {
                std::printf(" %+d: %d", direction, n);
            }
            std::printf("\n");
        }
        std::printf(
            "direction rule: %d reports without two readings at different times on a camera, %d voted\n",
            countOf(log, "MotionDirection: No info about direction"),
            countOf(log, "MotionDirection: result"));
        const bool met =
            share(correct, scored) >= 0.95 && share(duplicated, scored) <= 0.05 && foreign.empty();
        std::printf("target (>= 0.95 one correct, <= 0.05 duplicated, no foreign plate): %s\n",
                    met ? "met" : "NOT met");
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "demo_event_eval: %s\n", e.what());
        return 1;
    }
}
