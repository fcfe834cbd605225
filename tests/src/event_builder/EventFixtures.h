#pragma once

#include <opencv2/core.hpp>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "qo_common/utils/FrameWithInfo.h"
#include "src/LPREvent.h"

// Test frames with readings for the event builders' tests.
//
//   auto f = fixtures::frame(1, 1000);                       // camera 1 ("cam1") at 1000 ms
//   auto car = fixtures::addObject(*f, 1, {0, 0, 100, 100}); // a YOLO object; returns its id
//   fixtures::addReading(*f, "AB123", 0.9f, car);           // a plate read from it
//   event.appendLPRs(f, fixtures::readingsOf(*f), nullptr);
namespace fixtures {

// A frame of camera `sourceId` taken at `ts`, with a black 8-bit BGR image of `size`. The camera
// name defaults to "cam<id>", the guid to "frame-<id>-<ts>".
inline std::shared_ptr<FrameWithInfo> frame(int sourceId, int64_t ts, cv::Size size = {64, 48},
                                            const std::string& cameraName = "",
                                            const std::string& guid = "") {
    auto fwi = std::make_shared<FrameWithInfo>();
    fwi->frame->image = cv::Mat::zeros(size, CV_8UC3);
    fwi->frame->sourceId = sourceId;
    fwi->frame->timestamp = ts;
    fwi->frame->cameraName = cameraName.empty() ? "cam" + std::to_string(sourceId) : cameraName;
    fwi->frame->guid = guid.empty() ? "frame-" + std::to_string(sourceId) + "-" + std::to_string(ts) : guid;
    return fwi;
}

// Appends an object to yoloDetectionsOverROI; its id is its position there, which it returns.
inline uint64_t addObject(FrameWithInfo& fwi, int classId, const cv::Rect& box, float confidence = 0.9f) {
    YoloObjectInfo object;
    object.id = fwi.yoloDetectionsOverROI.size();
    object.left = box.x;
    object.top = box.y;
    object.width = box.width;
    object.height = box.height;
    object.classId = classId;
    object.className = "class" + std::to_string(classId);
    object.detectionConfidence = confidence;
    fwi.yoloDetectionsOverROI.push_back(object);
    return object.id;
}

// Appends a plate reading of object `yoloId`. Take readingsOf() only after the last one.
inline void addReading(FrameWithInfo& fwi, const std::string& text, float confidence, uint64_t yoloId = 0,
                       const cv::Rect& r = {10, 10, 40, 12}) {
    LPRDetection reading;
    reading.value = text;
    reading.confidence = confidence;
    reading.idYoloInfo = yoloId;
    reading.r = r;
    fwi.lprDetections.push_back(reading);
}

inline void addState(FrameWithInfo& fwi, const std::string& label, float confidence, int classId = -1,
                     uint64_t yoloId = 0) {
    StateDetection state;
    state.value = label;
    state.confidence = confidence;
    state.classId = classId;
    state.idYoloInfo = yoloId;
    fwi.stateDetections.push_back(state);
}

// Pointers into the frame, the shape appendLPRs and appendStates take.
inline std::vector<const LPRDetection*> readingsOf(const FrameWithInfo& fwi) {
    std::vector<const LPRDetection*> out;
    for (const auto& reading : fwi.lprDetections) {
        out.push_back(&reading);
    }
    return out;
}

inline std::vector<const StateDetection*> statesOf(const FrameWithInfo& fwi) {
    std::vector<const StateDetection*> out;
    for (const auto& state : fwi.stateDetections) {
        out.push_back(&state);
    }
    return out;
}

// An LPREvent of a frame, as the events make them, for calling appendLPR directly.
inline std::shared_ptr<LPREvent> lprEvent(const std::shared_ptr<FrameWithInfo>& fwi, const std::string& text,
                                          float confidence, const cv::Rect& position = {10, 10, 40, 12}) {
    auto reading = std::make_shared<LPREvent>();
    reading->guid = "reading-" + text + "-" + std::to_string(fwi->frame->timestamp);
    reading->fwi = fwi;
    reading->position = position;
    reading->value.value = text;
    reading->value.confidence = confidence;
    return reading;
}

}  // namespace fixtures
