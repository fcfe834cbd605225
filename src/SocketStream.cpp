#include "src/SocketStream.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <utility>

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

SocketStream::SocketStream(socket_t sock, std::string request,
                           std::chrono::steady_clock::time_point writeDeadline)
    : sock_(sock), request_(std::move(request)), writeDeadline_(writeDeadline) {}

bool SocketStream::is_readable() const {
    return offset_ < request_.size();
}

bool SocketStream::is_writable() const {
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            writeDeadline_ - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd entry{sock_, POLLOUT, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(std::min<int64_t>(left.count(), 1000)));
        if (ready > 0) {
            return (entry.revents & POLLOUT) != 0;
        }
        if (ready < 0 && errno != EINTR) {
            return false;
        }
    }
}

ssize_t SocketStream::read(char* ptr, size_t size) {
    const size_t count = std::min(size, request_.size() - offset_);
    std::memcpy(ptr, request_.data() + offset_, count);
    offset_ += count;
    return static_cast<ssize_t>(count);
}

ssize_t SocketStream::write(const char* ptr, size_t size) {
    // The library does not always retry a short write (headers and bodies go out in one call), so
    // a write sends everything or fails, as a blocking socket would.
    size_t offset = 0;
    while (offset < size) {
        if (!is_writable()) {
            return -1;
        }
        // MSG_NOSIGNAL: a client that went away must not kill the process with SIGPIPE.
        const ssize_t sent = ::send(sock_, ptr + offset, size - offset, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
            offset += static_cast<size_t>(sent);
        } else if (sent < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
            return -1;
        }
    }
    return static_cast<ssize_t>(size);
}

void SocketStream::get_remote_ip_and_port(std::string& ip, int& port) const {
    addressText(sock_, ::getpeername, ip, port);
}

void SocketStream::get_local_ip_and_port(std::string& ip, int& port) const {
    addressText(sock_, ::getsockname, ip, port);
}

}  // namespace ek
