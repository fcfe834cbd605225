#pragma once

#include <opencv2/core.hpp>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "qo_common/utils/Frame.h"
#include "qo_common/utils/FrameWithInfo.h"
#include "qo_common/utils/LPRDetection.h"
#include "qo_common/yolo/YoloObjectInfo.h"
#include "src/event_builder/EventBase.h"

// The settings of one train builder, read by all its events through a constant pointer. The
// defaults are the train builder's configuration defaults; the event-model fields that the train
// builder does not read from its configuration keep defined values (no report interval, no
// direction threshold).
struct TrainEventSettings : EventBaseSettings {
    TrainEventSettings() {
        lpForgetInterval = 60000;
        reportInterval = 0;
        minDirectionVector = 0;
    }

    int eventEmitWait = 30000;  // ms of silence after the last reading before a confirmed event is reported
    int maxDoorDistancePercent = 20;  // largest door-to-plate distance, per cent of the image diagonal
    int minDoorOpenCount = 3;         // door detections beyond which a door counts as open
    // Region where doors are looked for: x, width in thousandths of the image width, y, height
    // in thousandths of its height. Values outside 0..1000 are taken as they are.
    cv::Rect doorRoi{0, 0, 1000, 1000};
    int stationaryPlateMinCount = 3;  // overlapping stored rectangles beyond which the plate stands still
    float iouThreshold = 0.7f;        // overlap below which a new position is kept for the direction
    int YoloOpenDoorClassId = 1;
    int YoloCloseDoorClassId = 2;
};

// One accepted door box and its distance (pixels) to the plate it was found for.
struct TrainDoorDetection {
    YoloObjectInfo info;
    double distance = 0.0;
};

// The frame shown as the open-door image: chosen because enough doors were seen
// (isActualDetection), or standing in because the plate stood still.
struct TrainDoorFrame {
    std::shared_ptr<ek::pipeline::Frame> frame;
    bool isActualDetection = false;
};

// Frames appended per camera name and the duration set by the builder.
using TrainEventStatistics = EventBaseStatistics;

// The plate readings of one train vehicle, with what its report needs: whether the plate stands
// still (only then is the event confirmed), the direction of travel and a frame with a door near
// the plate. Doors are the objects of the frame's yoloDetectionsOverROI with the door classes.
//
// Plate rectangles are kept per camera (source id): rectangles of different cameras are in
// different images, so the stationary test, the overlap test and the direction steps compare one
// camera's rectangles only; the direction votes of all cameras are summed.
//
// Not locked: one thread (the builder's worker) works on an event; reports work on copies, which
// share the frames and readings. `statistics` has its own mutex for the statistics thread.
//
// appendLPR and update hide the EventBase operations of the same name: call them on a TrainEvent,
// never through an EventBase pointer, or the train rules are skipped.
class TrainEvent : public EventBase {
  public:
    using RectsByCamera = std::map<int, std::vector<cv::Rect>>;

    // `settings` must outlive the event and its copies; throws std::invalid_argument when null.
    explicit TrainEvent(const TrainEventSettings* settings);

    // One frame's group of readings: counts the frame for its camera, then appends each reading.
    void appendLPRs(std::shared_ptr<FrameWithInfo> frame, const std::vector<const LPRDetection*>& readings);
    // One reading: the event model's append, the door search, the direction record, the
    // stationary step (in Create only), and the last frame. Throws std::invalid_argument for a
    // reading without its frame.
    void appendLPR(std::shared_ptr<LPREvent> reading);
    // Looks for the door nearest to `plate` in the frame and updates the open-door frame.
    void addDoorDetection(std::shared_ptr<FrameWithInfo> frame, const cv::Rect& plate);
    // Keeps the reading's position when it overlaps every kept position of its camera by less
    // than iouThreshold.
    void appendPlateForDetectDirection(std::shared_ptr<LPREvent> reading);
    // -1 (toward larger x), 0, +1 (toward smaller x): the majority of the horizontal steps.
    int detectDirection() const;
    // True when some camera's last stored rectangle overlaps more than stationaryPlateMinCount of
    // that camera's stored rectangles (itself included).
    bool detectStationaryPlate() const;
    // Advances the lifecycle; ts is the timestamp of the frame the builder has just consumed.
    void update(int64_t ts);

    const TrainEventSettings& trainSettings() const { return *trainSettings_; }

    std::optional<TrainDoorFrame> openDoorFrame;
    std::shared_ptr<ek::pipeline::Frame> lastFrame;
    TrainEventStatistics statistics;
    std::vector<TrainDoorDetection> doorDetections;
    RectsByCamera rectsForStationary;
    RectsByCamera rectsForDirection;

  private:
    // The nearest door of the frame in the region and within reach, logging the rejected ones.
    std::optional<TrainDoorDetection> nearestDoor(const FrameWithInfo& frame, const cv::Rect& plate) const;
    void recordDoor(const std::optional<TrainDoorDetection>& door,
                    const std::shared_ptr<ek::pipeline::Frame>& frame);

    const TrainEventSettings* trainSettings_;
};
