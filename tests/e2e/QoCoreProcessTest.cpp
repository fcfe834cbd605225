#include <gtest/gtest.h>
#include <httplib.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/ChildProcess.h"
#include "tests/support/FreePort.h"
#include "tests/support/TempDir.h"

namespace {

using nlohmann::json;

json minimalConfig(int port) {
    return {{"log", {{"file", true}, {"level", 3}, {"sender", "e2e"}}},
            {"webserver", {{"port", port}}},
            {"sources", json::array()},
            {"networks", json::array()},
            {"eventbuilders", json::array()},
            {"eventposters", json::array()},
            {"outputs", json::array()}};
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

// Polls "/status" until "core" is "working"; returns every distinct "core" value seen, in order.
std::vector<std::string> waitUntilWorking(ChildProcess& process, int port) {
    (void)process;
    httplib::Client client("127.0.0.1", port);
    client.set_connection_timeout(1, 0);
    std::vector<std::string> seen;
    const auto guard = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < guard) {
        if (auto result = client.Get("/status"); result && result->status == 200 && !result->body.empty()) {
            const auto status = json::parse(result->body);
            const std::string core = status.value("core", "");
            if (seen.empty() || seen.back() != core) {
                seen.push_back(core);
            }
            if (core == "working") {
                break;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return seen;
}

TEST(QoCoreProcessTest, StartsServesEveryRouteAndStopsOnExit) {
    TempDir dir;
    const int port = freePort();
    json config = minimalConfig(port);
    config["coredump"] = true;
    writeFile(dir.file("config.json"), config.dump());
    ChildProcess process(QO_CORE_BINARY, {"config.json"}, dir.path().string());

    const auto seen = waitUntilWorking(process, port);
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back(), "working");
    EXPECT_TRUE(seen == std::vector<std::string>{"working"} ||
                seen == (std::vector<std::string>{"starting", "working"}))
        << seen.front();

    httplib::Client client("127.0.0.1", port);
    struct Case {
        std::string method, path, body;
        int status;
        std::string answer, type;
    };
    const std::vector<Case> cases = {
        {"GET", "/api/ping", "", 200, "OK", "text/html"},
        {"GET", "/status", "", 200, "{\n    \"core\": \"working\"\n}", "application/json"},
        {"POST", "/api/inference", "enabled=false", 200, R"({"enabled":false})", "application/json"},
        {"GET", "/api/inference/status", "", 200, R"({"enabled":false})", "application/json"},
        {"POST", "/api/inference", "enabled=on", 400, R"({"error":"enabled must be true or false"})",
         "application/json"},
        {"GET", "/bin-image/cam/320", "", 401, "", ""},
        // No camera on the lane: dropped, yet answered "OK".
        {"POST", "/trigger", R"({"laneId":1,"triggerId":2,"triggerTimestamp":3})", 200, "OK", "text/plain"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.method + " " + c.path);
        auto result = c.method == "GET"
                          ? client.Get(c.path.c_str())
                          : client.Post(c.path.c_str(), c.body, "application/x-www-form-urlencoded");
        ASSERT_TRUE(result);
        EXPECT_EQ(result->status, c.status);
        EXPECT_EQ(result->body, c.answer);
        if (!c.type.empty()) {
            EXPECT_EQ(result->get_header_value("Content-Type"), c.type);
        }
    }
    auto garbage = client.Post("/trigger", "{", "application/json");
    ASSERT_TRUE(garbage);
    EXPECT_EQ(garbage->status, 500);
    EXPECT_EQ(garbage->get_header_value("Content-Type"), "plain/text");

    auto exit = client.Get("/exit");
    ASSERT_TRUE(exit);
    EXPECT_EQ(exit->body, "OK");
    EXPECT_EQ(process.wait(), 0) << process.standardError();

    EXPECT_TRUE(std::filesystem::exists(dir.file("coredump.enabled")));
    const std::string log = ChildProcess::read(dir.file("qo_core.log"));
    for (const char* expected :
         {"Log verbose level: 3", "Core dump: enable", "Starting web server", "terminate() done",
          "Web server stopped", "join webserver", "join queues monitoring"}) {
        EXPECT_NE(log.find(expected), std::string::npos) << expected << "\n" << log;
    }
    // The only errors are the answers to the two bad requests above.
    size_t errors = 0;
    for (const auto& line : lines(log)) {
        if (line.find("[Error]") != std::string::npos) {
            ++errors;
            EXPECT_TRUE(line.find("/bin-image: cam not found: cam") != std::string::npos ||
                        line.find("SimpleWebServer /trigger error: ") != std::string::npos)
                << line;
        }
    }
    EXPECT_EQ(errors, 2u);
    EXPECT_EQ(process.standardError(), "");
}

TEST(QoCoreProcessTest, RemovesTheCoredumpMarkerWhenDisabled) {
    TempDir dir;
    const int port = freePort();
    writeFile(dir.file("coredump.enabled"), "");
    writeFile(dir.file("config.json"), minimalConfig(port).dump());
    ChildProcess process(QO_CORE_BINARY, {"config.json"}, dir.path().string());
    ASSERT_EQ(waitUntilWorking(process, port).back(), "working");
    httplib::Client("127.0.0.1", port).Get("/exit");
    EXPECT_EQ(process.wait(), 0);
    EXPECT_FALSE(std::filesystem::exists(dir.file("coredump.enabled")));
    EXPECT_NE(ChildProcess::read(dir.file("qo_core.log")).find("Core dump: disable"), std::string::npos);
}

struct FailureCase {
    std::string name;
    std::vector<std::string> args;
    std::string config;  // empty: no config file
    std::string reason;  // what the one stderr line must contain after "Loading failed: "
};

json withPort0(json config) {
    config["webserver"]["port"] = 0;
    return config;
}

TEST(QoCoreProcessTest, ABadConfigurationEndsWithOneLoadingFailedLine) {
    const json good = withPort0(minimalConfig(0));
    auto changed = [&](const std::string& key, const json& value) {
        json config = good;
        config[key] = value;
        return config.dump();
    };
    auto without = [&](const std::string& key) {
        json config = good;
        config.erase(key);
        return config.dump();
    };
    const std::vector<FailureCase> cases = {
        {"no file", {}, "", "config.json"},
        {"help", {"--help"}, "", "--help"},
        {"not JSON", {"config.json"}, "{\"log\": ", ""},
        {"no log", {"config.json"}, without("log"), "log"},
        {"log not an object", {"config.json"}, changed("log", 5), "log"},
        {"no webserver", {"config.json"}, without("webserver"), "webserver"},
        {"port text", {"config.json"}, changed("webserver", {{"port", "8080"}}), ""},
        {"saving period text", {"config.json"}, changed("period_save_frame_ms", "1s"), ""},
        {"start url number", {"config.json"}, changed("startSignalUrl", 5), ""},
        // Whichever loader reads them, these arrays cannot be loaded.
        {"sources", {"config.json"}, changed("sources", {5}), ""},
        {"posters", {"config.json"}, changed("eventposters", {{{"name", 5}}}), ""},
        {"outputs", {"config.json"}, changed("outputs", {{{"name", "o"}}}), ""},
        {"duplicate posters",
         {"config.json"},
         changed("eventposters", {{{"name", "p"}}, {{"name", "p"}}}),
         "duplicate event poster name \"p\""},
        {"duplicate queue names",
         {"config.json"},
         changed("outputs", {{{"name", "x"}, {"type", "t"}}, {{"name", "x"}, {"type", "t"}}}),
         "duplicate queue name \"x\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        if (!c.config.empty()) {
            writeFile(dir.file("config.json"), c.config);
        }
        ChildProcess process(QO_CORE_BINARY, c.args, dir.path().string());
        EXPECT_EQ(process.wait(), 1);
        const auto errorLines = lines(process.standardError());
        ASSERT_EQ(errorLines.size(), 1u) << process.standardError();
        EXPECT_EQ(errorLines[0].rfind("Loading failed: ", 0), 0u) << errorLines[0];
        EXPECT_NE(errorLines[0].find(c.reason), std::string::npos) << errorLines[0];
        if (c.name == "help") {
            EXPECT_EQ(
                process.standardOutput(),
                "Run without argument or use one argument\nExample:\n           ./qo_core config.json\n");
        } else {
            EXPECT_EQ(process.standardOutput(), "");
        }
    }
}

}  // namespace
