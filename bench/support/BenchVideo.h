#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

// The 12 s 1080p H.264 clip the video benchmarks share, made once in the build tree (testsrc2,
// libx264, a keyframe every 2 s). Written under a temporary name first, so that benchmarks started
// at once never read a half-written clip.
inline std::string benchClip1080p() {
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
