#pragma once

#include <httplib.h>

#include <chrono>
#include <cstddef>
#include <string>

namespace ek {

// One complete request, already received, as the HTTP library's stream: reads come from memory
// (so parsing never waits for the client) and end with the request; the answer is written to the
// connection's non-blocking socket, and every write gives up at `writeDeadline`, so a client
// that does not read cannot hold a worker for longer than that.
class SocketStream : public httplib::Stream {
  public:
    SocketStream(socket_t sock, std::string request, std::chrono::steady_clock::time_point writeDeadline);

    bool is_readable() const override;
    bool is_writable() const override;
    ssize_t read(char* ptr, size_t size) override;
    ssize_t write(const char* ptr, size_t size) override;
    using httplib::Stream::write;
    void get_remote_ip_and_port(std::string& ip, int& port) const override;
    void get_local_ip_and_port(std::string& ip, int& port) const override;
    socket_t socket() const override { return sock_; }

  private:
    socket_t sock_;
    std::string request_;
    size_t offset_ = 0;
    std::chrono::steady_clock::time_point writeDeadline_;
};

}  // namespace ek
