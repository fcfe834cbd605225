#include "FileSink.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

FileSink::FileSink(const std::string& path) : file_(std::fopen(path.c_str(), "a")) {
    if (!file_) {
        throw std::runtime_error("Cannot open log file '" + path + "': " + std::strerror(errno));
    }
}

bool FileSink::write(const std::string& line) {
    std::FILE* file = file_.get();
    bool ok = std::fwrite(line.data(), 1, line.size(), file) == line.size() &&
              std::fputc('\n', file) != EOF && std::fflush(file) == 0;
    if (!ok) {
        std::clearerr(file);
        return fail();
    }
    return true;
}
