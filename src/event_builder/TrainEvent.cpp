#include "src/event_builder/TrainEvent.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "qo_common/logger/log.h"
#include "qo_common/utils/CommonUtils.h"

namespace {

// A rectangle in 64 bits: the door region is an image size times a per-mille value of any int.
struct Box {
    int64_t x = 0;
    int64_t y = 0;
    int64_t width = 0;
    int64_t height = 0;
};

Box boxOf(const cv::Rect& r) {
    return {r.x, r.y, r.width, r.height};
}

// Empty when either box is narrower or lower than one pixel, or when they do not share a pixel in
// both directions.
bool intersects(const Box& a, const Box& b) {
    if (a.width < 1 || a.height < 1 || b.width < 1 || b.height < 1) {
        return false;
    }
    return std::max(a.x, b.x) < std::min(a.x + a.width, b.x + b.width) &&
           std::max(a.y, b.y) < std::min(a.y + a.height, b.y + b.height);
}

int64_t intersectionArea(const Box& a, const Box& b) {
    if (!intersects(a, b)) {
        return 0;
    }
    const int64_t w = std::min(a.x + a.width, b.x + b.width) - std::max(a.x, b.x);
    const int64_t h = std::min(a.y + a.height, b.y + b.height) - std::max(a.y, b.y);
    return w * h;
}

// Intersection over union; no value (-1) when the denominator is not positive.
double iou(const cv::Rect& r, const cv::Rect& s) {
    const Box a = boxOf(r);
    const Box b = boxOf(s);
    const int64_t common = intersectionArea(a, b);
    const int64_t denominator = a.width * a.height + b.width * b.height - common;
    if (denominator <= 0) {
        return -1.0;
    }
    return static_cast<double>(common) / static_cast<double>(denominator);
}

std::string boxText(const Box& b) {
    return std::to_string(b.x) + ", " + std::to_string(b.y) + ", " + std::to_string(b.width) + ", " +
           std::to_string(b.height);
}

// ts - since without overflow: frame timestamps come from the streams.
int64_t elapsed(int64_t ts, int64_t since) {
    int64_t difference = 0;
    if (__builtin_sub_overflow(ts, since, &difference)) {
        return ts > since ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
    }
    return difference;
}

int cameraOf(const LPREvent& reading) {
    return reading.fwi->frame->sourceId;
}

void requireFrame(const std::shared_ptr<LPREvent>& reading, const char* where) {
    if (!reading || !reading->fwi || !reading->fwi->frame) {
        throw std::invalid_argument(std::string(where) + ": a plate reading without its frame");
    }
}

bool standsStill(const std::vector<cv::Rect>& rects, int minCount) {
    if (rects.empty()) {
        return false;
    }
    const Box last = boxOf(rects.back());
    int64_t overlapping = 0;
    for (const auto& r : rects) {
        if (intersects(boxOf(r), last)) {
            ++overlapping;
        }
    }
    return overlapping > minCount;
}

}  // namespace

TrainEvent::TrainEvent(const TrainEventSettings* settings) : EventBase(settings), trainSettings_(settings) {}

void TrainEvent::appendLPRs(std::shared_ptr<FrameWithInfo> frame,
                            const std::vector<const LPRDetection*>& readings) {
    if (!frame || !frame->frame) {
        throw std::invalid_argument("TrainEvent::appendLPRs: a frame without its image record");
    }
    {
        std::lock_guard<std::mutex> lock(statistics.mtx);
        statistics.numberFrames[frame->frame->cameraName] += 1;
    }
    for (const LPRDetection* detection : readings) {
        ILog::Debug("%s: append lpr %s to event ID %ld", settings->eventBuilderName.c_str(),
                    detection->value.c_str(), static_cast<long>(id));
        auto reading = std::make_shared<LPREvent>();
        reading->guid = CommonUtils::genGuid();
        reading->fwi = frame;
        reading->yoloId = detection->idYoloInfo;
        reading->position = detection->r;
        reading->value = static_cast<const LPRValue&>(*detection);
        appendLPR(reading);
    }
}

void TrainEvent::appendLPR(std::shared_ptr<LPREvent> reading) {
    requireFrame(reading, "TrainEvent::appendLPR");
    EventBase::appendLPR(reading);
    addDoorDetection(reading->fwi, reading->position);
    appendPlateForDetectDirection(reading);
    if (processingState == Create) {
        // Tested before this reading's rectangle is stored.
        if (detectStationaryPlate()) {
            processingState = Confirm;
            ILog::Debug("%s: event ID %ld change status to %s", settings->eventBuilderName.c_str(),
                        static_cast<long>(id), statusStr().c_str());
        } else {
            rectsForStationary[cameraOf(*reading)].push_back(reading->position);
        }
    }
    lastFrame = reading->fwi->frame;
}

std::optional<TrainDoorDetection> TrainEvent::nearestDoor(const FrameWithInfo& frame,
                                                          const cv::Rect& plate) const {
    const auto& s = trainSettings();
    const int64_t w = frame.frame->image.cols;
    const int64_t h = frame.frame->image.rows;
    const Box region{w * s.doorRoi.x / 1000, h * s.doorRoi.y / 1000, w * s.doorRoi.width / 1000,
                     h * s.doorRoi.height / 1000};
    const double diagonal = std::sqrt(static_cast<double>(w * w + h * h));
    const double maxDoorDistance = s.maxDoorDistancePercent * diagonal / 100.0;
    const char* name = s.eventBuilderName.c_str();

    std::optional<TrainDoorDetection> nearest;
    double nearestDistance = diagonal;
    for (const auto& object : frame.yoloDetectionsOverROI) {
        if (object.classId != s.YoloOpenDoorClassId && object.classId != s.YoloCloseDoorClassId) {
            continue;
        }
        const Box box = boxOf(object.rect());
        const double confidence = object.detectionConfidence;
        if (!intersects(box, region)) {
            ILog::Debug("%s: event ID %ld Reject door %s %.3f by ROI %s", name, static_cast<long>(id),
                        boxText(box).c_str(), confidence, boxText(region).c_str());
            continue;
        }
        const double dx = static_cast<double>(object.left) - plate.x;
        const double dy = static_cast<double>(object.top) - plate.y;
        const double distance = std::sqrt(dx * dx + dy * dy);
        if (distance < nearestDistance && distance < maxDoorDistance) {
            nearest = TrainDoorDetection{object, distance};
            nearestDistance = distance;
        } else {
            ILog::Debug("%s: event ID %ld Reject door %s %.3f  by distance %.3f > %.3f", name,
                        static_cast<long>(id), boxText(box).c_str(), confidence, distance, maxDoorDistance);
        }
    }
    return nearest;
}

void TrainEvent::recordDoor(const std::optional<TrainDoorDetection>& door,
                            const std::shared_ptr<ek::pipeline::Frame>& frame) {
    const int64_t enough = trainSettings().minDoorOpenCount;
    if (door && static_cast<int64_t>(doorDetections.size()) <= enough) {
        doorDetections.push_back(*door);
    }
    // An actual open-door frame, once chosen, is never replaced.
    if (static_cast<int64_t>(doorDetections.size()) > enough &&
        (!openDoorFrame || !openDoorFrame->isActualDetection)) {
        openDoorFrame = TrainDoorFrame{frame, true};
    }
    if (!openDoorFrame && detectStationaryPlate()) {
        openDoorFrame = TrainDoorFrame{frame, false};
    }
}

void TrainEvent::addDoorDetection(std::shared_ptr<FrameWithInfo> frame, const cv::Rect& plate) {
    if (!frame || !frame->frame) {
        throw std::invalid_argument("TrainEvent::addDoorDetection: a frame without its image record");
    }
    recordDoor(nearestDoor(*frame, plate), frame->frame);
}

void TrainEvent::appendPlateForDetectDirection(std::shared_ptr<LPREvent> reading) {
    requireFrame(reading, "TrainEvent::appendPlateForDetectDirection");
    auto& kept = rectsForDirection[cameraOf(*reading)];
    const cv::Rect& position = reading->position;
    if (kept.empty()) {
        kept.push_back(position);
        return;
    }
    // Pairs without an overlap value (both rectangles without area) share nothing: 0.
    double largest = 0.0;
    for (const auto& stored : kept) {
        largest = std::max(largest, iou(position, stored));
    }
    // Compared as floats, the threshold's own precision: an overlap equal to it is not new.
    if (trainSettings().iouThreshold > static_cast<float>(largest)) {
        kept.push_back(position);
    }
}

int TrainEvent::detectDirection() const {
    int64_t towardSmallerX = 0;
    int64_t towardLargerX = 0;
    for (const auto& [camera, rects] : rectsForDirection) {
        (void)camera;
        for (size_t i = 1; i < rects.size(); ++i) {
            const int64_t step = static_cast<int64_t>(rects[i - 1].x) - rects[i].x;
            if (step > 0) {
                ++towardSmallerX;
            } else if (step < 0) {
                ++towardLargerX;
            }
        }
    }
    if (towardSmallerX == towardLargerX) {
        return 0;
    }
    return towardSmallerX > towardLargerX ? 1 : -1;
}

bool TrainEvent::detectStationaryPlate() const {
    for (const auto& [camera, rects] : rectsForStationary) {
        (void)camera;
        if (standsStill(rects, trainSettings().stationaryPlateMinCount)) {
            return true;
        }
    }
    return false;
}

void TrainEvent::update(int64_t ts) {
    const ProcessingState atEntry = processingState;
    if (atEntry == Combined) {
        return;
    }
    if (atEntry == Create && detectStationaryPlate() && counterFrames >= settings->minDetections) {
        ILog::Debug("%s: update status event to: Confirm", settings->eventBuilderName.c_str());
        processingState = Confirm;
        confirmTimestamp = lastFrameTimestamp;
    }
    if (atEntry == Confirm && reportTimestamp == 0 &&
        elapsed(ts, lastFrameTimestamp) > trainSettings().eventEmitWait) {
        needReport = true;
    }
    finish(ts);
}
