#pragma once

#include <unistd.h>
#include <filesystem>
#include <fstream>
#include <string>

// Writes a scratch file for one test and removes it afterwards.
class ScratchFile {
  public:
    explicit ScratchFile(const std::string& content)
        : path(std::filesystem::temp_directory_path() /
               ("syntax_test_" + std::to_string(::getpid()) + "_" + std::to_string(counter++) + ".json")) {
        std::ofstream(path) << content;
    }
    ~ScratchFile() { std::filesystem::remove(path); }
    std::string str() const { return path.string(); }

  private:
    inline static int counter = 0;
    std::filesystem::path path;
};
