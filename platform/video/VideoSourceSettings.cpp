#include "qo_common/video/VideoSourceSettings.h"

#include <stdexcept>
#include <string>

namespace ek {

namespace {

using nlohmann::json;

bool present(const json& source, const char* key) {
    return source.contains(key) && !source.at(key).is_null();
}

template <typename T>
void read(const json& source, const char* key, T& field) {
    if (present(source, key)) {
        field = source.at(key).get<T>();
    }
}

// Flags may be written as true/false or as numbers.
void readFlag(const json& source, const char* key, int& field) {
    if (!present(source, key)) {
        return;
    }
    const auto& value = source.at(key);
    field = value.is_boolean() ? (value.get<bool>() ? 1 : 0) : value.get<int>();
}

void readFlag(const json& source, const char* key, bool& field) {
    int flag = field ? 1 : 0;
    readFlag(source, key, flag);
    field = flag != 0;
}

CameraType cameraTypeOf(const json& value) {
    if (value.is_string()) {
        const auto text = value.get<std::string>();
        if (text == "LPR") {
            return CameraType::LPR;
        }
        if (text == "OV") {
            return CameraType::OV;
        }
        if (text == "FACE") {
            return CameraType::FACE;
        }
        if (text == "UNDEFINED") {
            return CameraType::UNDEFINED;
        }
        throw std::invalid_argument("video source: \"cameraType\" must be LPR, OV, FACE or UNDEFINED, got " +
                                    text);
    }
    const int code = value.get<int>();
    if (code < -1 || code > 2) {
        throw std::invalid_argument("video source: \"cameraType\" must be -1, 0, 1 or 2, got " +
                                    std::to_string(code));
    }
    return static_cast<CameraType>(code);
}

void requireNotNegative(int64_t value, const char* key) {
    if (value < 0) {
        throw std::invalid_argument(std::string("video source: \"") + key + "\" must not be negative, got " +
                                    std::to_string(value));
    }
}

void requirePositive(int64_t value, const char* key) {
    if (value <= 0) {
        throw std::invalid_argument(std::string("video source: \"") + key + "\" must be positive, got " +
                                    std::to_string(value));
    }
}

}  // namespace

void VideoSourceSettings::configure(const json& source) {
    read(source, "name", name);
    read(source, "uri", uri);
    read(source, "type", type);
    read(source, "destinations", dests);
    read(source, "id", id);
    readFlag(source, "restart", restart);
    readFlag(source, "tcp", tcp);
    readFlag(source, "cpuDecode", cpuDecode);
    if (present(source, "processingMode")) {
        processingMode = static_cast<VideoProcessingMode>(source.at("processingMode").get<int>());
    }
    read(source, "laneId", laneId);
    if (present(source, "cameraType")) {
        cameraType = cameraTypeOf(source.at("cameraType"));
    }
    read(source, "pre", pre);
    read(source, "post", post);
    read(source, "roi", roi);
    if (present(source, "plateWidth")) {
        auto widths = source.at("plateWidth").get<std::vector<int32_t>>();
        if (widths.size() != 2) {
            throw std::invalid_argument("video source: \"plateWidth\" must be [minimum, maximum]");
        }
        plateWidth = {widths[0], widths[1]};
    }
    read(source, "statisticsFlushTimeMs", statisticsFlushTimeMs);
    read(source, "jitterCorrectionThreshold", jitterCorrectionThreshold);
    read(source, "desyncThresholdMs", desyncThresholdMs);
    read(source, "direction", direction);
    readFlag(source, "recordEnable", recordEnable);
    read(source, "recordTimeBeforeEvent", recordTimeBeforeEvent);
    read(source, "recordTimeAfterEvent", recordTimeAfterEvent);
    read(source, "pathToSaveVideo", pathToSaveVideo);
    readFlag(source, "pacing", pacing);
    read(source, "timeoutMs", timeoutMs);
    read(source, "decodeThreads", decodeThreads);

    requireNotNegative(pre, "pre");
    requireNotNegative(post, "post");
    requirePositive(statisticsFlushTimeMs, "statisticsFlushTimeMs");
    requireNotNegative(jitterCorrectionThreshold, "jitterCorrectionThreshold");
    requireNotNegative(desyncThresholdMs, "desyncThresholdMs");
    requireNotNegative(recordTimeBeforeEvent, "recordTimeBeforeEvent");
    requireNotNegative(recordTimeAfterEvent, "recordTimeAfterEvent");
    requirePositive(timeoutMs, "timeoutMs");
    requireNotNegative(decodeThreads, "decodeThreads");
}

}  // namespace ek
