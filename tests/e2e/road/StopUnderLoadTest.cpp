#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/ChildProcess.h"
#include "tests/support/ClipChecks.h"
#include "tests/support/FreePort.h"
#include "tests/support/TempDir.h"
#include "tools/event_sink/EventSink.h"

// The service as a user runs it, stopped while it works: four paced road videos, each through the
// demo detector and reader into a builder of its lane that writes clips and posts to the event sink,
// while triggers keep arriving. Lane 1 has the builder with both modes, so its triggers are taken and
// their trigger threads are still collecting when the stop comes; the other lanes have non-triggered
// builders. Whether the stop comes as GET "/exit" or as SIGTERM, the process must end with status 0
// after joining every worker group, and the clips it leaves must all be whole. How long the stop takes
// is printed here and bounded by the soak (bench/road/road_soak.py), on a build without sanitizers.
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr int kSources = 4;
constexpr int kTriggeredLane = 1;
// Triggers are timed this far ahead (the service gives up on more than 5 s), so an accepted one waits
// that long for its start frame and then for its post frames: it is pending at the stop.
constexpr auto kTriggerAhead = std::chrono::seconds(3);

json demoNetwork(const std::string& name) {
    std::ifstream in(std::string(QO_SOURCE_DIR) + "/demo/config.json");
    const json demo = json::parse(in);
    for (const json& network : demo.at("networks")) {
        if (network.at("name") == name) {
            json copy = network;
            copy["model"]["definition"]["path"] = std::string(QO_SOURCE_DIR) + "/demo/models";
            return copy;
        }
    }
    throw std::runtime_error("demo/config.json has no network " + name);
}

json configuration(int port, const std::string& sinkUrl) {
    json config = {{"log", {{"file", true}, {"level", 2}, {"sender", "stop"}}},
                   {"webserver", {{"port", port}}},
                   {"eventposters", json::array({{{"name", "sink"}, {"url", sinkUrl}}})},
                   {"eventbuilders", json::array()},
                   {"networks", json::array()},
                   {"sources", json::array()}};
    for (int i = 1; i <= kSources; ++i) {
        const std::string n = std::to_string(i);
        json detector = demoNetwork("plates");
        detector["name"] = "plates" + n;
        detector["destinations"] = {"reader" + n};
        json reader = demoNetwork("reader");
        reader["name"] = "reader" + n;
        reader["destinations"] = {"lane" + n};
        config["networks"].push_back(detector);
        config["networks"].push_back(reader);
        const bool triggered = i == kTriggeredLane;
        // Mode 3: every frame passes the networks, for both parts of the builder.
        config["sources"].push_back({{"name", "cam" + n},
                                     {"id", i},
                                     {"laneId", i},
                                     {"type", "file"},
                                     {"uri", std::string(QO_SOURCE_DIR) + "/demo/road.mp4"},
                                     {"restart", 1},
                                     {"processingMode", triggered ? 3 : 0},
                                     {"pre", 5},
                                     {"post", 25},
                                     {"plateWidth", {40, 640}},
                                     {"destinations", {"plates" + n}},
                                     {"recordEnable", true},
                                     {"recordTimeBeforeEvent", 1500},
                                     {"recordTimeAfterEvent", 1500},
                                     {"pathToSaveVideo", "clips/cam" + n + "/"}});
        config["eventbuilders"].push_back(
            {{"name", "lane" + n},
             {"type", "LP"},
             {"triggeredMode", triggered ? 3 : 0},
             {"laneId", i},
             {"destinations", {"sink"}},
             {"plateCatalogPath", std::string(QO_SOURCE_DIR) + "/syntaxes/plate_catalog.json"}});
    }
    return config;
}

void prepareWorkDir(const fs::path& dir) {
    fs::create_directories(dir / "syntaxes");
    fs::create_directories(dir / "clips");
    for (const char* name : {"default-syntax.json", "watchlist.json"}) {
        fs::copy_file(fs::path(QO_SOURCE_DIR) / "syntaxes" / name, dir / "syntaxes" / name);
    }
}

// Under ThreadSanitizer the networks' forward passes inside OpenCV run a hundred times slower while
// the sanitizer checks every memcpy and memset that the uninstrumented library makes; our own code
// stays checked.
void ignoreAccessesOfUninstrumentedLibraries() {
#if defined(QO_WITH_TSAN)
    const char* options = std::getenv("TSAN_OPTIONS");
    const std::string extended = std::string(options ? options : "") + " ignore_noninstrumented_modules=1";
    ::setenv("TSAN_OPTIONS", extended.c_str(), 1);
#endif
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::seconds guard) {
    const auto deadline = Clock::now() + guard;
    while (!condition()) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

bool working(int port) {
    httplib::Client client("127.0.0.1", port);
    client.set_connection_timeout(1, 0);
    auto result = client.Get("/status");
    return result && result->status == 200 && !result->body.empty() &&
           json::parse(result->body).value("core", "") == "working";
}

// POSTs triggers to the lanes in turn until stopped. Lane 1's builder takes them (up to the six
// trigger threads at once; beyond that 500); the other lanes have no builder that takes triggers, so
// theirs are refused with 500. After the stop they find no server.
class TriggerLoad {
  public:
    explicit TriggerLoad(int port) : thread_([this, port] { run(port); }) {}
    ~TriggerLoad() { stop(); }
    TriggerLoad(const TriggerLoad&) = delete;
    TriggerLoad& operator=(const TriggerLoad&) = delete;

    void stop() {
        stopping_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    size_t accepted() const { return accepted_; }
    size_t refused() const { return refused_; }
    size_t sent() const { return sent_; }

  private:
    void run(int port) {
        httplib::Client client("127.0.0.1", port);
        client.set_connection_timeout(1, 0);
        client.set_read_timeout(5, 0);
        for (int id = 1; !stopping_; ++id) {
            const auto at = std::chrono::system_clock::now() + kTriggerAhead;
            const json trigger = {
                {"laneId", 1 + id % kSources},
                {"triggerId", id},
                {"triggerTimestamp",
                 std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count()}};
            ++sent_;
            auto result = client.Post("/trigger", trigger.dump(), "application/json");
            if (result && result->status == 200 && result->body == "OK") {
                ++accepted_;
            } else if (result && result->status == 500 &&
                       result->body.find("Event builder for lane") != std::string::npos) {
                ++refused_;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    std::atomic<bool> stopping_{false};
    std::atomic<size_t> accepted_{0};
    std::atomic<size_t> refused_{0};
    std::atomic<size_t> sent_{0};
    std::thread thread_;
};

// Every clip decodes without an error and has its metadata; nothing half written is left.
void expectWholeClips(const fs::path& clips) {
    size_t mp4 = 0;
    for (const auto& entry : fs::recursive_directory_iterator(clips)) {
        if (!entry.is_regular_file()) {
            continue;
        }
        const fs::path& path = entry.path();
        EXPECT_NE(path.extension(), ".tmp") << path;
        if (path.extension() != ".mp4") {
            continue;
        }
        ++mp4;
        EXPECT_GT(fs::file_size(path), 0u) << path;
        EXPECT_EQ(clipchecks::decodeErrors(path.string()), "") << path;
        fs::path metadata = path;
        EXPECT_TRUE(fs::exists(metadata.replace_extension(".rects"))) << path;
    }
    EXPECT_GT(mp4, 0u) << "no clip was written before the stop";
}

// The first log line containing `text`, or "".
std::string lineWith(const std::string& log, const std::string& text) {
    const size_t at = log.find(text);
    if (at == std::string::npos) {
        return "";
    }
    const size_t begin = log.rfind('\n', at);
    const size_t start = begin == std::string::npos ? 0 : begin + 1;
    return log.substr(start, log.find('\n', at) - start);
}

struct StopCase {
    std::string name;
    std::function<void(ChildProcess&, int port)> stop;
    std::string logged;  // the line that shows which stop was taken
};

TEST(StopUnderLoadTest, ExitAndSigtermEndTheRunPromptlyWithEveryThreadJoinedAndWholeClips) {
    const std::vector<StopCase> cases = {
        {"GET /exit", [](ChildProcess&, int port) { httplib::Client("127.0.0.1", port).Get("/exit"); },
         "terminate() done"},
        {"SIGTERM", [](ChildProcess& process, int) { process.signal(SIGTERM); }, "SIGTERM: stopping"},
    };
    ignoreAccessesOfUninstrumentedLibraries();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        prepareWorkDir(dir.path());
        EventSink::Options options;
        options.port = 0;
        options.folder = dir.path() / "events";
        options.summaryOut = nullptr;
        EventSink sink(options);
        sink.start();

        const int port = freePort();
        std::ofstream(dir.file("config.json")) << configuration(port, sink.url()).dump(2);
        ChildProcess process(QO_CORE_BINARY, {"config.json"}, dir.path().string());
        ASSERT_TRUE(waitUntil([&] { return working(port); }, std::chrono::seconds(120)))
            << process.standardError();
        // Under load: events are being reported and posted when the stop comes.
        const bool posting = waitUntil([&] { return sink.stored() >= 1; }, std::chrono::seconds(120));
        TriggerLoad triggers(port);
        // Within kTriggerAhead of the first acceptance: that trigger is still collecting at the stop.
        const bool accepted = waitUntil([&] { return triggers.accepted() >= 1 && triggers.refused() >= 20; },
                                        std::chrono::seconds(30));

        const auto stopped = Clock::now();
        c.stop(process, port);
        const int status = process.wait(std::chrono::seconds(60));
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - stopped);
        triggers.stop();
        sink.stop();
        const std::string log = ChildProcess::read(dir.file("qo_core.log"));
        std::printf(
            "%s: stopped after %lld ms with %zu events at the sink and %zu triggers sent, %zu accepted, %zu "
            "refused for want of a builder\n",
            c.name.c_str(), static_cast<long long>(took.count()), sink.stored(), triggers.sent(),
            triggers.accepted(), triggers.refused());

        EXPECT_TRUE(posting) << "no event reached the sink";
        EXPECT_TRUE(accepted) << triggers.accepted() << " accepted, " << triggers.refused() << " refused";
        EXPECT_GE(triggers.accepted(), 1u);
        // The stop found accepted triggers still collecting and dropped them.
        EXPECT_NE(lineWith(log, "pending trigger event(s) dropped at the stop").find("lane1: "),
                  std::string::npos);
        EXPECT_EQ(status, 0) << process.standardError();
        EXPECT_EQ(process.standardError(), "");
        EXPECT_EQ(sink.refused(), 0u);
        EXPECT_NE(log.find(c.logged), std::string::npos) << c.logged;
        EXPECT_NE(log.find("terminate() done"), std::string::npos);
        // Every worker group is joined, in this order, and the web server last. "join producers" is
        // logged at start-up, where the main thread begins to wait; the producers have ended once
        // "join consumers" follows. The stop itself may still be logging in its HTTP or signal
        // thread meanwhile.
        size_t at = log.find("join producers");
        ASSERT_NE(at, std::string::npos) << log.substr(log.size() > 4000 ? log.size() - 4000 : 0);
        for (const char* expected : {"join consumers", "join players", "join posters", "join ebWorkers",
                                     "stopping...", "join queues monitoring", "join webserver"}) {
            const size_t next = log.find(expected, at);
            EXPECT_NE(next, std::string::npos) << expected;
            at = next == std::string::npos ? at : next;
        }
        for (int i = 1; i <= kSources; ++i) {
            const std::string n = std::to_string(i);
            for (const std::string& ended :
                 {"stopped producer cam" + n, "Stop Load balancer for cam" + n, "Stopped network plates" + n,
                  "Stopped network reader" + n, "stopped EB worker lane" + n,
                  "lane" + n + ": Stop thread for deleting old files"}) {
                EXPECT_NE(log.find(ended), std::string::npos) << ended;
            }
        }
        EXPECT_NE(log.find("stopped qeva poster sink"), std::string::npos);
        EXPECT_EQ(log.find("Exception detected in Report thread"), std::string::npos);
        expectWholeClips(dir.path() / "clips");
    }
}

}  // namespace
