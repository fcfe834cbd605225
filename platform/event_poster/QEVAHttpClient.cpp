#include "platform/event_poster/QEVAHttpClient.h"

#include <curl/curl.h>

#include <algorithm>
#include <memory>
#include <random>
#include <stdexcept>

namespace {

// The start of an answer is enough to tell a person why the server refused.
constexpr size_t kAnswerKept = 512;
// How often a transfer looks at the abort flag when nothing wakes it.
constexpr int kPollMs = 200;

size_t keepAnswer(char* data, size_t size, size_t count, void* user) {
    auto* answer = static_cast<std::string*>(user);
    size_t bytes = size * count;
    if (answer->size() < kAnswerKept) {
        answer->append(data, std::min(bytes, kAnswerKept - answer->size()));
    }
    return bytes;
}

CURL* easy(void* p) {
    return static_cast<CURL*>(p);
}
CURLM* multi(void* p) {
    return static_cast<CURLM*>(p);
}

struct SlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

void check(CURLcode code, const char* what) {
    if (code != CURLE_OK) {
        throw std::runtime_error(std::string("libcurl: cannot set ") + what + ": " +
                                 curl_easy_strerror(code));
    }
}

std::string randomBoundary() {
    static thread_local std::mt19937_64 random{std::random_device{}()};
    static const char digits[] = "0123456789abcdef";
    std::string b = "qo-";
    for (int i = 0; i < 32; ++i) {
        b.push_back(digits[random() % 16]);
    }
    return b;
}

}  // namespace

QEVAHttpClient::QEVAHttpClient(long connectTimeoutMs, long timeoutMs)
    : easy_(curl_easy_init()),
      multi_(curl_multi_init()),
      connectTimeoutMs_(connectTimeoutMs),
      timeoutMs_(timeoutMs) {
    if (easy_ == nullptr || multi_ == nullptr) {
        curl_easy_cleanup(easy(easy_));
        curl_multi_cleanup(multi(multi_));
        throw std::runtime_error("libcurl: cannot make a connection handle");
    }
}

QEVAHttpClient::~QEVAHttpClient() {
    curl_multi_cleanup(multi(multi_));
    curl_easy_cleanup(easy(easy_));
}

void QEVAHttpClient::abort() {
    aborted_ = true;
    curl_multi_wakeup(multi(multi_));
}

std::pair<std::string, std::string> QEVAHttpClient::multipart(const std::vector<HttpPart>& parts) {
    const std::string boundary = randomBoundary();
    std::string body;
    for (const auto& p : parts) {
        body += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + p.name + "\"";
        if (!p.fileName.empty()) {
            body += "; filename=\"" + p.fileName + "\"";
        }
        body += "\r\nContent-Type: " + p.contentType + "\r\n\r\n";
        body += p.body;
        body += "\r\n";
    }
    body += "--" + boundary + "--\r\n";
    return {std::move(body), "multipart/form-data; boundary=" + boundary};
}

SendResult QEVAHttpClient::send(const SpooledRequest& request) {
    SendResult result;
    if (aborted_) {
        result.error = "aborted";
        return result;
    }
    CURL* c = easy(easy_);
    char error[CURL_ERROR_SIZE] = {0};
    answer_.clear();
    std::unique_ptr<curl_slist, SlistDeleter> headers(
        curl_slist_append(nullptr, ("Content-Type: " + request.contentType).c_str()));
    // An empty Expect keeps libcurl from waiting for "100 Continue" on large bodies.
    headers.reset(curl_slist_append(headers.release(), "Expect:"));
    curl_easy_reset(c);
    check(curl_easy_setopt(c, CURLOPT_URL, request.url.c_str()), "URL");
    check(curl_easy_setopt(c, CURLOPT_POSTFIELDS, request.body.data()), "body");
    check(curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size())),
          "body size");
    check(curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get()), "headers");
    // Threads: never let libcurl use signals for its time-outs.
    check(curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L), "NOSIGNAL");
    check(curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, connectTimeoutMs_), "connect time-out");
    check(curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, timeoutMs_), "time-out");
    check(curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L), "redirects");
    check(curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, keepAnswer), "answer handler");
    check(curl_easy_setopt(c, CURLOPT_WRITEDATA, &answer_), "answer buffer");
    check(curl_easy_setopt(c, CURLOPT_ERRORBUFFER, error), "error buffer");

    CURLM* m = multi(multi_);
    if (curl_multi_add_handle(m, c) != CURLM_OK) {
        throw std::runtime_error("libcurl: cannot start a transfer");
    }
    CURLcode code = CURLE_OK;
    bool done = false;
    while (!done && !aborted_) {
        int running = 0;
        if (curl_multi_perform(m, &running) != CURLM_OK) {
            code = CURLE_FAILED_INIT;
            break;
        }
        int left = 0;
        while (CURLMsg* msg = curl_multi_info_read(m, &left)) {
            if (msg->msg == CURLMSG_DONE && msg->easy_handle == c) {
                code = msg->data.result;
                done = true;
            }
        }
        if (!done) {
            curl_multi_poll(m, nullptr, 0, kPollMs, nullptr);
        }
    }
    curl_multi_remove_handle(m, c);
    // The error buffer and the header list live no longer than this call.
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, nullptr);
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, nullptr);
    if (!done) {
        result.error = aborted_ ? "aborted" : "libcurl transfer failed";
        return result;
    }
    if (code != CURLE_OK) {
        result.error =
            "POST " + request.url + " failed: " + (error[0] != '\0' ? error : curl_easy_strerror(code));
        return result;
    }
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &result.status);
    result.answer = answer_;
    return result;
}
