#include "platform/yolo/LetterboxGeometry.h"

#include <gtest/gtest.h>

namespace {

struct Case {
    cv::Size image;
    cv::Size input;
    bool keepAspect;
    double scaleX, scaleY;
    int dx, dy;
    cv::Size resized;
};

TEST(LetterboxGeometryTest, Table) {
    const Case cases[] = {
        {{128, 64}, {64, 64}, true, 0.5, 0.5, 0, 16, {64, 32}},
        {{64, 128}, {64, 64}, true, 0.5, 0.5, 16, 0, {32, 64}},
        {{1920, 1080}, {640, 640}, true, 1.0 / 3, 1.0 / 3, 0, 140, {640, 360}},
        {{100, 100}, {96, 64}, true, 0.64, 0.64, 16, 0, {64, 64}},
        // odd padding: (64 - 21) / 2 = 21 by integer division
        {{100, 33}, {64, 64}, true, 0.64, 0.64, 0, 21, {64, 21}},
        // too thin to round to a pixel: still one pixel
        {{1000, 1}, {64, 64}, true, 0.064, 0.064, 0, 31, {64, 1}},
        {{128, 64}, {64, 64}, false, 0.5, 1.0, 0, 0, {64, 64}},
    };
    for (const auto& c : cases) {
        auto g = LetterboxGeometry::compute(c.image, c.input, c.keepAspect);
        SCOPED_TRACE(::testing::Message() << c.image << " -> " << c.input << " keep " << c.keepAspect);
        EXPECT_DOUBLE_EQ(g.scaleX, c.scaleX);
        EXPECT_DOUBLE_EQ(g.scaleY, c.scaleY);
        EXPECT_EQ(g.dx, c.dx);
        EXPECT_EQ(g.dy, c.dy);
        EXPECT_EQ(g.resized, c.resized);
    }
}

TEST(LetterboxGeometryTest, MapsInputPixelsBackToTheImage) {
    auto g = LetterboxGeometry::compute({128, 64}, {64, 64}, true);
    EXPECT_DOUBLE_EQ(g.toImageX(16), 32);
    EXPECT_DOUBLE_EQ(g.toImageY(16), 0);
    EXPECT_DOUBLE_EQ(g.toImageY(48), 64);
}

}  // namespace
