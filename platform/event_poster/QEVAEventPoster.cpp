#include "qo_common/event_poster/QEVAEventPoster.h"

#include <curl/curl.h>

#include <mutex>
#include <stdexcept>

#include "platform/event_poster/QEVAEventEncoder.h"
#include "platform/event_poster/QEVAHttpClient.h"
#include "qo_common/utils/ConfigReader.h"

using nlohmann::json;

namespace {

ek::Protocols protocolOf(const ek::ConfigReader& keys) {
    const auto value = keys.integer<int>("protocolVersion", static_cast<int>(ek::Protocols::Latest));
    for (auto p : {ek::Protocols::Version1_3, ek::Protocols::Version1_4, ek::Protocols::Version1_5,
                   ek::Protocols::Version2_3, ek::Protocols::Version2_4}) {
        if (static_cast<int>(p) == value) {
            return p;
        }
    }
    keys.fail("protocolVersion",
              ek::ConfigReader::expected("103, 104, 105, 203 or 204", *keys.find("protocolVersion")));
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
    const auto keys = ek::ConfigReader::objectAt(poster, "");
    name = keys.text("name", "");
    url = keys.requiredText("url", ek::ConfigReader::NonEmpty);
    protocolVersion = protocolOf(keys);
    postImages = keys.boolean("postImages", postImages);
    separatedImages = keys.boolean("separatedImages", separatedImages);
    sendData = keys.boolean("sendData", sendData);
    postTriggers = keys.boolean("postTriggers", postTriggers);
    frameFormat = keys.choice("frameFormat", frameFormat, {"jpeg", "none"});
    plateFormat = keys.choice("plateFormat", plateFormat, {"jpeg", "none"});
    resizeEnabled = keys.boolean("resizeEnabled", resizeEnabled);
    imgWidth = keys.integer<int>("imageWidth", imgWidth, 1, 65535);
    resizeConfidence = keys.number<float>("resizeConfidence", resizeConfidence);
    lprJPEGQuality = keys.integer<int>("lprJPEGQuality", lprJPEGQuality, 1, 100);
    ovJPEGQuality = keys.integer<int>("ovJPEGQuality", ovJPEGQuality, 1, 100);
    plateJPEGQuality = keys.integer<int>("plateJPEGQuality", plateJPEGQuality, 1, 100);
    connectTimeoutMs = keys.integer<long>("connectTimeoutMs", connectTimeoutMs, 1, 3600000);
    timeoutMs = keys.integer<long>("timeoutMs", timeoutMs, 1, 3600000);
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
