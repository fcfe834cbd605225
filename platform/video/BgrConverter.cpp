#include "BgrConverter.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

#include <stdexcept>
#include <string>

namespace ek::video {

BgrConverter::~BgrConverter() {
    sws_freeContext(context_);
}

cv::Mat BgrConverter::convert(const AVFrame* frame) {
    const auto format = static_cast<AVPixelFormat>(frame->format);
    context_ = sws_getCachedContext(context_, frame->width, frame->height, format, frame->width,
                                    frame->height, AV_PIX_FMT_BGR24, SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (context_ == nullptr) {
        const char* name = av_get_pix_fmt_name(format);
        throw std::runtime_error(std::string("video: cannot convert pixel format ") + (name ? name : "?") +
                                 " to BGR");
    }
    cv::Mat image(frame->height, frame->width, CV_8UC3);
    uint8_t* planes[4] = {image.data, nullptr, nullptr, nullptr};
    int strides[4] = {static_cast<int>(image.step[0]), 0, 0, 0};
    sws_scale(context_, frame->data, frame->linesize, 0, frame->height, planes, strides);
    return image;
}

}  // namespace ek::video
