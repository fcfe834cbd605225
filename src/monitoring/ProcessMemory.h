#pragma once

#include <cstdint>
#include <istream>
#include <string>

namespace ek {

// The process's memory figures as the kernel gives them in "/proc/self/status". Every figure is
// -1 until read, so a missing field (VmSwap without swap, an older kernel) or an unreadable file
// shows as such instead of failing the statistics.
struct ProcessMemory {
    static constexpr const char* kStatusPath = "/proc/self/status";

    // kB
    int64_t vmRss = -1;
    int64_t vmHwm = -1;
    int64_t rssAnon = -1;
    int64_t rssFile = -1;
    int64_t vmSize = -1;
    int64_t vmData = -1;
    int64_t vmSwap = -1;
    int threads = -1;

    // Reads "VmRSS:", "VmHWM:", "RssAnon:", "RssFile:", "VmSize:", "VmData:" and "VmSwap:" lines
    // ("<field>: <n> kB") and "Threads: <n>"; other lines, and values that are not a number in
    // range, are ignored.
    static ProcessMemory parse(std::istream& status);
    // All figures -1 when the file cannot be opened.
    static ProcessMemory read(const std::string& path = kStatusPath);

    // "Memory stat: VmRSS=<MB> MB, VmHWM=..., RssAnon=..., RssFile=..., VmSize=..., VmData=...,
    // VmSwap=... MB, Threads=<n>, Frames=<liveFrames>". MB are kB / 1024 truncated toward zero,
    // so an unread figure shows 0 MB; Threads shows -1 when unread.
    std::string line(int64_t liveFrames) const;
};

}  // namespace ek
