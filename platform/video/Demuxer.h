#pragma once

extern "C" {
#include <libavformat/avformat.h>
}

#include <string>

namespace ek::video {

// An opened input (file or network stream) and its best video stream.
class Demuxer {
  public:
    struct Options {
        bool network = false;
        bool tcp = false;
        // Analysis time of a network stream before its first frame, microseconds.
        int64_t analyzeDurationUs = 1000000;
    };

    // Opens `uri` and finds its video stream. `interrupt` is consulted by every blocking call
    // (open, stream analysis, read). Throws std::runtime_error with FFmpeg's reason.
    Demuxer(const std::string& uri, const Options& options, AVIOInterruptCB interrupt);
    ~Demuxer();
    Demuxer(const Demuxer&) = delete;
    Demuxer& operator=(const Demuxer&) = delete;

    // av_read_frame: 0, AVERROR_EOF, or another negative error.
    int read(AVPacket* packet);

    AVStream* videoStream() const { return context_->streams[videoIndex_]; }
    int videoIndex() const { return videoIndex_; }
    std::string formatName() const;

  private:
    AVFormatContext* context_ = nullptr;
    int videoIndex_ = -1;
};

}  // namespace ek::video
