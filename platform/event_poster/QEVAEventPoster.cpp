#include "qo_common/event_poster/QEVAEventPoster.h"

#include <curl/curl.h>

#include <mutex>
#include <stdexcept>

#include "platform/event_poster/QEVAEventEncoder.h"
#include "platform/event_poster/QEVAHttpClient.h"

using nlohmann::json;

namespace {

// Reads the poster keys with their defaults; every error names the poster and the key.
class KeyReader {
  public:
    KeyReader(const json& poster, std::string name) : poster_(poster), name_(std::move(name)) {}

    bool boolean(const char* key, bool fallback) const {
        const json* v = find(key);
        if (v == nullptr) {
            return fallback;
        }
        if (!v->is_boolean()) {
            fail(key, "must be a boolean");
        }
        return v->get<bool>();
    }

    long integer(const char* key, long fallback, long min, long max) const {
        const json* v = find(key);
        if (v == nullptr) {
            return fallback;
        }
        if (!v->is_number_integer()) {
            fail(key, "must be an integer");
        }
        auto value = v->get<int64_t>();
        if (value < min || value > max) {
            fail(key, "must be between " + std::to_string(min) + " and " + std::to_string(max) + ", not " +
                          std::to_string(value));
        }
        return static_cast<long>(value);
    }

    double number(const char* key, double fallback) const {
        const json* v = find(key);
        if (v == nullptr) {
            return fallback;
        }
        if (!v->is_number()) {
            fail(key, "must be a number");
        }
        return v->get<double>();
    }

    std::string text(const char* key, const std::string& fallback) const {
        const json* v = find(key);
        if (v == nullptr) {
            return fallback;
        }
        if (!v->is_string()) {
            fail(key, "must be a string");
        }
        return v->get<std::string>();
    }

    std::string oneOf(const char* key, const std::string& fallback,
                      std::initializer_list<const char*> allowed) const {
        std::string value = text(key, fallback);
        for (const char* a : allowed) {
            if (value == a) {
                return value;
            }
        }
        fail(key, "must be one of the documented values, not \"" + value + "\"");
    }

    [[noreturn]] void fail(const char* key, const std::string& why) const {
        throw std::runtime_error("QEVAEventPoster \"" + name_ + "\": key \"" + key + "\" " + why);
    }

  private:
    const json* find(const char* key) const {
        auto it = poster_.find(key);
        return it == poster_.end() ? nullptr : &*it;
    }

    const json& poster_;
    std::string name_;
};

ek::Protocols protocolOf(const KeyReader& keys) {
    long value = keys.integer("protocolVersion", static_cast<long>(ek::Protocols::Latest), 0, 1000);
    for (auto p : {ek::Protocols::Version1_3, ek::Protocols::Version1_4, ek::Protocols::Version1_5,
                   ek::Protocols::Version2_3, ek::Protocols::Version2_4}) {
        if (static_cast<long>(p) == value) {
            return p;
        }
    }
    keys.fail("protocolVersion", "must be 103, 104, 105, 203 or 204, not " + std::to_string(value));
}

}  // namespace

void QEVAEventPoster::globalInit() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
            throw std::runtime_error("libcurl: curl_global_init failed");
        }
    });
}

QEVAEventPoster::QEVAEventPoster(const json& poster) {
    if (!poster.is_object()) {
        throw std::runtime_error("QEVAEventPoster: a poster must be a JSON object, not " +
                                 std::string(poster.type_name()));
    }
    KeyReader keys(poster, poster.contains("name") && poster.at("name").is_string()
                               ? poster.at("name").get<std::string>()
                               : std::string());
    name = keys.text("name", "");
    url = keys.text("url", "");
    if (url.empty()) {
        keys.fail("url", "is required and must not be empty");
    }
    protocolVersion = protocolOf(keys);
    postImages = keys.boolean("postImages", postImages);
    separatedImages = keys.boolean("separatedImages", separatedImages);
    sendData = keys.boolean("sendData", sendData);
    postTriggers = keys.boolean("postTriggers", postTriggers);
    frameFormat = keys.oneOf("frameFormat", frameFormat, {"jpeg", "none"});
    plateFormat = keys.oneOf("plateFormat", plateFormat, {"jpeg", "none"});
    resizeEnabled = keys.boolean("resizeEnabled", resizeEnabled);
    imgWidth = static_cast<int>(keys.integer("imageWidth", imgWidth, 1, 65535));
    resizeConfidence = static_cast<float>(keys.number("resizeConfidence", resizeConfidence));
    lprJPEGQuality = static_cast<int>(keys.integer("lprJPEGQuality", lprJPEGQuality, 1, 100));
    ovJPEGQuality = static_cast<int>(keys.integer("ovJPEGQuality", ovJPEGQuality, 1, 100));
    plateJPEGQuality = static_cast<int>(keys.integer("plateJPEGQuality", plateJPEGQuality, 1, 100));
    connectTimeoutMs = keys.integer("connectTimeoutMs", connectTimeoutMs, 1, 3600000);
    timeoutMs = keys.integer("timeoutMs", timeoutMs, 1, 3600000);
    client_ = std::make_unique<QEVAHttpClient>(connectTimeoutMs, timeoutMs);
}

QEVAEventPoster::~QEVAEventPoster() = default;

void QEVAEventPoster::post(const QEVAEvent& event) {
    EncodedEvent encoded = QEVAEventEncoder(*this).encode(event);
    // Texts from cameras and triggers may hold bytes that are not UTF-8; they must not stop the post.
    std::string body = encoded.document.dump(-1, ' ', false, json::error_handler_t::replace);
    if (!separatedImages) {
        client_->post(url, "application/json", body);
        return;
    }
    std::vector<HttpPart> parts;
    parts.reserve(encoded.parts.size() + 1);
    parts.push_back({"event", "", "application/json", std::move(body)});
    for (auto& p : encoded.parts) {
        parts.push_back(std::move(p));
    }
    client_->postMultipart(url, parts);
}
