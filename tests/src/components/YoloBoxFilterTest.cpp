#include "src/components/YoloBoxFilter.h"

#include <gtest/gtest.h>

namespace {

YoloObjectInfo box(int left, int top, int width, int height, int classId = 0) {
    YoloObjectInfo o;
    o.left = left;
    o.top = top;
    o.width = width;
    o.height = height;
    o.classId = classId;
    return o;
}

TEST(YoloBoxFilterTest, AdjustExtendsInFloatThenClamps) {
    struct Case {
        const char* what;
        YoloObjectInfo in;
        float eW, eH;
        cv::Rect expected;
    };
    const cv::Size image(640, 480);
    const Case cases[] = {
        {"no factors", box(100, 50, 200, 80), 0.f, 0.f, {100, 50, 200, 80}},
        {"shrink width by a tenth a side", box(100, 50, 200, 80), 0.1f, 0.f, {120, 50, 160, 80}},
        {"negative factors grow", box(100, 50, 200, 80), -0.1f, -0.25f, {80, 30, 240, 120}},
        {"truncated toward zero", box(10, 10, 15, 15), 0.1f, 0.f, {11, 10, 12, 15}},
        // 25 - 0.3f * 50 is 9.9999994 in float: 9, not 10
        {"float, not decimal, arithmetic", box(0, 0, 25, 40), 0.3f, 0.f, {7, 0, 9, 40}},
        {"left below 0 keeps its width", box(2, 5, 50, 20), -0.1f, 0.f, {0, 5, 60, 20}},
        {"-1.5 truncates to -1, then 0", box(0, 0, 15, 15), -0.1f, 0.f, {0, 0, 18, 15}},
        {"past the right edge is cut", box(600, 0, 100, 20), 0.f, 0.f, {600, 0, 40, 20}},
        {"exactly to the right edge", box(540, 0, 100, 20), 0.f, 0.f, {540, 0, 100, 20}},
        {"past the bottom edge is cut", box(0, 470, 10, 30), 0.f, 0.f, {0, 470, 10, 10}},
    };
    for (const auto& c : cases) {
        auto out = YoloBoxFilter::adjust(c.in, c.eW, c.eH, image);
        ASSERT_TRUE(out.has_value()) << c.what;
        EXPECT_EQ(out->rect(), c.expected) << c.what;
    }
}

TEST(YoloBoxFilterTest, BoxesWithoutAreaAreDropped) {
    struct Case {
        const char* what;
        YoloObjectInfo in;
        float eW, eH;
    };
    const cv::Size image(640, 480);
    const Case cases[] = {
        {"shrunk to nothing", box(100, 50, 200, 80), 0.5f, 0.f},
        {"shrunk below nothing", box(100, 50, 200, 80), 0.f, 0.75f},
        {"starts at the right edge", box(640, 10, 20, 20), 0.f, 0.f},
        {"starts below the image", box(10, 500, 20, 20), 0.f, 0.f},
        {"zero width from the detector", box(10, 10, 0, 20), 0.f, 0.f},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(YoloBoxFilter::adjust(c.in, c.eW, c.eH, image).has_value()) << c.what;
    }
}

TEST(YoloBoxFilterTest, JudgeAppliesClassWidthAndRoiInThisOrder) {
    using V = YoloBoxFilter::Verdict;
    const std::vector<cv::Point> square{{0, 0}, {100, 0}, {100, 100}, {0, 100}};
    const std::vector<cv::Point> none;
    const std::vector<cv::Point> twoPoints{{0, 0}, {100, 100}};
    struct Case {
        const char* what;
        YoloObjectInfo o;
        std::pair<int, int> widths;
        const std::vector<cv::Point>& roi;
        V expected;
    };
    const Case cases[] = {
        {"class 1 goes no further", box(10, 10, 50, 20, 1), {40, 80}, square, V::OtherClass},
        {"class 2 even out of range", box(10, 10, 5, 5, 2), {40, 80}, square, V::OtherClass},
        {"negative class passes the class filter", box(10, 10, 50, 20, -1), {40, 80}, square, V::Accepted},
        {"width at the minimum", box(10, 10, 40, 20), {40, 80}, square, V::Accepted},
        {"width at the maximum", box(10, 10, 80, 20), {40, 80}, square, V::Accepted},
        {"width below", box(10, 10, 39, 20), {40, 80}, square, V::PlateWidth},
        {"width above", box(10, 10, 81, 20), {40, 80}, square, V::PlateWidth},
        {"(0, 0) means no width limit", box(10, 10, 81, 20), {0, 0}, square, V::Accepted},
        {"(0, 50) still limits", box(10, 10, 51, 20), {0, 50}, square, V::PlateWidth},
        {"no ROI", box(500, 500, 50, 20), {40, 80}, none, V::Accepted},
        {"two-point ROI", box(500, 500, 50, 20), {40, 80}, twoPoints, V::Accepted},
        {"top-left on the edge", box(0, 10, 50, 20), {40, 80}, square, V::OutOfRoi},
        {"bottom-right on the edge", box(50, 10, 50, 20), {40, 80}, square, V::OutOfRoi},
        {"bottom-right outside", box(60, 10, 50, 20), {40, 80}, square, V::OutOfRoi},
        {"strictly inside", box(1, 1, 98, 20), {0, 0}, square, V::Accepted},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(YoloBoxFilter::judge(c.o, c.widths, c.roi, true), c.expected) << c.what;
    }
    EXPECT_EQ(YoloBoxFilter::judge(box(10, 10, 50, 20, 3), {40, 80}, square, false), V::Accepted);
}

}  // namespace
