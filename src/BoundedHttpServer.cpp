#include "src/BoundedHttpServer.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <utility>

#include "qo_common/logger/log.h"
#include "src/BoundedTaskQueue.h"
#include "src/SocketStream.h"

namespace ek {
namespace {

// Set while a refused job runs: its connection is closed instead of served.
thread_local bool refusingConnection = false;

void closeSocket(socket_t sock) {
    ::shutdown(sock, SHUT_RDWR);
    ::close(sock);
}

int toMs(time_t sec, time_t usec) {
    return static_cast<int>(sec * 1000 + usec / 1000);
}

}  // namespace

BoundedHttpServer::BoundedHttpServer(size_t workers, size_t maxWaiting)
    : workers_(workers), maxWaiting_(maxWaiting) {
    // The library's factory interface hands the pool over as a raw pointer that it then owns.
    new_task_queue = [this] {
        return new BoundedTaskQueue(workers_, maxWaiting_,
                                    [this](std::function<void()> job) { refuse(std::move(job)); });
    };
    // Only SO_REUSEADDR: the library's default SO_REUSEPORT would let a second process bind the
    // same port silently and share our connections.
    set_socket_options([](socket_t sock) {
        int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
    });
}

BoundedHttpServer::~BoundedHttpServer() {
    requestStop();
}

int BoundedHttpServer::bindPort(const std::string& host, int port) {
    if (stopRequested_) {
        return -1;
    }
    int bound = -1;
    if (port == 0) {
        bound = bind_to_any_port(host);
    } else if (bind_to_port(host, port)) {
        bound = port;
    }
    if (bound < 0) {
        return -1;
    }
    bound_ = true;
    // A stop that came while binding found no socket to close; close it now.
    if (stopRequested_) {
        closeListeningSocket();
        return -1;
    }
    return bound;
}

bool BoundedHttpServer::serve() {
    if (!bound_ || stopRequested_) {
        closeListeningSocket();
        return false;
    }
    return listen_after_bind();
}

void BoundedHttpServer::requestStop() {
    stopRequested_ = true;
    closeListeningSocket();
}

void BoundedHttpServer::closeListeningSocket() {
    const socket_t sock = svr_sock_.exchange(INVALID_SOCKET);
    if (sock != INVALID_SOCKET) {
        closeSocket(sock);
    }
}

void BoundedHttpServer::refuse(std::function<void()> job) {
    ILog::Warning("Web server: %zu connections wait for a worker, closing a new one", maxWaiting_);
    refusingConnection = true;
    try {
        job();
    } catch (...) {
        refusingConnection = false;
        throw;
    }
    refusingConnection = false;
}

bool BoundedHttpServer::waitForRequest(socket_t sock) const {
    // Short polls so that a stop is seen within a few milliseconds.
    constexpr int kPollMs = 10;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(keep_alive_timeout_sec_);
    while (svr_sock_ != INVALID_SOCKET) {
        pollfd entry{sock, POLLIN, 0};
        const int ready = ::poll(&entry, 1, kPollMs);
        if (ready > 0) {
            return true;
        }
        if (ready < 0 && errno != EINTR) {
            return false;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
    }
    return false;
}

bool BoundedHttpServer::process_and_close_socket(socket_t sock) {
    if (refusingConnection) {
        closeSocket(sock);
        return false;
    }
    // The library writes headers and body separately; with Nagle's algorithm the body then waits
    // for the client's delayed ACK (tens of milliseconds per answer).
    int yes = 1;
    ::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof(yes));
    SocketStream stream(sock, toMs(read_timeout_sec_, read_timeout_usec_),
                        toMs(write_timeout_sec_, write_timeout_usec_));
    bool served = false;
    for (size_t left = keep_alive_max_count_; left > 0 && waitForRequest(sock); --left) {
        bool connectionClosed = false;
        served = process_request(stream, left == 1, connectionClosed, nullptr);
        if (!served || connectionClosed) {
            break;
        }
    }
    closeSocket(sock);
    return served;
}

}  // namespace ek
