#include <gtest/gtest.h>
#include <httplib.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "qo_common/utils/CommonUtils.h"
#include "tests/e2e/ChildProcess.h"
#include "tests/e2e/PlateRoad.h"
#include "tests/support/FreePort.h"
#include "tests/support/TempDir.h"
#include "tools/event_sink/EventSink.h"

// The whole road as a user runs it: one qo_core, one configuration with every builder kind on a
// lane of its own, each lane with its own camera and networks, all posting to one event sink.
//   lane 1: non-triggered builder, a clip where a plate passes;
//   lane 2: triggered builder, a clip that shows a plate throughout (processingMode 2);
//   lane 3: the builder with both modes on the same clip (processingMode 3);
//   lane 4: train builder on the generated train scene.
namespace {

using namespace plate_road;
using Clock = std::chrono::steady_clock;

constexpr int kPassingLane = 1;
constexpr int kTriggeredLane = 2;
constexpr int kBothLane = 3;
constexpr int kTrainLane = 4;
constexpr int64_t kTriggeredId = 201;
constexpr int64_t kBothId = 301;
constexpr size_t kPre = 5;            // frames before a trigger's time, and as many from it on
constexpr int64_t kLookBackMs = 100;  // a trigger's time before it is sent

json readJson(const fs::path& path) {
    std::ifstream in(path);
    return json::parse(in);
}

json source(int lane, const std::string& uri, int processingMode) {
    const std::string name = "cam" + std::to_string(lane);
    return {{"name", name},
            {"id", lane},
            {"type", "file"},
            {"uri", uri},
            {"restart", 1},
            {"laneId", lane},
            {"pre", kPre},
            {"post", kPre},
            {"processingMode", processingMode},
            {"destinations", {"plates" + std::to_string(lane)}}};
}

json plateBuilder(const std::string& name, int lane, int triggeredMode) {
    return {{"name", name},
            {"type", "LP"},
            {"triggeredMode", triggeredMode},
            {"destinations", {"sink"}},
            {"laneId", lane},
            {"laneName", "lane" + std::to_string(lane)},
            {"lpForgetInterval", 1000},
            {"includeAllImages", true},
            {"plateCatalogPath", "catalog.json"},
            {"defaults", {{"stateActive", true}, {"state", "T1"}}}};
}

// The train scene's own detector: cells of one plate, door classes.
json trainDetector(const std::string& destination) {
    return {{"name", "plates" + std::to_string(kTrainLane)},
            {"type", "yolo"},
            {"treshold", 0.5},
            {"destinations", {destination}},
            {"model",
             {{"resize", 2},
              {"keepAspect", true},
              {"definition",
               {{"path", QO_TRAIN_SCENE_DIR},
                {"cfg", "train_grid.onnx"},
                {"content", {{"files", {{"class-names", "train_grid.names"}}}}}}}}}};
}

json configuration(int port, const std::string& passing, const std::string& standing,
                   const std::string& sinkUrl) {
    json networks = json::array();
    const std::vector<std::pair<int, std::string>> plateLanes = {
        {kPassingLane, "nt"}, {kTriggeredLane, "tr"}, {kBothLane, "both"}};
    for (const auto& [lane, builder] : plateLanes) {
        const std::string reader = "reader" + std::to_string(lane);
        networks.push_back(gridDetector("plates" + std::to_string(lane), reader, QO_TEST_MODEL_DIR));
        networks.push_back(plateReader(reader, builder, QO_PLATE_MODELS_DIR));
    }
    const std::string trainReader = "reader" + std::to_string(kTrainLane);
    networks.push_back(trainDetector(trainReader));
    networks.push_back(plateReader(trainReader, "train", QO_PLATE_MODELS_DIR));

    // The train plate is gone for 2.4 s of each 4.6 s loop: longer than eventEmitWait, shorter
    // than lpForgetInterval, so the loops join the one reported event.
    const json train = {{"name", "train"},
                        {"type", "TrainSequence"},
                        {"destinations", {"sink"}},
                        {"laneId", kTrainLane},
                        {"laneName", "lane" + std::to_string(kTrainLane)},
                        {"eventEmitWait", 1000},
                        {"lpForgetInterval", 3000},
                        {"doorRoi", "0, 0, 1000, 1000"}};
    const json builders = {plateBuilder("nt", kPassingLane, 0), plateBuilder("tr", kTriggeredLane, 2),
                           plateBuilder("both", kBothLane, 3), train};
    // The train builder puts in its event the readings of recording cameras only.
    json trainSource = source(kTrainLane, std::string(QO_TRAIN_SCENE_DIR) + "/train.mp4", 0);
    trainSource["recordEnable"] = true;
    const json sources = {source(kPassingLane, passing, 0), source(kTriggeredLane, standing, 2),
                          source(kBothLane, standing, 3), trainSource};
    return {{"log", {{"file", false}, {"level", 3}, {"sender", "all-kinds-e2e"}}},
            {"webserver", {{"port", port}}},
            {"eventposters", json::array({{{"name", "sink"}, {"url", sinkUrl}}})},
            {"eventbuilders", builders},
            {"networks", networks},
            {"sources", sources}};
}

json triggerBody(int lane, int64_t id) {
    return {{"laneId", lane},
            {"triggerId", id},
            {"triggerTimestamp", CommonUtils::getTs() - kLookBackMs},
            {"triggerGuid", "trigger-" + std::to_string(id)},
            {"laneName", "lane" + std::to_string(lane)},
            {"vehicleGuid", "vehicle-" + std::to_string(id)},
            {"triggerName", "gate"},
            {"triggerSource", "test"}};
}

int64_t triggerIdOf(const json& event) {
    return event.contains("trigger") ? event["trigger"].value("triggerId", int64_t{-1}) : int64_t{-1};
}

// The events of `lane`; with `triggerId` set, only those of that trigger (0: vehicle events).
std::vector<json> eventsOf(const std::vector<json>& events, int lane, int64_t triggerId = -1) {
    std::vector<json> out;
    std::copy_if(events.begin(), events.end(), std::back_inserter(out), [&](const json& e) {
        return e.value("laneId", -1) == lane && (triggerId < 0 || triggerIdOf(e) == triggerId);
    });
    return out;
}

// Each lane's due events, present in `events`.
bool everyKindDelivered(const std::vector<json>& events) {
    return !eventsOf(events, kPassingLane).empty() && !eventsOf(events, kTrainLane).empty() &&
           !eventsOf(events, kTriggeredLane, kTriggeredId).empty() &&
           !eventsOf(events, kBothLane, kBothId).empty() && !eventsOf(events, kBothLane, 0).empty();
}

json status(httplib::Client& client) {
    auto res = client.Get("/status");
    if (!res || res->status != 200) {
        return json::object();
    }
    return json::parse(res->body, nullptr, false);
}

// Waits until every camera works and the triggered builders have begun to take more than `pre`
// frames, then until a trigger's time, kLookBackMs before it is sent, is past those frames': a
// frame taken by some instant carries a time no later than that instant.
bool waitForEveryLane(httplib::Client& client, const ChildProcess& process) {
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    const std::vector<int> lanes = {kPassingLane, kTriggeredLane, kBothLane, kTrainLane};
    while (Clock::now() < deadline) {
        const json s = status(client);
        const bool working = std::all_of(lanes.begin(), lanes.end(), [&](int lane) {
            return cameraWorks(s, "cam" + std::to_string(lane));
        });
        const std::string log = process.standardError();
        if (working && s.contains("tr") && s.contains("both") && framesTakenBy(log, "tr") > kPre &&
            framesTakenBy(log, "both") > kPre) {
            waitForWallClockPast(CommonUtils::getTs() + kLookBackMs);
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

// Every plate reading of `events`' first event names `plate`, read on `camera`.
void expectPlate(const std::vector<json>& events, const std::string& plate, const std::string& camera) {
    ASSERT_FALSE(events.empty());
    const json& evts = events.front().at("evts");
    ASSERT_GE(evts.size(), 1u) << events.front().dump().substr(0, 2000);
    EXPECT_EQ(evts[0].at("num"), plate);
    EXPECT_EQ(evts[0].at("src"), camera);
}

TEST(AllKindsTest, EveryBuilderKindDeliversItsEventsFromOneConfiguration) {
    TempDir dir;
    prepareWorkDir(dir.path());
    const std::string passing = makeClip(dir.path() / "passing.mp4", 100,
                                         [](int i) { return i >= 25 && i <= 74; });  // 1 s to 3 s of 4 s
    const std::string standing =
        makeClip(dir.path() / "standing.mp4", 750, [](int) { return true; });  // 30 s
    const auto sink = startEventSink(dir.path() / "events");

    const int port = freePort();
    std::ofstream(dir.file("config.json")) << configuration(port, passing, standing, sink->url()).dump(2);
    ChildProcess process(QO_CORE_BINARY, {"config.json"}, dir.path().string());
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(60, 0);  // against a hang only
    ASSERT_TRUE(waitForEveryLane(client, process)) << process.standardError().substr(0, 6000);

    for (const auto& [lane, id] : {std::pair{kTriggeredLane, kTriggeredId}, std::pair{kBothLane, kBothId}}) {
        auto res = client.Post("/trigger", triggerBody(lane, id).dump(), "application/json");
        ASSERT_TRUE(res) << "trigger of lane " << lane;
        EXPECT_EQ(res->status, 200) << "lane " << lane;
        EXPECT_EQ(res->body, "OK") << "lane " << lane;
    }
    // A guard against a hang only: the last due event (the train's) comes about 4 s after the start.
    const auto deadline = Clock::now() + std::chrono::seconds(120);
    std::vector<json> events;
    while (Clock::now() < deadline && !everyKindDelivered(events = storedEvents(dir.path() / "events"))) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    auto exit = client.Get("/exit");
    EXPECT_TRUE(exit);
    EXPECT_EQ(process.wait(), 0);
    sink->stop();
    const std::string log = process.standardError();
    EXPECT_EQ(sink->refused(), 0u);
    EXPECT_EQ(log.find("failed, event dropped"), std::string::npos);
    EXPECT_EQ(log.find("Exception detected in Report thread"), std::string::npos);

    SCOPED_TRACE(log.substr(0, 6000));
    {
        SCOPED_TRACE("non-triggered lane");
        const auto nt = eventsOf(events, kPassingLane);
        expectPlate(nt, kCorrected, "cam1");
        for (const auto& e : nt) {
            EXPECT_EQ(triggerIdOf(e), 0);
        }
    }
    {
        SCOPED_TRACE("triggered lane");
        const auto tr = eventsOf(events, kTriggeredLane);
        ASSERT_EQ(tr.size(), 1u) << "a triggered builder makes events of triggers only";
        EXPECT_EQ(triggerIdOf(tr[0]), kTriggeredId);
        EXPECT_EQ(tr[0].at("frames").size(), 10u);
        expectPlate(tr, kCorrected, "cam2");
    }
    {
        SCOPED_TRACE("lane with both modes");
        const auto triggered = eventsOf(events, kBothLane, kBothId);
        ASSERT_EQ(triggered.size(), 1u);
        EXPECT_EQ(triggered[0].at("frames").size(), 10u);
        expectPlate(triggered, kCorrected, "cam3");
        expectPlate(eventsOf(events, kBothLane, 0), kCorrected, "cam3");
    }
    {
        SCOPED_TRACE("train lane");
        const json scene = readJson(fs::path(QO_TRAIN_SCENE_DIR) / "train_scene.json");
        const auto train = eventsOf(events, kTrainLane);
        ASSERT_EQ(train.size(), 1u);
        EXPECT_EQ(train[0].at("motion_direction"), 1);
        expectPlate(train, scene.at("text"), "cam4");
    }
    // No lane's readings leak into another lane's events.
    for (const auto& e : events) {
        for (const auto& reading : e.at("evts")) {
            EXPECT_EQ(reading.at("src"), "cam" + std::to_string(e.at("laneId").get<int>()))
                << e.dump().substr(0, 2000);
        }
    }
}

}  // namespace
