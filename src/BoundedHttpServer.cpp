#include "src/BoundedHttpServer.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <utility>

#include "qo_common/logger/log.h"
#include "src/BoundedTaskQueue.h"
#include "src/SocketStream.h"

namespace ek {
namespace {

using Clock = HttpConnection::Clock;

// The connection thread wakes at least this often even when nothing happens.
constexpr int kMaxPollMs = 1000;
// Accepts per wake-up, so that a flood of connections cannot starve the waiting ones.
constexpr int kMaxAcceptsPerWake = 64;
constexpr int kListenBacklog = 128;

UniqueFd makeWakeFd() {
    UniqueFd fd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!fd.valid()) {
        throw std::runtime_error(std::string("Web server: cannot make its wake-up event: ") +
                                 std::strerror(errno));
    }
    return fd;
}

}  // namespace

BoundedHttpServer::BoundedHttpServer(size_t workers, size_t maxWaiting)
    : BoundedHttpServer(workers, maxWaiting, Limits{}) {}

BoundedHttpServer::BoundedHttpServer(size_t workers, size_t maxWaiting, const Limits& limits)
    : limits_(limits),
      maxWaiting_(maxWaiting),
      wakeFd_(makeWakeFd()),
      pool_(std::make_unique<BoundedTaskQueue>(workers, maxWaiting)) {
    // Only SO_REUSEADDR: the library's default SO_REUSEPORT would let a second process bind the
    // same port silently and share our connections.
    set_socket_options([](socket_t sock) {
        int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
    });
    set_payload_max_length(limits_.request.maxBodyBytes);
}

BoundedHttpServer::~BoundedHttpServer() {
    requestStop();
    pool_->shutdown();
    closeListeningSocket();
}

int BoundedHttpServer::bindPort(const std::string& host, int port) {
    std::lock_guard<std::mutex> guard(listenerMutex_);
    if (stopRequested_ || bound_) {
        return -1;
    }
    int bound = -1;
    if (port == 0) {
        bound = bind_to_any_port(host);
    } else if (bind_to_port(host, port)) {
        bound = port;
    }
    bound_ = bound >= 0;
    if (bound_) {
        // Listening again only resizes the queue of connections not yet accepted: the library's
        // five would drop the SYNs of a burst of clients, which then retry only after a second.
        ::listen(svr_sock_, kListenBacklog);
    }
    return bound;
}

bool BoundedHttpServer::serve() {
    int listener = INVALID_SOCKET;
    {
        std::lock_guard<std::mutex> guard(listenerMutex_);
        if (bound_ && !stopRequested_) {
            listener = svr_sock_;
        }
    }
    if (listener == INVALID_SOCKET) {
        closeListeningSocket();
        return false;
    }
    ::fcntl(listener, F_SETFL, ::fcntl(listener, F_GETFL) | O_NONBLOCK);
    while (!stopRequested_) {
        pollOnce(listener);
    }
    closeListeningSocket();
    connections_.clear();
    pool_->shutdown();
    std::lock_guard<std::mutex> guard(handedBackMutex_);
    handedBack_.clear();
    return true;
}

void BoundedHttpServer::requestStop() {
    stopRequested_ = true;
    {
        // Shut down, not closed: the connection thread may still poll the descriptor, and its
        // number must not be reused under it. New connections are refused from here on.
        std::lock_guard<std::mutex> guard(listenerMutex_);
        if (svr_sock_ != INVALID_SOCKET) {
            ::shutdown(svr_sock_, SHUT_RDWR);
        }
    }
    wake();
}

size_t BoundedHttpServer::waitingRequests() const {
    return pool_->waiting();
}

void BoundedHttpServer::closeListeningSocket() {
    std::lock_guard<std::mutex> guard(listenerMutex_);
    const socket_t sock = svr_sock_.exchange(INVALID_SOCKET);
    if (sock != INVALID_SOCKET) {
        ::close(sock);
    }
}

void BoundedHttpServer::wake() {
    const uint64_t one = 1;
    // Fails only when the counter is already full, which wakes the thread as well.
    [[maybe_unused]] const ssize_t written = ::write(wakeFd_.get(), &one, sizeof(one));
}

int BoundedHttpServer::pollTimeoutMs(Clock::time_point now) const {
    auto nearest = now + std::chrono::milliseconds(kMaxPollMs);
    for (const auto& connection : connections_) {
        nearest = std::min(nearest, connection->deadline());
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(nearest - now).count();
    // + 1: never wake a moment before the deadline and spin until it comes.
    return static_cast<int>(std::clamp<int64_t>(left + 1, 0, kMaxPollMs));
}

void BoundedHttpServer::pollOnce(int listener) {
    std::vector<pollfd> polled;
    polled.reserve(connections_.size() + 2);
    polled.push_back({wakeFd_.get(), POLLIN, 0});
    polled.push_back({listener, POLLIN, 0});
    for (const auto& connection : connections_) {
        polled.push_back({connection->socket(), POLLIN, 0});
    }
    const int ready = ::poll(polled.data(), polled.size(), pollTimeoutMs(Clock::now()));
    if (ready < 0) {
        if (errno != EINTR) {
            ILog::Error("Web server: poll failed: %s", std::strerror(errno));
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return;
    }
    const auto now = Clock::now();
    std::vector<ConnectionPtr> kept;
    kept.reserve(connections_.size());
    for (size_t i = 0; i < connections_.size(); ++i) {
        const ConnectionPtr& connection = connections_[i];
        auto progress = HttpConnection::Progress::Waiting;
        if (polled[i + 2].revents != 0) {
            progress = connection->onReadable(now);
        }
        // Also for a client that keeps trickling: the deadline is for the whole request.
        if (progress == HttpConnection::Progress::Waiting && now >= connection->deadline()) {
            progress = connection->onDeadline(now);
        }
        handle(connection, progress, kept);
    }
    connections_.swap(kept);
    if (polled[0].revents != 0) {
        uint64_t count = 0;
        [[maybe_unused]] const ssize_t read = ::read(wakeFd_.get(), &count, sizeof(count));
    }
    adoptHandedBack(now);
    if (polled[1].revents != 0 && !stopRequested_) {
        acceptConnections(listener, now);
    }
}

void BoundedHttpServer::acceptConnections(int listener, Clock::time_point now) {
    for (int i = 0; i < kMaxAcceptsPerWake; ++i) {
        UniqueFd sock(::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!sock.valid()) {
            if (errno == EINTR || errno == ECONNABORTED) {
                continue;
            }
            if (errno == EMFILE || errno == ENFILE) {
                warnAtMostEverySecond("Web server: out of file descriptors, closing a waiting connection");
                if (connections_.empty()) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                } else {
                    makeRoom();
                }
            } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
                ILog::Error("Web server: accept failed: %s", std::strerror(errno));
            }
            return;
        }
        // The library writes headers and body separately; with Nagle's algorithm the body then
        // waits for the client's delayed ACK (tens of milliseconds per answer).
        int yes = 1;
        ::setsockopt(sock.get(), IPPROTO_TCP, TCP_NODELAY, &yes, sizeof(yes));
        if (connections_.size() >= limits_.maxConnections) {
            warnAtMostEverySecond("Web server: " + std::to_string(limits_.maxConnections) +
                                  " connections wait for a request, closing the one nearest its time-out");
            makeRoom();
        }
        connections_.push_back(
            std::make_shared<HttpConnection>(std::move(sock), limits_.request, limits_.timeouts, now));
    }
}

void BoundedHttpServer::makeRoom() {
    if (connections_.empty()) {
        return;
    }
    const auto nearest = std::min_element(
        connections_.begin(), connections_.end(),
        [](const ConnectionPtr& a, const ConnectionPtr& b) { return a->deadline() < b->deadline(); });
    connections_.erase(nearest);
}

void BoundedHttpServer::handle(const ConnectionPtr& connection, HttpConnection::Progress progress,
                               std::vector<ConnectionPtr>& kept) {
    switch (progress) {
        case HttpConnection::Progress::Waiting:
            kept.push_back(connection);
            break;
        case HttpConnection::Progress::RequestReady:
            dispatch(connection);
            break;
        case HttpConnection::Progress::Closed:
            break;
    }
}

void BoundedHttpServer::dispatch(const ConnectionPtr& connection) {
    BoundedTaskQueue::Job job = [this, connection, request = connection->takeRequest()]() mutable {
        answer(connection, std::move(request));
    };
    if (!pool_->tryEnqueue(job)) {
        // The job, and with it the connection, goes here: closed without an answer.
        warnAtMostEverySecond("Web server: " + std::to_string(maxWaiting_) +
                              " requests wait for a worker, closing a new connection");
    }
}

void BoundedHttpServer::answer(const ConnectionPtr& connection, std::string request) {
    SocketStream stream(connection->socket(), std::move(request), Clock::now() + limits_.answerTimeout);
    const bool last = connection->countAnswer() >= keep_alive_max_count_ || stopRequested_;
    bool closed = false;
    const bool answered = process_request(stream, last, closed, nullptr);
    if (answered && !closed && !last) {
        handBack(connection);
    }
}

void BoundedHttpServer::handBack(ConnectionPtr connection) {
    if (stopRequested_) {
        return;
    }
    {
        std::lock_guard<std::mutex> guard(handedBackMutex_);
        handedBack_.push_back(std::move(connection));
    }
    wake();
}

void BoundedHttpServer::adoptHandedBack(Clock::time_point now) {
    std::vector<ConnectionPtr> adopted;
    {
        std::lock_guard<std::mutex> guard(handedBackMutex_);
        adopted.swap(handedBack_);
    }
    for (const auto& connection : adopted) {
        if (connections_.size() >= limits_.maxConnections) {
            makeRoom();
        }
        handle(connection, connection->resume(now), connections_);
    }
}

void BoundedHttpServer::warnAtMostEverySecond(const std::string& message) {
    const auto now = Clock::now();
    if (now - lastWarning_ < std::chrono::seconds(1)) {
        ++warningsSuppressed_;
        return;
    }
    if (warningsSuppressed_ > 0) {
        ILog::Warning("%s (%zu more such warnings since the last one)", message.c_str(), warningsSuppressed_);
    } else {
        ILog::Warning("%s", message.c_str());
    }
    lastWarning_ = now;
    warningsSuppressed_ = 0;
}

}  // namespace ek
