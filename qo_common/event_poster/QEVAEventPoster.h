#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "qo_common/event_poster/Protocols.h"
#include "qo_common/event_poster/QEVAEvent.h"

class EventSpool;
class QEVAHttpClient;
class SpoolDelivery;

// Delivers QEVA events to one event server over HTTP, in the format of docs/qeva-protocol.md.
// Built from one entry of "eventposters"; the keys it reads and their defaults are listed there.
// Events are stored in the poster's spool directory and sent from there by the poster's own
// delivery thread, oldest first, retried until the server takes them; the spool outlives the
// process. `post` is used by one thread at a time; different posters may post in parallel.
class QEVAEventPoster {
  public:
    // Pause before the next try of a request that failed, doubling from `firstMs` up to `maxMs`.
    struct RetryPause {
        int64_t firstMs = 1000;
        int64_t maxMs = 30000;
    };

    // Throws ek::ConfigError naming the key ("imageWidth: expected ...") when the entry is not an
    // object or a key is missing ("url"), of the wrong JSON type or out of range, or when the spool
    // directory cannot be made ("spoolPath: ..."); the loader places it under the entry's path.
    // Starts the delivery thread, which first sends what an earlier run left in the spool.
    explicit QEVAEventPoster(const nlohmann::json& poster) : QEVAEventPoster(poster, RetryPause{}) {}
    QEVAEventPoster(const nlohmann::json& poster, RetryPause pause);
    // Stops as `stop` does.
    ~QEVAEventPoster();
    QEVAEventPoster(const QEVAEventPoster&) = delete;
    QEVAEventPoster& operator=(const QEVAEventPoster&) = delete;

    // Encodes the event and writes its request whole into the spool, then returns; delivery follows
    // in the delivery thread (after `stop`, in the next run). When the spool would pass "spoolMaxMB" the
    // oldest events are dropped, each with an Error line naming it. Throws std::runtime_error naming the
    // event when a picture cannot be encoded or the spool file cannot be written.
    void post(const QEVAEvent& event);

    // Ends the delivery thread within a moment, abandoning the request in flight (it stays
    // spooled for the next run). Later calls do nothing. Safe from any thread.
    void stop();

    // Counters of this run and the spool's state: "spooled", "delivered", "retried", "refused",
    // "dropped", "spoolBytes", "spoolEvents" and "oldestAgeMs" (0 when empty). Safe from any thread.
    nlohmann::json statistics() const;
    // Events in the spool, not yet delivered (the spool's entries; refused ones not counted). A drain
    // at the end of the input waits for 0 before it stops the poster. Safe from any thread.
    size_t spooledEvents() const;
    // The same figures on one line for the periodic statistics log.
    std::string statisticsLine() const;

    // Initialises libcurl for the process. Call on the main thread before any poster thread starts;
    // further calls do nothing.
    static void globalInit();

    std::string name;
    std::string url;
    bool postImages = true;
    bool separatedImages = false;
    bool sendData = true;
    bool resizeEnabled = false;
    ek::Protocols protocolVersion = ek::Protocols::Latest;
    int imgWidth = 1280;
    bool postTriggers = true;
    float resizeConfidence = 0.f;
    std::string frameFormat = "jpeg";
    std::string plateFormat = "jpeg";
    int lprJPEGQuality = 90;
    int ovJPEGQuality = 75;
    int plateJPEGQuality = 95;
    long connectTimeoutMs = 2000;
    long timeoutMs = 10000;
    std::string spoolPath;
    int64_t spoolMaxMB = 1024;

  private:
    struct Counters;
    std::unique_ptr<Counters> counters_;
    std::unique_ptr<QEVAHttpClient> client_;
    std::unique_ptr<EventSpool> spool_;
    std::unique_ptr<SpoolDelivery> delivery_;
    std::mutex stopMutex_;  // guards delivery_ and client_ against a stop from another thread
};
