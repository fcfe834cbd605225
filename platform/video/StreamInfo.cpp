#include "StreamInfo.h"

#include <stdexcept>

namespace ek::video {

StreamInfo::StreamInfo(const AVStream* source) : context_(avformat_alloc_context()) {
    if (context_ == nullptr) {
        throw std::runtime_error("video: out of memory for a stream description");
    }
    stream_ = avformat_new_stream(context_, nullptr);
    if (stream_ == nullptr || avcodec_parameters_copy(stream_->codecpar, source->codecpar) < 0) {
        avformat_free_context(context_);
        throw std::runtime_error("video: cannot copy the stream's codec parameters");
    }
    stream_->id = source->id;
    stream_->time_base = source->time_base;
    stream_->r_frame_rate = source->r_frame_rate;
    stream_->avg_frame_rate = source->avg_frame_rate;
    stream_->start_time = source->start_time;
}

StreamInfo::~StreamInfo() {
    avformat_free_context(context_);
}

}  // namespace ek::video
