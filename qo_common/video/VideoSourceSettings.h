#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "qo_common/utils/CameraType.h"

namespace ek {

// How a source's frames are routed. Any integer is accepted; values outside 0-3 route nothing.
enum class VideoProcessingMode : int {
    NonTriggered = 0,
    Hybrid = 1,
    Triggered = 2,
    NonTriggeredWithTrigger = 3
};

// The settings of one video source, read from its configuration object. Every key is optional;
// the defaults are the member initialisers (the README lists the keys).
struct VideoSourceSettings {
    std::string name;
    std::string uri;
    std::string type;
    std::vector<std::string> dests;
    int id = 0;
    int restart = 0;
    int tcp = 0;
    // 1 decodes on the CPU; 0 asks for hardware decoding and falls back to the CPU.
    int cpuDecode = 1;
    VideoProcessingMode processingMode = VideoProcessingMode::NonTriggered;
    int laneId = 0;
    CameraType cameraType = CameraType::UNDEFINED;
    int pre = 0;
    int post = 0;
    // Polygon corners as x, y pairs, per mille of the image width and height.
    std::vector<float> roi;
    std::pair<int32_t, int32_t> plateWidth{0, 0};
    int64_t statisticsFlushTimeMs = 10000;
    // Frame intervals a network stream's clock may drift from the wall clock before it is re-anchored.
    int jitterCorrectionThreshold = 4;
    int64_t desyncThresholdMs = 500;
    int direction = 0;
    bool recordEnable = false;
    int64_t recordTimeBeforeEvent = 0;
    int64_t recordTimeAfterEvent = 0;
    std::string pathToSaveVideo;

    // Library keys beyond the shared record.
    // A file is delivered at its frame rate, as a camera would; false reads it as fast as it decodes.
    bool pacing = true;
    // Network open and read time-out.
    int64_t timeoutMs = 5000;
    // Decoder threads; 0 lets FFmpeg choose.
    int decodeThreads = 0;

    // Reads the keys of a source object. A value that is not an object, or a key of the wrong
    // type or out of range (negative times, a bad "cameraType", an integer beyond its field),
    // throws ek::ConfigError naming the key ("pre: expected ..."); the loader places it under the
    // source's path. Keys whose value is null keep their default.
    void configure(const nlohmann::json& source);
};

}  // namespace ek
