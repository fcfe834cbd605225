#include "qo_common/utils/ConfigReader.h"
#include "qo_common/yolo/MultisizeYoloDetector.h"

#include <gtest/gtest.h>

#include <cmath>
#include <thread>

#include "tests/models/TestModels.h"

// The grid detectors of tests/models: 16 x 16 cells, white -> class 0, magenta -> 1, cyan -> 2.
namespace {

using nlohmann::json;

json onnxModel(const std::string& file, json extra = json::object()) {
    json model = {{"definition",
                   {{"path", testModelDir()},
                    {"cfg", file},
                    {"content", {{"files", {{"class-names", "grid.names"}}}}}}}};
    model.update(extra);
    return model;
}

json darknetModel() {
    return {{"definition",
             {{"path", testModelDir()},
              {"cfg", "grid_64.cfg"},
              {"content", {{"files", {{"weights", "grid_64.weights"}, {"class-names", "grid.names"}}}}}}}};
}

const cv::Scalar kWhite(255, 255, 255);
const cv::Scalar kMagenta(255, 0, 255);
const cv::Scalar kCyan(255, 255, 0);

cv::Mat blackWith(cv::Size size, std::vector<std::pair<cv::Rect, cv::Scalar>> squares) {
    cv::Mat image(size, CV_8UC3, cv::Scalar::all(0));
    for (const auto& [r, colour] : squares) {
        image(r).setTo(colour);
    }
    return image;
}

std::vector<YoloObjectInfo> detect(MultisizeYoloDetector& d, const cv::Mat& image) {
    return d.infer(d.prepare(image), image.size());
}

struct ModelCase {
    const char* name;
    json model;
};

class EveryLayout : public ::testing::TestWithParam<ModelCase> {};

TEST_P(EveryLayout, FindsTheColouredCellsWithTheirClasses) {
    auto d = MultisizeYoloDetector::load(GetParam().model);
    d.thresh = 0.5f;
    EXPECT_EQ(d.inputSize(), cv::Size(64, 64));
    auto found = detect(d, blackWith({64, 64}, {{{16, 16, 16, 16}, kWhite}, {{48, 32, 16, 16}, kMagenta}}));
    ASSERT_EQ(found.size(), 2u);
    std::sort(found.begin(), found.end(), [](auto& a, auto& b) { return a.classId < b.classId; });
    EXPECT_EQ(found[0].rect(), cv::Rect(16, 16, 16, 16));
    EXPECT_EQ(found[0].className, "white");
    EXPECT_GT(found[0].detectionConfidence, 0.99f);
    EXPECT_EQ(found[1].rect(), cv::Rect(48, 32, 16, 16));
    EXPECT_EQ(found[1].classId, 1);
    EXPECT_EQ(found[1].className, "magenta");
}

INSTANTIATE_TEST_SUITE_P(Models, EveryLayout,
                         ::testing::Values(ModelCase{"v5", onnxModel("grid_v5_64.onnx")},
                                           ModelCase{"v8", onnxModel("grid_v8_64.onnx")},
                                           ModelCase{"darknet", darknetModel()}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(MultisizeYoloDetectorTest, UndoesTheLetterboxForWideAndTallFrames) {
    auto d = MultisizeYoloDetector::load(onnxModel("grid_v5_64.onnx", {{"keepAspect", true}}));
    d.thresh = 0.5f;
    // 128 x 64 at scale 0.5, 16 rows of padding on top: frame (32, 0, 32, 32) is input cell (1, 1).
    auto wide = detect(d, blackWith({128, 64}, {{{32, 0, 32, 32}, kWhite}}));
    ASSERT_EQ(wide.size(), 1u);
    EXPECT_EQ(wide[0].rect(), cv::Rect(32, 0, 32, 32));
    auto tall = detect(d, blackWith({64, 128}, {{{0, 96, 32, 32}, kWhite}}));
    ASSERT_EQ(tall.size(), 1u);
    EXPECT_EQ(tall[0].rect(), cv::Rect(0, 96, 32, 32));
}

TEST(MultisizeYoloDetectorTest, WithoutAspectKeepingStretches) {
    auto d = MultisizeYoloDetector::load(onnxModel("grid_v5_64.onnx"));
    d.thresh = 0.5f;
    auto found = detect(d, blackWith({128, 64}, {{{64, 16, 32, 16}, kWhite}}));
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].rect(), cv::Rect(64, 16, 32, 16));
}

TEST(MultisizeYoloDetectorTest, NonSquareInputAndViews) {
    auto d = MultisizeYoloDetector::load(onnxModel("grid_v5_96x64.onnx", {{"keepAspect", true}}));
    d.thresh = 0.5f;
    EXPECT_EQ(d.inputSize(), cv::Size(96, 64));
    // a 64 x 64 view is centred with dx = 16: input cell (2, 1) is view (16, 16, 16, 16)
    cv::Mat big = blackWith({200, 100}, {{{50 + 16, 20 + 16, 16, 16}, kWhite}});
    cv::Mat view = big(cv::Rect(50, 20, 64, 64));
    auto found = detect(d, view);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].rect(), cv::Rect(16, 16, 16, 16));
}

TEST(MultisizeYoloDetectorTest, BoxesAreClampedAndNeverEmpty) {
    // The 32 x 32 anchor of the two-anchor model reaches 8 px past a corner cell.
    auto d = MultisizeYoloDetector::load(onnxModel("grid_v5_64_a2.onnx"));
    d.thresh = 0.5f;
    auto found = detect(d, blackWith({64, 64}, {{{0, 0, 16, 16}, kWhite}}));
    ASSERT_EQ(found.size(), 2u);
    for (const auto& o : found) {
        EXPECT_GE(o.left, 0);
        EXPECT_GE(o.top, 0);
        EXPECT_GT(o.width, 0);
        EXPECT_GT(o.height, 0);
    }
    std::sort(found.begin(), found.end(), [](auto& a, auto& b) { return a.width < b.width; });
    EXPECT_EQ(found[0].rect(), cv::Rect(0, 0, 16, 16));
    EXPECT_EQ(found[1].rect(), cv::Rect(0, 0, 24, 24));
    // mapped into a 1 x 1 image every box is that one pixel
    auto tiny = d.infer(d.prepare(blackWith({64, 64}, {{{0, 0, 16, 16}, kWhite}})), {1, 1});
    for (const auto& o : tiny) {
        EXPECT_EQ(o.rect(), cv::Rect(0, 0, 1, 1));
    }
}

TEST(MultisizeYoloDetectorTest, SuppressionFollowsTheModelsNmsKey) {
    cv::Mat image = blackWith({64, 64}, {{{16, 16, 16, 16}, kWhite}, {{32, 16, 16, 16}, kMagenta}});
    auto loose = MultisizeYoloDetector::load(onnxModel("grid_v5_64_a2.onnx"));
    loose.thresh = 0.5f;
    EXPECT_EQ(detect(loose, image).size(), 4u);  // concentric anchors overlap by IoU 0.25
    auto strict = MultisizeYoloDetector::load(onnxModel("grid_v5_64_a2.onnx", {{"nms", 0.2}}));
    strict.thresh = 0.5f;
    auto found = detect(strict, image);
    ASSERT_EQ(found.size(), 2u);  // one per class: other classes never suppress each other
    EXPECT_NE(found[0].classId, found[1].classId);
}

TEST(MultisizeYoloDetectorTest, ThresholdDropsLessConfidentObjects) {
    // light grey: objectness ~1, class "white" ~0.8
    cv::Mat image = blackWith({64, 64}, {{{0, 0, 16, 16}, kWhite}, {{32, 32, 16, 16}, cv::Scalar::all(200)}});
    auto d = MultisizeYoloDetector::load(onnxModel("grid_v5_64.onnx"));
    d.thresh = 0.5f;
    EXPECT_EQ(detect(d, image).size(), 2u);
    d.thresh = 0.9f;
    auto found = detect(d, image);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].rect(), cv::Rect(0, 0, 16, 16));
}

TEST(MultisizeYoloDetectorTest, EmptyAndWrongInputs) {
    auto d = MultisizeYoloDetector::load(onnxModel("grid_v5_64.onnx"));
    EXPECT_TRUE(d.prepare(cv::Mat()).empty());
    EXPECT_TRUE(d.infer({}, {64, 64}).empty());
    EXPECT_THROW(d.infer(std::vector<float>(10), {64, 64}), std::invalid_argument);
}

TEST(MultisizeYoloDetectorTest, LoadReadsSettingsFromTheModelObject) {
    auto d = MultisizeYoloDetector::load(
        onnxModel("grid_v5_64.onnx", {{"resize", 3}, {"keepAspect", true}, {"threshold", 0.7}}));
    EXPECT_EQ(d.resize(), YoloResizeMode::DARKNET);
    EXPECT_TRUE(d.keepAspect());
    EXPECT_FLOAT_EQ(d.yoloThresh(), 0.7f);
    EXPECT_EQ(d.classNames(), (std::vector<std::string>{"white", "magenta", "cyan"}));
    EXPECT_THROW(d.setResize(static_cast<YoloResizeMode>(4)), std::invalid_argument);
}

TEST(MultisizeYoloDetectorTest, WithoutNamesTheClassIdIsTheName) {
    json model = {{"definition", {{"cfg", testModel("grid_v5_64.onnx")}}}};
    auto d = MultisizeYoloDetector::load(model);
    d.thresh = 0.5f;
    auto found = detect(d, blackWith({64, 64}, {{{0, 0, 16, 16}, kMagenta}}));
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].className, "1");
}

std::string loadError(const json& model) {
    try {
        MultisizeYoloDetector::load(model);
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

TEST(MultisizeYoloDetectorTest, LoadFailuresNameTheFile) {
    EXPECT_NE(loadError(onnxModel("missing.onnx")).find("missing.onnx"), std::string::npos);
    json dark = darknetModel();
    dark["definition"]["content"]["files"].erase("weights");
    EXPECT_NE(loadError(dark).find("weights"), std::string::npos);
    json fewNames = onnxModel("grid_v5_64.onnx");
    fewNames["definition"]["content"]["files"]["class-names"] = "channels.names";  // 3 names, fine
    EXPECT_EQ(loadError(fewNames), "");
    json wrongLayout = onnxModel("grid_v5_64.onnx", {{"layout", "yolov8"}});
    EXPECT_NE(loadError(wrongLayout).find("grid_v5_64.onnx"), std::string::npos);
    EXPECT_EQ(loadError(json::object()), "definition: missing, expected an object");
    EXPECT_EQ(loadError(onnxModel("grid_v5_64.onnx", {{"nms", 2}})),
              "nms: expected a number from 0.0 to 1.0, got number 2");
    EXPECT_EQ(loadError(onnxModel("grid_v5_64.onnx", {{"resize", 7}})),
              "resize: expected an integer from 0 to 3, got number 7");
}

TEST(MultisizeYoloDetectorTest, ConcurrentInferOnOneDetectorGivesTheSameResults) {
    auto d = MultisizeYoloDetector::load(onnxModel("grid_v5_64.onnx"));
    d.thresh = 0.5f;
    cv::Mat a = blackWith({64, 64}, {{{0, 0, 16, 16}, kWhite}});
    cv::Mat b = blackWith({64, 64}, {{{48, 48, 16, 16}, kMagenta}, {{0, 48, 16, 16}, kWhite}});
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20; ++i) {
                const cv::Mat& image = (t + i) % 2 ? a : b;
                if (detect(d, image).size() != ((t + i) % 2 ? 1u : 2u)) {
                    ++wrong;
                }
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(wrong.load(), 0);
}

TEST(MultisizeYoloDetectorTest, ParallelInferMatchesInferAloneOverATableOfFrames) {
    auto d = MultisizeYoloDetector::load(onnxModel("grid_v5_64.onnx"));
    d.thresh = 0.3f;
    const std::vector<cv::Mat> frames = {
        blackWith({64, 64}, {{{0, 0, 16, 16}, kWhite}}),
        blackWith({64, 64}, {{{48, 48, 16, 16}, kMagenta}, {{0, 48, 16, 16}, kWhite}}),
        blackWith({128, 64}, {{{16, 16, 32, 32}, kCyan}}),
        blackWith({64, 64}, {}),
        blackWith({96, 160}, {{{0, 0, 32, 32}, kWhite}, {{64, 96, 32, 32}, kMagenta}}),
    };
    std::vector<std::vector<YoloObjectInfo>> alone;
    for (const auto& f : frames) {
        alone.push_back(detect(d, f));
    }
    constexpr size_t kUsers = 3;
    d.setUsers(kUsers);
    std::atomic<int> differing{0};
    std::vector<std::thread> threads;
    for (size_t t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (size_t i = 0; i < 25; ++i) {
                const size_t which = (t + i) % frames.size();
                const auto got = detect(d, frames[which]);
                const auto& want = alone[which];
                bool same = got.size() == want.size();
                for (size_t k = 0; same && k < got.size(); ++k) {
                    same = got[k].rect() == want[k].rect() && got[k].classId == want[k].classId &&
                           std::fabs(got[k].detectionConfidence - want[k].detectionConfidence) <= 1e-5f;
                }
                differing += same ? 0 : 1;
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(differing.load(), 0);
    EXPECT_LE(d.pooledNets(), kUsers);
}

}  // namespace
