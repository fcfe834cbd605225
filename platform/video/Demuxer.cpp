#include "Demuxer.h"

#include <stdexcept>

#include "FFmpegError.h"
#include "qo_common/utils/UriMask.h"

namespace ek::video {

namespace {

struct Dictionary {
    AVDictionary* entries = nullptr;
    ~Dictionary() { av_dict_free(&entries); }
    void set(const char* key, const std::string& value) { av_dict_set(&entries, key, value.c_str(), 0); }
};

// The message reaches the log and the source's statistics: the URI's credentials stay out of it.
std::runtime_error openError(const std::string& uri, const std::string& step, int code) {
    return std::runtime_error("cannot open " + UriMask::hideCredentials(uri) + ": " + step + ": " +
                              avErrorText(code));
}

}  // namespace

Demuxer::Demuxer(const std::string& uri, const Options& options, AVIOInterruptCB interrupt) {
    context_ = avformat_alloc_context();
    if (context_ == nullptr) {
        throw std::runtime_error("cannot open " + UriMask::hideCredentials(uri) + ": out of memory");
    }
    context_->interrupt_callback = interrupt;
    Dictionary dictionary;
    if (options.network) {
        dictionary.set("rtsp_transport", options.tcp ? "tcp" : "udp");
        dictionary.set("analyzeduration", std::to_string(options.analyzeDurationUs));
    }
    // On failure avformat_open_input frees the context itself.
    int ret = avformat_open_input(&context_, uri.c_str(), nullptr, &dictionary.entries);
    if (ret < 0) {
        throw openError(uri, "open", ret);
    }
    ret = avformat_find_stream_info(context_, nullptr);
    if (ret < 0) {
        avformat_close_input(&context_);
        throw openError(uri, "stream analysis", ret);
    }
    videoIndex_ = av_find_best_stream(context_, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (videoIndex_ < 0) {
        avformat_close_input(&context_);
        throw openError(uri, "no video stream", videoIndex_);
    }
    for (unsigned i = 0; i < context_->nb_streams; ++i) {
        if (static_cast<int>(i) != videoIndex_) {
            context_->streams[i]->discard = AVDISCARD_ALL;
        }
    }
}

Demuxer::~Demuxer() {
    avformat_close_input(&context_);
}

int Demuxer::read(AVPacket* packet) {
    return av_read_frame(context_, packet);
}

std::string Demuxer::formatName() const {
    return context_->iformat != nullptr && context_->iformat->name != nullptr ? context_->iformat->name : "";
}

}  // namespace ek::video
