#pragma once

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "qo_common/logger/log.h"
#include "qo_common/utils/CommonUtils.h"
#include "src/LPREvent.h"

// The settings of one builder, read by all its events through a constant pointer. The builder owns
// them and must outlive its events and every copy of them. Defaults are the licence-plate
// builder's configuration defaults.
struct EventBaseSettings {
    std::string eventBuilderName;        // first argument of the events' log lines
    uint64_t minDetections = 2;          // counted frames needed to confirm an event
    int64_t lpForgetInterval = 30000;    // ms of silence after which an event closes
    int64_t reportInterval = 60000;      // least ms between two reports of a confirmed event
    float lpConfidenceVariance = 0.05f;  // width of the confidence band of the best-value choice
    int minDirectionVector = 10;         // least displacement for the direction (read by reports)
    uint64_t maxNumberLpVariance = 15;   // most distinct plate texts one event keeps
};

// Per-event statistics, written by the builder's thread while the statistics thread reads them.
// A copy takes a fresh mutex and copies the values.
class EventBaseStatistics {
  public:
    EventBaseStatistics() = default;
    EventBaseStatistics(const EventBaseStatistics& other);
    EventBaseStatistics& operator=(const EventBaseStatistics& other);
    virtual ~EventBaseStatistics() = default;

    // {"duration": durationEvent, "<camera>": {"numberFrames": n}, ...}, taken under mtx.
    virtual nlohmann::json get() const;

    mutable std::mutex mtx;                   // guards the fields below
    int64_t durationEvent = 0;                // ms from creation to the start of the report
    std::map<std::string, int> numberFrames;  // camera name -> frames appended to the event

  protected:
    // The object of get() without locking; the caller holds mtx.
    nlohmann::json getLocked() const;
    // Copies the values; the caller holds both mutexes.
    void copyValuesFrom(const EventBaseStatistics& other);
};

// One observed vehicle (or train): the part of every builder's events that the builders share.
// Not locked: one thread at a time works on an event; report threads work on copies. A copy keeps
// the id and shares the readings and the settings.
class EventBase {
  public:
    enum ProcessingState : int { Create = 0, Confirm = 1, Finish = 2, Combined = 3, Ignored = 4 };

    // Source id -> the most confident reading of one plate text from that camera.
    using LprByCamera = std::map<int, std::shared_ptr<LPREvent>>;
    // Plate text -> (number of readings appended, readings by camera).
    using Histogram = std::map<std::string, std::pair<uint64_t, LprByCamera>>;

    // Takes the next process-wide id (the first event gets 1); state Create, created now.
    explicit EventBase(const EventBaseSettings* settings);
    EventBase(const EventBase&) = default;
    EventBase& operator=(const EventBase&) = default;
    EventBase(EventBase&&) = default;
    EventBase& operator=(EventBase&&) = default;
    virtual ~EventBase() = default;

    // Adds one reading: histogram count and per-camera best, eviction of the least confident text
    // beyond maxNumberLpVariance, frame counting and the first and last frame timestamps.
    void appendLPR(std::shared_ptr<LPREvent> lpr);
    // Advances the lifecycle at the caller's present time ts (ms), then calls finish(ts).
    void update(int64_t ts);
    // Closes the event when ts - lastFrameTimestamp > lpForgetInterval.
    void finish(int64_t ts);

    // The per-camera readings of the chosen plate; empty for an empty histogram.
    LprByCamera lpr() const;
    // The most confident reading (ties: lowest source id); null for an empty map.
    static std::shared_ptr<LPREvent> getBestOnLane(const LprByCamera& readings);
    // The best reading of the least confident plate text (it only feeds log lines); null for an
    // empty histogram.
    std::shared_ptr<LPREvent> maxConfidenceLPR() const;
    // "Create", "Confirm", "Finish", "Combined", "Ignored", otherwise "Unknown".
    std::string statusStr() const;
    static std::string statusStr(int state);

    // The best-value choice over a histogram map<text, pair<count, X>>. valueOf(entry) gives
    // something with `value` (text) and `confidence` (float) for one entry. Within the band of
    // confidences above the highest minus lpConfidenceVariance the highest count wins, confidence
    // decides between equal counts, and the first in key order wins full ties. When the band is
    // empty (variance <= 0, NaN or infinite confidences) the whole histogram competes. Returns the
    // chosen entry, or hist.end() for an empty histogram.
    template <typename Hist, typename ValueOf>
    typename Hist::const_iterator getBest(const Hist& hist, ValueOf valueOf) const;

    int64_t id;
    Histogram histogram;
    ProcessingState processingState = Create;
    int64_t createTimestamp;
    int64_t firstFrameTimestamp = 0;
    int64_t confirmTimestamp = 0;
    int64_t closeTimestamp = 0;
    int64_t lastFrameTimestamp = 0;
    int64_t reportTimestamp = 0;  // set by the builder when it starts a report; 0 = never
    bool needReport = false;      // set by update and finish; cleared by the builder
    std::string lastFrameGUID;
    uint64_t counterFrames = 0;
    const EventBaseSettings* settings;

  private:
    static std::atomic<int64_t> internalCounterID;

    void removeLeastConfidentPlates();
    static std::string confidenceText(float confidence);
};

template <typename Hist, typename ValueOf>
typename Hist::const_iterator EventBase::getBest(const Hist& hist, ValueOf valueOf) const {
    if (hist.empty()) {
        return hist.end();
    }
    std::string histText = "hist: \n";
    float maxConfidence = -std::numeric_limits<float>::infinity();
    for (const auto& entry : hist) {
        float confidence = valueOf(entry).confidence;
        histText += entry.first + " : " + confidenceText(confidence) + "\n";
        if (confidence > maxConfidence) {  // NaN never counts
            maxConfidence = confidence;
        }
    }
    ILog::Debug("%s", histText.c_str());

    std::vector<typename Hist::const_iterator> crop;
    float floor = maxConfidence - settings->lpConfidenceVariance;
    for (auto it = hist.begin(); it != hist.end(); ++it) {
        if (valueOf(*it).confidence > floor) {
            crop.push_back(it);
        }
    }
    if (crop.empty()) {
        for (auto it = hist.begin(); it != hist.end(); ++it) {
            crop.push_back(it);
        }
    }
    std::string cropText = "croped_histogram:\n";
    uint64_t maxCount = 0;
    for (const auto& it : crop) {
        cropText += valueOf(*it).value + " : " + std::to_string(it->second.first) + "\n";
        maxCount = std::max<uint64_t>(maxCount, it->second.first);
    }
    ILog::Debug("%s", cropText.c_str());

    auto best = hist.end();
    for (const auto& it : crop) {
        if (it->second.first != maxCount) {
            continue;
        }
        if (best == hist.end() || valueOf(*it).confidence > valueOf(*best).confidence) {
            best = it;
        }
    }
    auto chosen = valueOf(*best);
    ILog::Debug("bestValue: %s, confidence: %f", chosen.value.c_str(),
                static_cast<double>(chosen.confidence));
    return best;
}
