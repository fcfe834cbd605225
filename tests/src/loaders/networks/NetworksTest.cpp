#include "qo_common/utils/ConfigReader.h"
#include "src/loaders/Networks.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <thread>

#include "src/AppControl.h"
#include "src/PipelineControl.h"
#include "tests/models/TestModels.h"
#include "tests/support/CapturingLog.h"

namespace {

using nlohmann::json;

// A component that counts its calls and can be told to fail or to hold a frame in infer.
class FakeComponent : public Component {
  public:
    void prepare(std::shared_ptr<FrameWithInfo> frame) override {
        if (frame->motion == 1.f) {
            throw std::runtime_error("cannot prepare this one");
        }
        frame->small.assign(1, 1.f);
        ++prepared;
    }
    void infer(std::shared_ptr<FrameWithInfo> frame) override {
        if (frame->motion == 2.f) {
            throw std::runtime_error("cannot infer this one");
        }
        {
            std::unique_lock<std::mutex> lock(mutex);
            entered = true;
            changed.notify_all();
            changed.wait(lock, [&] { return !holding; });
        }
        std::this_thread::sleep_for(inferAtLeast.load());
        frame->yoloInfo.resize(1);
        ++inferred;
    }

    // Holds the next infer until release().
    void hold() {
        std::lock_guard<std::mutex> lock(mutex);
        holding = true;
        entered = false;
    }
    void waitEntered() {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return entered; });
    }
    void release() {
        std::lock_guard<std::mutex> lock(mutex);
        holding = false;
        changed.notify_all();
    }

    std::atomic<int> prepared{0};
    std::atomic<int> inferred{0};
    std::atomic<std::chrono::milliseconds> inferAtLeast{std::chrono::milliseconds(0)};

  private:
    std::mutex mutex;
    std::condition_variable changed;
    bool holding = false;
    bool entered = false;
};

std::shared_ptr<FrameWithInfo> frame(const std::string& guid, float motion = 0.f) {
    auto f = std::make_shared<FrameWithInfo>();
    f->frame->image = cv::Mat(8, 8, CV_8UC3, cv::Scalar::all(0));
    f->frame->guid = guid;
    f->frame->cameraName = "cam";
    f->motion = motion;
    return f;
}

class NetworksTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ctx = std::make_unique<ek::PipelineContext>(json{{"webserver", {{"port", 0}}}});
        ek::initializeAppControl(*ctx);
        ek::initalizePipelineControl(*ctx);
    }
    void TearDown() override { ctx.reset(); }  // terminate and join

    std::shared_ptr<FakeComponent> addNetwork(const std::string& name,
                                              std::vector<std::string> destinations) {
        auto fake = std::make_shared<FakeComponent>();
        fake->type = "fake";
        fake->destinations = std::move(destinations);
        ctx->addFrameQueue(name, 3);
        ctx->addFrameQueue(name + "_infer", 3);
        ctx->networks[name] = fake;
        return fake;
    }
    void start() { ek::startNetworks(*ctx); }
    void push(const std::string& queue, std::shared_ptr<FrameWithInfo> f) { ctx->queues.at(queue)->push(f); }
    std::shared_ptr<FrameWithInfo> pop(const std::string& queue) { return ctx->queues.at(queue)->pop(); }
    void waitQueued(const std::string& queue, uint64_t n) {
        while (ctx->queues.at(queue)->size() < n) {
            std::this_thread::yield();
        }
    }
    float netTime(const std::string& stage) {
        std::lock_guard<std::mutex> lock(ctx->lock);
        return ctx->netTimes.at(stage);
    }

    CapturingLog::Installed capture;
    std::unique_ptr<ek::PipelineContext> ctx;
};

TEST_F(NetworksTest, PreparedFramesAreInferredAndForwardedInOrder) {
    auto fake = addNetwork("net", {"out"});
    ctx->addFrameQueue("out", 10);
    start();
    for (int i = 0; i < 5; ++i) {
        push("net", frame("g" + std::to_string(i)));
    }
    for (int i = 0; i < 5; ++i) {
        auto f = pop("out");
        EXPECT_EQ(f->frame->guid, "g" + std::to_string(i));
        EXPECT_EQ(f->status.load(), FrameWithInfo::InProccess);
        EXPECT_EQ(f->yoloInfo.size(), 1u);
    }
    EXPECT_EQ(fake->prepared.load(), 5);
    EXPECT_EQ(fake->inferred.load(), 5);
    // Both stages keep a running mean; a step held for 20 ms adds at least 20 whole milliseconds to
    // its frame and a tenth of that to the stage's mean. Lower bounds only: a slow machine raises them.
    EXPECT_GE(netTime("net"), 0.f);
    fake->inferAtLeast = std::chrono::milliseconds(20);
    push("net", frame("slow"));
    const auto slow = pop("out");
    EXPECT_GE(slow->processTime, 20.f);
    EXPECT_GE(netTime("net_infer"), 2.f);
}

TEST_F(NetworksTest, InferenceOffOrSkipPassesFramesThroughUntouched) {
    auto fake = addNetwork("net", {"out"});
    ctx->addFrameQueue("out", 10);
    start();
    ctx->inferenceEnabled = false;
    push("net", frame("off"));
    std::vector<std::shared_ptr<FrameWithInfo>> out{pop("out")};
    ctx->inferenceEnabled = true;
    auto skipped = frame("skip");
    skipped->skip = true;
    push("net", skipped);
    out.push_back(pop("out"));
    const char* guids[] = {"off", "skip"};
    for (size_t i = 0; i < 2; ++i) {
        const auto& f = out[i];
        const char* guid = guids[i];
        EXPECT_EQ(f->frame->guid, guid);
        EXPECT_EQ(f->status.load(), FrameWithInfo::NoProcessed);
        EXPECT_EQ(f->processTime, 0.f);
        EXPECT_TRUE(f->small.empty());
        EXPECT_TRUE(f->yoloInfo.empty());
    }
    EXPECT_EQ(fake->prepared.load(), 0);
    EXPECT_EQ(fake->inferred.load(), 0);
    EXPECT_EQ(ctx->netFps.load(), 0);
}

TEST_F(NetworksTest, AFrameOnItsWayThroughTheNetworksKeepsItsMarkWhileInferenceIsOff) {
    // A claimed frame marked NoProcessed mid-way could be claimed and pushed a second time.
    addNetwork("net", {"out"});
    ctx->addFrameQueue("out", 10);
    start();
    ctx->inferenceEnabled = false;
    auto claimed = frame("claimed");
    claimed->status = FrameWithInfo::InProccess;
    push("net", claimed);
    EXPECT_EQ(pop("out")->status.load(), FrameWithInfo::InProccess);
    EXPECT_TRUE(claimed->yoloInfo.empty());
}

TEST_F(NetworksTest, InferFollowsThePrepareDecisionWhenTheSwitchFlipsBetween) {
    auto fake = addNetwork("net", {"out"});
    ctx->addFrameQueue("out", 10);
    start();
    fake->hold();
    push("net", frame("held"));
    fake->waitEntered();  // the infer worker is busy with "held"

    ctx->inferenceEnabled = false;
    push("net", frame("not prepared"));
    waitQueued("net_infer", 1);
    ctx->inferenceEnabled = true;
    push("net", frame("prepared"));
    waitQueued("net_infer", 2);
    ctx->inferenceEnabled = false;  // off again before "prepared" is inferred
    fake->release();

    EXPECT_EQ(pop("out")->frame->guid, "held");
    auto notPrepared = pop("out");
    EXPECT_EQ(notPrepared->status.load(), FrameWithInfo::NoProcessed);
    EXPECT_TRUE(notPrepared->yoloInfo.empty());
    auto prepared = pop("out");
    EXPECT_EQ(prepared->status.load(), FrameWithInfo::InProccess);
    EXPECT_EQ(prepared->yoloInfo.size(), 1u);
    EXPECT_EQ(fake->inferred.load(), 2);
}

TEST_F(NetworksTest, AFailingStepIsLoggedAndTheFrameStillGoesOn) {
    auto fake = addNetwork("net", {"out"});
    ctx->addFrameQueue("out", 10);
    start();
    push("net", frame("bad prepare", 1.f));
    push("net", frame("bad infer", 2.f));
    push("net", frame("fine"));
    auto badPrepare = pop("out");
    EXPECT_TRUE(badPrepare->yoloInfo.empty());  // not prepared, so not inferred
    EXPECT_TRUE(pop("out")->yoloInfo.empty());
    EXPECT_EQ(pop("out")->yoloInfo.size(), 1u);
    EXPECT_EQ(fake->inferred.load(), 1);
    EXPECT_TRUE(capture.log->contains(
        "Network net: prepare failed (camera: cam, guid: bad prepare): cannot prepare this one",
        ILog::LevelError));
    EXPECT_TRUE(capture.log->contains(
        "Network net: infer failed (camera: cam, guid: bad infer): cannot infer this one", ILog::LevelError));
}

TEST_F(NetworksTest, FramesGoToEveryDestinationAndANetworkWithoutDestinationsKeepsNone) {
    addNetwork("net", {"a", "missing", "b"});
    addNetwork("sink", {});
    ctx->addFrameQueue("a", 10);
    ctx->addFrameQueue("b", 10);
    start();
    auto f = frame("both");
    push("net", f);
    EXPECT_EQ(pop("a"), f);
    EXPECT_EQ(pop("b"), f);
    EXPECT_TRUE(capture.log->contains("send to destinations: a, missing, b, ", ILog::LevelDebug));
    push("sink", frame("nowhere"));
    while (
        !capture.log->contains("Network sink: camera: cam, guid: nowhere, skip: 0, send to destinations: ")) {
        std::this_thread::yield();
    }
    auto lines = capture.log->messages(ILog::LevelDebug);
    auto line = std::find_if(lines.begin(), lines.end(),
                             [](auto& l) { return l.find("guid: nowhere, skip") != std::string::npos; });
    ASSERT_NE(line, lines.end());
    const std::string tail = "send to destinations: ";
    EXPECT_EQ(line->substr(line->size() - tail.size()), tail);  // nothing after it
}

TEST_F(NetworksTest, OnlyImagesThatNeedItAreConvertedAndHoldersKeepTheirFrame) {
    addNetwork("net", {"out"});
    ctx->addFrameQueue("out", 10);
    start();
    auto grey = frame("grey");
    grey->frame->image = cv::Mat(8, 8, CV_8UC1, cv::Scalar(7));
    auto held = grey->frame;  // as a paired frame or a copy would hold it
    auto bgr = frame("bgr");
    auto bgrFrame = bgr->frame;
    push("net", grey);
    push("net", bgr);
    auto out = pop("out");
    EXPECT_NE(out->frame, held);
    EXPECT_EQ(out->frame->image.type(), CV_8UC3);
    EXPECT_EQ(out->frame->guid, "grey");
    EXPECT_EQ(held->image.type(), CV_8UC1);
    EXPECT_EQ(pop("out")->frame, bgrFrame);
}

TEST_F(NetworksTest, AWorkerWithoutItsQueuesLogsWhyAndEnds) {
    ctx->networks["lost"] = std::make_shared<FakeComponent>();
    start();
    ctx->join();
    EXPECT_TRUE(capture.log->contains("startNetworks: Can`t found queue: lost", ILog::LevelError));
    EXPECT_TRUE(capture.log->contains("can't find lost_infer in queues", ILog::LevelError));
    EXPECT_TRUE(capture.log->contains("Stopped network lost", ILog::LevelInfo));
}

TEST_F(NetworksTest, PoisonEndsBothWorkers) {
    addNetwork("net", {"out"});
    ctx->addFrameQueue("out", 10);
    start();
    ctx->queues.at("net")->poison(FrameWithInfo::makePoison());
    ctx->queues.at("net_infer")->poison(FrameWithInfo::makePoison());
    for (auto& t : ctx->consumers) {
        t.join();
    }
    EXPECT_TRUE(capture.log->contains("Stopped thread for prepare network net", ILog::LevelInfo));
    EXPECT_TRUE(capture.log->contains("Stopped network net", ILog::LevelInfo));
    EXPECT_EQ(ctx->queues.at("out")->size(), 0u);  // the poison is not passed on
}

json yoloEntry(const std::string& name) {
    return {{"name", name},
            {"type", "yolo"},
            {"treshold", 0.5},
            {"destinations", {"out"}},
            {"model",
             {{"definition",
               {{"path", testModelDir()}, {"cfg", "grid_v5_64.onnx"}, {"content", json::object()}}}}}};
}

TEST_F(NetworksTest, LoadMakesQueuesAndComponents) {
    ek::loadNetworks(*ctx, json::array({yoloEntry("yolo")}));
    EXPECT_EQ(ctx->networks.size(), 1u);
    EXPECT_EQ(ctx->networks.at("yolo")->type, "yolo");
    EXPECT_EQ(ctx->queues.at("yolo")->capacity(), 3u);
    EXPECT_EQ(ctx->queues.at("yolo_infer")->capacity(), 3u);
    EXPECT_EQ(capture.log->count("Creating network: "), 1u);
    ek::loadNetworks(*ctx, json());  // null: nothing
    EXPECT_EQ(ctx->networks.size(), 1u);
}

TEST_F(NetworksTest, LoadFailuresNameTheirPath) {
    json unnamed = yoloEntry("x");
    unnamed.erase("name");
    json badModel = yoloEntry("m");
    badModel["model"]["definition"]["cfg"] = 5;
    json badThreshold = yoloEntry("t");
    badThreshold["treshold"] = "high";
    const std::vector<std::pair<json, std::string>> cases = {
        {json::array({unnamed}), "networks[0].name: missing, expected a non-empty string"},
        {json::array({json{{"name", "a"}}}), "networks[0].type: missing, expected a string"},
        {json::array({json{{"name", 1}, {"type", "yolo"}}}),
         "networks[0].name: expected a non-empty string, got number 1"},
        {json::array({42}), "networks[0]: expected an object, got number 42"},
        {json{{"n", 1}}, R"(networks: expected an array, got object {"n":1})"},
        {json::array({json{{"name", "b"}, {"type", "Yolo"}, {"destinations", json::array()}}}),
         R"(networks[0].type: expected one of "yolo", "PlateReaderV3Colored", "StateRecognizer", )"
         R"("StateDetectorYolo", got string "Yolo")"},
        {json::array({json{{"name", "c"}, {"type", "yolo"}}}),
         "networks[0].destinations: missing, expected an array of strings"},
        {json::array({badModel}),
         "networks[0].model.definition.cfg: expected a non-empty string, got number 5"},
        {json::array({badThreshold}),
         R"(networks[0].treshold: expected a number from 0.0 to 1.0, got string "high")"},
    };
    for (const auto& [networks, error] : cases) {
        SCOPED_TRACE(error);
        auto fresh = std::make_unique<ek::PipelineContext>(json{{"webserver", {{"port", 0}}}});
        try {
            ek::loadNetworks(*fresh, networks);
            ADD_FAILURE() << "accepted";
        } catch (const ek::ConfigError& e) {
            EXPECT_EQ(std::string(e.what()), error);
        }
        EXPECT_TRUE(fresh->networks.empty());
    }
}

TEST_F(NetworksTest, YoloNetworksRefreshTheFrameRate) {
    ek::loadNetworks(*ctx, json::array({yoloEntry("yolo")}));
    ctx->addFrameQueue("out", 10);
    start();
    auto f = frame("one");
    f->frame->image = cv::Mat(64, 64, CV_8UC3, cv::Scalar::all(0));
    f->frame->image(cv::Rect(16, 16, 16, 16)).setTo(cv::Scalar::all(255));
    push("yolo", f);
    auto out = pop("out");
    ASSERT_EQ(out->yoloInfo.size(), 1u);
    EXPECT_EQ(out->yoloInfo[0].rect(), cv::Rect(16, 16, 16, 16));
    EXPECT_GE(ctx->netFps.load(), 0);
    EXPECT_GE(out->processTime, 0.f);
}

// Events keep frames for many seconds: they must hold the detections, not the network input.
TEST_F(NetworksTest, FramesLeaveANetworkWithoutItsInputAlsoWhenInferFails) {
    ek::loadNetworks(*ctx, json::array({yoloEntry("yolo")}));
    auto fake = addNetwork("net", {"out"});
    ctx->addFrameQueue("out", 10);
    start();
    auto detected = frame("yolo");
    detected->frame->image = cv::Mat(64, 64, CV_8UC3, cv::Scalar::all(0));
    detected->frame->image(cv::Rect(16, 16, 16, 16)).setTo(cv::Scalar::all(255));
    push("yolo", detected);
    push("net", frame("bad infer", 2.f));
    std::vector<std::shared_ptr<FrameWithInfo>> out{pop("out"), pop("out")};
    for (const auto& f : out) {
        SCOPED_TRACE(f->frame->guid);
        EXPECT_EQ(f->status.load(), FrameWithInfo::InProccess);  // it was prepared
        EXPECT_TRUE(f->small.empty());
        EXPECT_EQ(f->small.capacity(), 0u);
    }
    const auto& yolo = out[0]->frame->guid == "yolo" ? out[0] : out[1];
    ASSERT_EQ(yolo->yoloInfo.size(), 1u);
    EXPECT_EQ(yolo->yoloInfo[0].rect(), cv::Rect(16, 16, 16, 16));
    EXPECT_EQ(fake->prepared.load(), 1);
}

}  // namespace
