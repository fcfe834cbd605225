#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

// Test clips made at test time with the ffmpeg command line (testsrc pattern, libx264), once per
// build tree. A clip is written under a temporary name and renamed, so test programs running in
// parallel never read a half-written file.
namespace testclips {

inline std::filesystem::path dataDir() {
    const char* env = std::getenv("QO_TEST_DATA");
    std::filesystem::path dir = env != nullptr ? env : std::string(QO_BINARY_DIR) + "/testdata";
    dir /= "video";
    std::filesystem::create_directories(dir);
    return dir;
}

// `name` with its extension; `encoding` the ffmpeg arguments between the input and the output.
inline std::string make(const std::string& name, const std::string& source, const std::string& encoding) {
    const auto path = dataDir() / name;
    if (std::filesystem::exists(path)) {
        return path.string();
    }
    const auto extension = path.extension().string();
    const auto temporary = dataDir() / (name + "." + std::to_string(::getpid()) + ".tmp" + extension);
    const std::string command = "ffmpeg -nostdin -y -loglevel error -f lavfi -i " + source + " " + encoding +
                                " \"" + temporary.string() + "\"";
    if (std::system(command.c_str()) != 0) {
        throw std::runtime_error("cannot make test clip: " + command);
    }
    std::filesystem::rename(temporary, path);
    return path.string();
}

// 4 s of 320x240 at 25 fps: 100 frames, a keyframe every 25 frames, no B-frames.
inline std::string h264Mp4() {
    return make("testsrc_320x240_25fps_4s.mp4", "testsrc=size=320x240:rate=25:duration=4",
                "-c:v libx264 -preset veryfast -pix_fmt yuv420p -bf 0 -x264-params "
                "keyint=25:min-keyint=25:scenecut=0");
}

// The same picture for 6 s (150 frames): longer than the smallest packet ring.
inline std::string h264Mp4Long() {
    return make("testsrc_320x240_25fps_6s.mp4", "testsrc=size=320x240:rate=25:duration=6",
                "-c:v libx264 -preset veryfast -pix_fmt yuv420p -bf 0 -x264-params "
                "keyint=25:min-keyint=25:scenecut=0");
}

// 100 frames with B-frames: decode order differs from presentation order.
inline std::string h264Mp4BFrames() {
    return make("testsrc_320x240_25fps_4s_bframes.mp4", "testsrc=size=320x240:rate=25:duration=4",
                "-c:v libx264 -preset veryfast -pix_fmt yuv420p -bf 3 -x264-params "
                "keyint=25:min-keyint=25:scenecut=0");
}

// 1 s (25 frames), for the pacing test.
inline std::string h264Mp4Short() {
    return make("testsrc_160x120_25fps_1s.mp4", "testsrc=size=160x120:rate=25:duration=1",
                "-c:v libx264 -preset veryfast -pix_fmt yuv420p -bf 0");
}

// The 4 s clip as an MPEG transport stream, served over a socket.
inline std::string h264Ts() {
    return make("testsrc_320x240_25fps_4s.ts", "testsrc=size=320x240:rate=25:duration=4",
                "-c:v libx264 -preset veryfast -pix_fmt yuv420p -bf 0 -x264-params "
                "keyint=25:min-keyint=25:scenecut=0 "
                "-f mpegts");
}

}  // namespace testclips
