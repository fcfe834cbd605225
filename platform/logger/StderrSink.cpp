#include "StderrSink.h"

#include <cstdio>

bool StderrSink::write(const std::string& line) {
    bool ok =
        std::fwrite(line.data(), 1, line.size(), stderr) == line.size() && std::fputc('\n', stderr) != EOF;
    return ok ? true : fail();
}
