#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "tests/e2e/triggered/TriggeredRun.h"

// Black-box runs of qo_core with a triggered builder. In processing mode 2 the camera's frames go
// straight to the builder; nothing reaches the networks except a frame that a trigger claims, so a
// plate read in a triggered event proves the whole triggered road: ring, claim, "_triggered"
// balancer, detector, reader, back to the builder, report, poster.
namespace {

using namespace triggered_e2e;
using Clock = std::chrono::steady_clock;

int64_t now() {
    return CommonUtils::getTs();
}

std::vector<int64_t> frameTimes(const json& event) {
    std::vector<int64_t> ts;
    for (const auto& f : event.at("frames")) {
        ts.push_back(f.at("ts").get<int64_t>());
    }
    std::sort(ts.begin(), ts.end());
    return ts;
}

// Waits for a part of a line in the service's log.
bool waitForLine(const TriggeredRun& run, const std::string& part) {
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (run.process->standardError().find(part) == std::string::npos) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

const json* eventOf(const std::vector<json>& events, int64_t triggerId) {
    for (const auto& e : events) {
        if (e.contains("trigger") && e["trigger"].value("triggerId", int64_t{-1}) == triggerId) {
            return &e;
        }
    }
    return nullptr;
}

TEST(TriggeredEventsTest, TriggersThroughTheWholeTriggeredRoad) {
    TriggeredRun run(RunOptions{});
    ASSERT_TRUE(run.waitForFrames()) << run.process->standardError().substr(0, 6000);

    // One trigger, 100 ms ago: 5 frames before that time, 5 from it on, the plate read.
    const int64_t ts = now() - 100;
    const json body = TriggeredRun::triggerBody(1001, ts);
    EXPECT_EQ(run.trigger(body), std::make_pair(200, std::string("OK")));
    ASSERT_TRUE(run.waitForEvents(1)) << run.process->standardError().substr(0, 6000);
    {
        const json event = run.events().at(0);
        const json& trigger = event.at("trigger");
        for (const char* key : {"laneId", "triggerId", "triggerTimestamp", "triggerGuid", "laneName",
                                "vehicleGuid", "triggerName", "triggerSource", "additional_data"}) {
            EXPECT_EQ(trigger.at(key), body.at(key)) << key;
        }
        EXPECT_EQ(event.at("ts"), ts);
        const auto times = frameTimes(event);
        ASSERT_EQ(times.size(), 10u) << event.dump().substr(0, 2000);
        for (size_t i = 0; i < times.size(); ++i) {
            EXPECT_EQ(times[i] < ts, i < 5) << i;
            if (i > 0) {
                EXPECT_LT(times[i - 1], times[i]) << i;  // ten distinct frames
            }
        }
        ASSERT_GE(event.at("evts").size(), 1u);
        const json& plate = event.at("evts")[0];
        EXPECT_EQ(plate.at("num"), kCorrected);
        EXPECT_EQ(plate.at("plateIndex"), 0);
        EXPECT_EQ(plate.at("state"), "T1");
        EXPECT_EQ(plate.at("src"), "cam");
        EXPECT_EQ(plate.at("yoloInfo").at(0).at("width"), kPlate.width);
    }

    // The same id twice at once: one event.
    const json twice = TriggeredRun::triggerBody(2002, now() - 100);
    EXPECT_EQ(run.trigger(twice).first, 200);
    EXPECT_EQ(run.trigger(twice).first, 200);
    // A trigger 5 s in the past: the rings (50 frames, 2 s) no longer reach back to it.
    EXPECT_EQ(run.trigger(TriggeredRun::triggerBody(3003, now() - 5000)).first, 200);
    ASSERT_TRUE(run.waitForEvents(3));
    std::this_thread::sleep_for(std::chrono::seconds(2));  // room for a second event of 2002
    const auto events = run.events();
    EXPECT_EQ(events.size(), 3u);
    ASSERT_NE(eventOf(events, 2002), nullptr);
    EXPECT_EQ(eventOf(events, 2002)->at("frames").size(), 10u);
    const json* past = eventOf(events, 3003);
    ASSERT_NE(past, nullptr);
    EXPECT_TRUE(past->at("frames").empty());
    EXPECT_TRUE(past->at("evts").empty());
    // The statistics count an event after it is posted.
    json stats = run.status().at("tr");
    const auto statsDeadline = Clock::now() + std::chrono::seconds(60);
    while (stats.at("sizeStatistics") != 3 && Clock::now() < statsDeadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        stats = run.status().at("tr");
    }
    EXPECT_EQ(stats.at("sizeStatistics"), 3);
    EXPECT_EQ(stats.at("incompleteEvents"), 1);
    EXPECT_EQ(stats.at("cam").at("numberFrames"), (json{{"min", 0}, {"max", 10}}));

    // A trigger whose time is 3 s ahead waits for its frames; "/exit" drops it instead of waiting.
    EXPECT_EQ(run.trigger(TriggeredRun::triggerBody(4004, now() + 3000)).first, 200);
    // "Creating event <id> by trigger 4004": registered, so the stop finds it pending.
    ASSERT_TRUE(waitForLine(run, " by trigger 4004"));
    EXPECT_TRUE(run.client->Get("/exit"));
    EXPECT_EQ(run.process->wait(), 0);
    const std::string log = run.process->standardError();
    EXPECT_NE(log.find("by trigger 4004 was dropped at the stop"), std::string::npos) << log.substr(0, 4000);
    EXPECT_EQ(eventOf(run.events(), 4004), nullptr) << "the stop waited for the trigger";
    EXPECT_EQ(run.sink->refused(), 0u);
    EXPECT_EQ(log.find("failed, event dropped"), std::string::npos);
    EXPECT_NE(log.find("event 1 by trigger 1001 is created"), std::string::npos) << log.substr(0, 4000);
}

// The builder with both modes: the frames pass the networks anyway, so the vehicle event comes from
// the non-triggered part and the triggered event finds its frames processed.
TEST(TriggeredEventsTest, TheBuilderWithBothModesGivesVehicleEventsAndTheTriggeredOne) {
    RunOptions options;
    options.processingMode = 3;
    options.triggeredMode = 3;
    TriggeredRun run(options);
    ASSERT_TRUE(run.waitForFrames()) << run.process->standardError().substr(0, 6000);
    const int64_t ts = now() - 100;
    EXPECT_EQ(run.trigger(TriggeredRun::triggerBody(77, ts)).first, 200);
    // The vehicle event is due after eventEmitWait (1 s) of frame time with the plate.
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    std::vector<json> events;
    while (Clock::now() < deadline) {
        events = run.events();
        const bool vehicle = std::any_of(events.begin(), events.end(), [](const json& e) {
            return e.at("trigger").value("triggerId", -1) == 0;
        });
        if (vehicle && eventOf(events, 77)) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const json* triggered = eventOf(events, 77);
    ASSERT_NE(triggered, nullptr) << run.process->standardError().substr(0, 6000);
    EXPECT_EQ(triggered->at("frames").size(), 10u);
    ASSERT_GE(triggered->at("evts").size(), 1u);
    EXPECT_EQ(triggered->at("evts")[0].at("num"), kCorrected);
    bool vehicle = false;
    for (const auto& e : events) {
        if (e.at("trigger").value("triggerId", -1) == 0) {
            vehicle = true;
            ASSERT_GE(e.at("evts").size(), 1u);
            EXPECT_EQ(e.at("evts")[0].at("num"), kCorrected);
        }
    }
    EXPECT_TRUE(vehicle);
    // The statistics count an event after it is posted.
    json stats = run.status().at("tr").at("non-triggered-w-trigger");
    const auto statsDeadline = Clock::now() + std::chrono::seconds(60);
    while (stats.at("triggered").at("sizeStatistics") != 1 && Clock::now() < statsDeadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        stats = run.status().at("tr").at("non-triggered-w-trigger");
    }
    EXPECT_EQ(stats.at("triggered").at("sizeStatistics"), 1);
    EXPECT_TRUE(stats.contains("non-triggered"));
    EXPECT_TRUE(run.client->Get("/exit"));
    EXPECT_EQ(run.process->wait(), 0);
}

}  // namespace
