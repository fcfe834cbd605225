#pragma once

#include <httplib.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "tools/event_sink/EventStore.h"
#include "tools/event_sink/EventValidator.h"

// The receiving side of docs/qeva-protocol.md: accepts POST on any path, validates the event,
// stores it and answers 200; answers 400 for an invalid event, 415 for another content type. To
// test a failing server: `fail` answers 500 to every request, `failFirst` to the first N requests,
// and `hold` reads each request and never answers it (until stop).
class EventSink {
  public:
    struct Options {
        std::string host = "127.0.0.1";
        int port = 8090;  // 0 picks a free port
        std::filesystem::path folder = "events";
        bool fail = false;
        size_t failFirst = 0;
        bool hold = false;
        size_t maxBodyBytes = 64 * 1024 * 1024;
        std::FILE* summaryOut = stdout;
        std::string clipPrefix;  // put before the clip ids of the summary lines
    };

    // Binds the port; throws std::runtime_error when it cannot.
    explicit EventSink(Options options);
    // Stops and joins the server thread.
    ~EventSink();
    EventSink(const EventSink&) = delete;
    EventSink& operator=(const EventSink&) = delete;

    // Serves in a thread of its own until stop(); returns once requests are being served.
    void start();
    void stop();

    int port() const { return port_; }
    std::string url() const { return "http://" + options_.host + ":" + std::to_string(port_) + "/events"; }
    size_t stored() const { return stored_; }
    size_t refused() const { return refused_; }
    // Requests read so far, answered or not.
    size_t received() const { return received_; }
    const std::filesystem::path& folder() const { return store_.folder(); }

  private:
    void handle(const httplib::Request& request, httplib::Response& response);
    void answer(httplib::Response& response, int status, const nlohmann::json& body);

    Options options_;
    EventStore store_;
    EventValidator validator_;
    httplib::Server server_;
    int port_ = 0;
    std::thread thread_;
    std::atomic<size_t> stored_{0};
    std::atomic<size_t> refused_{0};
    std::atomic<size_t> received_{0};
    std::mutex holdMutex_;
    std::condition_variable released_;
    bool stopping_ = false;
};
