#pragma once

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <system_error>

// A fresh directory under the system's temporary directory, removed with its contents at the end
// of the scope.
class TempDir {
  public:
    TempDir() {
        static std::atomic<int> serial{0};
        const auto base = std::filesystem::temp_directory_path();
        for (;;) {
            path_ = base / ("qo_test_" + std::to_string(::getpid()) + "_" + std::to_string(serial++));
            if (std::filesystem::create_directory(path_)) {
                break;
            }
        }
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // The path of `name` inside the directory.
    std::string file(const std::string& name) const { return (path_ / name).string(); }

  private:
    std::filesystem::path path_;
};
