#pragma once

#include <atomic>
#include <cstdint>
#include <string>

// One destination of log lines. write() is called under the logger's lock, one line at a time,
// and never throws; a line that could not be delivered is counted in failures().
class LogSink {
  public:
    virtual ~LogSink() = default;
    LogSink(const LogSink&) = delete;
    LogSink& operator=(const LogSink&) = delete;

    // `line` carries no trailing newline. Returns false when the line was not delivered (or, for
    // a sink that delivers later, not accepted).
    virtual bool write(const std::string& line) = 0;
    // Returns once every accepted line has been delivered or counted as failed.
    virtual void flush() {}
    uint64_t failures() const { return failures_.load(); }

  protected:
    LogSink() = default;
    // Counts one lost line and returns false, for `return fail();`.
    bool fail();

  private:
    std::atomic<uint64_t> failures_{0};
};
