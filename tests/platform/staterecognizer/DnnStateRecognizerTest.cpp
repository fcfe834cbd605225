#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "qo_common/staterecognizer/IStateRecognizer.h"
#include "tests/models/TestModels.h"

// The channel classifier of tests/models: the brightest mean channel wins ("red", "green", "blue").
namespace {

struct ModelCase {
    const char* name;
    std::string config;
    std::string weights;
};

class BothFormats : public ::testing::TestWithParam<ModelCase> {
  protected:
    std::shared_ptr<IStateRecognizer> make() {
        return createStateRecognizer(GetParam().config, GetParam().weights, testModel("channels.names"));
    }
};

cv::Mat plate(cv::Scalar bgr) {
    return cv::Mat(96, 192, CV_8UC3, bgr);
}

TEST_P(BothFormats, NamesTheDominantChannel) {
    auto r = make();
    struct Case {
        cv::Scalar bgr;
        const char* label;
    };
    const Case cases[] = {{{0, 0, 255}, "red"}, {{0, 200, 40}, "green"}, {{230, 30, 30}, "blue"}};
    for (const auto& c : cases) {
        auto [label, confidence] = r->recognize(plate(c.bgr), 0.5f);
        EXPECT_EQ(label, c.label);
        EXPECT_GT(confidence, 0.9f);
    }
}

TEST_P(BothFormats, BelowTheThresholdTheLabelIsEmptyAndTheConfidenceKept) {
    auto r = make();
    // equal channels: a third each
    auto [label, confidence] = r->recognize(plate({128, 128, 128}), 0.5f);
    EXPECT_EQ(label, "");
    EXPECT_NEAR(confidence, 1.f / 3, 1e-3);
    EXPECT_EQ(r->recognize(plate({128, 128, 128}), 0.3f).first.empty(), false);
}

TEST_P(BothFormats, PrepareFormsAgreeAndFeedRecognize) {
    auto r = make();
    cv::Mat image = plate({0, 0, 255});
    std::vector<float> out;
    r->prepare(image, out);
    EXPECT_EQ(out, r->prepare(image));
    EXPECT_EQ(out.size(), 3u * 32 * 32);
    EXPECT_EQ(r->recognize(out, 0.5f).first, "red");
    EXPECT_TRUE(r->prepare(cv::Mat()).empty());
    EXPECT_EQ(r->recognize(std::vector<float>{}, 0.5f), IStateRecognizer::Result("", 0.f));
    EXPECT_THROW(r->recognize(std::vector<float>(5), 0.5f), std::invalid_argument);
}

TEST_P(BothFormats, SeveralImagesAreDecidedTogether) {
    auto r = make();
    // two clearly red, one clearly blue: red has about two thirds of the averaged probability
    auto [label, confidence] =
        r->recognize(std::vector<cv::Mat>{plate({0, 0, 255}), plate({255, 0, 0}), plate({0, 0, 255})}, 0.5f);
    EXPECT_EQ(label, "red");
    EXPECT_NEAR(confidence, 2.f / 3, 1e-3);
    EXPECT_EQ(r->recognize(std::vector<cv::Mat>{}, 0.5f), IStateRecognizer::Result("", 0.f));
}

INSTANTIATE_TEST_SUITE_P(Models, BothFormats,
                         ::testing::Values(ModelCase{"onnx", testModel("channels_32.onnx"), ""},
                                           ModelCase{"darknet", testModel("channels_32.cfg"),
                                                     testModel("channels_32.weights")}),
                         [](const auto& info) { return std::string(info.param.name); });

std::string createError(const std::string& config, const std::string& weights, const std::string& names) {
    try {
        createStateRecognizer(config, weights, names);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

TEST(DnnStateRecognizerTest, FailuresNameTheFile) {
    auto names = testModel("channels.names");
    EXPECT_NE(createError(testModel("nothing.onnx"), "", names).find("nothing.onnx"), std::string::npos);
    EXPECT_NE(createError(testModel("channels_32.onnx"), "", testModel("no.names")).find("no.names"),
              std::string::npos);
    auto twoNames = testModelDir() + "/two.names";
    std::ofstream(twoNames) << "a\nb\n\n";
    EXPECT_NE(createError(testModel("channels_32.onnx"), "", twoNames).find("two.names"), std::string::npos);
}

TEST(DnnStateRecognizerTest, PrepareAndRecognizeFromTwoThreads) {
    auto r = createStateRecognizer(testModel("channels_32.onnx"), "", testModel("channels.names"));
    std::atomic<int> wrong{0};
    auto worker = [&](cv::Scalar bgr, const char* label) {
        for (int i = 0; i < 30; ++i) {
            if (r->recognize(r->prepare(plate(bgr)), 0.5f).first != label) {
                ++wrong;
            }
        }
    };
    std::thread a(worker, cv::Scalar(0, 0, 255), "red");
    std::thread b(worker, cv::Scalar(255, 0, 0), "blue");
    a.join();
    b.join();
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
