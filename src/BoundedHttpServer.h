#pragma once

#include <httplib.h>

#include <atomic>
#include <cstddef>
#include <string>

namespace ek {

// The HTTP library's server with a bounded worker pool (BoundedTaskQueue) and a stop that may
// come at any time, also before the server listens:
// - a connection accepted while `maxWaiting` connections already wait for a worker is closed at
//   once, without an answer, on the listener thread;
// - requestStop() before bindPort() or serve() is remembered, so serve() then returns at once;
// - a worker waiting for the next request of a kept-alive connection gives up as soon as the
//   server stops, so a stop never waits for idle clients.
class BoundedHttpServer : public httplib::Server {
  public:
    BoundedHttpServer(size_t workers, size_t maxWaiting);
    ~BoundedHttpServer() override;

    // Binds the listening socket (port 0: a free port). Returns the bound port, or -1 when the
    // socket cannot be bound or a stop was already requested.
    int bindPort(const std::string& host, int port);
    // Accepts and serves connections until requestStop(). Returns false when nothing was bound.
    bool serve();
    // Closes the listening socket. Safe from any thread, at any time, more than once.
    void requestStop();
    bool stopRequested() const { return stopRequested_; }

  private:
    bool process_and_close_socket(socket_t sock) override;
    // Waits for the first byte of the next request; false on time-out, hang-up or stop.
    bool waitForRequest(socket_t sock) const;
    void closeListeningSocket();
    void refuse(std::function<void()> job);

    const size_t workers_;
    const size_t maxWaiting_;
    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> bound_{false};
};

}  // namespace ek
