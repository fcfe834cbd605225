#include "qo_common/utils/ConfigReader.h"
#include "src/components/StateDetectorYoloComponent.h"

#include <gtest/gtest.h>

#include <fstream>

#include "tests/src/components/NetworkConfigs.h"
#include "tests/support/CapturingLog.h"
#include "tests/support/TempDir.h"

namespace {

using namespace test_networks;
using nlohmann::json;
using Settings = std::map<std::string, StateDetectorYoloComponent::ClassSettings>;

YoloObjectInfo object(const std::string& className, float confidence, int classId = 0) {
    YoloObjectInfo o;
    o.className = className;
    o.detectionConfidence = confidence;
    o.classId = classId;
    return o;
}

TEST(StateDetectorChoiceTest, ListedPlainClassesOnLprAnyUnderscoredClassOnOv) {
    const Settings settings = {{"NY_plate", {false}}, {"CA_color", {true}}};
    struct Case {
        const char* what;
        std::vector<YoloObjectInfo> objects;
        CameraType camera;
        std::string expected;  // class name of the choice, "" for none
    };
    const Case cases[] = {
        {"LPR: the listed 0.6 beats the unlisted 0.9",
         {object("NY_plate", 0.6f), object("TX_plate", 0.9f)},
         CameraType::LPR,
         "NY_plate"},
        {"OV: the most confident with an underscore",
         {object("NY_plate", 0.6f), object("TX_plate", 0.9f)},
         CameraType::OV,
         "TX_plate"},
        {"no underscore never qualifies", {object("NYplate", 0.9f)}, CameraType::OV, ""},
        {"no underscore, even listed",
         {object("NYplate", 0.9f), object("NY_plate", 0.1f)},
         CameraType::LPR,
         "NY_plate"},
        {"listed with color only on OV", {object("CA_color", 0.8f)}, CameraType::LPR, ""},
        {"listed with color on OV", {object("CA_color", 0.8f)}, CameraType::OV, "CA_color"},
        {"nothing found", {}, CameraType::OV, ""},
    };
    for (auto c : cases) {
        const YoloObjectInfo* chosen = StateDetectorYoloComponent::chooseState(c.objects, settings, c.camera);
        EXPECT_EQ(chosen ? chosen->className : "", c.expected) << c.what;
    }
}

// The grid detector as a state detector: class names carry a state in their first letters.
class StateDetectorYoloComponentTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::ofstream(dir.file("states.names")) << "NY_white\nC_\nTX\n";
        std::ofstream(dir.file("classes.json")) << R"({"classes": [{"label": "NY_white"},
            {"label": "C_", "color": false}, {"label": "NY_white", "color": true}]})";
    }

    json network(json imageSources = nullptr, bool classSettings = true) {
        json files = {{"class-names", "states.names"}};
        if (classSettings) {
            files["class-settings"] = "classes.json";
        }
        json model = {{"definition",
                       {{"path", dir.path().string()},
                        {"cfg", testModel("grid_v5_64.onnx")},
                        {"content", {{"files", files}}}}},
                      {"threshold", 0.5}};
        if (!imageSources.is_null()) {
            model["image-sources"] = imageSources;
        }
        return {{"name", "states"}, {"type", "StateDetectorYolo"}, {"model", model}};
    }

    // A 128 x 64 frame with one plate box covering its left half, in which a white cell is at
    // crop (16, 16) and a magenta one at crop (32, 32).
    static std::shared_ptr<FrameWithInfo> plateFrame(CameraType camera) {
        auto frame = frameWith({128, 64}, {{{16, 16, 16, 16}, kWhite}, {{32, 32, 16, 16}, kMagenta}});
        frame->frame->cameraType = camera;
        YoloObjectInfo plate;
        plate.id = 4;
        plate.width = 64;
        plate.height = 64;
        frame->yoloInfo.push_back(plate);
        return frame;
    }

    TempDir dir;
};

TEST_F(StateDetectorYoloComponentTest, StatesFromTheCropsOfPlateBoxes) {
    CapturingLog::Installed capture;
    StateDetectorYoloComponent states(network());
    auto frame = plateFrame(CameraType::OV);
    states.prepare(frame);
    ASSERT_EQ(frame->stateDetections.size(), 1u);
    EXPECT_FALSE(frame->stateDetections[0].prepared.empty());
    EXPECT_EQ(frame->stateDetections[0].rect, cv::Rect(0, 0, 64, 64));
    states.infer(frame);
    ASSERT_EQ(frame->stateDetections.size(), 1u);
    const auto& d = frame->stateDetections[0];
    // white ("NY_white") and magenta ("C_") are both found and equally sure; white comes first
    EXPECT_EQ(d.value, "NY");
    EXPECT_EQ(d.classId, 0);
    EXPECT_EQ(d.idYoloInfo, 4u);
    EXPECT_EQ(d.rect, cv::Rect(16, 16, 16, 16));
    EXPECT_GT(d.confidence, 0.99f);
    EXPECT_TRUE(d.prepared.empty());
    EXPECT_TRUE(
        capture.log->contains("StateDetectorYoloComponent - Found state: NY confidence:", ILog::LevelDebug));
}

TEST_F(StateDetectorYoloComponentTest, TwoCharacterClassNameGivesBothCharacters) {
    StateDetectorYoloComponent states(network());
    auto frame = frameWith({64, 64}, {{{16, 16, 16, 16}, kMagenta}});
    frame->frame->cameraType = CameraType::OV;
    frame->yoloInfo.push_back(YoloObjectInfo{0, 0, 0, 64, 64, 0, "", 1.f});
    states.prepare(frame);
    states.infer(frame);
    ASSERT_EQ(frame->stateDetections.size(), 1u);
    EXPECT_EQ(frame->stateDetections[0].value, "C_");
}

TEST_F(StateDetectorYoloComponentTest, NothingFoundOrNoQualifyingClassGivesNoState) {
    StateDetectorYoloComponent states(network());
    auto frame = plateFrame(CameraType::OV);
    frame->frame->image.setTo(cv::Scalar::all(0));  // nothing in the crop
    YoloObjectInfo second = frame->yoloInfo[0];
    second.id = 5;
    frame->yoloInfo.push_back(second);
    states.prepare(frame);
    EXPECT_EQ(frame->stateDetections.size(), 2u);
    states.infer(frame);
    EXPECT_TRUE(frame->stateDetections.empty());

    auto cyan = frameWith({64, 64}, {{{0, 0, 16, 16}, kCyan}});  // class "TX": no underscore
    cyan->frame->cameraType = CameraType::OV;
    cyan->yoloInfo.push_back(YoloObjectInfo{0, 0, 0, 64, 64, 0, "", 1.f});
    states.prepare(cyan);
    states.infer(cyan);
    EXPECT_TRUE(cyan->stateDetections.empty());
}

TEST_F(StateDetectorYoloComponentTest, OnLprCamerasOnlyListedPlainClassesCount) {
    StateDetectorYoloComponent states(network(json::array({"lpr"})));
    // the class-settings file lists NY_white first with color false; its later color true is ignored
    EXPECT_FALSE(states.classSettings().at("NY_white").color);
    auto frame = plateFrame(CameraType::LPR);
    states.prepare(frame);
    states.infer(frame);
    ASSERT_EQ(frame->stateDetections.size(), 1u);
    EXPECT_EQ(frame->stateDetections[0].value, "NY");
}

TEST_F(StateDetectorYoloComponentTest, FramesOfOtherCameraTypesKeepTheStatesTheyCarry) {
    StateDetectorYoloComponent states(network(json::array({"lpr"})));
    auto frame = plateFrame(CameraType::OV);
    StateDetection earlier;
    earlier.value = "CA";
    earlier.confidence = 0.7f;
    frame->stateDetections.push_back(earlier);
    states.prepare(frame);
    states.infer(frame);
    ASSERT_EQ(frame->stateDetections.size(), 1u);
    EXPECT_EQ(frame->stateDetections[0].value, "CA");
    EXPECT_FLOAT_EQ(frame->stateDetections[0].confidence, 0.7f);
}

TEST_F(StateDetectorYoloComponentTest, ImageSourcesSelectCameraTypes) {
    struct Case {
        json sources;
        std::set<CameraType> expected;
    };
    const Case cases[] = {
        {nullptr, {CameraType::OV}},
        {json::array(), {CameraType::OV}},
        {json::array({"face", "front"}), {CameraType::OV}},
        {json::array({"lpr"}), {CameraType::LPR}},
        {json::array({"lpr", "ov"}), {CameraType::LPR, CameraType::OV}},
    };
    for (const auto& c : cases) {
        StateDetectorYoloComponent states(network(c.sources, false));
        EXPECT_EQ(states.imageSources(), c.expected) << c.sources.dump();
        EXPECT_TRUE(states.classSettings().empty());
    }
}

TEST_F(StateDetectorYoloComponentTest, BoxesWithoutAreaInTheImageAreNotCropped) {
    StateDetectorYoloComponent states(network());
    auto frame = plateFrame(CameraType::OV);
    frame->yoloInfo.push_back(YoloObjectInfo{7, 10, 10, 0, 20, 0, "", 1.f});    // no width
    frame->yoloInfo.push_back(YoloObjectInfo{8, 500, 10, 20, 20, 0, "", 1.f});  // outside the image
    frame->yoloInfo.push_back(YoloObjectInfo{9, 120, 0, 30, 64, 0, "", 1.f});   // partly outside
    states.prepare(frame);
    ASSERT_EQ(frame->stateDetections.size(), 2u);
    EXPECT_EQ(frame->stateDetections[1].idYoloInfo, 9u);
    EXPECT_EQ(frame->stateDetections[1].rect, cv::Rect(0, 0, 8, 64));
    states.infer(frame);
}

TEST_F(StateDetectorYoloComponentTest, TheDetectorIsSharedByCfgAndReleased) {
    {
        StateDetectorYoloComponent a(network());
        StateDetectorYoloComponent b(network(json::array({"lpr"})));
        EXPECT_EQ(a.detector(), b.detector());
        EXPECT_EQ(StateDetectorYoloComponent::cacheUsers(testModel("grid_v5_64.onnx")), 2u);
    }
    EXPECT_EQ(StateDetectorYoloComponent::cacheUsers(testModel("grid_v5_64.onnx")), 0u);
}

TEST_F(StateDetectorYoloComponentTest, MissingKeysAndFilesFail) {
    json noPath = network();
    noPath["model"]["definition"].erase("path");
    EXPECT_THROW(StateDetectorYoloComponent{noPath}, ek::ConfigError);
    json badSettings = network();
    badSettings["model"]["definition"]["content"]["files"]["class-settings"] = "missing.json";
    EXPECT_THROW(StateDetectorYoloComponent{badSettings}, std::runtime_error);
    EXPECT_EQ(StateDetectorYoloComponent::cacheUsers(testModel("grid_v5_64.onnx")), 0u);
}

}  // namespace
