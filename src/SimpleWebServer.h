#pragma once

#include <httplib.h>

#include <atomic>
#include <cstddef>
#include <memory>
#include <thread>

#include "src/BoundedHttpServer.h"

namespace ek {

class PipelineContext;

// The control and observation API: status, ping, the inference switch, live camera images,
// trigger intake and exit. Built with the context (routes registered, not listening); main
// starts the listener thread and joins it last.
//
// Handlers run on 4 pool workers; at most 16 further complete requests wait for one, and a request
// beyond that is closed at once. Requests are read whole before a worker sees them, within the
// limits and time-outs of BoundedHttpServer; bodies are capped at kMaxBodyBytes.
class SimpleWebServer {
  public:
    static constexpr size_t kWorkers = 4;
    static constexpr size_t kMaxWaiting = 16;
    static constexpr size_t kMaxBodyBytes = 1024 * 1024;

    // Reads "webserver"."port" of the context's configuration (the JSON library's type error
    // when missing or not an integer) and registers the routes.
    explicit SimpleWebServer(PipelineContext* ctx);
    ~SimpleWebServer();
    SimpleWebServer(const SimpleWebServer&) = delete;
    SimpleWebServer& operator=(const SimpleWebServer&) = delete;

    // Binds the port on "0.0.0.0" and returns the listener thread, which the caller joins. A port
    // that cannot be bound is logged at Error; the thread then ends at once and the service goes
    // on without its API. Port 0 listens on a free port (see boundPort).
    std::thread start();
    // Closes the listening socket so that the listener thread ends once the requests in progress
    // are answered. Remembered when it comes before start or before listening has begun.
    void stop();
    // The port being listened on, or -1 before start or after a failed bind.
    int boundPort() const { return boundPort_; }
    // Complete requests waiting for a worker.
    size_t waitingRequests() const { return server->waitingRequests(); }

  private:
    void registerRoutes();
    void onExit(httplib::Response& res);
    void onStatus(httplib::Response& res);
    void onInference(const httplib::Request& req, httplib::Response& res);
    void onInferenceStatus(httplib::Response& res);
    void onBinImage(const httplib::Request& req, httplib::Response& res);
    void onTrigger(httplib::Response& res, const httplib::ContentReader& reader);

    PipelineContext* ctx;
    std::shared_ptr<BoundedHttpServer> server;
    int port;
    std::atomic<int> boundPort_{-1};
};

}  // namespace ek
