#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

// What a written clip is proven by: the ffmpeg and ffprobe command-line tools decoding it, since
// a plausible header says nothing about whether its frames decode or which frames they are.
namespace clipchecks {

// The standard output of `command`.
inline std::string run(const std::string& command) {
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    if (!pipe) {
        throw std::runtime_error("cannot run " + command);
    }
    std::string out;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof(buffer), pipe.get())) > 0;) {
        out.append(buffer, n);
    }
    return out;
}

inline std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) {
            out.push_back(line);
        }
    }
    return out;
}

// What ffmpeg reports while decoding the whole file; empty for a clean clip.
inline std::string decodeErrors(const std::string& path) {
    return run("ffmpeg -nostdin -v error -i \"" + path + "\" -f null - 2>&1");
}

// The per-frame checksums of the first video stream, in presentation order.
inline std::vector<std::string> frameChecksums(const std::string& path) {
    std::vector<std::string> out;
    for (const auto& line : lines(run("ffmpeg -nostdin -v error -i \"" + path +
                                      "\" -map 0:v:0 -fps_mode passthrough -f framemd5 -"))) {
        if (line[0] != '#') {
            out.push_back(line.substr(line.rfind(',') + 2));
        }
    }
    return out;
}

// The presentation times of the decoded frames, in the stream's time base.
inline std::vector<int64_t> presentationTimes(const std::string& path) {
    std::vector<int64_t> out;
    for (const auto& line : lines(run(
             "ffprobe -v error -select_streams v:0 -show_entries frame=pts -of csv=p=0 \"" + path + "\""))) {
        out.push_back(std::stoll(line));
    }
    return out;
}

// One stream entry of the first video stream as ffprobe gives it, e.g. "avg_frame_rate".
inline std::string probeStream(const std::string& path, const std::string& entry) {
    auto out = lines(run("ffprobe -v error -select_streams v:0 -show_entries stream=" + entry +
                         " -of csv=p=0 \"" + path + "\""));
    return out.empty() ? "" : out.front();
}

// The packets of the first video stream in the file.
inline size_t packetCount(const std::string& path) {
    const auto out =
        lines(run("ffprobe -v error -select_streams v:0 -count_packets -show_entries "
                  "stream=nb_read_packets -of csv=p=0 \"" +
                  path + "\""));
    return out.empty() ? 0 : std::stoul(out.front());
}

// Whether `clip` equals `source` from some frame on, frame for frame.
inline ::testing::AssertionResult isContiguousRun(const std::vector<std::string>& clip,
                                                  const std::vector<std::string>& source) {
    if (clip.empty()) {
        return ::testing::AssertionFailure() << "the clip has no frames";
    }
    const auto at = std::search(source.begin(), source.end(), clip.begin(), clip.end());
    if (at != source.end()) {
        return ::testing::AssertionSuccess() << "from source frame " << (at - source.begin());
    }
    const auto first = std::find(source.begin(), source.end(), clip.front());
    auto failure = ::testing::AssertionFailure()
                   << "the clip's " << clip.size() << " frames are no run of the source's " << source.size();
    if (first == source.end()) {
        return failure << "; clip frame 0 is no source frame";
    }
    const auto from = static_cast<size_t>(first - source.begin());
    size_t i = 0;
    while (i < clip.size() && from + i < source.size() && clip[i] == source[from + i]) {
        ++i;
    }
    return failure << "; from source frame " << from
                   << " (the first match of clip frame 0) they part at clip frame " << i;
}

}  // namespace clipchecks
