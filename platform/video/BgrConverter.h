#pragma once

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <opencv2/core.hpp>

#include "FFmpegPtr.h"
#include "ImagePool.h"

namespace ek::video {

// Converts decoded frames of any pixel format to 8-bit BGR images with swscale, on swscale's
// own slice threads. The scaler is rebuilt only when the size or format changes. One caller
// thread at a time.
class BgrConverter {
  public:
    // threads 0: one per core.
    explicit BgrConverter(int threads = 0);
    ~BgrConverter();
    BgrConverter(const BgrConverter&) = delete;
    BgrConverter& operator=(const BgrConverter&) = delete;

    // An image no one else references (a reused buffer when one is free), so it can travel on.
    // Throws std::runtime_error when the frame's format cannot be converted.
    cv::Mat convert(const AVFrame* frame);

  private:
    void rebuild(int width, int height, AVPixelFormat format);

    const int threads_;
    SwsContext* context_ = nullptr;
    int width_ = 0;
    int height_ = 0;
    AVPixelFormat format_ = AV_PIX_FMT_NONE;
    AVFramePtr target_;
    ImagePool pool_;
};

}  // namespace ek::video
