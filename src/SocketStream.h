#pragma once

#include <httplib.h>

#include <array>
#include <cstddef>
#include <string>

namespace ek {

// One accepted HTTP connection as the HTTP library's stream: reads are buffered (the request
// parser reads byte by byte) and every wait is bounded by the connection's time-outs.
class SocketStream : public httplib::Stream {
  public:
    SocketStream(socket_t sock, int readTimeoutMs, int writeTimeoutMs);

    bool is_readable() const override;
    bool is_writable() const override;
    ssize_t read(char* ptr, size_t size) override;
    ssize_t write(const char* ptr, size_t size) override;
    using httplib::Stream::write;
    void get_remote_ip_and_port(std::string& ip, int& port) const override;
    void get_local_ip_and_port(std::string& ip, int& port) const override;
    socket_t socket() const override { return sock_; }

    // Waits up to timeoutMs for `events` on the socket; true when they came.
    static bool waitFor(socket_t sock, short events, int timeoutMs);

  private:
    ssize_t fill();

    socket_t sock_;
    int readTimeoutMs_;
    int writeTimeoutMs_;
    std::array<char, 4096> buffer_{};
    size_t bufferOffset_ = 0;
    size_t bufferSize_ = 0;
};

}  // namespace ek
