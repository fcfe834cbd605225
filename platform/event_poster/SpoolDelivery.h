#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/event_poster/EventSpool.h"
#include "platform/event_poster/RequestSender.h"

// The delivery thread of one poster: sends the spooled requests oldest first and removes each only
// after a 2xx answer. No connection, a time-out, 5xx, 408 and 429 are retried with a doubling
// pause while the request stays first in line; any other answer is a refusal, and the request is
// moved aside into the spool's "refused" directory. Every outcome is logged naming the event.
class SpoolDelivery {
  public:
    struct Backoff {
        int64_t firstMs = 1000;
        int64_t maxMs = 30000;
    };
    struct Counters {
        std::atomic<uint64_t> spooled{0};
        std::atomic<uint64_t> delivered{0};
        std::atomic<uint64_t> retried{0};
        std::atomic<uint64_t> refused{0};
        std::atomic<uint64_t> dropped{0};
    };

    // Starts the thread at once; what is already spooled goes first. A non-empty `url` is where
    // every request goes, also those spooled by an earlier run for another address: events follow
    // the server when the configuration moves it.
    SpoolDelivery(std::string poster, EventSpool& spool, RequestSender& sender, Counters& counters,
                  Backoff backoff, std::string url = "");
    // Stops as `stop` does.
    ~SpoolDelivery();
    SpoolDelivery(const SpoolDelivery&) = delete;
    SpoolDelivery& operator=(const SpoolDelivery&) = delete;

    // Logs the Error line of an event the spool dropped (bound, unreadable file).
    static void logDrop(const std::string& poster, const EventSpool::Drop& drop);

    // A new request was spooled.
    void wake();
    // Abandons the request in flight (it stays spooled) and joins the thread; returns as soon as the
    // sender gives up the request. Later calls do nothing.
    void stop();

  private:
    void run();
    void deliverOldest();
    bool pause(int64_t ms);

    const std::string poster_;
    EventSpool& spool_;
    RequestSender& sender_;
    Counters& counters_;
    const Backoff backoff_;
    const std::string url_;
    int64_t nextPauseMs_;
    uint64_t triesSeq_ = 0;
    int tries_ = 0;

    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    bool pending_ = false;
    std::thread thread_;
};
