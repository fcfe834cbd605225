#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/buffer.h>
#include <libavutil/frame.h>
}

#include <memory>
#include <stdexcept>

namespace ek::video {

// Owning pointers of FFmpeg objects.
struct AVFrameFree {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct AVPacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct AVCodecContextFree {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct AVBufferUnref {
    void operator()(AVBufferRef* b) const { av_buffer_unref(&b); }
};

using AVFramePtr = std::unique_ptr<AVFrame, AVFrameFree>;
using AVPacketPtr = std::unique_ptr<AVPacket, AVPacketFree>;
using AVCodecContextPtr = std::unique_ptr<AVCodecContext, AVCodecContextFree>;
using AVBufferPtr = std::unique_ptr<AVBufferRef, AVBufferUnref>;

inline AVFramePtr makeFrame() {
    AVFramePtr frame(av_frame_alloc());
    if (!frame) {
        throw std::runtime_error("video: out of memory for a frame");
    }
    return frame;
}

inline AVPacketPtr makePacket() {
    AVPacketPtr packet(av_packet_alloc());
    if (!packet) {
        throw std::runtime_error("video: out of memory for a packet");
    }
    return packet;
}

}  // namespace ek::video
