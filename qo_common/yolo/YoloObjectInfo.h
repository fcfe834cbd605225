#pragma once

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include <cstdint>
#include <string>

// One detected object in frame coordinates. `id` is its position in the frame's
// yoloDetectionsOverROI, through which readings and states find their box.
struct YoloObjectInfo {
    uint64_t id = 0;
    int32_t left = 0;
    int32_t top = 0;
    int32_t width = 0;
    int32_t height = 0;
    int32_t classId = 0;
    std::string className;
    float detectionConfidence = 0.f;

    cv::Rect rect() const { return {left, top, width, height}; }

    std::string toString() const {
        return className + "(" + std::to_string(classId) + ") [" + std::to_string(left) + ", " +
               std::to_string(top) + ", " + std::to_string(width) + ", " + std::to_string(height) +
               "] conf=" + std::to_string(detectionConfidence);
    }

    nlohmann::json toJSON() const {
        return {{"left", left},
                {"top", top},
                {"width", width},
                {"height", height},
                {"classId", classId},
                {"className", className},
                {"confidence", detectionConfidence}};
    }
};
