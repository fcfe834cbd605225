#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

// A scratch directory for the targets that feed their input through a file, made once per fuzzing
// process and removed when it exits (libFuzzer ends with exit(), so no destructor would run).
namespace fuzzscratch {

inline std::string& directory() {
    static std::string path;
    return path;
}

// Makes "/tmp/<prefix>-XXXXXX"; aborts when it cannot, since no input could then be tried.
inline const std::string& make(const std::string& prefix) {
    std::string pattern = "/tmp/" + prefix + "-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        std::abort();
    }
    directory() = pattern;
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(directory(), ignored);
    });
    return directory();
}

// Replaces the file at `path` with the input bytes.
inline void write(const std::string& path, const uint8_t* data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

}  // namespace fuzzscratch
