#include "platform/yolo/YoloPreprocessor.h"

#include <gtest/gtest.h>

namespace {

float at(const std::vector<float>& v, cv::Size input, int c, int y, int x) {
    return v[static_cast<size_t>(c) * input.area() + static_cast<size_t>(y) * input.width + x];
}

TEST(YoloPreprocessorTest, ChannelFirstRgbScaledToUnitWithGreyPadding) {
    YoloPreprocessor pre({64, 64}, 3);
    pre.setKeepAspect(true);
    cv::Mat blue(64, 128, CV_8UC3, cv::Scalar(255, 0, 0));  // BGR
    auto v = pre.prepare(blue);
    ASSERT_EQ(v.size(), 3u * 64 * 64);
    // image rows land on input rows 16..47; the rest is padding of 114
    EXPECT_FLOAT_EQ(at(v, {64, 64}, 0, 32, 10), 0.f);  // R
    EXPECT_FLOAT_EQ(at(v, {64, 64}, 1, 32, 10), 0.f);  // G
    EXPECT_FLOAT_EQ(at(v, {64, 64}, 2, 32, 10), 1.f);  // B
    for (int c = 0; c < 3; ++c) {
        EXPECT_FLOAT_EQ(at(v, {64, 64}, c, 15, 0), 114.f / 255.f);
        EXPECT_FLOAT_EQ(at(v, {64, 64}, c, 48, 63), 114.f / 255.f);
    }
    EXPECT_FLOAT_EQ(at(v, {64, 64}, 2, 16, 0), 1.f);
    EXPECT_FLOAT_EQ(at(v, {64, 64}, 2, 47, 63), 1.f);
}

TEST(YoloPreprocessorTest, ViewIntoALargerImageGivesTheSameAsACopy) {
    YoloPreprocessor pre({32, 32}, 3);
    pre.setResize(YoloResizeMode::COMPROMISE);
    pre.setKeepAspect(true);
    cv::Mat big(100, 120, CV_8UC3);
    cv::randu(big, 0, 255);
    cv::Mat view = big(cv::Rect(13, 7, 50, 30));
    ASSERT_FALSE(view.isContinuous());
    EXPECT_EQ(pre.prepare(view), pre.prepare(view.clone()));
}

TEST(YoloPreprocessorTest, GreyAndBgraInputsAreConverted) {
    YoloPreprocessor pre({8, 8}, 3);
    cv::Mat grey(8, 8, CV_8UC1, cv::Scalar(51));
    cv::Mat bgra(8, 8, CV_8UC4, cv::Scalar(51, 51, 51, 0));
    auto fromGrey = pre.prepare(grey);
    EXPECT_EQ(fromGrey, pre.prepare(bgra));
    EXPECT_FLOAT_EQ(fromGrey[0], 0.2f);
    YoloPreprocessor single({8, 8}, 1);
    EXPECT_EQ(single.prepare(cv::Mat(8, 8, CV_8UC3, cv::Scalar(51, 51, 51))).size(), 64u);
}

TEST(YoloPreprocessorTest, EmptyImageGivesEmptyInputAndOtherDepthsThrow) {
    YoloPreprocessor pre({8, 8}, 3);
    EXPECT_TRUE(pre.prepare(cv::Mat()).empty());
    EXPECT_THROW(pre.prepare(cv::Mat(8, 8, CV_32FC3)), std::invalid_argument);
    EXPECT_THROW(pre.prepare(cv::Mat(8, 8, CV_8UC2)), std::invalid_argument);
}

TEST(YoloPreprocessorTest, ResizeModesDifferAsNamed) {
    cv::Mat row = (cv::Mat_<uint8_t>(1, 3) << 0, 100, 200);
    cv::Mat bgr;
    cv::Mat planes[] = {row, row, row};
    cv::merge(planes, 3, bgr);
    struct Case {
        YoloResizeMode mode;
        std::vector<int> expected;
    };
    const Case cases[] = {
        {YoloResizeMode::DARKNET, {0, 50, 100, 150, 200}},     // corners aligned: x * 2 / 4
        {YoloResizeMode::COMPROMISE, {0, 40, 100, 160, 200}},  // pixel centres: (x + .5) * 3 / 5 - .5
        {YoloResizeMode::NEAREST, {0, 0, 100, 100, 200}},
    };
    for (const auto& c : cases) {
        YoloPreprocessor pre({5, 1}, 3);
        pre.setResize(c.mode);
        auto v = pre.prepare(bgr);
        SCOPED_TRACE(static_cast<int>(c.mode));
        for (int x = 0; x < 5; ++x) {
            EXPECT_NEAR(v[static_cast<size_t>(x)] * 255.f, c.expected[static_cast<size_t>(x)], 0.51f) << x;
        }
    }
}

}  // namespace
