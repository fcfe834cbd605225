#include "src/HttpConnection.h"

#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <utility>

#include "qo_common/logger/log.h"

namespace ek {
namespace {

constexpr size_t kChunkBytes = 16 * 1024;
// A refused client may still be sending a large body; past this it gets a reset instead.
constexpr size_t kMaxDrainBytes = 4 * 1024 * 1024;
// Buffers grown for a large body are given back while the connection waits for its next request.
constexpr size_t kKeptBufferBytes = 64 * 1024;

const char* reasonPhrase(int status) {
    switch (status) {
        case 400:
            return "Bad Request";
        case 408:
            return "Request Timeout";
        case 411:
            return "Length Required";
        case 413:
            return "Payload Too Large";
        case 414:
            return "URI Too Long";
        case 431:
            return "Request Header Fields Too Large";
        case 505:
            return "HTTP Version Not Supported";
        default:
            return "Error";
    }
}

// The connection's socket is non-blocking: what does not fit the send buffer now is dropped.
void sendBestEffort(int sock, const std::string& text) {
    ssize_t sent = 0;
    do {
        sent = ::send(sock, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (sent < 0 && errno == EINTR);
}

}  // namespace

HttpConnection::HttpConnection(UniqueFd socket, const HttpHeadReader::Limits& limits,
                               const Timeouts& timeouts, Clock::time_point now)
    : socket_(std::move(socket)), reader_(limits), timeouts_(timeouts) {
    startWaiting(now);
}

void HttpConnection::startWaiting(Clock::time_point now) {
    phase_ = Phase::Idle;
    deadline_ = now + timeouts_.idle;
}

size_t HttpConnection::readCapacity() const {
    if (phase_ == Phase::Body) {
        return reader_.headBytes() + reader_.bodyBytes() - buffer_.size();
    }
    // One byte over the head limit is enough to see that it is broken.
    const size_t headRoom = reader_.limits().maxHeadBytes + 1;
    return headRoom > buffer_.size() ? headRoom - buffer_.size() : 1;
}

HttpConnection::Progress HttpConnection::onReadable(Clock::time_point now) {
    if (phase_ == Phase::Draining) {
        return drain();
    }
    std::array<char, kChunkBytes> chunk;
    const size_t want = std::min(readCapacity(), chunk.size());
    ssize_t received = 0;
    do {
        received = ::recv(socket_.get(), chunk.data(), want, 0);
    } while (received < 0 && errno == EINTR);
    if (received < 0) {
        return errno == EAGAIN || errno == EWOULDBLOCK ? Progress::Waiting : Progress::Closed;
    }
    if (received == 0) {
        // The client went away; an unfinished request has nobody left to answer.
        return Progress::Closed;
    }
    if (phase_ == Phase::Idle) {
        phase_ = Phase::Head;
        deadline_ = now + timeouts_.head;
    }
    buffer_.append(chunk.data(), static_cast<size_t>(received));
    return scan(now);
}

HttpConnection::Progress HttpConnection::scan(Clock::time_point now) {
    switch (reader_.advance(buffer_)) {
        case HttpHeadReader::State::Incomplete:
            return Progress::Waiting;
        case HttpHeadReader::State::Refused:
            return refuse(reader_.refusalStatus(), reader_.refusalReason(), now);
        case HttpHeadReader::State::Complete:
            break;
    }
    if (buffer_.size() >= reader_.headBytes() + reader_.bodyBytes()) {
        phase_ = Phase::Ready;
        return Progress::RequestReady;
    }
    if (phase_ != Phase::Body) {
        phase_ = Phase::Body;
        deadline_ = now + timeouts_.body;
        if (reader_.expectsContinue()) {
            sendBestEffort(socket_.get(), "HTTP/1.1 100 Continue\r\n\r\n");
        }
    }
    return Progress::Waiting;
}

HttpConnection::Progress HttpConnection::onDeadline(Clock::time_point now) {
    if (phase_ == Phase::Head) {
        return refuse(
            408, "request head not complete within " + std::to_string(timeouts_.head.count()) + " ms", now);
    }
    if (phase_ == Phase::Body) {
        return refuse(
            408, "request body not complete within " + std::to_string(timeouts_.body.count()) + " ms", now);
    }
    return Progress::Closed;
}

HttpConnection::Progress HttpConnection::resume(Clock::time_point now) {
    startWaiting(now);
    if (buffer_.empty()) {
        return Progress::Waiting;
    }
    phase_ = Phase::Head;
    deadline_ = now + timeouts_.head;
    return scan(now);
}

std::string HttpConnection::takeRequest() {
    const size_t head = reader_.headBytes();
    const size_t body = reader_.bodyBytes();
    std::string request = reader_.forwardedHead();
    request.append(buffer_, head, body);
    buffer_.erase(0, head + body);
    if (buffer_.capacity() > kKeptBufferBytes) {
        buffer_.shrink_to_fit();
    }
    reader_.reset();
    return request;
}

HttpConnection::Progress HttpConnection::refuse(int status, const std::string& reason,
                                                Clock::time_point now) {
    ILog::Debug("Web server: answered %i and closed a connection: %s", status, reason.c_str());
    const std::string answer =
        "HTTP/1.1 " + std::to_string(status) + " " + reasonPhrase(status) +
        "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(reason.size()) +
        "\r\nConnection: close\r\n\r\n" + reason;
    sendBestEffort(socket_.get(), answer);
    ::shutdown(socket_.get(), SHUT_WR);
    phase_ = Phase::Draining;
    deadline_ = now + timeouts_.drain;
    std::string().swap(buffer_);
    drained_ = 0;
    return Progress::Waiting;
}

HttpConnection::Progress HttpConnection::drain() {
    std::array<char, kChunkBytes> chunk;
    for (;;) {
        const ssize_t received = ::recv(socket_.get(), chunk.data(), chunk.size(), 0);
        if (received > 0) {
            drained_ += static_cast<size_t>(received);
            if (drained_ > kMaxDrainBytes) {
                return Progress::Closed;
            }
            continue;
        }
        if (received < 0 && errno == EINTR) {
            continue;
        }
        if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return Progress::Waiting;
        }
        return Progress::Closed;
    }
}

}  // namespace ek
