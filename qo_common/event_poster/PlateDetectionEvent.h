#pragma once

#include <opencv2/core.hpp>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "qo_common/utils/Frame.h"
#include "qo_common/utils/LPRDetection.h"
#include "qo_common/yolo/YoloObjectInfo.h"

// One plate reading inside an event.
struct PlateDetectionEvent {
    std::string num;
    std::string rootLpr;
    std::string guid;
    std::string src;
    std::string frameGuid;
    std::string vehicle_class;
    float vehicle_class_confidence = 0.f;
    bool nontriggered = true;
    std::vector<YoloObjectInfo> yoloInfo;
    std::shared_ptr<ek::pipeline::Frame> frame = std::make_shared<ek::pipeline::Frame>();
    float confidence = 0.f;
    int32_t srcId = 0;
    int64_t ts = 0;
    cv::Mat plate;
    std::string state;
    float stateConfidence = 0.f;
    float lprScore = 0.f;
    LPRMatchType matchType = LPRMatchType::NoMatch;
    int32_t plateIndex = -1;
};
