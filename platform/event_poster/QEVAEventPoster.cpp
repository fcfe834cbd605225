#include "qo_common/event_poster/QEVAEventPoster.h"

#include <curl/curl.h>

#include <mutex>
#include <stdexcept>
#include <tuple>

#include "platform/event_poster/EventSpool.h"
#include "platform/event_poster/QEVAEventEncoder.h"
#include "platform/event_poster/QEVAHttpClient.h"
#include "platform/event_poster/SpoolDelivery.h"
#include "qo_common/logger/log.h"
#include "qo_common/utils/CommonUtils.h"
#include "qo_common/utils/ConfigReader.h"

using nlohmann::json;

struct QEVAEventPoster::Counters : SpoolDelivery::Counters {};

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

QEVAEventPoster::QEVAEventPoster(const json& poster, RetryPause pause) {
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
    spoolPath = keys.text("spoolPath", "spool/" + name + "/", ek::ConfigReader::NonEmpty);
    spoolMaxMB = keys.integer<int64_t>("spoolMaxMB", spoolMaxMB, 1, 1000000);
    try {
        spool_ = std::make_unique<EventSpool>(spoolPath, static_cast<uint64_t>(spoolMaxMB) * 1024 * 1024);
    } catch (const std::exception& e) {
        keys.fail("spoolPath", e.what());
    }
    counters_ = std::make_unique<Counters>();
    for (const auto& drop : spool_->takeDropped()) {
        SpoolDelivery::logDrop(name, drop);
    }
    if (const size_t waiting = spool_->count(); waiting > 0) {
        ILog::Info("EventPoster %s: %lu events of an earlier run in spool %s, delivered first", name.c_str(),
                   static_cast<unsigned long>(waiting), spoolPath.c_str());
    }
    client_ = std::make_unique<QEVAHttpClient>(connectTimeoutMs, timeoutMs);
    delivery_ = std::make_unique<SpoolDelivery>(name, *spool_, *client_, *counters_,
                                                SpoolDelivery::Backoff{pause.firstMs, pause.maxMs}, url);
}

QEVAEventPoster::~QEVAEventPoster() {
    stop();
}

void QEVAEventPoster::stop() {
    std::lock_guard<std::mutex> guard(stopMutex_);
    if (delivery_) {
        delivery_->stop();
        delivery_.reset();
        // Closes the kept-alive connection now rather than when the last owner lets go.
        client_.reset();
    }
}

void QEVAEventPoster::post(const QEVAEvent& event) {
    EncodedEvent encoded = QEVAEventEncoder(*this).encode(event);
    SpooledRequest request;
    request.url = url;
    request.guid = event.guid;
    request.lane = event.laneName;
    request.plate = event.evts.empty() || !event.evts.front() ? "<no recognition>" : event.evts.front()->num;
    request.spooledAt = CommonUtils::getTs();
    // Texts from cameras and triggers may hold bytes that are not UTF-8; they must not stop the post.
    std::string document = encoded.document.dump(-1, ' ', false, json::error_handler_t::replace);
    if (!separatedImages) {
        request.contentType = "application/json";
        request.body = std::move(document);
    } else {
        std::vector<HttpPart> parts;
        parts.reserve(encoded.parts.size() + 1);
        parts.push_back({"event", "", "application/json", std::move(document)});
        for (auto& p : encoded.parts) {
            parts.push_back(std::move(p));
        }
        std::tie(request.body, request.contentType) = QEVAHttpClient::multipart(parts);
    }
    const auto drops = spool_->append(request);
    bool spooled = true;
    for (const auto& drop : drops) {
        ++counters_->dropped;
        spooled = spooled && drop.entry.guid != request.guid;
        SpoolDelivery::logDrop(name, drop);
    }
    if (spooled) {
        ++counters_->spooled;
    }
    std::lock_guard<std::mutex> guard(stopMutex_);
    if (delivery_) {
        delivery_->wake();
    }
}

json QEVAEventPoster::statistics() const {
    const auto oldest = spool_->oldest();
    return {{"spooled", counters_->spooled.load()},
            {"delivered", counters_->delivered.load()},
            {"retried", counters_->retried.load()},
            {"refused", counters_->refused.load()},
            {"dropped", counters_->dropped.load()},
            {"spoolEvents", spool_->count()},
            {"spoolBytes", spool_->bytes()},
            {"oldestAgeMs", oldest ? std::max<int64_t>(0, CommonUtils::getTs() - oldest->spooledAt) : 0}};
}

size_t QEVAEventPoster::spooledEvents() const {
    return spool_->count();
}

std::string QEVAEventPoster::statisticsLine() const {
    const json s = statistics();
    std::string line;
    for (const auto& [key, value] : s.items()) {
        line += (line.empty() ? "" : ", ") + key + " = " + value.dump();
    }
    return line;
}
