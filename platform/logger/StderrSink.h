#pragma once

#include <string>

#include "LogSink.h"

// Standard error: the destination when neither a file nor a log server is configured.
class StderrSink : public LogSink {
  public:
    StderrSink() = default;
    bool write(const std::string& line) override;
};
