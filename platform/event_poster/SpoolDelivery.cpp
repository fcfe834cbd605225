#include "platform/event_poster/SpoolDelivery.h"

#include <algorithm>
#include <exception>

#include "qo_common/logger/log.h"
#include "qo_common/utils/CommonUtils.h"
#include "qo_common/utils/UriMask.h"

namespace {

// Enough of a refusal's answer for a person to see why, without flooding the log.
constexpr size_t kAnswerLogged = 200;

bool retryable(const SendResult& r) {
    return r.status == 0 || r.status >= 500 || r.status == 408 || r.status == 429;
}

std::string printable(const std::string& text) {
    std::string out = text.substr(0, kAnswerLogged);
    for (char& c : out) {
        if (static_cast<unsigned char>(c) < 0x20) {
            c = ' ';
        }
    }
    return out;
}

// A log line must not fail for an event whose names hold a stray '%'; they are passed as arguments.
template <typename... Args>
void logSafely(int level, const char* format, Args... args) {
    try {
        if (level == ILog::LevelError) {
            ILog::Error(format, args...);
        } else if (level == ILog::LevelWarning) {
            ILog::Warning(format, args...);
        } else {
            ILog::Info(format, args...);
        }
    } catch (...) {
        // The logger itself failed; there is nowhere left to report to.
    }
}

}  // namespace

SpoolDelivery::SpoolDelivery(std::string poster, EventSpool& spool, RequestSender& sender, Counters& counters,
                             Backoff backoff, std::string url)
    : poster_(std::move(poster)),
      spool_(spool),
      sender_(sender),
      counters_(counters),
      backoff_(backoff),
      url_(std::move(url)),
      nextPauseMs_(backoff.firstMs) {
    thread_ = std::thread([this] { run(); });
}

SpoolDelivery::~SpoolDelivery() {
    stop();
}

void SpoolDelivery::logDrop(const std::string& poster, const EventSpool::Drop& drop) {
    const auto& e = drop.entry;
    if (e.guid.empty()) {
        logSafely(ILog::LevelError, "EventPoster %s: dropped spool file %s: %s", poster.c_str(),
                  e.file.string().c_str(), drop.reason.c_str());
        return;
    }
    logSafely(ILog::LevelError, "EventPoster %s: dropped event %s (lane %s, plate %s): %s", poster.c_str(),
              e.guid.c_str(), e.lane.c_str(), e.plate.c_str(), drop.reason.c_str());
}

void SpoolDelivery::wake() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        pending_ = true;
    }
    wake_.notify_all();
}

void SpoolDelivery::stop() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    sender_.abort();
    if (thread_.joinable()) {
        thread_.join();
    }
}

// Waits `ms` or until stopped; false when stopped.
bool SpoolDelivery::pause(int64_t ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    return !wake_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping_; });
}

void SpoolDelivery::run() {
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || pending_ || spool_.count() > 0; });
            if (stopping_) {
                return;
            }
            pending_ = false;
        }
        try {
            deliverOldest();
        } catch (const std::exception& e) {
            logSafely(ILog::LevelError, "EventPoster %s: delivery failed: %s", poster_.c_str(), e.what());
            if (!pause(nextPauseMs_)) {
                return;
            }
        }
    }
}

void SpoolDelivery::deliverOldest() {
    const auto entry = spool_.oldest();
    if (!entry) {
        return;
    }
    SpooledRequest request;
    try {
        request = spool_.read(*entry);
        if (!url_.empty()) {
            request.url = url_;
        }
    } catch (const std::exception& e) {
        if (spool_.remove(entry->seq)) {
            ++counters_.dropped;
            logDrop(poster_, {*entry, std::string("unreadable spool file: ") + e.what()});
        }
        return;
    }
    if (triesSeq_ != entry->seq) {
        triesSeq_ = entry->seq;
        tries_ = 0;
    }
    ++tries_;
    const SendResult result = sender_.send(request);
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (stopping_) {
            return;  // abandoned: it stays spooled for the next run
        }
    }
    if (result.status >= 200 && result.status <= 299) {
        spool_.remove(entry->seq);
        ++counters_.delivered;
        nextPauseMs_ = backoff_.firstMs;
        logSafely(ILog::LevelInfo, "EventPoster %s: delivered event %s after %d tries, age %ld ms",
                  poster_.c_str(), entry->guid.c_str(), tries_,
                  static_cast<long>(CommonUtils::getTs() - entry->spooledAt));
        return;
    }
    if (retryable(result)) {
        ++counters_.retried;
        // A transport error names the URL, which may carry credentials.
        const std::string reason =
            result.status == 0 ? UriMask::hideCredentials(result.error)
                               : "HTTP " + std::to_string(result.status) + " " + printable(result.answer);
        logSafely(ILog::LevelWarning,
                  "EventPoster %s: event %s not delivered (try %d): %s; next try in %ld ms", poster_.c_str(),
                  entry->guid.c_str(), tries_, reason.c_str(), static_cast<long>(nextPauseMs_));
        const int64_t wait = nextPauseMs_;
        nextPauseMs_ = std::min(nextPauseMs_ * 2, backoff_.maxMs);
        pause(wait);
        return;
    }
    if (spool_.refuse(entry->seq)) {
        ++counters_.refused;
    }
    logSafely(ILog::LevelError, "EventPoster %s: event %s refused (lane %s, plate %s): HTTP %ld: %s",
              poster_.c_str(), entry->guid.c_str(), entry->lane.c_str(), entry->plate.c_str(), result.status,
              printable(result.answer).c_str());
}
