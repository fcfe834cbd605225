#include "qo_common/jpeg/Encoder.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <filesystem>

#include "tests/support/CapturingLog.h"
#include "tests/support/TempDir.h"

namespace {

cv::Mat gradient(int type) {
    cv::Mat image(48, 64, CV_8UC3);
    for (int y = 0; y < image.rows; ++y) {
        for (int x = 0; x < image.cols; ++x) {
            image.at<cv::Vec3b>(y, x) = cv::Vec3b(static_cast<uchar>(x * 4), static_cast<uchar>(y * 5), 128);
        }
    }
    cv::Mat out;
    if (type == CV_8UC1) {
        cv::extractChannel(image, out, 0);
    } else if (type == CV_8UC4) {
        cv::Mat alpha(image.size(), CV_8UC1, cv::Scalar(255));
        cv::merge(std::vector<cv::Mat>{image, alpha}, out);
    } else {
        out = image;
    }
    return out;
}

TEST(EncoderTest, EncodesToAJpegThatDecodesBack) {
    for (int type : {CV_8UC3, CV_8UC1, CV_8UC4}) {
        cv::Mat image = gradient(type);
        std::vector<unsigned char> bytes;
        ASSERT_TRUE(Encoder::imencode(image, bytes)) << cv::typeToString(type);
        ASSERT_GT(bytes.size(), 2u);
        EXPECT_EQ(bytes[0], 0xFF);  // JPEG start-of-image marker
        EXPECT_EQ(bytes[1], 0xD8);
        cv::Mat decoded = cv::imdecode(bytes, cv::IMREAD_UNCHANGED);
        EXPECT_EQ(decoded.size(), image.size());
    }
}

TEST(EncoderTest, QualityIsClampedAndChangesTheSize) {
    cv::Mat image = gradient(CV_8UC3);
    cv::randu(image, 0, 255);
    std::vector<unsigned char> low, high, beyond;
    ASSERT_TRUE(Encoder::imencode(image, low, 5));
    ASSERT_TRUE(Encoder::imencode(image, high, 100));
    ASSERT_TRUE(Encoder::imencode(image, beyond, 1000));
    EXPECT_LT(low.size(), high.size());
    EXPECT_EQ(beyond, high);
    std::vector<unsigned char> negative;
    EXPECT_TRUE(Encoder::imencode(image, negative, -3));
}

TEST(EncoderTest, EmptyImageGivesFalseWithoutThrowingAndLogsWhy) {
    auto capture = CapturingLog::install();
    TempDir dir;
    std::vector<unsigned char> bytes{1, 2, 3};
    EXPECT_FALSE(Encoder::imencode(cv::Mat(), bytes));
    EXPECT_TRUE(bytes.empty());
    EXPECT_FALSE(Encoder::imwrite(dir.file("empty.jpg"), cv::Mat()));
    EXPECT_FALSE(std::filesystem::exists(dir.file("empty.jpg")));
    EXPECT_EQ(capture.log->count("empty image", ILog::LevelWarning), 2u);
}

TEST(EncoderTest, ImageJpegCannotHoldGivesFalse) {
    auto capture = CapturingLog::install();
    std::vector<unsigned char> bytes{1};
    EXPECT_FALSE(Encoder::imencode(cv::Mat(8, 8, CV_8UC2, cv::Scalar::all(1)), bytes));  // OpenCV throws here
    EXPECT_TRUE(bytes.empty());
    EXPECT_TRUE(capture.log->contains("imencode", ILog::LevelWarning));
}

TEST(EncoderTest, WritesAJpegFileWhateverTheExtension) {
    TempDir dir;
    cv::Mat image = gradient(CV_8UC3);
    for (const char* name : {"snapshot.jpg", "snapshot.png", "no_extension"}) {
        const std::string path = dir.file(name);
        ASSERT_TRUE(Encoder::imwrite(path, image)) << name;
        std::vector<unsigned char> expected;
        ASSERT_TRUE(Encoder::imencode(image, expected));
        EXPECT_EQ(std::filesystem::file_size(path), expected.size()) << name;
        EXPECT_EQ(cv::imread(path).size(), image.size()) << name;
    }
}

TEST(EncoderTest, MissingDirectoryGivesFalse) {
    auto capture = CapturingLog::install();
    TempDir dir;
    EXPECT_FALSE(Encoder::imwrite(dir.file("absent/snapshot.jpg"), gradient(CV_8UC3)));
    EXPECT_TRUE(capture.log->contains("absent/snapshot.jpg", ILog::LevelWarning));
}

TEST(EncoderTest, WorksWithoutALogger) {
    auto saved = ILog::instance;
    ILog::instance.reset();
    std::vector<unsigned char> bytes;
    EXPECT_FALSE(Encoder::imencode(cv::Mat(), bytes));
    ILog::instance = saved;
}

}  // namespace
