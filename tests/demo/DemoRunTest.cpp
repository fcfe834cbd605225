#include <gtest/gtest.h>
#include <httplib.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/demo/DemoFiles.h"
#include "tests/e2e/ChildProcess.h"
#include "tests/support/FreePort.h"
#include "tests/support/TempDir.h"
#include "tools/event_sink/EventSink.h"

// The demo as the README's demo command runs it: qo_core on demo/config.json, from a directory that
// holds the demo and the syntax files, reads plates of the road video, posts their events with
// clips to the event sink, and stops on "/exit".
namespace {

using nlohmann::json;

// Plates that the road video shows.
std::set<std::string> videoPlates() {
    std::set<std::string> texts;
    for (const json& plate : demo_files::readJsonLines(demo_files::sourcePath("demo/road.truth.jsonl"))) {
        texts.insert(plate.at("text").get<std::string>());
    }
    return texts;
}

// Accepted readings in the log so far, as read (the text before any correction).
std::set<std::string> acceptedReadings(const std::string& log) {
    static const std::string marker = ", READ: ";
    std::set<std::string> texts;
    for (size_t at = log.find(marker); at != std::string::npos; at = log.find(marker, at)) {
        at += marker.size();
        const size_t end = log.find(' ', at);
        if (end == std::string::npos) {
            break;  // a line still being written
        }
        texts.insert(log.substr(at, end - at));
    }
    return texts;
}

// The events the sink has stored so far.
std::vector<json> storedEvents(const std::filesystem::path& folder) {
    const auto path = folder / "events.jsonl";
    return std::filesystem::exists(path) ? demo_files::readJsonLines(path.string()) : std::vector<json>{};
}

size_t countIn(const std::set<std::string>& texts, const std::set<std::string>& within) {
    size_t n = 0;
    for (const auto& text : texts) {
        n += within.count(text);
    }
    return n;
}

TEST(DemoRunTest, ReadsPlatesOfTheRoadVideoPostsTheirEventsAndStopsOnExit) {
    TempDir dir;
    for (const char* shared : {"demo", "syntaxes"}) {
        std::filesystem::create_directory_symlink(demo_files::sourcePath(shared), dir.path() / shared);
    }
    // The sink as the demo script starts it (its folder beside the clips), on a port of its own.
    EventSink::Options sinkOptions;
    sinkOptions.port = 0;
    sinkOptions.folder = dir.path() / "demo-output" / "events";
    sinkOptions.summaryOut = nullptr;
    EventSink sink(sinkOptions);
    sink.start();
    json config = demo_files::demoConfig();
    const int port = freePort();
    config["webserver"]["port"] = port;
    ASSERT_EQ(config["eventposters"].size(), 1u);
    config["eventposters"][0]["url"] = sink.url();
    std::ofstream(dir.file("config.json")) << config.dump();
#if defined(QO_WITH_TSAN)
    // Otherwise the sanitizer checks every memcpy of OpenCV's forward passes and a frame takes a
    // hundred times longer; our own code stays checked.
    const char* tsanOptions = std::getenv("TSAN_OPTIONS");
    ::setenv("TSAN_OPTIONS",
             (std::string(tsanOptions ? tsanOptions : "") + " ignore_noninstrumented_modules=1").c_str(), 1);
#endif
    ChildProcess process(QO_CORE_BINARY, {"config.json"}, dir.path().string());

    // Several different plates of the video, read exactly and accepted, show that the detector,
    // the crops and the reader fit together in the running service; events for the first vehicles,
    // each with its clip, show that the builder and the poster do.
    const auto plates = videoPlates();
    constexpr size_t kPlatesWanted = 3;
    constexpr size_t kEventsWanted = 2;
    std::set<std::string> read;
    std::vector<json> events;
    // Only a bound for a run that never gets there: a sanitized build beside other tests is slow.
    const auto guard = std::chrono::steady_clock::now() + std::chrono::seconds(600);
    while ((countIn(read, plates) < kPlatesWanted || events.size() < kEventsWanted) &&
           std::chrono::steady_clock::now() < guard) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        read = acceptedReadings(process.standardError());
        events = storedEvents(sinkOptions.folder);
    }
    const std::string logBeforeExit = process.standardError();
    EXPECT_GE(countIn(read, plates), kPlatesWanted) << logBeforeExit.substr(0, 4000);
    ASSERT_GE(events.size(), kEventsWanted) << logBeforeExit.substr(0, 4000);
    EXPECT_EQ(sink.refused(), 0u);
    EXPECT_EQ(logBeforeExit.find("[Error]"), std::string::npos) << logBeforeExit.substr(0, 4000);

    const std::string clipPrefix = config["sources"][0]["pathToSaveVideo"].get<std::string>();
    for (const json& event : events) {
        ASSERT_FALSE(event["evts"].empty()) << event.dump().substr(0, 2000);
        const std::string plate = event["evts"][0]["num"].get<std::string>();
        EXPECT_EQ(plates.count(plate), 1u) << plate << " is no plate of the video";
        EXPECT_EQ(event["laneId"], 1);
        ASSERT_EQ(event["videos"].size(), 1u) << plate;
        const auto clip = dir.path() / (clipPrefix + event["videos"][0]["id"].get<std::string>());
        EXPECT_GT(std::filesystem::file_size(clip.string() + ".mp4"), 0u) << plate;
        EXPECT_TRUE(std::filesystem::exists(clip.string() + ".rects")) << plate;
    }

    auto exit = httplib::Client("127.0.0.1", port).Get("/exit");
    ASSERT_TRUE(exit);
    EXPECT_EQ(process.wait(), 0);
    const std::string log = process.standardError();
    EXPECT_EQ(log.find("Loading failed"), std::string::npos) << log.substr(0, 4000);
    EXPECT_NE(log.find("Video source road opened"), std::string::npos);
}

}  // namespace
