// Writing a 10 s MP4 clip by stream copy with ClipWriter, next to `ffmpeg -c copy` of the same
// 10 s, in one run. The source is the 12 s 1080p H.264 clip of the video decode benchmark (made in
// the build tree when missing).
//
//   clip_writer_bench [rounds] [clip]
//
// Prints the median of the rounds for: ClipWriter alone (packets already in memory), ClipWriter
// with reading the packets from the file (the work the command line does), and the command line.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "qo_common/video/Packet.h"
#include "src/event_builder/ClipWriter.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int64_t kClipMs = 10000;

std::string makeClip() {
    const auto dir = std::filesystem::path(QO_BINARY_DIR) / "testdata" / "video";
    std::filesystem::create_directories(dir);
    const auto path = dir / "bench_1920x1080_25fps_12s.mp4";
    if (!std::filesystem::exists(path)) {
        const auto temporary = dir / ("bench." + std::to_string(::getpid()) + ".tmp.mp4");
        const std::string command =
            "ffmpeg -nostdin -y -loglevel error -f lavfi -i testsrc2=size=1920x1080:rate=25:duration=12 "
            "-c:v libx264 -preset veryfast -pix_fmt yuv420p -g 50 \"" +
            temporary.string() + "\"";
        if (std::system(command.c_str()) != 0) {
            throw std::runtime_error("cannot make the benchmark clip: " + command);
        }
        std::filesystem::rename(temporary, path);
    }
    return path.string();
}

// The video packets whose frames fall in the first 10 s, in decode order, stamped in ms.
std::vector<std::shared_ptr<Packet>> readFirstSeconds(const std::string& path) {
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
                packets.push_back(std::make_shared<Packet>(packet.get(), ms, stream, input));
            }
        }
        av_packet_unref(packet.get());
    }
    return packets;
}

double seconds(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

int countFrames(const std::string& path) {
    const std::string command =
        "ffprobe -v error -select_streams v:0 -count_packets -show_entries "
        "stream=nb_read_packets -of csv=p=0 \"" +
        path + "\"";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    int frames = -1;
    if (pipe && std::fscanf(pipe.get(), "%d", &frames) != 1) {
        frames = -1;
    }
    return frames;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
        const std::string clip = argc > 2 ? argv[2] : makeClip();
        const auto dir =
            std::filesystem::temp_directory_path() / ("clip_writer_bench_" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir);
        const std::string ours = (dir / "ours.mp4").string();
        const std::string theirs = (dir / "theirs.mp4").string();
        const auto inMemory = readFirstSeconds(clip);  // also warms the page cache
        // The same packets: the first ones in decode order (the clip's groups of pictures are closed).
        const std::string command = "ffmpeg -nostdin -v error -y -i \"" + clip + "\" -map 0:v:0 -frames:v " +
                                    std::to_string(inMemory.size()) + " -c copy \"" + theirs + "\"";
        std::vector<double> writeOnly, readAndWrite, commandLine;
        for (int round = 0; round < rounds; ++round) {
            auto start = Clock::now();
            ClipWriter(inMemory).write(ours);
            writeOnly.push_back(seconds(start));

            start = Clock::now();
            ClipWriter(readFirstSeconds(clip)).write(ours);
            readAndWrite.push_back(seconds(start));

            start = Clock::now();
            if (std::system(command.c_str()) != 0) {
                throw std::runtime_error("ffmpeg failed: " + command);
            }
            commandLine.push_back(seconds(start));
        }
        const double ffmpeg = median(commandLine);
        std::printf("clip: %s, %zu packets (10 s), %d rounds, medians\n", clip.c_str(), inMemory.size(),
                    rounds);
        std::printf("frames in the clips: ClipWriter %d, ffmpeg %d\n", countFrames(ours),
                    countFrames(theirs));
        std::printf("ClipWriter (packets in memory): %.4f s = %.2fx ffmpeg\n", median(writeOnly),
                    median(writeOnly) / ffmpeg);
        std::printf("ClipWriter with reading the file: %.4f s = %.2fx ffmpeg\n", median(readAndWrite),
                    median(readAndWrite) / ffmpeg);
        std::printf("ffmpeg -c copy (process included): %.4f s\n", ffmpeg);
        std::filesystem::remove_all(dir);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "clip_writer_bench: %s\n", e.what());
        return 1;
    }
}
