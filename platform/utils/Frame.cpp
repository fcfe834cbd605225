#include "qo_common/utils/Frame.h"

#include <opencv2/imgproc.hpp>

#include <stdexcept>
#include <string>
#include <utility>

namespace ek::pipeline {

std::atomic<int64_t> Frame::live_{0};

namespace {

// 16-bit images keep their high byte; everything else must already be 8-bit.
cv::Mat toEightBit(const cv::Mat& image) {
    if (image.depth() == CV_8U) {
        return image;
    }
    if (image.depth() == CV_16U) {
        cv::Mat out;
        image.convertTo(out, CV_8U, 1.0 / 256.0);
        return out;
    }
    throw std::runtime_error("Frame::convert: unsupported image type " + cv::typeToString(image.type()));
}

cv::Mat toBgr(const cv::Mat& image) {
    cv::Mat eight = toEightBit(image);
    cv::Mat out;
    switch (eight.channels()) {
        case 1:
            cv::cvtColor(eight, out, cv::COLOR_GRAY2BGR);
            return out;
        case 3:
            return eight;
        case 4:
            cv::cvtColor(eight, out, cv::COLOR_BGRA2BGR);
            return out;
        default:
            throw std::runtime_error("Frame::convert: unsupported image type " +
                                     cv::typeToString(image.type()));
    }
}

}  // namespace

Frame::Frame() {
    ++live_;
}

Frame::Frame(cv::Mat img) : image(std::move(img)) {
    ++live_;
}

Frame::Frame(const Frame& other)
    : image(other.image),
      guid(other.guid),
      sourceId(other.sourceId),
      cameraType(other.cameraType),
      cameraName(other.cameraName),
      timestamp(other.timestamp) {
    ++live_;
}

// A moved-from frame is still alive until destroyed, so a move adds one live frame.
Frame::Frame(Frame&& other) noexcept
    : image(std::move(other.image)),
      guid(std::move(other.guid)),
      sourceId(other.sourceId),
      cameraType(other.cameraType),
      cameraName(std::move(other.cameraName)),
      timestamp(other.timestamp) {
    ++live_;
}

Frame& Frame::operator=(const Frame& other) = default;
Frame& Frame::operator=(Frame&& other) noexcept = default;

Frame::~Frame() {
    --live_;
}

std::shared_ptr<Frame> Frame::copy() const {
    auto full = std::make_shared<Frame>(*this);
    full->image = image.clone();
    return full;
}

cv::Mat Frame::clone() const {
    return image.clone();
}

bool Frame::needsConversion() const {
    return !image.empty() && image.type() != CV_8UC3;
}

std::shared_ptr<Frame> Frame::convert() const {
    auto converted = std::make_shared<Frame>(*this);
    if (needsConversion()) {
        converted->image = toBgr(image);
    }
    return converted;
}

int64_t Frame::liveCount() {
    return live_.load();
}

}  // namespace ek::pipeline
