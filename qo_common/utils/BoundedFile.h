#pragma once

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

namespace ek {

// The whole text of the file at `path`, or std::runtime_error "<what>: <reason>": "is a directory",
// "cannot open: <system reason>", "read error" or "larger than N bytes". At most maxBytes + 1 bytes
// are read, so an endless or huge file (a device, a runaway log) is refused without being read.
inline std::string readBoundedFile(const std::string& path, const std::string& what, size_t maxBytes) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        throw std::runtime_error(what + ": is a directory");
    }
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error(what +
                                 ": cannot open: " + (errno != 0 ? std::strerror(errno) : "unknown reason"));
    }
    constexpr size_t kChunk = 64 * 1024;
    std::string text;
    // One byte past the bound tells a file at the bound from a larger one.
    while (text.size() <= maxBytes) {
        const size_t want = std::min(kChunk - 1, maxBytes - text.size()) + 1;
        const size_t before = text.size();
        text.resize(before + want);
        in.read(text.data() + before, static_cast<std::streamsize>(want));
        const auto got = static_cast<size_t>(in.gcount());
        text.resize(before + got);
        if (got < want) {
            break;
        }
    }
    if (in.bad()) {
        throw std::runtime_error(what + ": read error");
    }
    if (text.size() > maxBytes) {
        throw std::runtime_error(what + ": larger than " + std::to_string(maxBytes) + " bytes");
    }
    return text;
}

}  // namespace ek
