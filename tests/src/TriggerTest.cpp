#include <gtest/gtest.h>

#include <future>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "src/PipelineContext.h"
#include "src/Trigger.h"
#include "tests/src/FakeEventBuilder.h"
#include "tests/src/FakeVideoSource.h"
#include "tests/support/CapturingLog.h"

namespace {

QEVATriggerEvent triggerOn(int64_t lane, int64_t id = 1) {
    QEVATriggerEvent te;
    te.laneId = lane;
    te.triggerId = id;
    te.triggerTimestamp = 1700000000000;
    return te;
}

std::string refusalOf(ek::PipelineContext& ctx, const QEVATriggerEvent& te) {
    try {
        ctx.trigger(te);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

class TriggerTest : public ::testing::Test {
  protected:
    TriggerTest() {
        ek::initalizeTrigger(ctx);
        ctx.markReady();
    }
    ~TriggerTest() override {
        for (const auto& [name, builder] : builders) {
            builder->release();
        }
        ctx.join();
    }

    std::shared_ptr<FakeEventBuilder> addBuilder(const std::string& name, int lane, EventBuilderMode mode) {
        auto builder = std::make_shared<FakeEventBuilder>(name, lane, mode);
        ctx.eventBuilders[name] = builder;
        builders[name] = builder;
        return builder;
    }
    std::shared_ptr<FakeVideoSource> addSource(const std::string& name, int id, int lane,
                                               bool online = true) {
        auto source = std::make_shared<FakeVideoSource>(name, id, lane, online);
        ctx.caps.push_back(source);
        return source;
    }
    void fillPoster(const std::string& name) {
        auto queue = ctx.eventQueues.count(name) ? ctx.eventQueues[name] : ctx.addEventQueue(name, 5);
        while (queue->size() < queue->capacity()) {
            queue->push(QEVAPair(std::make_unique<QEVAEvent>(), nullptr));
        }
    }
    void waitTriggerThreads() {
        ctx.withTriggerThreads([](std::vector<std::future<void>>& threads) {
            for (auto& thread : threads) {
                thread.wait();
            }
        });
    }

    CapturingLog::Installed capture = CapturingLog::install();
    ek::PipelineContext ctx{nlohmann::json{{"webserver", {{"port", 0}}}}};
    std::map<std::string, std::shared_ptr<FakeEventBuilder>> builders;
};

TEST_F(TriggerTest, AcceptedTriggerRunsTheFirstTriggeredBuilderOfTheLaneWithItsOnlineCameras) {
    addBuilder("a_plain", 1, EventBuilderMode::NonTriggered);
    addBuilder("b_train", 1, EventBuilderMode::Train);
    auto chosen = addBuilder("c_both", 1, EventBuilderMode::NonTriggeredWithTrigger);
    auto later = addBuilder("d_triggered", 1, EventBuilderMode::Triggered);
    addBuilder("a_other_lane", 2, EventBuilderMode::Triggered);
    addSource("cam5", 5, 1);
    addSource("cam3", 3, 1, false);
    addSource("cam4", 4, 1);
    addSource("elsewhere", 9, 2);

    ctx.trigger(triggerOn(1, 77));
    waitTriggerThreads();

    ASSERT_EQ(chosen->calls().size(), 1u);
    EXPECT_EQ(chosen->calls()[0].trigger.triggerId, 77);
    EXPECT_EQ(chosen->calls()[0].cameraIds, (std::vector<int>{5, 4}));
    EXPECT_TRUE(later->calls().empty());
    EXPECT_EQ(ctx.triggerStats.received, 1);
    EXPECT_EQ(ctx.triggerStats.accepted, 1);
    EXPECT_TRUE(capture.log->contains("Camera ID: 3 is offline (lane 1, trigger 77)", ILog::LevelWarning));
    EXPECT_TRUE(capture.log->contains("Got trigger: ", ILog::LevelInfo));
}

TEST_F(TriggerTest, LaneWithoutOnlineCamerasDropsTheTriggerQuietly) {
    addSource("cam1", 1, 1, false);
    addSource("cam2", 2, 1, false);
    EXPECT_EQ(refusalOf(ctx, triggerOn(1, 5)), "");
    EXPECT_EQ(refusalOf(ctx, triggerOn(4, 6)), "");  // no builder either: the camera test comes first
    EXPECT_EQ(ctx.triggerStats.received, 2);
    EXPECT_EQ(ctx.triggerStats.droppedNoCameras, 2);
    EXPECT_EQ(ctx.triggerStats.accepted, 0);
    EXPECT_TRUE(capture.log->contains("All 2 camera(s) in lane 1 are offline, trigger 5 is dropped",
                                      ILog::LevelWarning));
    EXPECT_TRUE(
        capture.log->contains("No cameras configured for lane 4, trigger 6 is dropped", ILog::LevelWarning));
}

TEST_F(TriggerTest, RefusalsNameTheirReasonAndCountIt) {
    addSource("cam", 1, 1);
    addBuilder("plain", 1, EventBuilderMode::NonTriggered);
    addBuilder("train", 1, EventBuilderMode::Train);
    EXPECT_EQ(refusalOf(ctx, triggerOn(1)), "Event builder for lane 1 not found");
    EXPECT_EQ(ctx.triggerStats.droppedNoBuilder, 1);

    addBuilder("triggered", 1, EventBuilderMode::Triggered);
    ctx.addEventQueue("poster_a", 5);
    fillPoster("poster_z");
    EXPECT_EQ(refusalOf(ctx, triggerOn(1)), "Trigger notification failed: EventQueue overflow: poster_z");
    fillPoster("poster_a");
    EXPECT_EQ(refusalOf(ctx, triggerOn(1)), "Trigger notification failed: EventQueue overflow: poster_a");
    EXPECT_EQ(ctx.triggerStats.droppedQueueOverflow, 2);
    EXPECT_EQ(ctx.triggerStats.received, 3);
    EXPECT_EQ(ctx.triggerStats.accepted, 0);
    EXPECT_NE(ctx.triggerStats.lastTriggerTs, 0);
}

TEST_F(TriggerTest, RefusedBeforeLoadingHasFinishedAndAfterTheStop) {
    ek::PipelineContext starting(nlohmann::json{{"webserver", {{"port", 0}}}});
    ek::initalizeTrigger(starting);
    EXPECT_EQ(refusalOf(starting, triggerOn(1)), "service is starting");
    EXPECT_EQ(starting.triggerStats.received, 1);
    EXPECT_NE(starting.triggerStats.lastTriggerTs, 0);

    ctx.stop = true;
    EXPECT_EQ(refusalOf(ctx, triggerOn(1)), "service is stopping");
    EXPECT_EQ(ctx.triggerStats.received, 1);
    EXPECT_EQ(ctx.triggerStats.accepted, 0);
}

TEST_F(TriggerTest, AtMostSixTriggerThreadsRunAtOnce) {
    addSource("cam", 1, 1);
    auto builder = addBuilder("triggered", 1, EventBuilderMode::Triggered);
    builder->hold();
    for (int i = 0; i < 6; ++i) {
        ctx.trigger(triggerOn(1, i));
    }
    builder->waitRunning(6);
    EXPECT_EQ(refusalOf(ctx, triggerOn(1, 6)),
              "Trigger notification failed: number Trigger Threads is to much: 6");
    EXPECT_EQ(ctx.triggerStats.droppedThreadLimit, 1);
    EXPECT_EQ(ctx.triggerStats.accepted, 6);
    EXPECT_EQ(capture.log->count("Number trigger threads: ", ILog::LevelDebug), 3u);    // 0, 1, 2
    EXPECT_EQ(capture.log->count("Number trigger threads: ", ILog::LevelWarning), 3u);  // 3, 4, 5

    builder->release();
    waitTriggerThreads();
    EXPECT_EQ(refusalOf(ctx, triggerOn(1, 7)), "");
    EXPECT_EQ(ctx.triggerStats.accepted, 7);
}

TEST_F(TriggerTest, ExceptionsInTheTriggerThreadAreLoggedThere) {
    addSource("cam", 1, 1);
    auto builder = addBuilder("triggered", 1, EventBuilderMode::Triggered);
    builder->failWith("ring closed");
    EXPECT_EQ(refusalOf(ctx, triggerOn(1)), "");
    waitTriggerThreads();
    EXPECT_TRUE(capture.log->contains("Exception detected in trigger thread. message: ring closed",
                                      ILog::LevelError));
}

}  // namespace
