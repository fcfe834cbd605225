#include "src/event_builder/EventBase.h"

#include <stdexcept>

namespace {

// ts - since without overflow, for timestamps that come from outside (streams).
int64_t elapsed(int64_t ts, int64_t since) {
    int64_t difference = 0;
    if (__builtin_sub_overflow(ts, since, &difference)) {
        return ts > since ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
    }
    return difference;
}

// A NaN confidence ranks below every other, so it is the first to go when texts are evicted.
float evictionRank(float confidence) {
    return std::isnan(confidence) ? -std::numeric_limits<float>::infinity() : confidence;
}

}  // namespace

std::atomic<int64_t> EventBase::internalCounterID{0};

EventBaseStatistics::EventBaseStatistics(const EventBaseStatistics& other) {
    std::lock_guard<std::mutex> lock(other.mtx);
    copyValuesFrom(other);
}

EventBaseStatistics& EventBaseStatistics::operator=(const EventBaseStatistics& other) {
    if (this != &other) {
        std::scoped_lock lock(mtx, other.mtx);
        copyValuesFrom(other);
    }
    return *this;
}

nlohmann::json EventBaseStatistics::get() const {
    std::lock_guard<std::mutex> lock(mtx);
    return getLocked();
}

nlohmann::json EventBaseStatistics::getLocked() const {
    nlohmann::json object = {{"duration", durationEvent}};
    for (const auto& [camera, count] : numberFrames) {
        object[camera] = {{"numberFrames", count}};
    }
    return object;
}

void EventBaseStatistics::copyValuesFrom(const EventBaseStatistics& other) {
    durationEvent = other.durationEvent;
    numberFrames = other.numberFrames;
}

EventBase::EventBase(const EventBaseSettings* settings)
    : id(internalCounterID.fetch_add(1) + 1), createTimestamp(CommonUtils::getTs()), settings(settings) {
    if (settings == nullptr) {
        throw std::invalid_argument("EventBase: an event needs its builder's settings");
    }
}

void EventBase::appendLPR(std::shared_ptr<LPREvent> lpr) {
    if (!lpr || !lpr->fwi || !lpr->fwi->frame) {
        throw std::invalid_argument("EventBase::appendLPR: a plate reading without its frame");
    }
    const auto& frame = *lpr->fwi->frame;

    auto& [count, readings] = histogram[lpr->lpr()];
    ++count;
    auto& stored = readings[frame.sourceId];
    if (!stored || lpr->value.confidence > stored->value.confidence) {
        stored = lpr;
    }
    removeLeastConfidentPlates();

    const int64_t frameTs = frame.timestamp;
    if (frameTs > lastFrameTimestamp) {
        ++counterFrames;
        lastFrameTimestamp = frameTs;
        lastFrameGUID = frame.guid;
    }
    if (firstFrameTimestamp == 0 || frameTs < firstFrameTimestamp) {
        firstFrameTimestamp = frameTs;
    }
}

void EventBase::removeLeastConfidentPlates() {
    while (histogram.size() > settings->maxNumberLpVariance) {
        auto weakest = histogram.end();
        float weakestConfidence = 0.f;
        for (auto it = histogram.begin(); it != histogram.end(); ++it) {
            auto best = getBestOnLane(it->second.second);
            float confidence =
                best ? evictionRank(best->value.confidence) : -std::numeric_limits<float>::infinity();
            if (weakest == histogram.end() || confidence < weakestConfidence) {
                weakest = it;
                weakestConfidence = confidence;
            }
        }
        auto weakestReading = getBestOnLane(weakest->second.second);
        double logged = weakestReading ? static_cast<double>(weakestReading->value.confidence) : 0.0;
        ILog::Debug("%s: Remove LP: %s (confidence %.2f) from event ID: %ld",
                    settings->eventBuilderName.c_str(), weakest->first.c_str(), logged,
                    static_cast<long>(id));
        histogram.erase(weakest);
    }
}

void EventBase::update(int64_t ts) {
    if (processingState == Combined) {
        return;
    }
    if (processingState == Confirm &&
        (reportTimestamp == 0 || elapsed(ts, reportTimestamp) > settings->reportInterval)) {
        needReport = true;
    }
    if (processingState == Create && counterFrames >= settings->minDetections) {
        ILog::Debug("%s: update status event to: Confirm", settings->eventBuilderName.c_str());
        processingState = Confirm;
        confirmTimestamp = lastFrameTimestamp;
    }
    finish(ts);
}

void EventBase::finish(int64_t ts) {
    const int64_t silence = elapsed(ts, lastFrameTimestamp);
    if (silence <= settings->lpForgetInterval) {
        return;
    }
    if (processingState == Create) {
        processingState = Ignored;
        closeTimestamp = CommonUtils::getTs();
    } else if (processingState == Confirm) {
        processingState = Finish;
        closeTimestamp = CommonUtils::getTs();
        needReport = true;
    }
    ILog::Debug("%s: Change event %ld state to: %s (ts: - lastFrameTimestamp) %ld - %ld = %ld:",
                settings->eventBuilderName.c_str(), static_cast<long>(id), statusStr().c_str(),
                static_cast<long>(ts), static_cast<long>(lastFrameTimestamp), static_cast<long>(silence));
}

EventBase::LprByCamera EventBase::lpr() const {
    auto chosen = getBest(histogram, [](const Histogram::value_type& entry) {
        auto best = getBestOnLane(entry.second.second);
        return best ? best->value : LPRValue{};
    });
    if (chosen == histogram.end()) {
        return {};
    }
    return chosen->second.second;
}

std::shared_ptr<LPREvent> EventBase::getBestOnLane(const LprByCamera& readings) {
    std::shared_ptr<LPREvent> best;
    for (const auto& [source, reading] : readings) {
        if (reading && (!best || reading->value.confidence > best->value.confidence)) {
            best = reading;
        }
    }
    return best;
}

std::shared_ptr<LPREvent> EventBase::maxConfidenceLPR() const {
    std::shared_ptr<LPREvent> kept;
    for (const auto& entry : histogram) {
        auto best = getBestOnLane(entry.second.second);
        if (best && (!kept || kept->value.confidence > best->value.confidence)) {
            kept = best;
        }
    }
    return kept;
}

std::string EventBase::statusStr() const {
    return statusStr(processingState);
}

std::string EventBase::statusStr(int state) {
    switch (state) {
        case Create:
            return "Create";
        case Confirm:
            return "Confirm";
        case Finish:
            return "Finish";
        case Combined:
            return "Combined";
        case Ignored:
            return "Ignored";
        default:
            return "Unknown";
    }
}

std::string EventBase::confidenceText(float confidence) {
    return ILog::StringFormat("%f", static_cast<double>(confidence));
}
