#pragma once

extern "C" {
#include <libavformat/avformat.h>
}

#include <memory>

namespace ek::video {

// A standalone copy of a demuxed stream's description (codec parameters, time_base,
// r_frame_rate, avg_frame_rate). Handed-out packets share it, so their `stream` stays valid after
// the demuxer that read them is closed, without keeping the network connection open.
class StreamInfo {
  public:
    // Throws std::runtime_error when FFmpeg cannot allocate or copy the parameters.
    explicit StreamInfo(const AVStream* source);
    ~StreamInfo();
    StreamInfo(const StreamInfo&) = delete;
    StreamInfo& operator=(const StreamInfo&) = delete;

    AVStream* stream() const { return stream_; }

  private:
    AVFormatContext* context_ = nullptr;
    AVStream* stream_ = nullptr;
};

}  // namespace ek::video
