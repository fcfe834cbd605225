#pragma once

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "src/HttpConnection.h"
#include "src/HttpHeadReader.h"
#include "src/UniqueFd.h"

namespace ek {

class BoundedTaskQueue;

// The HTTP library's routing and answers behind a front that hostile clients cannot stall.
//
// One connection thread (the one in serve()) accepts connections and polls all of them that no
// worker serves: new ones, idle kept-alive ones and those whose request is still arriving. It
// gathers each request whole (head and body, within the limits and deadlines of `Limits`) before
// a worker sees it, so a worker never waits for a client's bytes, and idle or slow clients only
// take a slot among `maxConnections` (when full, the connection nearest its deadline is closed
// for a new one). Requests that break a limit are answered there with 4xx and closed.
//
// Complete requests go to `workers` workers with at most `maxWaiting` waiting for one; a request
// that finds them all waiting is closed at once, without an answer. A worker answers (the
// answer must be written within `answerTimeout`), then hands a kept-alive connection back.
//
// A stop may come at any time, also before the server listens: requestStop() before bindPort()
// or serve() is remembered, so serve() then returns at once. After a stop, serve() closes every
// connection that waits, lets the workers answer the requests they already have, and returns.
class BoundedHttpServer : public httplib::Server {
  public:
    struct Limits {
        HttpHeadReader::Limits request;
        HttpConnection::Timeouts timeouts;
        size_t maxConnections = 64;
        std::chrono::milliseconds answerTimeout{10000};
    };

    BoundedHttpServer(size_t workers, size_t maxWaiting);
    BoundedHttpServer(size_t workers, size_t maxWaiting, const Limits& limits);
    ~BoundedHttpServer() override;
    BoundedHttpServer(const BoundedHttpServer&) = delete;
    BoundedHttpServer& operator=(const BoundedHttpServer&) = delete;

    // Binds the listening socket (port 0: a free port). Returns the bound port, or -1 when the
    // socket cannot be bound or a stop was already requested.
    int bindPort(const std::string& host, int port);
    // Accepts and serves connections until requestStop(). Returns false when nothing was bound.
    bool serve();
    // Ends serve(): new connections are refused at once. Safe from any thread (a handler's
    // included), at any time, more than once.
    void requestStop();
    bool stopRequested() const { return stopRequested_; }

    // Complete requests waiting for a worker.
    size_t waitingRequests() const;

  private:
    using ConnectionPtr = std::shared_ptr<HttpConnection>;

    void pollOnce(int listener);
    void acceptConnections(int listener, HttpConnection::Clock::time_point now);
    void makeRoom();
    void handle(const ConnectionPtr& connection, HttpConnection::Progress progress,
                std::vector<ConnectionPtr>& kept);
    void dispatch(const ConnectionPtr& connection);
    void answer(const ConnectionPtr& connection, std::string request);
    void handBack(ConnectionPtr connection);
    void adoptHandedBack(HttpConnection::Clock::time_point now);
    int pollTimeoutMs(HttpConnection::Clock::time_point now) const;
    void warnAtMostEverySecond(const std::string& message);
    void wake();
    void closeListeningSocket();

    const Limits limits_;
    const size_t maxWaiting_;
    std::atomic<bool> stopRequested_{false};
    std::mutex listenerMutex_;  // guards svr_sock_ between bind, stop and close
    bool bound_ = false;
    UniqueFd wakeFd_;

    // Owned by the connection thread.
    std::vector<ConnectionPtr> connections_;
    HttpConnection::Clock::time_point lastWarning_{};
    size_t warningsSuppressed_ = 0;

    // Connections that workers have answered and kept alive, for the connection thread.
    std::mutex handedBackMutex_;
    std::vector<ConnectionPtr> handedBack_;

    // Last: its workers use everything above and are joined before it goes.
    std::unique_ptr<BoundedTaskQueue> pool_;
};

}  // namespace ek
