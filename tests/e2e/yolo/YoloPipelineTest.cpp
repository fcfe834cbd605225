#include <gtest/gtest.h>
#include <httplib.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <thread>

#include "src/AppControl.h"
#include "src/PipelineControl.h"
#include "src/PipelineLoading.h"
#include "tests/models/TestModels.h"
#include "tests/platform/video/TestClips.h"
#include "tests/support/CapturingLog.h"

// A 256 x 128 clip with a white square (class 0) and a magenta one (class 1), each covering one
// 16 x 16 cell of the 64 x 64 grid detector once the frame is letterboxed (scale 1/4, 16 rows of
// padding on top), runs through a file source and a "yolo" network into the next destination.
namespace {

using nlohmann::json;

const cv::Rect kWhiteBox(64, 0, 64, 64);
const cv::Rect kMagentaBox(192, 64, 64, 64);

std::string clip() {
    return testclips::make("yolo_squares_256x128_25fps_4s.mp4",
                           "color=c=black:size=256x128:rate=25:duration=4,"
                           "drawbox=x=64:y=0:w=64:h=64:color=white:t=fill,"
                           "drawbox=x=192:y=64:w=64:h=64:color=magenta:t=fill",
                           "-c:v libx264 -preset veryfast -pix_fmt yuv420p -bf 0");
}

json configuration() {
    json source = {{"name", "cam"},           {"id", 1},      {"type", "file"},
                   {"uri", clip()},           {"restart", 1}, {"processingMode", 0},
                   {"destinations", {"yolo"}}};
    json definition = {{"path", testModelDir()},
                       {"cfg", "grid_v5_64.onnx"},
                       {"content", {{"files", {{"class-names", "grid.names"}}}}}};
    json yolo = {{"name", "yolo"},
                 {"type", "yolo"},
                 {"treshold", 0.5},
                 {"destinations", {"next"}},
                 {"model", {{"resize", 2}, {"keepAspect", true}, {"definition", definition}}}};
    return {{"log", {{"file", false}, {"level", 3}}},
            {"webserver", {{"port", 0}}},
            {"sources", json::array({source})},
            {"networks", json::array({yolo})}};
}

class YoloPipelineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        config = configuration();
        ctx = std::make_unique<ek::PipelineContext>(config);
        ek::initializeAppControl(*ctx);
        ek::initalizePipelineControl(*ctx);
        next = ctx->addFrameQueue("next", 4);  // stands for the network's next destination
        server = ctx->sws.start();
        ek::loadPipeline(*ctx, config);
        ek::startPipeline(*ctx);
        client = std::make_unique<httplib::Client>("127.0.0.1", ctx->sws.boundPort());
    }
    void TearDown() override {
        ctx->terminate();
        ctx->join();
        ctx->sws.stop();
        server.join();
        ctx.reset();
    }

    void switchInference(bool enabled) {
        auto result =
            client->Post("/api/inference", httplib::Params{{"enabled", enabled ? "true" : "false"}});
        ASSERT_TRUE(result);
        ASSERT_EQ(result->status, 200) << result->body;
    }

    CapturingLog::Installed capture;
    json config;
    std::unique_ptr<ek::PipelineContext> ctx;
    std::shared_ptr<ek::PipelineContext::FrameQueue> next;
    std::thread server;
    std::unique_ptr<httplib::Client> client;
};

void expectDetected(const FrameWithInfo& f) {
    EXPECT_EQ(f.status.load(), FrameWithInfo::InProccess);
    ASSERT_EQ(f.yoloDetectionsOverROI.size(), 2u);
    for (const auto& o : f.yoloDetectionsOverROI) {
        EXPECT_EQ(o.rect(), o.classId == 0 ? kWhiteBox : kMagentaBox) << o.toString();
        EXPECT_EQ(o.className, o.classId == 0 ? "white" : "magenta");
    }
    // the source sets no plate widths and no ROI: the class-0 box is accepted
    ASSERT_EQ(f.yoloInfo.size(), 1u);
    EXPECT_EQ(f.yoloInfo[0].rect(), kWhiteBox);
    EXPECT_EQ(f.yoloDetectionsOverROI[f.yoloInfo[0].id].rect(), kWhiteBox);
}

TEST_F(YoloPipelineTest, FramesReachTheNextDestinationWithTheirBoxesAndPassUntouchedWhileInferenceIsOff) {
    for (int i = 0; i < 10; ++i) {
        auto f = next->pop();
        ASSERT_FALSE(f->poison);
        EXPECT_EQ(f->frame->cameraName, "cam");
        expectDetected(*f);
    }

    switchInference(false);
    // frames prepared before the switch are still inferred; then every frame passes untouched
    std::shared_ptr<FrameWithInfo> f;
    for (int guard = 0; guard < 10; ++guard) {
        f = next->pop();
        if (f->status == FrameWithInfo::NoProcessed) {
            break;
        }
        expectDetected(*f);
    }
    ASSERT_EQ(f->status.load(), FrameWithInfo::NoProcessed);
    for (int i = 0; i < 10; ++i) {
        if (i > 0) {
            f = next->pop();
        }
        EXPECT_EQ(f->status.load(), FrameWithInfo::NoProcessed);
        EXPECT_TRUE(f->small.empty());
        EXPECT_TRUE(f->yoloInfo.empty());
        EXPECT_TRUE(f->yoloDetectionsOverROI.empty());
        EXPECT_EQ(f->processTime, 0.f);
        EXPECT_EQ(f->frame->image.size(), cv::Size(256, 128));
    }

    switchInference(true);
    for (int guard = 0; guard < 10; ++guard) {
        f = next->pop();
        if (f->status == FrameWithInfo::InProccess) {
            break;
        }
    }
    expectDetected(*f);
    EXPECT_FALSE(capture.log->contains("failed (camera:", ILog::LevelError));
}

}  // namespace
