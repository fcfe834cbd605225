#include "src/event_builder/TriggeredEventBuilderStatistics.h"

using nlohmann::json;

void TriggeredStatAgg::add(int64_t value) {
    if (cnt == 0) {
        mn = value;
        mx = value;
    } else {
        mn = value < mn ? value : mn;
        mx = value > mx ? value : mx;
    }
    ++cnt;
}

json TriggeredStatAgg::toJson() const {
    return {{"min", mn}, {"max", mx}};
}

void TriggeredEventBuilderStatistics::update(const TriggeredEventStat& stat) {
    std::lock_guard<std::mutex> lock(mtx);
    data.push_back(stat);
    while (data.size() > maxSize) {
        data.pop_front();
    }
}

int64_t TriggeredEventBuilderStatistics::avgLatency() const {
    std::lock_guard<std::mutex> lock(mtx);
    if (data.empty()) {
        return 0;
    }
    int64_t sum = 0;
    for (const auto& stat : data) {
        sum += stat.durationMs;
    }
    return sum / static_cast<int64_t>(data.size());
}

json TriggeredEventBuilderStatistics::get() const {
    std::lock_guard<std::mutex> lock(mtx);
    json out = {{"sizeStatistics", static_cast<uint64_t>(data.size())},
                {"avgLatency", 0},
                {"minLatency", 0},
                {"maxLatency", 0},
                {"incompleteEvents", 0}};
    if (data.empty()) {
        return out;
    }
    TriggeredStatAgg latency;
    TriggeredStatAgg plates;
    TriggeredStatAgg cameras;
    std::map<std::string, TriggeredStatAgg> framesByCamera;
    int64_t sum = 0;
    int64_t incomplete = 0;
    for (const auto& stat : data) {
        sum += stat.durationMs;
        latency.add(stat.durationMs);
        plates.add(stat.numberPlates);
        cameras.add(stat.numberCameras);
        incomplete += stat.incomplete() ? 1 : 0;
        for (const auto& [camera, frames] : stat.numberFrames) {
            framesByCamera[camera].add(frames);
        }
    }
    out["avgLatency"] = sum / static_cast<int64_t>(data.size());
    out["minLatency"] = latency.mn;
    out["maxLatency"] = latency.mx;
    out["numberPlates"] = plates.toJson();
    out["numberCameras"] = cameras.toJson();
    out["incompleteEvents"] = incomplete;
    for (const auto& [camera, frames] : framesByCamera) {
        if (!out.contains(camera)) {
            out[camera] = {{"numberFrames", frames.toJson()}};
        }
    }
    return out;
}
