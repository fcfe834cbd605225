#include "src/event_builder/NonTriggeredEventBuilderStatistics.h"

#include <algorithm>
#include <map>
#include <string>

namespace {

// Sums of one per-camera map over all entries.
using CameraSums = std::map<std::string, int64_t>;

void addUp(CameraSums& sums, const std::map<std::string, int>& counts) {
    for (const auto& [camera, count] : counts) {
        sums[camera] += count;
    }
}

}  // namespace

void NonTriggeredEventBuilderStatistics::push(const EventGroupStatistics& event) {
    EventGroupStatistics copy(event);  // takes the event's own mutex, not ours
    std::lock_guard<std::mutex> lock(mtx);
    data.push_back(std::move(copy));
    while (data.size() > maxSize) {
        data.pop_front();
    }
}

nlohmann::json NonTriggeredEventBuilderStatistics::get() const {
    std::lock_guard<std::mutex> lock(mtx);
    nlohmann::json result = nlohmann::json::object();
    const auto entries = static_cast<int64_t>(data.size());
    int64_t sum = 0;
    int64_t minLatency = 0;
    int64_t maxLatency = 0;
    CameraSums frames;
    CameraSums personFrames;
    for (size_t i = 0; i < data.size(); ++i) {
        const auto& entry = data[i];
        std::lock_guard<std::mutex> entryLock(entry.mtx);
        sum += entry.durationEvent;
        minLatency = i == 0 ? entry.durationEvent : std::min(minLatency, entry.durationEvent);
        maxLatency = i == 0 ? entry.durationEvent : std::max(maxLatency, entry.durationEvent);
        addUp(frames, entry.numberFrames);
        addUp(personFrames, entry.numberPersonFrames);
    }
    result["sizeStatistics"] = static_cast<uint64_t>(entries);
    result["avgLatency"] = entries > 0 ? static_cast<uint64_t>(sum / entries) : 0u;
    result["minLatency"] = minLatency;
    result["maxLatency"] = maxLatency;
    for (const auto& [camera, total] : frames) {
        result[camera]["avgNumberIncomingFrames"] = total / entries;
    }
    for (const auto& [camera, total] : personFrames) {
        result[camera]["avgNumberPersonFrames"] = total / entries;
    }
    return result;
}
