#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/support/BenchVideo.h"
#include "qo_common/video/Packet.h"

// The 1080p clip of the clip benchmarks and what they take from it: the 12 s H.264 clip of the
// video decode benchmark (made in the build tree when missing) and its first 10 s as packets.
namespace bench_clip {

using Clock = std::chrono::steady_clock;
constexpr int64_t kClipMs = 10000;

// The video packets whose frames fall in the first 10 s, in decode order, each stamped with
// `base` + its presentation time in ms (as a camera's packet buffer stamps them).
inline std::vector<std::shared_ptr<Packet>> readFirstSeconds(const std::string& path, int64_t base = 0) {
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) {
        throw std::runtime_error("cannot open " + path);
    }
    std::shared_ptr<AVFormatContext> input(raw, [](AVFormatContext* c) { avformat_close_input(&c); });
    if (avformat_find_stream_info(input.get(), nullptr) < 0) {
        throw std::runtime_error("no stream info in " + path);
    }
    const int index = av_find_best_stream(input.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (index < 0) {
        throw std::runtime_error("no video stream in " + path);
    }
    AVStream* stream = input->streams[index];
    std::unique_ptr<AVPacket, void (*)(AVPacket*)> packet(av_packet_alloc(),
                                                          [](AVPacket* p) { av_packet_free(&p); });
    std::vector<std::shared_ptr<Packet>> packets;
    while (av_read_frame(input.get(), packet.get()) >= 0) {
        if (packet->stream_index == index && packet->pts != AV_NOPTS_VALUE) {
            const int64_t ms = av_rescale_q(packet->pts, stream->time_base, AVRational{1, 1000});
            if (ms < kClipMs) {
                packets.push_back(std::make_shared<Packet>(packet.get(), base + ms, stream, input));
            }
        }
        av_packet_unref(packet.get());
    }
    return packets;
}

// `ffmpeg -c copy` of the first `frames` packets (decode order) of `clip` into `out`: the same
// packets as readFirstSeconds gives (the clip's groups of pictures are closed).
inline std::string copyCommand(const std::string& clip, size_t frames, const std::string& out) {
    return "ffmpeg -nostdin -v error -y -i \"" + clip + "\" -map 0:v:0 -frames:v " + std::to_string(frames) +
           " -c copy \"" + out + "\"";
}

inline double seconds(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

inline double median(std::vector<double> values) {
    if (values.empty()) {
        return 0.0;
    }
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace bench_clip
