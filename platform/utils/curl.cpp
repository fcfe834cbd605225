#include "qo_common/utils/curl.h"

#include <curl/curl.h>

#include <memory>
#include <mutex>
#include <stdexcept>

namespace curl {

namespace {

struct EasyDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using Easy = std::unique_ptr<CURL, EasyDeleter>;

size_t discardBody(char* /*data*/, size_t size, size_t count, void* /*user*/) {
    return size * count;
}

template <typename Value>
void setOption(CURL* handle, CURLoption option, Value value, const std::string& url) {
    CURLcode code = curl_easy_setopt(handle, option, value);
    if (code != CURLE_OK) {
        throw std::runtime_error("curl: cannot set up request to " + url + ": " + curl_easy_strerror(code));
    }
}

}  // namespace

void globalInit() {
    static std::once_flag once;
    static CURLcode result = CURLE_OK;
    std::call_once(once, [] { result = curl_global_init(CURL_GLOBAL_DEFAULT); });
    if (result != CURLE_OK) {
        throw std::runtime_error(std::string("curl: global initialisation failed: ") +
                                 curl_easy_strerror(result));
    }
}

long send(const std::string& url, long connectTimeoutMs, long totalTimeoutMs) {
    globalInit();
    Easy handle(curl_easy_init());
    if (!handle) {
        throw std::runtime_error("curl: cannot create a request to " + url);
    }
    char error[CURL_ERROR_SIZE] = {0};
    CURL* h = handle.get();
    setOption(h, CURLOPT_URL, url.c_str(), url);
    setOption(h, CURLOPT_NOSIGNAL, 1L, url);
    setOption(h, CURLOPT_CONNECTTIMEOUT_MS, connectTimeoutMs, url);
    setOption(h, CURLOPT_TIMEOUT_MS, totalTimeoutMs, url);
    setOption(h, CURLOPT_HTTPGET, 1L, url);
    setOption(h, CURLOPT_WRITEFUNCTION, &discardBody, url);
    setOption(h, CURLOPT_ERRORBUFFER, error, url);
    CURLcode code = curl_easy_perform(h);
    if (code != CURLE_OK) {
        std::string reason = error[0] != '\0' ? error : curl_easy_strerror(code);
        throw std::runtime_error("curl: GET " + url + " failed: " + reason);
    }
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    return status;
}

}  // namespace curl
