#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "src/AppControl.h"
#include "src/PipelineContext.h"
#include "src/PipelineControl.h"
#include "tests/src/FakeVideoSource.h"
#include "tests/support/CapturingLog.h"

namespace {

using nlohmann::json;

json minimalConfig() {
    return {{"webserver", {{"port", 0}}}};
}

std::vector<std::string> withPrefix(const std::vector<std::string>& messages, const std::string& prefix) {
    std::vector<std::string> out;
    for (const auto& m : messages) {
        if (m.rfind(prefix, 0) == 0) {
            out.push_back(m);
        }
    }
    return out;
}

class PipelineContextTest : public ::testing::Test {
  protected:
    CapturingLog::Installed capture = CapturingLog::install();
};

TEST_F(PipelineContextTest, DefaultsOfAMinimalConfiguration) {
    ek::PipelineContext ctx(minimalConfig());
    EXPECT_EQ(ctx.startSaveFrames, 0);
    EXPECT_EQ(ctx.periodSaveFrames, 1000);
    EXPECT_EQ(ctx.durationSaveFrames, 0);
    EXPECT_TRUE(ctx.inferenceEnabled);
    EXPECT_FALSE(ctx.stop);
    EXPECT_TRUE(ctx.status.is_null());
    EXPECT_EQ(ctx.netFps, 0);
    EXPECT_EQ(ctx.config, minimalConfig());
    EXPECT_FALSE(ctx.queuesMonitoringThread.has_value());
}

TEST_F(PipelineContextTest, ReadsTheFrameSavingPeriods) {
    json config = minimalConfig();
    config["start_save_frame_ms"] = 100;
    config["period_save_frame_ms"] = 250;
    config["duration_save_frame_ms"] = 5000;
    ek::PipelineContext ctx(config);
    EXPECT_EQ(ctx.startSaveFrames, 100);
    EXPECT_EQ(ctx.periodSaveFrames, 250);
    EXPECT_EQ(ctx.durationSaveFrames, 5000);
}

TEST_F(PipelineContextTest, RefusesUnusableConfigurations) {
    const std::vector<std::pair<json, std::string>> cases = {
        {json::array(), "the configuration must be a JSON object, got array []"},
        {json::object(), "webserver: missing, expected an object"},
        {{{"webserver", json::object()}}, "webserver.port: missing, expected an integer"},
        {{{"webserver", {{"port", "8080"}}}},
         R"(webserver.port: expected an integer from 0 to 65535, got string "8080")"},
        {{{"webserver", {{"port", 70000}}}},
         "webserver.port: expected an integer from 0 to 65535, got number 70000"},
        {{{"webserver", {{"port", 8080.5}}}},
         "webserver.port: expected an integer from 0 to 65535, got number 8080.5"},
        {{{"webserver", {{"port", -1}}}},
         "webserver.port: expected an integer from 0 to 65535, got number -1"},
        {{{"webserver", 8080}}, "webserver: expected an object, got number 8080"},
        {{{"webserver", {{"port", 0}}}, {"start_save_frame_ms", "soon"}},
         R"(start_save_frame_ms: expected an integer from 0 to 2147483647, got string "soon")"},
        {{{"webserver", {{"port", 0}}}, {"period_save_frame_ms", json::object()}},
         "period_save_frame_ms: expected an integer from 0 to 2147483647, got object {}"},
        {{{"webserver", {{"port", 0}}}, {"period_save_frame_ms", -1000}},
         "period_save_frame_ms: expected an integer from 0 to 2147483647, got number -1000"},
        {{{"webserver", {{"port", 0}}}, {"duration_save_frame_ms", json::array()}},
         "duration_save_frame_ms: expected an integer from 0 to 2147483647, got array []"},
    };
    for (const auto& [config, error] : cases) {
        try {
            ek::PipelineContext ctx{config};
            ADD_FAILURE() << "accepted " << config.dump();
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), error);
        }
    }
}

TEST_F(PipelineContextTest, VideoSourcesKeepTheirOrderAndTheLaterOfTwoIds) {
    ek::PipelineContext ctx(minimalConfig());
    ctx.addVideoSource(std::make_unique<FakeVideoSource>("a", 1, 7));
    ctx.addVideoSource(std::make_unique<FakeVideoSource>("b", 2, 7));
    ctx.addVideoSource(std::make_unique<FakeVideoSource>("c", 1, 8));

    EXPECT_EQ(ctx.getVideoSource(1).settings.name, "b");
    EXPECT_THROW(ctx.getVideoSource(3), std::out_of_range);

    const auto byId = ctx.getVideoSources();
    ASSERT_EQ(byId.size(), 2u);
    EXPECT_EQ(byId.at(1)->settings.name, "c");
    EXPECT_EQ(byId.at(2)->settings.name, "b");

    std::vector<std::string> visited;
    ctx.foreachVideoSources([&](const std::shared_ptr<ek::IVideoSource>& source, size_t index) {
        visited.push_back(std::to_string(index) + source->settings.name);
    });
    EXPECT_EQ(visited, (std::vector<std::string>{"0a", "1b", "2c"}));
}

TEST_F(PipelineContextTest, LockedCallsReleaseTheLockOnException) {
    ek::PipelineContext ctx(minimalConfig());
    EXPECT_THROW(ctx.withLock({}), std::bad_function_call);
    EXPECT_THROW(ctx.withLock([](ek::PipelineContext&) { throw std::runtime_error("x"); }),
                 std::runtime_error);
    // The lock is free again.
    EXPECT_TRUE(ctx.lock.try_lock());
    ctx.lock.unlock();
}

TEST_F(PipelineContextTest, JoinWithoutThreadsLogsItsSevenLinesEachTime) {
    const std::vector<std::string> lines = {"join producers",        "join consumers", "join players",
                                            "join posters",          "join ebWorkers", "stopping...",
                                            "join queues monitoring"};
    ek::PipelineContext ctx(minimalConfig());
    ctx.join();
    EXPECT_EQ(capture.log->messages(ILog::LevelInfo), lines);
    capture.log->clear();
    ctx.join();
    EXPECT_EQ(capture.log->messages(ILog::LevelInfo), lines);
}

TEST_F(PipelineContextTest, JoinWaitsForEveryThreadGroup) {
    ek::PipelineContext ctx(minimalConfig());
    std::atomic<int> ended{0};
    auto worker = [&] { ++ended; };
    ctx.producers.emplace_back(worker);
    ctx.consumers.emplace_back(worker);
    ctx.players.emplace_back(worker);
    ctx.posters.emplace_back(worker);
    ctx.ebWorkers.emplace_back(worker);
    ctx.queuesMonitoringThread.emplace(worker);
    ctx.withTriggerThreads([&](std::vector<std::future<void>>& threads) {
        threads.push_back(std::async(std::launch::async, worker));
    });
    ctx.join();
    EXPECT_EQ(ended, 7);
    EXPECT_FALSE(ctx.queuesMonitoringThread->joinable());
}

TEST_F(PipelineContextTest, TerminatePoisonsBalancersThenFramesThenEventsEachInNameOrder) {
    ek::PipelineContext ctx(minimalConfig());
    ek::initializeAppControl(ctx);
    auto source = std::make_shared<FakeVideoSource>("cam", 1, 1);
    ctx.caps.push_back(source);
    ctx.queuesLoadBalancer["cam_triggered"] = std::make_shared<balance_queue>(10, true);
    ctx.queuesLoadBalancer["cam"] = std::make_shared<balance_queue>(10, false);
    ctx.addFrameQueue("yolo_infer", 3);
    ctx.addFrameQueue("yolo", 3);
    ctx.addFrameQueue("builder", 2);
    ctx.addEventQueue("poster_b", 5);
    ctx.addEventQueue("poster_a", 5);
    ctx.queues["yolo"]->push(std::make_shared<FrameWithInfo>());
    ctx.eventQueues["poster_a"]->push(QEVAPair(std::make_unique<QEVAEvent>(), nullptr));

    ctx.terminate();

    EXPECT_TRUE(ctx.stop);
    EXPECT_EQ(source->stops, 1);
    EXPECT_EQ(withPrefix(capture.log->messages(ILog::LevelInfo), "poison: "),
              (std::vector<std::string>{"poison: balancer queue cam", "poison: balancer queue cam_triggered",
                                        "poison: builder", "poison: yolo", "poison: yolo_infer",
                                        "poison: poster_a", "poison: poster_b"}));
    EXPECT_TRUE(capture.log->contains("terminate() done", ILog::LevelInfo));
    // Queued items are gone; each queue holds its one poison item.
    for (const auto& [name, queue] : ctx.queuesLoadBalancer) {
        EXPECT_TRUE(queue->pop()->poison) << name;
    }
    for (const auto& [name, queue] : ctx.queues) {
        EXPECT_EQ(queue->size(), 1u) << name;
        EXPECT_TRUE(queue->pop()->poison) << name;
    }
    for (const auto& [name, queue] : ctx.eventQueues) {
        EXPECT_EQ(queue->size(), 1u) << name;
        const QEVAPair pair = queue->pop();
        EXPECT_TRUE(pair.poison) << name;
        EXPECT_FALSE(pair.event) << name;
    }
}

TEST_F(PipelineContextTest, TerminateTwiceLeavesOneFreshPoisonItem) {
    ek::PipelineContext ctx(minimalConfig());
    ek::initializeAppControl(ctx);
    auto queue = ctx.addFrameQueue("net", 3);
    ctx.terminate();
    ctx.terminate();
    EXPECT_EQ(queue->size(), 1u);
    EXPECT_TRUE(queue->pop()->poison);
}

TEST_F(PipelineContextTest, DuplicateQueueNamesAreRefused) {
    ek::PipelineContext ctx(minimalConfig());
    auto first = ctx.addFrameQueue("x", 2);
    EXPECT_THROW(ctx.addFrameQueue("x", 3), std::runtime_error);
    EXPECT_EQ(ctx.queues.at("x"), first);
    ctx.addEventQueue("x", 5);  // posters have a name space of their own
    EXPECT_THROW(ctx.addEventQueue("x", 5), std::runtime_error);
}

TEST_F(PipelineContextTest, PushToDestsDeliversTheSameFrameAndSkipsUnknownNames) {
    ek::PipelineContext ctx(minimalConfig());
    ek::initalizePipelineControl(ctx);
    auto a = ctx.addFrameQueue("a", 3);
    auto b = ctx.addFrameQueue("b", 3);
    auto frame = std::make_shared<FrameWithInfo>();
    ctx.pushToDests({"b", "missing", "a"}, frame);
    EXPECT_EQ(a->pop(), frame);
    EXPECT_EQ(b->pop(), frame);
    EXPECT_EQ(a->size() + b->size(), 0u);
}

TEST_F(PipelineContextTest, TerminateReleasesAWriterWaitingOnAFullQueue) {
    ek::PipelineContext ctx(minimalConfig());
    ek::initializeAppControl(ctx);
    ek::initalizePipelineControl(ctx);
    auto full = ctx.addFrameQueue("full", 1);
    auto next = ctx.addFrameQueue("next", 1);
    full->push(std::make_shared<FrameWithInfo>());
    std::thread writer([&] { ctx.pushToDests({"full", "next"}, std::make_shared<FrameWithInfo>()); });
    ctx.terminate();
    writer.join();
    // The waiting frame was dropped, and so was its push into the already poisoned "next".
    EXPECT_EQ(full->size(), 1u);
    EXPECT_TRUE(full->pop()->poison);
    EXPECT_EQ(next->size(), 1u);
    EXPECT_TRUE(next->pop()->poison);
}

TEST_F(PipelineContextTest, SetStatusMakesTheDocumentAnObjectAndReplacesEntries) {
    ek::PipelineContext ctx(minimalConfig());
    ek::initializeAppControl(ctx);
    ctx.setStatus("core", "starting");
    ctx.setStatus("cam", "opening");
    ctx.setStatus("core", "working");
    EXPECT_EQ(ctx.status, (json{{"core", "working"}, {"cam", "opening"}}));
}

TEST_F(PipelineContextTest, ExitBeforeReadyIsRememberedOnce) {
    ek::PipelineContext ctx(minimalConfig());
    EXPECT_FALSE(ctx.isReady());
    EXPECT_TRUE(ctx.deferExitUntilReady());
    EXPECT_TRUE(ctx.markReady());
    EXPECT_TRUE(ctx.isReady());
    EXPECT_FALSE(ctx.deferExitUntilReady());
}

TEST_F(PipelineContextTest, ReadyWithoutEarlyExitHasNothingPending) {
    ek::PipelineContext ctx(minimalConfig());
    EXPECT_FALSE(ctx.markReady());
}

TEST_F(PipelineContextTest, DestructionRunsTerminateAndJoin) {
    int terminations = 0;
    {
        ek::PipelineContext ctx(minimalConfig());
        ctx.terminate = [&] { ++terminations; };
    }
    EXPECT_EQ(terminations, 1);
    EXPECT_TRUE(capture.log->contains("join queues monitoring"));
}

}  // namespace
