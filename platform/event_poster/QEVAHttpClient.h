#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "platform/event_poster/RequestSender.h"

// One named binary part of a multipart/form-data request.
struct HttpPart {
    std::string name;
    std::string fileName;
    std::string contentType;
    std::string body;
};

// A reusable libcurl connection for POST requests; keeps the connection alive between posts.
// `send` is used by one thread at a time; `abort` may come from any thread. No signals are used,
// so it is safe in threaded programs.
class QEVAHttpClient : public RequestSender {
  public:
    QEVAHttpClient(long connectTimeoutMs, long timeoutMs);
    ~QEVAHttpClient() override;
    QEVAHttpClient(const QEVAHttpClient&) = delete;
    QEVAHttpClient& operator=(const QEVAHttpClient&) = delete;

    // Never throws for what the server or the network does: the result tells. Blocks at most
    // timeoutMs, and returns within a moment of `abort`.
    SendResult send(const SpooledRequest& request) override;
    void abort() override;

    // A multipart/form-data body of `parts` and its content type, so that it can be spooled whole.
    static std::pair<std::string, std::string> multipart(const std::vector<HttpPart>& parts);

  private:
    void* easy_ = nullptr;
    void* multi_ = nullptr;
    long connectTimeoutMs_;
    long timeoutMs_;
    std::atomic<bool> aborted_{false};
    std::string answer_;
};
