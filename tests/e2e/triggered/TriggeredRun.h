#pragma once

#include <httplib.h>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "qo_common/utils/CommonUtils.h"
#include "tests/e2e/ChildProcess.h"
#include "tests/e2e/PlateRoad.h"
#include "tests/support/FreePort.h"
#include "tests/support/TempDir.h"
#include "tools/event_sink/EventSink.h"

// The real qo_core on a looping generated clip that shows one plate in every frame: a file source
// on lane 1, the generated grid detector and recogniser, a triggered builder (or the builder with
// both modes) posting to our event sink. Frames carry wall-clock times, so triggers are sent with
// times taken from the test's clock.
namespace triggered_e2e {

using namespace plate_road;

// The plate in every frame.
inline std::string makeClip(const fs::path& dir, int frames) {
    return plate_road::makeClip(dir / "plate.mp4", frames, [](int) { return true; });
}

struct RunOptions {
    int processingMode = 2;  // of the source
    int triggeredMode = 2;   // of the builder
    int frames = 750;        // 30 s of clip
    int logLevel = 3;
    json builderExtra = json::object();
};

class TriggeredRun {
  public:
    explicit TriggeredRun(const RunOptions& options) : options_(options) {
        prepareWorkDir(dir.path());
        const std::string clip = makeClip(dir.path(), options.frames);

        sink = startEventSink(dir.path() / "events");

        port = freePort();
        std::ofstream(dir.file("config.json")) << configuration(clip).dump(2);
        process = std::make_unique<ChildProcess>(QO_CORE_BINARY, std::vector<std::string>{"config.json"},
                                                 dir.path().string());
        client = std::make_unique<httplib::Client>("127.0.0.1", port);
        client->set_read_timeout(60, 0);  // against a hang only
    }

    ~TriggeredRun() {
        if (sink) {
            sink->stop();
        }
    }

    // Waits until frames reach the builder (its statistics appear in the status document, the
    // camera works) and, at the debug log level, until its ring holds the camera's `kPre` frames
    // before any trigger time from `lookBack` ago on: a frame that the builder has begun to take by
    // some instant carries a time no later than that instant.
    bool waitForFrames(std::chrono::seconds guard = std::chrono::seconds(60),
                       std::chrono::milliseconds lookBack = std::chrono::milliseconds(100)) {
        const auto deadline = std::chrono::steady_clock::now() + guard;
        const auto waiting = [&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            return std::chrono::steady_clock::now() < deadline;
        };
        for (json s = status(); !s.contains("tr") || !cameraWorks(s, "cam"); s = status()) {
            if (!waiting()) {
                return false;
            }
        }
        if (options_.logLevel < 3) {
            return true;
        }
        while (framesTakenBy(process->standardError(), "tr") <= static_cast<size_t>(kPre)) {
            if (!waiting()) {
                return false;
            }
        }
        waitForWallClockPast(CommonUtils::getTs() + lookBack.count());
        return true;
    }

    json status() {
        auto res = client->Get("/status");
        if (!res || res->status != 200 || res->body.empty()) {
            return json::object();
        }
        return json::parse(res->body, nullptr, false);
    }

    static json triggerBody(int64_t id, int64_t ts) {
        return {{"laneId", 1},
                {"triggerId", id},
                {"triggerTimestamp", ts},
                {"triggerGuid", "trigger-" + std::to_string(id)},
                {"laneName", "gate lane"},
                {"vehicleGuid", "vehicle-" + std::to_string(id)},
                {"triggerName", "gate"},
                {"triggerSource", "test"},
                {"additional_data", json::array({{{"name", "axles"}, {"value", "3"}}})}};
    }

    // The answer to POST "/trigger": status and body ("OK" when accepted); {0, ""} when none came.
    std::pair<int, std::string> trigger(const json& body, httplib::Client* via = nullptr) {
        auto res = (via ? via : client.get())->Post("/trigger", body.dump(), "application/json");
        if (!res) {
            return {0, ""};
        }
        return {res->status, res->body};
    }

    // Waits until the sink has stored `n` events.
    bool waitForEvents(size_t n, std::chrono::seconds guard = std::chrono::seconds(30)) {
        const auto deadline = std::chrono::steady_clock::now() + guard;
        while (sink->stored() < n && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return sink->stored() >= n;
    }

    std::vector<json> events() const { return storedEvents(dir.path() / "events"); }

    TempDir dir;
    int port = 0;
    std::unique_ptr<EventSink> sink;
    std::unique_ptr<ChildProcess> process;
    std::unique_ptr<httplib::Client> client;

    static constexpr int kPre = 5;  // frames before the trigger time, and as many from it on

  private:
    json configuration(const std::string& clip) const {
        json source = {{"name", "cam"},  {"id", 1},
                       {"type", "file"}, {"uri", clip},
                       {"restart", 1},   {"processingMode", options_.processingMode},
                       {"laneId", 1},    {"pre", kPre},
                       {"post", kPre},   {"destinations", {"plates"}}};
        json detector = gridDetector("plates", "reader", QO_TEST_MODEL_DIR);
        json reader = plateReader("reader", "tr", QO_PLATE_MODELS_DIR);
        json builder = {{"name", "tr"},
                        {"type", "LP"},
                        {"triggeredMode", options_.triggeredMode},
                        {"destinations", {"sink"}},
                        {"laneId", 1},
                        {"includeAllImages", true},
                        {"plateCatalogPath", "catalog.json"},
                        {"defaults", {{"stateActive", true}, {"state", "T1"}}}};
        builder.merge_patch(options_.builderExtra);
        return {{"log", {{"file", false}, {"level", options_.logLevel}, {"sender", "triggered-e2e"}}},
                {"webserver", {{"port", port}}},
                {"eventposters", json::array({{{"name", "sink"}, {"url", sink->url()}}})},
                {"eventbuilders", json::array({builder})},
                {"networks", json::array({detector, reader})},
                {"sources", json::array({source})}};
    }

    RunOptions options_;
};

}  // namespace triggered_e2e
