#pragma once

#include <opencv2/core.hpp>

#include <vector>

#include "platform/yolo/LetterboxGeometry.h"
#include "qo_common/yolo/YoloResizeMode.h"

// Turns an image into a network input: [channels, H, W] floats, RGB order (or grey), pixel / 255;
// with aspect keeping the scaled image is centred on a canvas of 114.
class YoloPreprocessor {
  public:
    static constexpr int kPadValue = 114;

    YoloPreprocessor(cv::Size input, int channels);

    void setResize(YoloResizeMode mode) { mode_ = mode; }
    void setKeepAspect(bool keep) { keepAspect_ = keep; }
    YoloResizeMode resize() const { return mode_; }
    bool keepAspect() const { return keepAspect_; }
    cv::Size inputSize() const { return input_; }
    int channels() const { return channels_; }
    size_t inputLength() const { return static_cast<size_t>(channels_) * input_.area(); }

    LetterboxGeometry geometry(cv::Size image) const;
    // An empty image gives an empty vector; an image that is not 8-bit with 1, 3 or 4 channels
    // throws std::invalid_argument.
    std::vector<float> prepare(const cv::Mat& image) const;

  private:
    cv::Mat toModelChannels(const cv::Mat& image) const;
    void scaleInto(const cv::Mat& src, cv::Mat& dst) const;

    cv::Size input_;
    int channels_;
    YoloResizeMode mode_ = YoloResizeMode::NEAREST;
    bool keepAspect_ = false;
};
