#include <gtest/gtest.h>
#include <httplib.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>

#include "tests/demo/DemoFiles.h"
#include "tests/e2e/ChildProcess.h"
#include "tests/support/FreePort.h"
#include "tests/support/TempDir.h"

// The demo as the README's demo command runs it: qo_core on demo/config.json, from a directory that
// holds the demo and the syntax files, reads plates of the road video and stops on "/exit".
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

size_t countIn(const std::set<std::string>& texts, const std::set<std::string>& within) {
    size_t n = 0;
    for (const auto& text : texts) {
        n += within.count(text);
    }
    return n;
}

TEST(DemoRunTest, ReadsPlatesOfTheRoadVideoAndStopsOnExit) {
    TempDir dir;
    for (const char* shared : {"demo", "syntaxes"}) {
        std::filesystem::create_directory_symlink(demo_files::sourcePath(shared), dir.path() / shared);
    }
    json config = demo_files::demoConfig();
    const int port = freePort();
    config["webserver"]["port"] = port;
    std::ofstream(dir.file("config.json")) << config.dump();
    ChildProcess process(QO_CORE_BINARY, {"config.json"}, dir.path().string());

    // Several different plates of the video, read exactly and accepted, show that the detector,
    // the crops and the reader fit together in the running service.
    const auto plates = videoPlates();
    constexpr size_t kPlatesWanted = 3;
    std::set<std::string> read;
    const auto guard = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (countIn(read, plates) < kPlatesWanted && std::chrono::steady_clock::now() < guard) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        read = acceptedReadings(process.standardError());
    }
    EXPECT_GE(countIn(read, plates), kPlatesWanted) << process.standardError().substr(0, 4000);

    auto exit = httplib::Client("127.0.0.1", port).Get("/exit");
    ASSERT_TRUE(exit);
    EXPECT_EQ(process.wait(), 0);
    const std::string log = process.standardError();
    EXPECT_EQ(log.find("Loading failed"), std::string::npos) << log.substr(0, 4000);
    EXPECT_NE(log.find("Video source road opened"), std::string::npos);
}

}  // namespace
