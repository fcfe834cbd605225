#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/demo/DemoFiles.h"
#include "tests/e2e/ChildProcess.h"
#include "tests/support/FreePort.h"
#include "tests/support/TempDir.h"
#include "tools/event_sink/EventSink.h"

// The demo video read once, as a recorded file is: "restart" 0. The service ends by itself at the
// end of the file, and before it does, every vehicle of the video, the last ones included, has
// exactly one event with its plate at the event sink.
namespace {

using nlohmann::json;

// Plate text of every vehicle (track) of the video.
std::map<long, std::string> vehiclePlates() {
    std::map<long, std::string> plates;
    for (const json& line : demo_files::readJsonLines(demo_files::sourcePath("demo/road.truth.jsonl"))) {
        plates.emplace(line.at("track").get<long>(), line.at("text").get<std::string>());
    }
    return plates;
}

// Lines of `log` that hold `begin` and, after it on the same line, `end`.
size_t countOf(const std::string& log, const std::string& begin, const std::string& end) {
    size_t count = 0;
    for (size_t at = log.find(begin); at != std::string::npos; at = log.find(begin, at + 1)) {
        const size_t lineEnd = log.find('\n', at);
        const size_t found = log.find(end, at);
        count += found != std::string::npos && found < lineEnd ? 1 : 0;
    }
    return count;
}

// The demo configuration with the file read once, no display, on ports of the test's own.
json onceThrough(int port, const std::string& sinkUrl) {
    json config = demo_files::demoConfig();
    config["webserver"]["port"] = port;
    // Debug: a line for each frame the balancer passes on, saying whether it was skipped.
    config["log"]["level"] = 3;
    config["eventposters"][0]["url"] = sinkUrl;
    config["sources"][0]["restart"] = 0;
    config["sources"][0]["pacing"] = true;
    config["outputs"] = json::array();
    for (json& network : config["networks"]) {
        json kept = json::array();
        for (const json& destination : network["destinations"]) {
            if (destination != "view") {
                kept.push_back(destination);
            }
        }
        network["destinations"] = kept;
    }
    return config;
}

TEST(DemoFileEndTest, EveryVehicleOfAFileThatEndsGetsExactlyOneEventBeforeTheServiceStops) {
    TempDir dir;
    for (const char* shared : {"demo", "syntaxes"}) {
        std::filesystem::create_directory_symlink(demo_files::sourcePath(shared), dir.path() / shared);
    }
    EventSink::Options sinkOptions;
    sinkOptions.port = 0;
    sinkOptions.folder = dir.path() / "events";
    sinkOptions.summaryOut = nullptr;
    EventSink sink(sinkOptions);
    sink.start();
    const json config = onceThrough(freePort(), sink.url());
    const std::string clipPrefix = config["sources"][0]["pathToSaveVideo"].get<std::string>();
    std::filesystem::create_directories(dir.path() / std::filesystem::path(clipPrefix).parent_path());
    std::ofstream(dir.file("config.json")) << config.dump();

    ChildProcess process(QO_CORE_BINARY, {"config.json"}, dir.path().string());
    // The video lasts 60 s; the guard only keeps a broken run from hanging the suite.
    const int status = process.wait(std::chrono::seconds(600));
    sink.stop();
    const std::string log = process.standardError();
    ASSERT_EQ(status, 0) << log.substr(log.size() > 4000 ? log.size() - 4000 : 0);
    EXPECT_NE(log.find("File source road has ended: draining the pipeline, then stopping"),
              std::string::npos);
    EXPECT_NE(log.find("drain: done after"), std::string::npos);
    EXPECT_EQ(sink.refused(), 0u);

    std::map<std::string, int> eventsByPlate;
    const auto stored = sinkOptions.folder / "events.jsonl";
    ASSERT_TRUE(std::filesystem::exists(stored));
    for (const json& event : demo_files::readJsonLines(stored.string())) {
        ASSERT_FALSE(event["evts"].empty()) << event.dump().substr(0, 2000);
        const std::string plate = event["evts"][0]["num"].get<std::string>();
        ++eventsByPlate[plate];
        ASSERT_EQ(event["videos"].size(), 1u) << plate;
        const auto clip = dir.path() / (clipPrefix + event["videos"][0]["id"].get<std::string>() + ".mp4");
        EXPECT_TRUE(std::filesystem::exists(clip)) << plate;
    }
    const auto plates = vehiclePlates();
    ASSERT_EQ(plates.size(), 40u);
    // A machine too busy to infer every frame of the paced video has the balancer pass frames on
    // uninferred, by design; a vehicle seen only in those cannot be reported, so then each vehicle
    // has at most one event.
    const size_t skipped = countOf(log, "LoadBalancer pop: queue: road, camera: road, guid: ", ", skip: 1");
    for (const auto& [track, plate] : plates) {
        if (skipped == 0) {
            EXPECT_EQ(eventsByPlate[plate], 1) << "vehicle " << track << " (" << plate << ")";
        } else {
            EXPECT_LE(eventsByPlate[plate], 1) << "vehicle " << track << " (" << plate << ")";
        }
    }
    if (skipped > 0) {
        std::printf(
            "the machine kept up with the video only by skipping %zu frames: %zu of the %zu vehicles "
            "reported\n",
            skipped, eventsByPlate.size(), plates.size());
    }
}

}  // namespace
