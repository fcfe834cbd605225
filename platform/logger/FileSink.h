#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "LogSink.h"

// Appends each line to a file and flushes it, so a crash loses nothing that was logged.
class FileSink : public LogSink {
  public:
    // Opens (creates) `path` for appending; throws std::runtime_error naming the path and the reason.
    explicit FileSink(const std::string& path);
    bool write(const std::string& line) override;

  private:
    struct Closer {
        void operator()(std::FILE* file) const { std::fclose(file); }
    };
    std::unique_ptr<std::FILE, Closer> file_;
};
