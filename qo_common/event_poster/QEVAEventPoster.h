#pragma once

#include <nlohmann/json.hpp>

#include <memory>
#include <string>

#include "qo_common/event_poster/Protocols.h"
#include "qo_common/event_poster/QEVAEvent.h"

class QEVAHttpClient;

// Delivers QEVA events to one event server over HTTP, in the format of docs/qeva-protocol.md.
// Built from one entry of "eventposters"; the keys it reads and their defaults are listed there.
// One poster is used by one thread at a time; different posters may post in parallel.
class QEVAEventPoster {
  public:
    // Throws ek::ConfigError naming the key ("imageWidth: expected ...") when the entry is not an
    // object or a key is missing ("url"), of the wrong JSON type or out of range; the loader places
    // it under the entry's path.
    explicit QEVAEventPoster(const nlohmann::json& poster);
    ~QEVAEventPoster();
    QEVAEventPoster(const QEVAEventPoster&) = delete;
    QEVAEventPoster& operator=(const QEVAEventPoster&) = delete;

    // Sends one event and returns once the server has answered with a 2xx status. Throws
    // std::runtime_error with the URL and the reason on any other answer or on a transport error
    // (no connection, time-out), and when an image cannot be encoded. Blocks for at most timeoutMs.
    void post(const QEVAEvent& event);

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

  private:
    std::unique_ptr<QEVAHttpClient> client_;
};
