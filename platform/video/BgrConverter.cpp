#include "BgrConverter.h"

extern "C" {
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <stdexcept>
#include <string>
#include <thread>

#include "FFmpegError.h"

namespace ek::video {

namespace {

std::string formatName(AVPixelFormat format) {
    const char* name = av_get_pix_fmt_name(format);
    return name != nullptr ? name : "unknown";
}

constexpr size_t kPoolBytes = 64u << 20;

// The image stays owned by its cv::Mat; swscale only writes into it during the call.
void keepMat(void*, uint8_t*) {}

}  // namespace

BgrConverter::BgrConverter(int threads)
    : threads_(threads > 0 ? threads : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()))),
      target_(makeFrame()),
      pool_(kPoolBytes) {}

BgrConverter::~BgrConverter() {
    sws_freeContext(context_);
}

void BgrConverter::rebuild(int width, int height, AVPixelFormat format) {
    sws_freeContext(context_);
    context_ = sws_alloc_context();
    if (context_ == nullptr) {
        throw std::runtime_error("video: out of memory for a pixel converter");
    }
    av_opt_set_int(context_, "srcw", width, 0);
    av_opt_set_int(context_, "srch", height, 0);
    av_opt_set_int(context_, "src_format", format, 0);
    av_opt_set_int(context_, "dstw", width, 0);
    av_opt_set_int(context_, "dsth", height, 0);
    av_opt_set_int(context_, "dst_format", AV_PIX_FMT_BGR24, 0);
    av_opt_set_int(context_, "sws_flags", SWS_BILINEAR, 0);
    av_opt_set_int(context_, "threads", threads_, 0);
    if (sws_init_context(context_, nullptr, nullptr) < 0) {
        sws_freeContext(context_);
        context_ = nullptr;
        throw std::runtime_error("video: cannot convert pixel format " + formatName(format) + " to BGR");
    }
    width_ = width;
    height_ = height;
    format_ = format;
}

cv::Mat BgrConverter::convert(const AVFrame* frame) {
    const auto format = static_cast<AVPixelFormat>(frame->format);
    if (context_ == nullptr || frame->width != width_ || frame->height != height_ || format != format_) {
        rebuild(frame->width, frame->height, format);
    }
    cv::Mat image = pool_.take(frame->height, frame->width, CV_8UC3);
    AVFrame* target = target_.get();
    target->format = AV_PIX_FMT_BGR24;
    target->width = frame->width;
    target->height = frame->height;
    target->data[0] = image.data;
    target->linesize[0] = static_cast<int>(image.step[0]);
    target->buf[0] = av_buffer_create(image.data, image.total() * image.elemSize(), keepMat, nullptr, 0);
    if (target->buf[0] == nullptr) {
        throw std::runtime_error("video: out of memory for a pixel converter");
    }
    const int ret = sws_scale_frame(context_, target, frame);
    av_frame_unref(target);
    if (ret < 0) {
        throw std::runtime_error("video: converting " + formatName(format) +
                                 " to BGR failed: " + avErrorText(ret));
    }
    return image;
}

}  // namespace ek::video
