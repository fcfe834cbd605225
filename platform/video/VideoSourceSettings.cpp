#include "qo_common/video/VideoSourceSettings.h"

#include "qo_common/utils/ConfigReader.h"

#include <stdexcept>
#include <string>

namespace ek {

namespace {

using nlohmann::json;

// Flags may be written as true/false or as integers (0 is false, any other value true).
int intFlag(const ConfigReader& source, const char* key, int fallback) {
    const json* value = source.find(key);
    if (value == nullptr) {
        return fallback;
    }
    if (value->is_boolean()) {
        return value->get<bool>() ? 1 : 0;
    }
    if (!value->is_number_integer()) {
        source.fail(key, ConfigReader::expected("true, false or an integer", *value));
    }
    return source.integer<int>(key, fallback);
}

// The names and the codes are both accepted.
CameraType cameraTypeOf(const ConfigReader& source) {
    const json& value = *source.find("cameraType");
    if (value.is_string()) {
        const auto text = source.choice("cameraType", "", {"LPR", "OV", "FACE", "UNDEFINED"});
        return text == "LPR"    ? CameraType::LPR
               : text == "OV"   ? CameraType::OV
               : text == "FACE" ? CameraType::FACE
                                : CameraType::UNDEFINED;
    }
    return static_cast<CameraType>(source.integer<int>("cameraType", -1, -1, 2));
}

std::pair<int32_t, int32_t> plateWidthOf(const ConfigReader& source) {
    const json& value = *source.find("plateWidth");
    if (!value.is_array() || value.size() != 2) {
        source.fail("plateWidth", ConfigReader::expected("[minimum, maximum]", value));
    }
    const json named = {{"minimum", value[0]}, {"maximum", value[1]}};
    const ConfigReader pair(named, source.pathOf("plateWidth"));
    const auto minimum = pair.requiredInteger<int32_t>("minimum", 0);
    const auto maximum = pair.requiredInteger<int32_t>("maximum", 0);
    return {minimum, maximum};
}

std::vector<float> roiOf(const ConfigReader& source) {
    std::vector<float> roi;
    for (double v : source.numbers("roi")) {
        roi.push_back(static_cast<float>(v));
    }
    return roi;
}

}  // namespace

void VideoSourceSettings::configure(const json& object) {
    const ConfigReader source = ConfigReader::objectAt(object, "");
    constexpr int64_t kDay = 24LL * 3600 * 1000;
    name = source.text("name", name);
    uri = source.text("uri", uri);
    type = source.text("type", type);
    dests = source.texts("destinations");
    id = source.integer<int>("id", id);
    restart = intFlag(source, "restart", restart);
    tcp = intFlag(source, "tcp", tcp);
    cpuDecode = intFlag(source, "cpuDecode", cpuDecode);
    processingMode = static_cast<VideoProcessingMode>(
        source.integer<int>("processingMode", static_cast<int>(processingMode)));
    laneId = source.integer<int>("laneId", laneId);
    if (source.has("cameraType")) {
        cameraType = cameraTypeOf(source);
    }
    pre = source.integer<int>("pre", pre, 0);
    post = source.integer<int>("post", post, 0);
    if (source.has("roi")) {
        roi = roiOf(source);
    }
    if (source.has("plateWidth")) {
        plateWidth = plateWidthOf(source);
    }
    statisticsFlushTimeMs = source.integer<int64_t>("statisticsFlushTimeMs", statisticsFlushTimeMs, 1, kDay);
    jitterCorrectionThreshold =
        source.integer<int>("jitterCorrectionThreshold", jitterCorrectionThreshold, 0);
    desyncThresholdMs = source.integer<int64_t>("desyncThresholdMs", desyncThresholdMs, 0, kDay);
    direction = source.integer<int>("direction", direction);
    recordEnable = intFlag(source, "recordEnable", recordEnable ? 1 : 0) != 0;
    recordTimeBeforeEvent = source.integer<int64_t>("recordTimeBeforeEvent", recordTimeBeforeEvent, 0, kDay);
    recordTimeAfterEvent = source.integer<int64_t>("recordTimeAfterEvent", recordTimeAfterEvent, 0, kDay);
    pathToSaveVideo = source.text("pathToSaveVideo", pathToSaveVideo);
    pacing = intFlag(source, "pacing", pacing ? 1 : 0) != 0;
    timeoutMs = source.integer<int64_t>("timeoutMs", timeoutMs, 1, kDay);
    decodeThreads = source.integer<int>("decodeThreads", decodeThreads, 0, 64);
}

}  // namespace ek
