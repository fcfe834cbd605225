#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "LogSink.h"

// Posts each line to the log server: POST "/log", body the line, content type
// "text/plain; charset=utf-8", one request per line over a kept-alive connection. The posts are
// made by the sink's own thread so that a slow or absent server never holds a logging thread:
// write() only queues. At most kMaxQueued lines wait; a line beyond that, a refused connection,
// a time-out or a status other than 2xx counts as failed. At destruction the queued lines are
// still sent, except that after the first failure the rest are counted as failed at once.
class HttpSink : public LogSink {
  public:
    static constexpr size_t kMaxQueued = 1000;

    HttpSink(const std::string& host, int port);
    ~HttpSink() override;
    bool write(const std::string& line) override;
    void flush() override;

  private:
    void run();

    const std::string host_;
    const int port_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<std::string> queue_;
    bool busy_ = false;
    bool stopping_ = false;
    std::thread worker_;
};
