#include "UdpSink.h"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace {

struct AddrInfoDeleter {
    void operator()(addrinfo* info) const { freeaddrinfo(info); }
};

}  // namespace

UdpSink::UdpSink(const std::string& host, int port) {
    const std::string server = host + ":" + std::to_string(port);
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;  // no name look-up that could stall start-up
    addrinfo* found = nullptr;
    int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (rc != 0) {
        throw std::runtime_error("Log server address is not an IPv4 address: " + server + ": " +
                                 gai_strerror(rc));
    }
    std::unique_ptr<addrinfo, AddrInfoDeleter> addresses(found);
    fd_ = ::socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC, found->ai_protocol);
    if (fd_ < 0) {
        throw std::runtime_error("Cannot open a UDP socket for log server " + server + ": " +
                                 std::strerror(errno));
    }
    if (::connect(fd_, found->ai_addr, found->ai_addrlen) != 0) {
        int error = errno;
        ::close(fd_);
        throw std::runtime_error("Cannot address log server " + server + ": " + std::strerror(error));
    }
}

UdpSink::~UdpSink() {
    ::close(fd_);
}

bool UdpSink::write(const std::string& line) {
    size_t length = std::min(line.size(), kMaxDatagram);
    ssize_t sent = ::send(fd_, line.data(), length, MSG_DONTWAIT | MSG_NOSIGNAL);
    return sent == static_cast<ssize_t>(length) ? true : fail();
}
