#include "platform/event_poster/QEVAHttpClient.h"

#include <curl/curl.h>

#include <algorithm>
#include <memory>
#include <stdexcept>

namespace {

// The start of an answer is enough to tell a person why the server refused.
constexpr size_t kAnswerKept = 512;

size_t keepAnswer(char* data, size_t size, size_t count, void* user) {
    auto* answer = static_cast<std::string*>(user);
    size_t bytes = size * count;
    if (answer->size() < kAnswerKept) {
        answer->append(data, std::min(bytes, kAnswerKept - answer->size()));
    }
    return bytes;
}

CURL* handle(void* p) {
    return static_cast<CURL*>(p);
}

struct SlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct MimeDeleter {
    void operator()(curl_mime* mime) const { curl_mime_free(mime); }
};

void check(CURLcode code, const char* what) {
    if (code != CURLE_OK) {
        throw std::runtime_error(std::string("libcurl: cannot set ") + what + ": " +
                                 curl_easy_strerror(code));
    }
}

}  // namespace

QEVAHttpClient::QEVAHttpClient(long connectTimeoutMs, long timeoutMs)
    : curl_(curl_easy_init()), connectTimeoutMs_(connectTimeoutMs), timeoutMs_(timeoutMs) {
    if (curl_ == nullptr) {
        throw std::runtime_error("libcurl: curl_easy_init failed");
    }
}

QEVAHttpClient::~QEVAHttpClient() {
    curl_easy_cleanup(handle(curl_));
}

void QEVAHttpClient::post(const std::string& url, const std::string& contentType, const std::string& body) {
    std::unique_ptr<curl_slist, SlistDeleter> headers(
        curl_slist_append(nullptr, ("Content-Type: " + contentType).c_str()));
    // An empty Expect keeps libcurl from waiting for "100 Continue" on large bodies.
    headers.reset(curl_slist_append(headers.release(), "Expect:"));
    curl_easy_reset(handle(curl_));
    check(curl_easy_setopt(handle(curl_), CURLOPT_POSTFIELDS, body.data()), "body");
    check(curl_easy_setopt(handle(curl_), CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size())),
          "body size");
    perform(url, headers.get());
}

void QEVAHttpClient::postMultipart(const std::string& url, const std::vector<HttpPart>& parts) {
    curl_easy_reset(handle(curl_));
    std::unique_ptr<curl_mime, MimeDeleter> mime(curl_mime_init(handle(curl_)));
    if (!mime) {
        throw std::runtime_error("libcurl: curl_mime_init failed");
    }
    for (const auto& p : parts) {
        curl_mimepart* part = curl_mime_addpart(mime.get());
        if (part == nullptr || curl_mime_name(part, p.name.c_str()) != CURLE_OK ||
            curl_mime_data(part, p.body.data(), p.body.size()) != CURLE_OK ||
            curl_mime_type(part, p.contentType.c_str()) != CURLE_OK ||
            (!p.fileName.empty() && curl_mime_filename(part, p.fileName.c_str()) != CURLE_OK)) {
            throw std::runtime_error("libcurl: cannot build multipart part " + p.name);
        }
    }
    // The handle must forget the body before the body is freed, also when the post throws.
    struct DetachMime {
        CURL* c;
        ~DetachMime() { curl_easy_setopt(c, CURLOPT_MIMEPOST, nullptr); }
    } detach{handle(curl_)};
    check(curl_easy_setopt(handle(curl_), CURLOPT_MIMEPOST, mime.get()), "multipart body");
    std::unique_ptr<curl_slist, SlistDeleter> headers(curl_slist_append(nullptr, "Expect:"));
    perform(url, headers.get());
}

void QEVAHttpClient::perform(const std::string& url, curl_slist* headers) {
    CURL* c = handle(curl_);
    char error[CURL_ERROR_SIZE] = {0};
    answer_.clear();
    check(curl_easy_setopt(c, CURLOPT_URL, url.c_str()), "URL");
    check(curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers), "headers");
    // Threads: never let libcurl use signals for its time-outs.
    check(curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L), "NOSIGNAL");
    check(curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, connectTimeoutMs_), "connect time-out");
    check(curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, timeoutMs_), "time-out");
    check(curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L), "redirects");
    check(curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, keepAnswer), "answer handler");
    check(curl_easy_setopt(c, CURLOPT_WRITEDATA, &answer_), "answer buffer");

    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, error);
    CURLcode code = curl_easy_perform(c);
    // The error buffer and the header list live no longer than this call.
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, nullptr);
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, nullptr);
    if (code != CURLE_OK) {
        std::string reason = error[0] != '\0' ? error : curl_easy_strerror(code);
        throw std::runtime_error("POST " + url + " failed: " + reason);
    }
    long status = 0;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
    if (status < 200 || status > 299) {
        throw std::runtime_error("POST " + url + " failed: HTTP " + std::to_string(status) +
                                 (answer_.empty() ? std::string() : ": " + answer_));
    }
}
