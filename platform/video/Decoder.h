#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/hwcontext.h>
}

#include <string>

#include "FFmpegPtr.h"

namespace ek::video {

// A video decoder on FFmpeg's own threading. With `hardware` it asks FFmpeg for a hardware
// device the codec supports and falls back to the CPU when none opens (see fallbackReason).
// Frames come out in system memory, carrying the `seq` of the packet they were decoded from.
class Decoder {
  public:
    // Throws std::runtime_error when the codec is missing or cannot be opened.
    Decoder(const AVStream* stream, int threads, bool hardware);
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;

    // avcodec_send_packet for a packet numbered `seq`.
    int send(const AVPacket* packet, int64_t seq);
    // Starts draining: later receives give the delayed frames, then AVERROR_EOF.
    int flush();
    // 0 with a frame in `out`, AVERROR(EAGAIN) when more input is needed, AVERROR_EOF, or an error.
    int receive(AVFrame* out);
    // The packet number of a received frame.
    static int64_t seqOf(const AVFrame* frame) { return frame->reordered_opaque; }

    bool hardware() const { return hwDevice_ != nullptr; }
    // Why hardware decoding was asked for and is not used; empty otherwise.
    const std::string& fallbackReason() const { return fallbackReason_; }
    std::string description() const;

  private:
    static AVPixelFormat chooseFormat(AVCodecContext* context, const AVPixelFormat* formats);
    void attachHardware(const AVCodec* codec);
    void open(const AVCodec* codec, const AVStream* stream, int threads);

    AVCodecContextPtr context_;
    AVBufferPtr hwDevice_;
    AVPixelFormat hwFormat_ = AV_PIX_FMT_NONE;
    AVFramePtr hwFrame_;
    std::string hwName_;
    std::string fallbackReason_;
};

}  // namespace ek::video
