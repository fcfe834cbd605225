#include "src/PipelineDrain.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "src/AppControl.h"
#include "src/loaders/EventBuilders.h"
#include "tests/src/FakeEventBuilder.h"
#include "tests/support/CapturingLog.h"

// The drain at the end of the input, against a context with a builder worker and a poster thread
// of the test's own.
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

// A builder whose flush reports `pending` events, one pair each, to its poster queue.
class FlushingBuilder : public FakeEventBuilder {
  public:
    FlushingBuilder(ek::PipelineContext& ctx, int pending)
        : FakeEventBuilder("eb", 1, EventBuilderMode::NonTriggered), ctx_(ctx), pending_(pending) {}

    void flush() override {
        for (int i = 0; i < pending_; ++i) {
            auto event = std::make_unique<QEVAEvent>();
            event->guid = "event" + std::to_string(i);
            ctx_.eventQueues.at("sink")->push(QEVAPair(std::move(event), nullptr));
        }
    }
    std::chrono::milliseconds settleTime() const override { return 60s; }

  private:
    ek::PipelineContext& ctx_;
    const int pending_;
};

class PipelineDrainTest : public ::testing::Test {
  protected:
    PipelineDrainTest() : ctx(json{{"webserver", {{"port", 0}}}}) {
        ek::initializeAppControl(ctx);
        sink = ctx.addEventQueue("sink", 2);  // smaller than what the flush reports
    }
    ~PipelineDrainTest() override {
        ctx.terminate();
        if (poster.joinable()) {
            poster.join();
        }
        for (auto& worker : ctx.ebWorkers) {
            worker.join();
        }
        ctx.ebWorkers.clear();
    }

    void startBuilder(int pending) {
        ctx.addFrameQueue("eb", 2);
        ctx.eventBuilders["eb"] = std::make_shared<FlushingBuilder>(ctx, pending);
        ek::startEventBuilders(ctx, 1ms);
    }
    // Delivers pair after pair until the poison pair, as a poster thread does.
    void startPoster() {
        poster = std::thread([this] {
            for (;;) {
                QEVAPair pair = sink->pop();
                if (pair.poison) {
                    return;
                }
                delivered.push_back(pair.event->guid);
            }
        });
    }

    CapturingLog::Installed capture;
    ek::PipelineContext ctx;
    std::shared_ptr<ek::PipelineContext::EventQueue> sink;
    std::thread poster;
    std::vector<std::string> delivered;  // the poster's, read after it has ended
};

// Everything flushed is delivered before the poster ends on the poison pair queued behind it.
TEST_F(PipelineDrainTest, BuildersFlushAndPostersDeliverEverythingBeforeTheirPoison) {
    startBuilder(5);
    startPoster();
    ctx.requestDrain();
    EXPECT_TRUE(ek::drainPipeline(ctx));
    poster.join();
    EXPECT_EQ(delivered, (std::vector<std::string>{"event0", "event1", "event2", "event3", "event4"}));
    EXPECT_EQ(sink->size(), 0u);
    EXPECT_TRUE(capture.log->contains("at most 70000 ms"));  // the builder's settle time + 10 s
    EXPECT_TRUE(capture.log->contains("drain: done after"));
}

// A drain that cannot finish ends at the stop or at its bound, whichever comes first, naming the
// step it was in.
TEST_F(PipelineDrainTest, TheStopOrTheBoundCutsTheDrainShort) {
    ctx.frameQueued();  // a frame that never arrives anywhere
    EXPECT_FALSE(ek::drainPipeline(ctx, 0ms));
    EXPECT_TRUE(capture.log->contains("drain: bound reached while frames were still in the pipeline",
                                      ILog::LevelWarning));

    std::thread stopper([this] {
        capture.log->waitFor("at most 3600000 ms", std::chrono::hours(1));
        ctx.terminate();
    });
    EXPECT_FALSE(ek::drainPipeline(ctx, std::chrono::hours(1)));
    stopper.join();
    EXPECT_TRUE(capture.log->contains("drain: stop requested while frames were still in the pipeline"));
}

}  // namespace
