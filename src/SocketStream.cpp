#include "src/SocketStream.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace ek {
namespace {

using AddressOf = int (*)(int, sockaddr*, socklen_t*);

void addressText(socket_t sock, AddressOf query, std::string& ip, int& port) {
    sockaddr_storage address{};
    socklen_t length = sizeof(address);
    ip.clear();
    port = 0;
    if (query(sock, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return;
    }
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&address);
        inet_ntop(AF_INET, &in->sin_addr, text, sizeof(text));
        port = ntohs(in->sin_port);
    } else if (address.ss_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&address);
        inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof(text));
        port = ntohs(in6->sin6_port);
    }
    ip = text;
}

}  // namespace

SocketStream::SocketStream(socket_t sock, int readTimeoutMs, int writeTimeoutMs)
    : sock_(sock), readTimeoutMs_(readTimeoutMs), writeTimeoutMs_(writeTimeoutMs) {}

bool SocketStream::waitFor(socket_t sock, short events, int timeoutMs) {
    pollfd entry{sock, events, 0};
    int ready = 0;
    do {
        ready = ::poll(&entry, 1, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    return ready > 0;
}

bool SocketStream::is_readable() const {
    return bufferOffset_ < bufferSize_ || waitFor(sock_, POLLIN, readTimeoutMs_);
}

bool SocketStream::is_writable() const {
    return waitFor(sock_, POLLOUT, writeTimeoutMs_);
}

ssize_t SocketStream::fill() {
    ssize_t received = 0;
    do {
        received = ::recv(sock_, buffer_.data(), buffer_.size(), 0);
    } while (received < 0 && errno == EINTR);
    bufferOffset_ = 0;
    bufferSize_ = received > 0 ? static_cast<size_t>(received) : 0;
    return received;
}

ssize_t SocketStream::read(char* ptr, size_t size) {
    if (bufferOffset_ >= bufferSize_) {
        if (!is_readable()) {
            return -1;
        }
        if (size >= buffer_.size()) {
            ssize_t received = 0;
            do {
                received = ::recv(sock_, ptr, size, 0);
            } while (received < 0 && errno == EINTR);
            return received;
        }
        const ssize_t received = fill();
        if (received <= 0) {
            return received;
        }
    }
    const size_t count = std::min(size, bufferSize_ - bufferOffset_);
    std::memcpy(ptr, buffer_.data() + bufferOffset_, count);
    bufferOffset_ += count;
    return static_cast<ssize_t>(count);
}

ssize_t SocketStream::write(const char* ptr, size_t size) {
    if (!is_writable()) {
        return -1;
    }
    ssize_t sent = 0;
    do {
        // MSG_NOSIGNAL: a client that went away must not kill the process with SIGPIPE.
        sent = ::send(sock_, ptr, size, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    return sent;
}

void SocketStream::get_remote_ip_and_port(std::string& ip, int& port) const {
    addressText(sock_, ::getpeername, ip, port);
}

void SocketStream::get_local_ip_and_port(std::string& ip, int& port) const {
    addressText(sock_, ::getsockname, ip, port);
}

}  // namespace ek
