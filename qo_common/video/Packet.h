#pragma once

extern "C" {
#include <libavcodec/packet.h>
#include <libavformat/avformat.h>
}

#include <cstdint>
#include <memory>

// One encoded video packet of a source, as handed out for clips.
//
// `packet` is this record's own reference to the encoded data (av_packet_ref), so a caller may
// change its pts, dts, stream_index or pos freely (av_write_frame does). `stream` describes the
// stream the packet came from (codec parameters, time_base, r_frame_rate) and stays valid for as
// long as the Packet lives, also after the source has reconnected or been destroyed: the record
// shares ownership of the context that holds the stream.
// `timestamp` is the source's packet clock in ms: timestamp - source.correctionTs equals the
// timestamp of the frame decoded from this packet.
class Packet {
  public:
    // A new reference to `source`; `streamOwner` keeps `stream` alive. Throws std::runtime_error
    // when FFmpeg cannot reference the packet.
    Packet(const AVPacket* source, int64_t timestamp, AVStream* stream,
           std::shared_ptr<const void> streamOwner);
    ~Packet();
    Packet(const Packet&) = delete;
    Packet& operator=(const Packet&) = delete;

    AVPacket* packet = nullptr;
    int64_t timestamp = 0;
    AVStream* stream = nullptr;

  private:
    std::shared_ptr<const void> streamOwner_;
};
