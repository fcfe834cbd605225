#pragma once

extern "C" {
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

#include <opencv2/core.hpp>

namespace ek::video {

// Converts decoded frames of any pixel format to 8-bit BGR images with swscale. The scaler is
// rebuilt only when the size or format changes. One thread at a time.
class BgrConverter {
  public:
    BgrConverter() = default;
    ~BgrConverter();
    BgrConverter(const BgrConverter&) = delete;
    BgrConverter& operator=(const BgrConverter&) = delete;

    // A new image (its own buffer, so it can travel on). Throws std::runtime_error when the
    // frame's format cannot be converted.
    cv::Mat convert(const AVFrame* frame);

  private:
    SwsContext* context_ = nullptr;
};

}  // namespace ek::video
