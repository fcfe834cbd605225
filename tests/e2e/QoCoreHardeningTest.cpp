// The built qo_core against what a hostile client or a broken configuration can throw at it:
// deep JSON, unusable ports, unreadable video files, clashing names, bad values, and stop signals.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <httplib.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/ChildProcess.h"
#include "tests/platform/video/TestClips.h"
#include "tests/support/FreePort.h"
#include "tests/support/TempDir.h"

namespace {

using nlohmann::json;

json baseConfig(int port) {
    return {{"log", {{"file", true}, {"level", 3}, {"sender", "e2e"}}}, {"webserver", {{"port", port}}}};
}

json fileSource(const std::string& name, const std::string& uri) {
    return {{"name", name}, {"id", 1},      {"type", "file"},
            {"uri", uri},   {"restart", 1}, {"destinations", json::array()}};
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        out.push_back(line);
    }
    return out;
}

std::string nestedArrays(int levels) {
    return std::string(static_cast<size_t>(levels), '[') + std::string(static_cast<size_t>(levels), ']');
}

bool waitUntilWorking(int port) {
    httplib::Client client("127.0.0.1", port);
    client.set_connection_timeout(1, 0);
    const auto guard = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < guard) {
        if (auto result = client.Get("/status"); result && result->status == 200 && !result->body.empty()) {
            if (json::parse(result->body).value("core", "") == "working") {
                return true;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// A socket listening on a free port for as long as it lives.
class TakenPort {
  public:
    TakenPort() : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        ::listen(fd_, 1);
        socklen_t length = sizeof(address);
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
    }
    ~TakenPort() { ::close(fd_); }
    TakenPort(const TakenPort&) = delete;
    TakenPort& operator=(const TakenPort&) = delete;
    int port() const { return port_; }

  private:
    int fd_;
    int port_ = 0;
};

struct Failure {
    int status = 0;
    std::vector<std::string> errorLines;
    std::string log;
};

// Runs qo_core on `config` (written as is) in a fresh directory until it ends.
Failure runToEnd(const std::string& config, const TempDir& dir) {
    writeFile(dir.file("config.json"), config);
    ChildProcess process(QO_CORE_BINARY, {"config.json"}, dir.path().string());
    Failure result;
    result.status = process.wait();
    result.errorLines = lines(process.standardError());
    result.log = ChildProcess::read(dir.file("qo_core.log"));
    return result;
}

// The process must end with status 1 and exactly one "Loading failed: <reason>..." line.
void expectLoadingFailure(const std::string& config, const std::string& reason) {
    TempDir dir;
    const Failure result = runToEnd(config, dir);
    EXPECT_EQ(result.status, 1);
    ASSERT_EQ(result.errorLines.size(), 1u) << result.log;
    EXPECT_EQ(result.errorLines[0].substr(0, 16 + reason.size()), "Loading failed: " + reason)
        << result.errorLines[0];
}

TEST(QoCoreHardeningTest, ADeeplyNestedTriggerIsRefusedAndTheServiceGoesOn) {
    TempDir dir;
    const int port = freePort();
    writeFile(dir.file("config.json"), baseConfig(port).dump());
    ChildProcess process(QO_CORE_BINARY, {"config.json"}, dir.path().string());
    ASSERT_TRUE(waitUntilWorking(port));

    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(30, 0);
    const std::vector<std::string> bodies = {
        nestedArrays(60000),
        R"({"laneId": )" + nestedArrays(60000) + R"(, "triggerId": 1, "triggerTimestamp": 1})",
    };
    for (const auto& body : bodies) {
        auto answer = client.Post("/trigger", body, "application/json");
        ASSERT_TRUE(answer) << "the service did not answer";
        EXPECT_EQ(answer->status, 500);
        EXPECT_EQ(answer->body, "trigger: nested deeper than 64 levels");
    }
    // Within the bound, the offending value is described briefly.
    auto nested = client.Post(
        "/trigger", R"({"laneId": )" + nestedArrays(50) + R"(, "triggerId": 1, "triggerTimestamp": 1})",
        "application/json");
    ASSERT_TRUE(nested);
    EXPECT_EQ(nested->status, 500);
    EXPECT_EQ(nested->body, R"(trigger: key "laneId" must be an integer, got array [[[[...]]]])");

    auto ping = client.Get("/api/ping");
    ASSERT_TRUE(ping);
    EXPECT_EQ(ping->status, 200);
    ASSERT_TRUE(client.Get("/exit"));
    EXPECT_EQ(process.wait(), 0) << process.standardError();
}

TEST(QoCoreHardeningTest, ADeeplyNestedConfigurationFailsTheLoading) {
    json config = baseConfig(0);
    const std::string text = config.dump();
    // {"log":...,"sources": [[[...]]]} with 100,000 levels under "sources".
    const std::string deep = text.substr(0, text.size() - 1) + R"(,"sources":)" + nestedArrays(100000) + "}";
    expectLoadingFailure(deep, "configuration file 'config.json': nested deeper than 64 levels");
}

TEST(QoCoreHardeningTest, AnUnusablePortFailsTheLoadingBeforeAnythingStarts) {
    TakenPort taken;
    struct Case {
        json port;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {-1, "webserver.port: expected an integer from 0 to 65535, got number -1"},
        {70000, "webserver.port: expected an integer from 0 to 65535, got number 70000"},
        {8080.5, "webserver.port: expected an integer from 0 to 65535, got number 8080.5"},
        {"8080", R"(webserver.port: expected an integer from 0 to 65535, got string "8080")"},
        {taken.port(), "webserver.port: cannot listen on port " + std::to_string(taken.port())},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.port.dump());
        json config = baseConfig(0);
        config["webserver"]["port"] = c.port;
        config["sources"] = json::array({fileSource("cam", testclips::h264Mp4())});
        config["eventposters"] = json::array({{{"name", "server"}, {"url", "http://127.0.0.1:1/"}}});
        TempDir dir;
        const Failure result = runToEnd(config.dump(), dir);
        EXPECT_EQ(result.status, 1);
        ASSERT_EQ(result.errorLines.size(), 1u) << result.log;
        EXPECT_EQ(result.errorLines[0].rfind("Loading failed: " + c.reason, 0), 0u) << result.errorLines[0];
        // Nothing was loaded, so nothing had to be stopped.
        EXPECT_EQ(result.log.find("Starting eventposters"), std::string::npos) << result.log;
        EXPECT_EQ(result.log.find("Creating sources"), std::string::npos) << result.log;
    }
}

TEST(QoCoreHardeningTest, SigtermAndSigintStopTheRunInOrder) {
    for (const int signal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signal);
        TempDir dir;
        const int port = freePort();
        json config = baseConfig(port);
        config["sources"] = json::array({fileSource("cam", testclips::h264Mp4())});
        config["eventposters"] = json::array({{{"name", "server"}, {"url", "http://127.0.0.1:1/"}}});
        writeFile(dir.file("config.json"), config.dump());
        ChildProcess process(QO_CORE_BINARY, {"config.json"}, dir.path().string());
        ASSERT_TRUE(waitUntilWorking(port));
        process.signal(signal);
        EXPECT_EQ(process.wait(), 0) << process.standardError();
        const std::string log = ChildProcess::read(dir.file("qo_core.log"));
        const std::string name = signal == SIGTERM ? "SIGTERM" : "SIGINT";
        // The orderly stop: every group ends and is joined, the web server last.
        for (const std::string& expected :
             {name + ": stopping", std::string("terminate() done"), std::string("stopped qeva poster server"),
              std::string("stopped producer cam"), std::string("Web server stopped"),
              std::string("join webserver"), std::string("join queues monitoring")}) {
            EXPECT_NE(log.find(expected), std::string::npos) << expected << "\n" << log;
        }
        EXPECT_EQ(process.standardError(), "");
    }
}

TEST(QoCoreHardeningTest, AFileSourceThatCannotBeReadFailsTheLoadingByName) {
    TempDir files;
    writeFile(files.file("notes.txt"), "not a video\n");
    const std::vector<std::pair<std::string, std::string>> cases = {
        {files.file("missing.mp4"), "file " + files.file("missing.mp4") + " does not exist"},
        {files.path().string(), files.path().string() + " is a directory, not a video file"},
        {files.file("notes.txt"), "file " + files.file("notes.txt") + " cannot be read as video"},
    };
    for (const auto& [uri, reason] : cases) {
        json config = baseConfig(0);
        config["sources"] = json::array({fileSource("cam", uri)});
        expectLoadingFailure(config.dump(), "sources[0] (\"cam\"): " + reason);
    }
}

TEST(QoCoreHardeningTest, SourcesWhoseBalancerQueuesClashAreRefused) {
    json triggered = fileSource("cam", testclips::h264Mp4());
    triggered["processingMode"] = 2;
    json clash = fileSource("cam_triggered", testclips::h264Mp4());
    clash["id"] = 2;
    json config = baseConfig(0);
    config["sources"] = json::array({triggered, clash});
    expectLoadingFailure(config.dump(),
                         "sources[1].name: balancer queue \"cam_triggered\" of this source is also made by "
                         "sources[0] (\"cam\"); rename one of them");
}

TEST(QoCoreHardeningTest, BadConfigurationsNameTheirKeyPath) {
    const std::string clip = testclips::h264Mp4();
    auto with = [](const std::string& key, const json& value) {
        json config = baseConfig(0);
        config[key] = value;
        return config.dump();
    };
    auto source = [&](const std::string& key, const json& value) {
        json entry = fileSource("cam", clip);
        entry[key] = value;
        return with("sources", json::array({entry}));
    };
    auto logLevel = [](const json& value) {
        json config = baseConfig(0);
        config["log"]["level"] = value;
        return config.dump();
    };
    const json reader = {{"name", "reader"},
                         {"type", "PlateReaderV3Colored"},
                         {"destinations", json::array()},
                         {"model",
                          {{"region", "eu"},
                           {"definition",
                            {{"path", "models"},
                             {"content",
                              {{"files", {{"weights", "r.onnx"}, {"alphabet", "0123456789 "}}},
                               {"decode", {{"beamSize", 4294967299}}}}}}}}}};
    struct Case {
        std::string config;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {source("id", "1"),
         R"(sources[0].id: expected an integer from -2147483648 to 2147483647, got string "1")"},
        {source("pre", 1e300), "sources[0].pre: expected an integer from 0 to 2147483647, got number 1e+300"},
        {source("laneId", 4294967299),
         "sources[0].laneId: expected an integer from -2147483648 to 2147483647, got number 4294967299"},
        {source("name", ""), R"(sources[0].name: expected a non-empty string, got string "")"},
        {source("timeoutMs", 0),
         "sources[0].timeoutMs: expected an integer from 1 to 86400000, got number 0"},
        {source("destinations", "yolo"),
         R"(sources[0].destinations: expected an array of strings, got string "yolo")"},
        {logLevel(-1), "log.level: expected an integer from 0 to 3, got number -1"},
        {logLevel(1.5), "log.level: expected an integer from 0 to 3, got number 1.5"},
        {with("period_save_frame_ms", -1),
         "period_save_frame_ms: expected an integer from 0 to 2147483647, got number -1"},
        {with("coredump", "yes"), R"(coredump: expected true or false, got string "yes")"},
        {with("networks", {{"yolo", {{"type", "yolo"}}}}), "networks: expected an array, got object"},
        {with("networks", json::object()), "networks: expected an array, got object {}"},
        {with("eventbuilders", json::array({{{"name", ""}, {"destinations", json::array()}}})),
         R"(eventbuilders[0].name: expected a non-empty string, got string "")"},
        {with(
             "eventbuilders",
             json::array({{{"name", "lp"}, {"destinations", json::array()}, {"minDetections", 3000000000}}})),
         "eventbuilders[0].minDetections: expected an integer from -2147483648 to 2147483647, got number "
         "3000000000"},
        {with("networks", json::array({{{"type", "yolo"}, {"destinations", json::array()}}})),
         "networks[0].name: missing, expected a non-empty string"},
        {with("networks", json::array({reader})),
         "networks[0].model.definition.content.decode.beamSize: expected an integer from 1 to 100, got "
         "number 4294967299"},
        {with("eventposters", json::array({{{"name", "p"}, {"url", "http://x"}, {"imageWidth", "wide"}}})),
         R"(eventposters[0].imageWidth: expected an integer from 1 to 65535, got string "wide")"},
        {with("outputs", json::array({{{"name", "o"}}})), "outputs[0].type: missing, expected a string"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        expectLoadingFailure(c.config, c.reason);
    }
}

TEST(QoCoreHardeningTest, AMillionEntryCatalogLoadsAndAnExitSentDuringLoadingEndsTheRun) {
    TempDir dir;
    // 3 MB of empty syntaxes, the most entries a catalog of that size can hold.
    constexpr size_t kEntries = 1000000;
    std::string catalog = R"({"list": [{})";
    for (size_t i = 1; i < kEntries; ++i) {
        catalog += ",{}";
    }
    writeFile(dir.file("catalog.json"), catalog + "]}");
    const int port = freePort();
    json config = baseConfig(port);
    config["eventposters"] = json::array({{{"name", "p"}}});
    // A builder with both modes reads the catalog three times.
    config["eventbuilders"] = json::array({{{"name", "lp"},
                                            {"triggeredMode", 3},
                                            {"destinations", {"p"}},
                                            {"plateCatalogPath", "catalog.json"}}});
    writeFile(dir.file("config.json"), config.dump());
    ChildProcess process(QO_CORE_BINARY, {"config.json"}, dir.path().string());
    // The API listens before loading starts: GET /exit as soon as it answers.
    httplib::Client client("127.0.0.1", port);
    client.set_connection_timeout(1, 0);
    const auto guard = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    bool answered = false;
    while (!answered && std::chrono::steady_clock::now() < guard) {
        const auto result = client.Get("/exit");
        answered = result && result->status == 200;
        if (!answered) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ASSERT_TRUE(answered);
    // Loading the catalog is linear: three loads of it take seconds (once 440 s each).
    EXPECT_EQ(process.wait(std::chrono::seconds(180)), 0);
    const std::string log = ChildProcess::read(dir.file("qo_core.log"));
    size_t loads = 0;
    for (const auto& line : lines(log)) {
        loads += line.find("QEVAEventPoster: syntax list count: 1000000") != std::string::npos ? 1 : 0;
    }
    EXPECT_EQ(loads, 3u) << log.substr(0, 4000);
    // An exit that came while loading is carried out once loading has finished.
    if (log.find("/exit: loading is under way, stopping once it has finished") != std::string::npos) {
        EXPECT_NE(log.find("/exit came during loading: stopping now"), std::string::npos) << log;
    }
    EXPECT_NE(log.find("join webserver"), std::string::npos);
}

TEST(QoCoreHardeningTest, ADestinationWithoutAQueueIsAWarningAtLoad) {
    TempDir dir;
    const int port = freePort();
    json source = fileSource("cam", testclips::h264Mp4());
    source["destinations"] = json::array({"nowhere"});
    json config = baseConfig(port);
    config["sources"] = json::array({source});
    writeFile(dir.file("config.json"), config.dump());
    ChildProcess process(QO_CORE_BINARY, {"config.json"}, dir.path().string());
    ASSERT_TRUE(waitUntilWorking(port));
    httplib::Client("127.0.0.1", port).Get("/exit");
    EXPECT_EQ(process.wait(), 0);
    const std::string log = ChildProcess::read(dir.file("qo_core.log"));
    size_t warnings = 0;
    for (const auto& line : lines(log)) {
        if (line.find(
                "sources[0].destinations[0]: no queue named \"nowhere\"; frames sent there are skipped") !=
            std::string::npos) {
            ++warnings;
            EXPECT_NE(line.find("[Warning]"), std::string::npos) << line;
        }
    }
    EXPECT_EQ(warnings, 1u) << log;
}

}  // namespace
