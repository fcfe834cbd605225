#pragma once

#include <string>

#include "LogSink.h"

// One UDP datagram per line to the log server. Never blocks: a line that the socket cannot take
// at once is counted as failed. Lines longer than kMaxDatagram bytes are cut to that length.
class UdpSink : public LogSink {
  public:
    static constexpr size_t kMaxDatagram = 65000;

    // Connects the socket to host:port, `host` being a numeric IPv4 address; throws
    // std::runtime_error naming the server and the reason.
    UdpSink(const std::string& host, int port);
    ~UdpSink() override;
    bool write(const std::string& line) override;

  private:
    int fd_ = -1;
};
