#pragma once

#include <opencv2/core.hpp>

#include <cstdint>
#include <string>
#include <vector>

// A state label; classId is -1 for a recognised (not detected) state.
struct StateValue {
    std::string value;
    float confidence = 0.f;
    int32_t classId = -1;
};

struct StateDetection : StateValue {
    uint64_t idYoloInfo = 0;
    std::vector<float> prepared;
    cv::Rect rect;
};
