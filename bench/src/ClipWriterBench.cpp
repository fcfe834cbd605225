// Writing a 10 s MP4 clip by stream copy with ClipWriter, next to `ffmpeg -c copy` of the same
// 10 s, in one run. The source is the 12 s 1080p H.264 clip of the video decode benchmark (made in
// the build tree when missing).
//
//   clip_writer_bench [rounds] [clip]
//
// Prints the median of the rounds for: ClipWriter alone (packets already in memory), ClipWriter
// with reading the packets from the file (the work the command line does), and the command line.

#include <cstdio>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/src/BenchClip.h"
#include "src/event_builder/ClipWriter.h"

namespace {

using bench_clip::Clock;
using bench_clip::median;
using bench_clip::readFirstSeconds;
using bench_clip::seconds;

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
        const std::string clip = argc > 2 ? argv[2] : benchClip1080p();
        const auto dir =
            std::filesystem::temp_directory_path() / ("clip_writer_bench_" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir);
        const std::string ours = (dir / "ours.mp4").string();
        const std::string theirs = (dir / "theirs.mp4").string();
        const auto inMemory = readFirstSeconds(clip);  // also warms the page cache
        const std::string command = bench_clip::copyCommand(clip, inMemory.size(), theirs);
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
