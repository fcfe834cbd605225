// Decoding speed of a file source with pacing off, next to the ffmpeg command line doing the
// same work (decode and convert to BGR) with the same thread count, in one run. Measured twice:
// the source alone (open, then getFrame until the end), and the whole producer path (producer
// thread, balancer queue, balancer thread, pushToDests) of a running pipeline context.
//
//   video_decode_bench [threads] [clip]
//
// Without a clip it makes a 12 s 1080p H.264 clip (testsrc2, libx264) in the build tree.

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>

#include <condition_variable>
#include <mutex>

#include "bench/support/BenchVideo.h"
#include "qo_common/video/IVideoSource.h"
#include "src/PipelineContext.h"
#include "src/loaders/Producers.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Result {
    long frames = 0;
    double seconds = 0;
    double fps() const { return seconds > 0 ? static_cast<double>(frames) / seconds : 0; }
};

// What the producer does with its source: open, then getFrame until the end of the stream.
Result decodeWithSource(const std::string& clip, int threads) {
    ek::VideoSourceSettings settings;
    settings.name = "bench";
    settings.uri = clip;
    settings.type = "file";
    settings.pacing = false;
    settings.decodeThreads = threads;
    auto source = ek::createVideoSource(settings);
    Result result;
    const auto start = Clock::now();
    source->open();
    while (true) {
        auto frame = source->getFrame();
        if (frame->poison || frame->frame->image.cols == 0) {
            break;
        }
        ++result.frames;
    }
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return result;
}

// The clip read as a stream source (a file path is a URL to FFmpeg), so that its producer just ends
// at the end of the stream instead of asking for the drain that ends the run, as a file source's does.
Result decodeThroughProducer(const std::string& clip, int threads, long frames) {
    ek::PipelineContext ctx(nlohmann::json{{"webserver", {{"port", 0}}}});
    std::mutex mutex;
    std::condition_variable arrived;
    long delivered = 0;
    ctx.setStatus = [](const std::string&, const std::string&) {};
    ctx.pushToDests = [&](const std::vector<std::string>&, std::shared_ptr<FrameWithInfo>) {
        std::lock_guard<std::mutex> guard(mutex);
        ++delivered;
        arrived.notify_all();
    };
    ctx.terminate = [&ctx] {
        ctx.stop = true;
        ctx.stopAllVideoSources();
        for (auto& [name, queue] : ctx.queuesLoadBalancer) {
            queue->poison(FrameWithInfo::makePoison());
        }
    };
    ek::VideoSourceSettings settings;
    settings.name = "bench";
    settings.uri = clip;
    settings.type = "stream";
    settings.decodeThreads = threads;
    settings.dests = {"sink"};
    ctx.addVideoSource(ek::createVideoSource(settings));
    const auto start = Clock::now();
    ek::startProducers(ctx);
    {
        std::unique_lock<std::mutex> guard(mutex);
        arrived.wait(guard, [&] { return delivered >= frames; });
    }
    Result result{delivered, std::chrono::duration<double>(Clock::now() - start).count()};
    ctx.terminate();
    ctx.join();
    return result;
}

Result decodeWithCommandLine(const std::string& clip, int threads, long frames) {
    const std::string command = "ffmpeg -nostdin -loglevel error -threads " + std::to_string(threads) +
                                " -i \"" + clip + "\" -f null -pix_fmt bgr24 -";
    const auto start = Clock::now();
    if (std::system(command.c_str()) != 0) {
        throw std::runtime_error("ffmpeg failed: " + command);
    }
    return {frames, std::chrono::duration<double>(Clock::now() - start).count()};
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const int threads =
            argc > 1 ? std::atoi(argv[1]) : static_cast<int>(std::thread::hardware_concurrency());
        const std::string clip = argc > 2 ? argv[2] : benchClip1080p();
        decodeWithSource(clip, threads);  // warm the page cache and the codec
        const auto ours = decodeWithSource(clip, threads);
        const auto producer = decodeThroughProducer(clip, threads, ours.frames);
        const auto theirs = decodeWithCommandLine(clip, threads, ours.frames);
        std::printf("clip: %s\nthreads: %d\n", clip.c_str(), threads);
        std::printf("qo_video source (getFrame, BGR): %ld frames in %.3f s = %.1f frames/s\n", ours.frames,
                    ours.seconds, ours.fps());
        std::printf("ffmpeg -threads %d -f null -pix_fmt bgr24: %.3f s = %.1f frames/s\n", threads,
                    theirs.seconds, theirs.fps());
        std::printf(
            "qo_core producer path (producer, balancer, pushToDests): %ld frames in %.3f s = %.1f frames/s\n",
            producer.frames, producer.seconds, producer.fps());
        std::printf("ratio source / ffmpeg: %.2fx, producer path / ffmpeg: %.2fx\n",
                    theirs.fps() > 0 ? ours.fps() / theirs.fps() : 0.0,
                    theirs.fps() > 0 ? producer.fps() / theirs.fps() : 0.0);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "video_decode_bench: %s\n", e.what());
        return 1;
    }
}
