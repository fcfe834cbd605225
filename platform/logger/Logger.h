#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "LogSink.h"
#include "qo_common/logger/Log.h"

// The logger behind Log::Init. Each message whose level is at most the configured level becomes
// one line "<local time> [<Level>] <sender>: <message>", e.g.
// "2024-05-01 12:00:00.123 [Warning] qo_core: Camera lost", and goes to every sink:
//  - the file sink, when `file` is set;
//  - the log server (UDP datagrams, or HTTP POST when `http` is set), when `ip` (a numeric IPv4
//    address: no name look-up at start-up) is not empty and `port` is not 0;
//  - standard error, only when neither of the others is configured.
// SendLog is thread-safe and never throws: a line that a sink could not deliver is counted in
// failedSends() and SendLog answers false.
class Logger : public Log {
  public:
    struct Options {
        std::string ip;
        int port = 0;
        int level = LevelInfo;
        std::string sender;
        bool file = false;
        bool http = false;
        std::string filePath = "qo_core.log";
    };

    // Throws std::invalid_argument for a port outside 0..65535 and std::runtime_error when the file
    // cannot be opened or `ip` is not a numeric IPv4 address.
    explicit Logger(const Options& options);

    bool SendLog(const std::string& message, int level, int reserved) override;
    // Waits until the lines queued for the log server are delivered (or counted as failed).
    void PostMessage() override;
    int level() const override { return level_; }

    uint64_t failedSends() const;
    static const char* levelName(int level);

  private:
    std::string line(const std::string& message, int level) const;

    const int level_;
    const std::string sender_;
    std::vector<std::unique_ptr<LogSink>> sinks_;
    std::atomic<uint64_t> failedFormatting_{0};
};
