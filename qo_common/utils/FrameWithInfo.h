#pragma once

#include <opencv2/core.hpp>

#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "qo_common/utils/Frame.h"
#include "qo_common/utils/LPRDetection.h"
#include "qo_common/utils/StateDetection.h"
#include "qo_common/utils/threadsafe_map.h"
#include "qo_common/utils/threadsafe_vector.h"
#include "qo_common/yolo/YoloObjectInfo.h"

// One frame travelling through the pipeline, shared by pointer and never copied by it.
// Fields other than status, triggerIds and pairs are written by the one stage holding the frame.
struct FrameWithInfo {
    enum Status : int32_t { NoProcessed = 0, InProccess = 1, Processed = 10 };

    std::atomic<Status> status{NoProcessed};
    float processTime = 0.f;
    bool poison = false;
    float motion = 0.f;
    std::vector<float> small;
    std::shared_ptr<ek::pipeline::Frame> frame = std::make_shared<ek::pipeline::Frame>();
    std::vector<YoloObjectInfo> yoloInfo;
    std::vector<YoloObjectInfo> yoloDetectionsOverROI;
    std::vector<LPRDetection> lprDetections;
    std::vector<StateDetection> stateDetections;
    bool skip = false;
    threadsafe::vector triggerIds;
    std::vector<cv::Point> roi;
    std::pair<int32_t, int32_t> plateWidth{0, 0};
    int32_t direction = 0;
    threadsafe::map pairs;

    static std::shared_ptr<FrameWithInfo> makePoison() {
        auto f = std::make_shared<FrameWithInfo>();
        f->poison = true;
        return f;
    }
};

using FrameWithInfoPtr = std::shared_ptr<FrameWithInfo>;
