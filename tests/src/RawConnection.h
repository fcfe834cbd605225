#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <optional>
#include <string>

// A plain TCP connection to a server on 127.0.0.1, for what an HTTP client hides: partial,
// slow, malformed and pipelined requests.
class RawConnection {
  public:
    explicit RawConnection(int port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        timeval guard{30, 0};  // against a hang only
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &guard, sizeof(guard));
        ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &guard, sizeof(guard));
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    }
    ~RawConnection() { ::close(fd_); }
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    bool connected() const { return connected_; }
    void send(const std::string& text) {
        ASSERT_EQ(::send(fd_, text.data(), text.size(), MSG_NOSIGNAL), (ssize_t)text.size());
    }
    // False when the server has closed or reset the connection.
    bool trySend(const std::string& text) {
        return ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL) == (ssize_t)text.size();
    }
    // Appends what has arrived, without waiting; false once the server has closed.
    bool readAvailable(std::string& out) {
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::recv(fd_, buffer, sizeof(buffer), MSG_DONTWAIT);
            if (n > 0) {
                out.append(buffer, static_cast<size_t>(n));
                continue;
            }
            return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
        }
    }
    // Reads until `part` has arrived; false when the server closed first or the read failed.
    bool readUntil(const std::string& part, std::string& out) {
        char buffer[4096];
        while (out.find(part) == std::string::npos) {
            const ssize_t n = ::recv(fd_, buffer, sizeof(buffer), 0);
            if (n <= 0) {
                return false;
            }
            out.append(buffer, static_cast<size_t>(n));
        }
        return true;
    }
    // Everything until the server closes; nullopt when the read failed (time-out guard).
    std::optional<std::string> readToEnd() {
        std::string out;
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::recv(fd_, buffer, sizeof(buffer), 0);
            if (n == 0) {
                return out;
            }
            if (n < 0) {
                return errno == ECONNRESET ? std::optional<std::string>(out) : std::nullopt;
            }
            out.append(buffer, static_cast<size_t>(n));
        }
    }
    // True when the server has closed the connection within `wait` (data before the close is
    // discarded).
    bool closedWithin(std::chrono::milliseconds wait) {
        const auto deadline = std::chrono::steady_clock::now() + wait;
        char buffer[4096];
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd entry{fd_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&entry, 1, static_cast<int>(left.count())) <= 0) {
                return false;
            }
            const ssize_t n = ::recv(fd_, buffer, sizeof(buffer), 0);
            if (n <= 0) {
                return true;
            }
        }
    }

  private:
    int fd_;
    bool connected_ = false;
};
