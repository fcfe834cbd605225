#pragma once

#include <opencv2/core.hpp>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "qo_common/event_poster/PlateDetectionEvent.h"
#include "qo_common/event_poster/QEVATriggerEvent.h"
#include "qo_common/utils/Frame.h"

// One event to post. Copies share the plate detections and frames through their pointers.
struct QEVAEvent {
    std::vector<std::shared_ptr<PlateDetectionEvent>> evts;
    float motion_direction = 0.f;
    int32_t person_number = 0;
    std::vector<cv::Rect> personDetections;
    int64_t txId = 0;
    int64_t ts = 0;
    std::vector<std::shared_ptr<ek::pipeline::Frame>> frames;
    std::map<int32_t, std::string> videos;
    std::map<int32_t, std::vector<float>> roi;
    std::string laneName;
    int64_t laneId = 0;
    std::string guid;
    bool postTrigger = false;
    QEVATriggerEvent trigger;
};
