#include "qo_common/utils/CVUtils.h"

#include <gtest/gtest.h>

namespace {

int countPixels(const cv::Mat& image, const cv::Vec3b& colour) {
    int n = 0;
    for (int y = 0; y < image.rows; ++y) {
        for (int x = 0; x < image.cols; ++x) {
            n += image.at<cv::Vec3b>(y, x) == colour ? 1 : 0;
        }
    }
    return n;
}

TEST(CVUtilsTest, PrintWithBorderDrawsWhiteTextInABlackBorder) {
    cv::Mat image(100, 300, CV_8UC3, cv::Scalar(128, 128, 128));
    CVUtils::printWithBorder(image, 10, 70, "AB12", 1.5, 2);
    int white = countPixels(image, {255, 255, 255});
    int black = countPixels(image, {0, 0, 0});
    EXPECT_GT(white, 50);
    EXPECT_GT(black, 50);
    // Nothing above the text's height or left of its origin.
    EXPECT_EQ(countPixels(image(cv::Rect(0, 0, 300, 20)), {255, 255, 255}), 0);
    EXPECT_EQ(countPixels(image(cv::Rect(0, 0, 5, 100)), {0, 0, 0}), 0);
}

TEST(CVUtilsTest, NothingToDrawLeavesTheImageAlone) {
    cv::Mat image(50, 50, CV_8UC3, cv::Scalar(128, 128, 128));
    CVUtils::printWithBorder(image, 5, 30, "", 1.0, 1);
    CVUtils::printWithBorder(image, 5, 30, "AB", 0.0, 1);
    EXPECT_EQ(countPixels(image, {128, 128, 128}), 2500);
    cv::Mat empty;
    EXPECT_NO_THROW(CVUtils::printWithBorder(empty, 5, 30, "AB", 1.0, 1));
}

TEST(CVUtilsTest, TextOutsideTheImageIsClipped) {
    cv::Mat image(50, 50, CV_8UC3, cv::Scalar(128, 128, 128));
    EXPECT_NO_THROW(CVUtils::printWithBorder(image, -500, -500, "AB", 3.0, 7));
    EXPECT_NO_THROW(CVUtils::printWithBorder(image, 40, 45, "ABCDEFGH", 3.0, 7));
}

}  // namespace
