#pragma once

#include <string>
#include <vector>

// One named binary part of a multipart/form-data request.
struct HttpPart {
    std::string name;
    std::string fileName;
    std::string contentType;
    std::string body;
};

// A reusable libcurl connection for POST requests; keeps the connection alive between posts.
// Used by one thread at a time. No signals are used, so it is safe in threaded programs.
class QEVAHttpClient {
  public:
    QEVAHttpClient(long connectTimeoutMs, long timeoutMs);
    ~QEVAHttpClient();
    QEVAHttpClient(const QEVAHttpClient&) = delete;
    QEVAHttpClient& operator=(const QEVAHttpClient&) = delete;

    // Both return when the server answered 2xx; otherwise they throw std::runtime_error with the URL,
    // the status (or the transport error) and the start of the answer's body.
    void post(const std::string& url, const std::string& contentType, const std::string& body);
    void postMultipart(const std::string& url, const std::vector<HttpPart>& parts);

  private:
    void perform(const std::string& url, struct curl_slist* headers);

    void* curl_ = nullptr;
    long connectTimeoutMs_;
    long timeoutMs_;
    std::string answer_;
};
