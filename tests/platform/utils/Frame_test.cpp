#include "qo_common/utils/Frame.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

using ek::pipeline::Frame;

namespace {

Frame identified(cv::Mat image) {
    Frame frame(std::move(image));
    frame.guid = "guid-1";
    frame.sourceId = 7;
    frame.cameraType = CameraType::OV;
    frame.cameraName = "cam7";
    frame.timestamp = 1714564800123;
    return frame;
}

void expectSameIdentity(const Frame& a, const Frame& b) {
    EXPECT_EQ(a.guid, b.guid);
    EXPECT_EQ(a.sourceId, b.sourceId);
    EXPECT_EQ(a.cameraType, b.cameraType);
    EXPECT_EQ(a.cameraName, b.cameraName);
    EXPECT_EQ(a.timestamp, b.timestamp);
}

TEST(FrameTest, LiveCountBalancesAcrossCopyMoveAndDestruction) {
    const int64_t base = Frame::liveCount();
    {
        Frame a;
        Frame b(cv::Mat(2, 2, CV_8UC3));
        Frame c(a);
        Frame d(std::move(b));  // the moved-from frame is still alive
        EXPECT_EQ(Frame::liveCount(), base + 4);
        c = d;
        d = std::move(c);
        EXPECT_EQ(Frame::liveCount(), base + 4);
        auto copied = d.copy();
        auto converted = d.convert();
        EXPECT_EQ(Frame::liveCount(), base + 6);
        std::vector<Frame> many(3);
        for (int i = 0; i < 20; ++i) {  // reallocations move and destroy
            many.push_back(a);
        }
        EXPECT_EQ(Frame::liveCount(), base + 29);
    }
    EXPECT_EQ(Frame::liveCount(), base);
}

TEST(FrameTest, CopiesShareThePixelsWhileCopyAndCloneOwnTheirs) {
    Frame frame = identified(cv::Mat(4, 4, CV_8UC3, cv::Scalar(10, 20, 30)));
    Frame shared(frame);
    auto full = frame.copy();
    cv::Mat cloned = frame.clone();
    frame.image.setTo(cv::Scalar(1, 2, 3));

    EXPECT_EQ(shared.image.at<cv::Vec3b>(0, 0), cv::Vec3b(1, 2, 3));
    EXPECT_EQ(full->image.at<cv::Vec3b>(0, 0), cv::Vec3b(10, 20, 30));
    EXPECT_EQ(cloned.at<cv::Vec3b>(0, 0), cv::Vec3b(10, 20, 30));
    expectSameIdentity(*full, frame);
}

TEST(FrameTest, ConvertGivesEightBitBgrWithTheSameIdentity) {
    struct Case {
        const char* name;
        cv::Mat image;
        cv::Vec3b expected;
    };
    const Case cases[] = {
        {"grey", cv::Mat(3, 5, CV_8UC1, cv::Scalar(77)), {77, 77, 77}},
        {"bgra", cv::Mat(3, 5, CV_8UC4, cv::Scalar(1, 2, 3, 200)), {1, 2, 3}},
        {"bgr", cv::Mat(3, 5, CV_8UC3, cv::Scalar(4, 5, 6)), {4, 5, 6}},
        {"grey16", cv::Mat(3, 5, CV_16UC1, cv::Scalar(0x4000)), {0x40, 0x40, 0x40}},
        {"bgr16", cv::Mat(3, 5, CV_16UC3, cv::Scalar(0x100, 0x200, 0xFF00)), {1, 2, 0xFF}},
    };
    for (const auto& c : cases) {
        Frame frame = identified(c.image);
        EXPECT_EQ(frame.needsConversion(), c.image.type() != CV_8UC3) << c.name;
        auto converted = frame.convert();
        ASSERT_EQ(converted->image.type(), CV_8UC3) << c.name;
        EXPECT_EQ(converted->image.size(), c.image.size()) << c.name;
        EXPECT_EQ(converted->image.at<cv::Vec3b>(2, 4), c.expected) << c.name;
        EXPECT_FALSE(converted->needsConversion()) << c.name;
        expectSameIdentity(*converted, frame);
    }
}

TEST(FrameTest, ConvertKeepsABgrImageAsItIs) {
    Frame frame = identified(cv::Mat(3, 5, CV_8UC3, cv::Scalar(4, 5, 6)));
    EXPECT_EQ(frame.convert()->image.data, frame.image.data);
}

TEST(FrameTest, EmptyFrameNeedsNoConversion) {
    Frame frame;
    EXPECT_FALSE(frame.needsConversion());
    EXPECT_TRUE(frame.convert()->image.empty());
    EXPECT_TRUE(frame.copy()->image.empty());
}

TEST(FrameTest, ConvertRefusesATypeItCannotReadAsBgr) {
    for (int type : {CV_32FC1, CV_8UC2, CV_16SC3}) {
        Frame frame(cv::Mat(2, 2, type, cv::Scalar::all(0)));
        EXPECT_TRUE(frame.needsConversion());
        EXPECT_THROW(frame.convert(), std::runtime_error) << cv::typeToString(type);
    }
}

}  // namespace
