#include "qo_common/utils/ConfigReader.h"
#include "src/components/YoloComponent.h"

#include <gtest/gtest.h>

#include "qo_common/yolo/MultisizeYoloDetector.h"
#include "src/components/ComponentFactory.h"
#include "src/components/StateDetectorYoloComponent.h"
#include "tests/src/components/NetworkConfigs.h"
#include "tests/support/CapturingLog.h"

namespace {

using namespace test_networks;
using nlohmann::json;

void run(Component& c, const std::shared_ptr<FrameWithInfo>& frame) {
    c.prepare(frame);
    c.infer(frame);
}

TEST(YoloComponentTest, AcceptsClassZeroBoxesAndRecordsEveryBoxWithItsPosition) {
    YoloComponent yolo(yoloNetwork());
    // the cyan cell (class 2) is more confident than the light grey one (class 0, about 0.8)
    auto frame = frameWith({64, 64}, {{{0, 0, 16, 16}, kCyan}, {{32, 32, 16, 16}, cv::Scalar::all(200)}});
    run(yolo, frame);
    ASSERT_EQ(frame->yoloDetectionsOverROI.size(), 2u);
    EXPECT_EQ(frame->yoloDetectionsOverROI[0].classId, 2);
    EXPECT_EQ(frame->yoloDetectionsOverROI[0].id, 0u);
    EXPECT_EQ(frame->yoloDetectionsOverROI[1].id, 1u);
    ASSERT_EQ(frame->yoloInfo.size(), 1u);
    EXPECT_EQ(frame->yoloInfo[0].id, 1u);
    EXPECT_EQ(frame->yoloInfo[0].rect(), cv::Rect(32, 32, 16, 16));
    EXPECT_EQ(frame->yoloInfo[0].className, "white");
    EXPECT_FALSE(frame->small.empty());
}

TEST(YoloComponentTest, NoDetectionsEmptiesBothListsAndSaysSo) {
    CapturingLog::Installed capture;
    YoloComponent yolo(yoloNetwork());
    auto frame = frameWith({64, 64}, {});
    frame->yoloInfo.resize(2);
    frame->yoloDetectionsOverROI.resize(3);
    run(yolo, frame);
    EXPECT_TRUE(frame->yoloInfo.empty());
    EXPECT_TRUE(frame->yoloDetectionsOverROI.empty());
    EXPECT_TRUE(capture.log->contains("NO YOLO READs", ILog::LevelDebug));
}

TEST(YoloComponentTest, ExtensionFactorsFromTheMetaInformation) {
    json network = yoloNetwork();
    network["model"]["definition"]["content"]["meta-information"] = {{"extending-width", 0.25},
                                                                     {"extending-height", -0.25}};
    YoloComponent yolo(network);
    auto frame = frameWith({128, 128}, {{{32, 32, 32, 32}, kWhite}});
    run(yolo, frame);
    ASSERT_EQ(frame->yoloInfo.size(), 1u);
    EXPECT_EQ(frame->yoloInfo[0].rect(), cv::Rect(40, 24, 16, 48));
}

TEST(YoloComponentTest, PlateWidthAndRoiFiltersWithTheirLogLines) {
    CapturingLog::Installed capture;
    YoloComponent yolo(yoloNetwork());
    auto frame = frameWith({64, 64}, {{{0, 0, 16, 16}, kWhite}, {{32, 32, 16, 16}, kWhite}});
    frame->plateWidth = {17, 100};
    run(yolo, frame);
    EXPECT_TRUE(frame->yoloInfo.empty());
    EXPECT_EQ(frame->yoloDetectionsOverROI.size(), 2u);
    EXPECT_EQ(capture.log->count("[plateWidth: 17 ...100] YOLO: {\"classId\":0,\"className\":\"white\"",
                                 ILog::LevelDebug),
              2u);

    frame->plateWidth = {0, 0};  // a source without plate widths
    frame->roi = {{20, 20}, {63, 20}, {63, 63}, {20, 63}};
    run(yolo, frame);
    ASSERT_EQ(frame->yoloInfo.size(), 1u);
    EXPECT_EQ(frame->yoloInfo[0].rect(), cv::Rect(32, 32, 16, 16));
    EXPECT_EQ(capture.log->count("[out of ROI] YOLO: ", ILog::LevelDebug), 1u);
    EXPECT_EQ(capture.log->count("[threshold: 0.50] YOLO: ", ILog::LevelDebug), 1u);
}

TEST(YoloComponentTest, PoisonFramesAreLeftAlone) {
    YoloComponent yolo(yoloNetwork());
    auto poison = FrameWithInfo::makePoison();
    poison->yoloInfo.resize(1);
    run(yolo, poison);
    EXPECT_TRUE(poison->small.empty());
    EXPECT_EQ(poison->yoloInfo.size(), 1u);
}

TEST(YoloComponentTest, NetworksWithOneCfgShareOneDetectorWithTheFirstsSettings) {
    CapturingLog::Installed capture;
    const std::string key = "grid_v5_64.onnx";
    std::weak_ptr<MultisizeYoloDetector> watch;
    auto first = std::make_unique<YoloComponent>(yoloNetwork(key, 0.5));
    {
        YoloComponent second(yoloNetwork(key, 0.9));
        EXPECT_EQ(first->detector(), second.detector());
        EXPECT_EQ(YoloComponent::cacheUsers(key), 2u);
        EXPECT_FLOAT_EQ(second.detector()->yoloThresh(), 0.5f);
        watch = second.detector();
        first.reset();
        EXPECT_FALSE(watch.expired());
        EXPECT_EQ(YoloComponent::cacheUsers(key), 1u);
    }
    EXPECT_TRUE(watch.expired());
    EXPECT_EQ(YoloComponent::cacheUsers(key), 0u);
    EXPECT_EQ(
        capture.log->count("YoloComponent: threshold: 0.50, cacheId: grid_v5_64.onnx", ILog::LevelDebug), 2u);
}

TEST(YoloComponentTest, AStateDetectorWithTheSameCfgHasADetectorOfItsOwn) {
    json stateNetwork = {{"name", "state"},
                         {"model",
                          {{"definition",
                            {{"path", testModelDir()},
                             {"cfg", "grid_v5_64.onnx"},
                             {"content", {{"files", json::object()}}}}}}}};
    YoloComponent yolo(yoloNetwork());
    StateDetectorYoloComponent state(stateNetwork);
    EXPECT_NE(yolo.detector(), state.detector());
    EXPECT_EQ(YoloComponent::cacheUsers("grid_v5_64.onnx"), 1u);
    EXPECT_EQ(StateDetectorYoloComponent::cacheUsers("grid_v5_64.onnx"), 1u);
}

TEST(YoloComponentTest, AFailedLoadLeavesNoEntry) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_THROW(YoloComponent(yoloNetwork("missing.onnx")), std::runtime_error);
        EXPECT_EQ(YoloComponent::cacheUsers("missing.onnx"), 0u);
    }
}

TEST(YoloComponentTest, KeysFailingAfterTheModelReleaseItAgain) {
    json noContent = yoloNetwork();
    noContent["model"]["definition"].erase("content");
    EXPECT_THROW(YoloComponent{noContent}, ek::ConfigError);
    EXPECT_EQ(YoloComponent::cacheUsers("grid_v5_64.onnx"), 0u);

    json noDestinations = yoloNetwork();
    noDestinations.erase("destinations");
    EXPECT_THROW(ComponentFactory::create("yolo", noDestinations), ek::ConfigError);
    EXPECT_EQ(YoloComponent::cacheUsers("grid_v5_64.onnx"), 0u);

    json badMeta = yoloNetwork();
    badMeta["model"]["definition"]["content"]["meta-information"] = {{"extending-width", "wide"}};
    EXPECT_THROW(YoloComponent{badMeta}, ek::ConfigError);
    EXPECT_EQ(YoloComponent::cacheUsers("grid_v5_64.onnx"), 0u);

    json badThreshold = yoloNetwork();
    badThreshold["treshold"] = "high";
    try {
        YoloComponent component{badThreshold};
        ADD_FAILURE() << "accepted";
    } catch (const ek::ConfigError& e) {
        EXPECT_STREQ(e.what(), R"(treshold: expected a number from 0.0 to 1.0, got string "high")");
    }
}

// A component that is never destroyed (the process ends with it) leaves its entry to the cache's
// own destructor at exit.
TEST(YoloComponentDeathTest, EntriesLeftAtExitAreReportedOnStandardError) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            YoloComponent yolo(yoloNetwork("grid_v8_64.onnx"));
            std::exit(0);  // no unwinding: the component outlives main
        },
        ::testing::ExitedWithCode(0), "~CacheMap\\(\\) forced to release remain 1 instance\\(s\\)");
}

}  // namespace
