#include "qo_common/utils/ConfigReader.h"
#include "src/components/StateRecognizerComponent.h"

#include <gtest/gtest.h>

#include "src/components/ComponentFactory.h"
#include "tests/models/TestModels.h"

namespace {

using nlohmann::json;

json recognizerNetwork(json extra = json::object()) {
    json network = {{"name", "state_recognizer"},
                    {"type", "StateRecognizer"},
                    {"destinations", json::array()},
                    {"model",
                     {{"definition",
                       {{"path", testModelDir()},
                        {"content",
                         {{"files",
                           {{"config", "channels_32.cfg"},
                            {"weights", "channels_32.weights"},
                            {"class-names", "channels.names"}}}}}}}}}};
    network.update(extra);
    return network;
}

LPRDetection reading(uint64_t id, cv::Scalar bgr, cv::Size size = {120, 40}) {
    LPRDetection r;
    r.idYoloInfo = id;
    r.plate = cv::Mat(size, CV_8UC3, bgr);
    return r;
}

TEST(StateRecognizerComponentTest, EveryReadingGetsAStateFromItsOwnImage) {
    StateRecognizerComponent recognizer(recognizerNetwork());
    auto frame = std::make_shared<FrameWithInfo>();
    // one plate box read three times (best reading and two alternatives)
    frame->lprDetections = {reading(3, {0, 0, 255}), reading(3, {0, 255, 0}, {90, 30}),
                            reading(3, {255, 0, 0})};
    recognizer.prepare(frame);
    ASSERT_EQ(frame->stateDetections.size(), 3u);
    EXPECT_EQ(frame->stateDetections[1].rect, cv::Rect(0, 0, 90, 30));
    EXPECT_FALSE(frame->stateDetections[1].prepared.empty());
    recognizer.infer(frame);
    const char* expected[] = {"red", "green", "blue"};
    for (size_t i = 0; i < 3; ++i) {
        const auto& d = frame->stateDetections[i];
        EXPECT_EQ(d.value, expected[i]);
        EXPECT_GT(d.confidence, 0.9f);
        EXPECT_EQ(d.classId, -1);
        EXPECT_EQ(d.idYoloInfo, 3u);
        EXPECT_TRUE(d.prepared.empty());
    }
}

TEST(StateRecognizerComponentTest, AFrameWithoutReadingsLeavesWithNoStates) {
    StateRecognizerComponent recognizer(recognizerNetwork());
    auto frame = std::make_shared<FrameWithInfo>();
    frame->stateDetections.resize(2);
    recognizer.prepare(frame);
    recognizer.infer(frame);
    EXPECT_TRUE(frame->stateDetections.empty());
}

TEST(StateRecognizerComponentTest, ThresholdDefaultsToOneHalfAndEmptyLabelsStay) {
    struct Case {
        json extra;
        float threshold;
        std::string label;
    };
    const Case cases[] = {{json::object(), 0.5f, ""}, {{{"threshold", 0.3}}, 0.3f, "red"}};
    for (const auto& c : cases) {
        StateRecognizerComponent recognizer(recognizerNetwork(c.extra));
        EXPECT_FLOAT_EQ(recognizer.threshold, c.threshold);
        auto frame = std::make_shared<FrameWithInfo>();
        frame->lprDetections = {reading(1, {128, 128, 128})};  // a third for each class
        recognizer.prepare(frame);
        recognizer.infer(frame);
        ASSERT_EQ(frame->stateDetections.size(), 1u);  // kept, whatever the label
        EXPECT_NEAR(frame->stateDetections[0].confidence, 1.f / 3, 1e-3);
        // at equal probabilities the first class ("red") is the best
        EXPECT_EQ(frame->stateDetections[0].value, c.label);
    }
}

TEST(StateRecognizerComponentTest, PoisonFramesAreNotRecognised) {
    StateRecognizerComponent recognizer(recognizerNetwork());
    auto poison = FrameWithInfo::makePoison();
    poison->lprDetections = {reading(1, {0, 0, 255})};
    recognizer.prepare(poison);
    recognizer.infer(poison);
    ASSERT_EQ(poison->stateDetections.size(), 1u);
    EXPECT_EQ(poison->stateDetections[0].value, "");
}

TEST(StateRecognizerComponentTest, OnnxModelAndTheFactory) {
    json onnx = recognizerNetwork();
    onnx["model"]["definition"]["content"]["files"] = {
        {"config", "channels_32.onnx"}, {"weights", "channels_32.onnx"}, {"class-names", "channels.names"}};
    auto component = ComponentFactory::create("StateRecognizer", onnx);
    auto frame = std::make_shared<FrameWithInfo>();
    frame->lprDetections = {reading(1, {255, 0, 0})};
    component->prepare(frame);
    component->infer(frame);
    ASSERT_EQ(frame->stateDetections.size(), 1u);
    EXPECT_EQ(frame->stateDetections[0].value, "blue");
}

TEST(StateRecognizerComponentTest, MissingKeysAndFilesFail) {
    json noNames = recognizerNetwork();
    noNames["model"]["definition"]["content"]["files"].erase("class-names");
    EXPECT_THROW(StateRecognizerComponent{noNames}, ek::ConfigError);
    json badThreshold = recognizerNetwork({{"threshold", "high"}});
    EXPECT_THROW(StateRecognizerComponent{badThreshold}, ek::ConfigError);
    json missingFile = recognizerNetwork();
    missingFile["model"]["definition"]["content"]["files"]["weights"] = "missing.weights";
    EXPECT_THROW(StateRecognizerComponent{missingFile}, std::runtime_error);
}

}  // namespace
