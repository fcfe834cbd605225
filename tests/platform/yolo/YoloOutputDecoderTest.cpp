#include "platform/yolo/YoloOutputDecoder.h"

#include <gtest/gtest.h>

namespace {

cv::Mat tensor3(int a, int b, const std::vector<float>& values) {
    int dims[] = {1, a, b};
    cv::Mat m(3, dims, CV_32F, cv::Scalar(0));
    std::copy(values.begin(), values.end(), m.ptr<float>());
    return m;
}

TEST(YoloOutputDecoderTest, ChoosesTheLayoutByShapeAndClassCount) {
    struct Case {
        int a, b, classes;
        YoloLayout expected;
    };
    const Case cases[] = {
        {25200, 85, -1, YoloLayout::V5},
        {84, 8400, -1, YoloLayout::V8},
        {16, 8, 3, YoloLayout::V5},
        {7, 16, 3, YoloLayout::V8},
        {6, 6, 1, YoloLayout::V5},
        // fits both: the larger dimension is taken as the box count
        {5, 6, 1, YoloLayout::V8},
    };
    for (const auto& c : cases) {
        std::vector<cv::Mat> outs{tensor3(c.a, c.b, {})};
        EXPECT_EQ(YoloOutputDecoder::chooseLayout("auto", outs, c.classes), c.expected) << c.a << "x" << c.b;
    }
    std::vector<cv::Mat> outs{tensor3(16, 8, {})};
    EXPECT_EQ(YoloOutputDecoder::chooseLayout("yolov8", outs, -1), YoloLayout::V8);
    EXPECT_EQ(YoloOutputDecoder::chooseLayout("darknet", outs, -1), YoloLayout::Darknet);
    EXPECT_THROW(YoloOutputDecoder::chooseLayout("ssd", outs, -1), std::runtime_error);
    // 8 columns cannot carry 5 classes in either layout
    EXPECT_THROW(YoloOutputDecoder::chooseLayout("auto", outs, 5), std::runtime_error);
    std::vector<cv::Mat> two{tensor3(16, 8, {}), tensor3(16, 8, {})};
    EXPECT_THROW(YoloOutputDecoder::chooseLayout("auto", two, -1), std::runtime_error);
}

TEST(YoloOutputDecoderTest, V5ConfidenceIsObjectnessTimesClassAndThresholdIsStrict) {
    // cx, cy, w, h, obj, c0, c1
    auto out = tensor3(3, 7, {10, 10, 4, 4, 0.9f, 0.2f, 0.8f,  //
                              30, 30, 4, 4, 0.5f, 1.0f, 0.0f,  //
                              50, 50, 4, 4, 1.0f, 0.3f, 0.1f});
    YoloOutputDecoder d(YoloLayout::V5, 2, {64, 64}, 0.45f);
    auto found = d.decode({out}, 0.5f);
    ASSERT_EQ(found.size(), 1u);  // 0.72 passes; 0.5 is not above 0.5; 0.3 is below
    EXPECT_EQ(found[0].classId, 1);
    EXPECT_NEAR(found[0].confidence, 0.72f, 1e-6);
    EXPECT_DOUBLE_EQ(found[0].box.x, 8);
    EXPECT_DOUBLE_EQ(found[0].box.width, 4);
}

TEST(YoloOutputDecoderTest, V8ReadsColumnsAndDarknetScalesFractions) {
    auto v8 = tensor3(6, 2, {10, 40, 20, 40, 8, 8, 8, 8, 0.1f, 0.7f, 0.9f, 0.2f});
    auto found = YoloOutputDecoder(YoloLayout::V8, 2, {64, 64}, 0.45f).decode({v8}, 0.25f);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].classId, 1);
    EXPECT_FLOAT_EQ(found[0].confidence, 0.9f);
    EXPECT_DOUBLE_EQ(found[0].box.x, 6);
    EXPECT_EQ(found[1].classId, 0);
    EXPECT_DOUBLE_EQ(found[1].box.y, 36);

    cv::Mat dark = (cv::Mat_<float>(1, 6) << 0.5f, 0.25f, 0.125f, 0.25f, 0.9f, 0.6f);
    auto fromDarknet = YoloOutputDecoder(YoloLayout::Darknet, 1, {64, 32}, 0.45f).decode({dark}, 0.5f);
    ASSERT_EQ(fromDarknet.size(), 1u);
    EXPECT_FLOAT_EQ(fromDarknet[0].confidence, 0.6f);  // the class column already is obj * class
    EXPECT_DOUBLE_EQ(fromDarknet[0].box.x, 28);
    EXPECT_DOUBLE_EQ(fromDarknet[0].box.y, 4);
    EXPECT_DOUBLE_EQ(fromDarknet[0].box.width, 8);
    EXPECT_DOUBLE_EQ(fromDarknet[0].box.height, 8);
}

TEST(YoloOutputDecoderTest, SuppressionIsPerClassAndOrderIsByConfidence) {
    auto out = tensor3(4, 7, {20, 20, 10, 10, 1, 0.8f, 0,     //
                              21, 20, 10, 10, 1, 0.9f, 0,     // overlaps the first: suppresses it
                              20, 20, 10, 10, 1, 0,    0.7f,  // same place, other class: kept
                              50, 50, 10, 10, 1, 0.9f, 0});
    auto found = YoloOutputDecoder(YoloLayout::V5, 2, {64, 64}, 0.45f).decode({out}, 0.1f);
    ASSERT_EQ(found.size(), 3u);
    EXPECT_DOUBLE_EQ(found[0].box.x, 16);  // 0.9, upper first among equals
    EXPECT_DOUBLE_EQ(found[1].box.x, 45);
    EXPECT_EQ(found[2].classId, 1);
}

TEST(YoloOutputDecoderTest, OutputOfAnotherShapeThrows) {
    YoloOutputDecoder d(YoloLayout::V5, 2, {64, 64}, 0.45f);
    EXPECT_THROW(d.decode({tensor3(3, 8, {})}, 0.5f), std::runtime_error);
    EXPECT_THROW(YoloOutputDecoder::classCount(YoloLayout::V5, {tensor3(3, 5, {})}), std::runtime_error);
    EXPECT_EQ(YoloOutputDecoder::classCount(YoloLayout::V8, {tensor3(7, 16, {})}), 3);
}

}  // namespace
