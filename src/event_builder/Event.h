#pragma once

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "qo_common/utils/Frame.h"
#include "qo_common/utils/FrameWithInfo.h"
#include "qo_common/utils/LPRDetection.h"
#include "qo_common/utils/StateDetection.h"
#include "src/LPREvent.h"
#include "src/event_builder/EventBase.h"

// The licence-plate builders' event settings. Defaults are the builder's configuration defaults.
struct EventGroupSettings : EventBaseSettings {
    uint64_t maxNumberStateVariance = 15;  // most distinct state labels one event keeps
    int vehicleClassId = 1;                // YOLO class id of vehicles
    int personClassId = 2;                 // YOLO class id of persons
    bool showPersonRects = false;          // draw the person boxes on the kept persons frame
    bool showPersonImage = false;          // count persons at all
    float positionBeautifulFrame = 0.67f;  // height of the beautiful row, fraction of the image
};

// EventBaseStatistics plus the frames per camera in which a vehicle was found for person counting.
class EventGroupStatistics : public EventBaseStatistics {
  public:
    EventGroupStatistics() = default;
    EventGroupStatistics(const EventGroupStatistics& other);
    EventGroupStatistics& operator=(const EventGroupStatistics& other);

    // The base object, then "numberPersonFrames" inside each camera's member, all under mtx.
    nlohmann::json get() const override;

    std::map<std::string, int> numberPersonFrames;  // guarded by mtx
};

// The event of the licence-plate builders: plates, plate states, the "beautiful" reading of each
// camera and the frame with the most persons at the vehicle. Not locked (see EventBase). A copy
// keeps the id, shares the readings, the persons frame and the settings, and its statistics get
// a fresh mutex.
class EventGroup : public EventBase {
  public:
    // State label -> (number of detections appended, most confident detection).
    using StateHistogram = std::map<std::string, std::pair<uint64_t, StateValue>>;
    // Event -> frame -> the event's most confident reading in that frame.
    using LprMatcher = std::map<const EventGroup*, std::map<FrameWithInfo*, std::shared_ptr<LPREvent>>>;

    explicit EventGroup(const EventGroupSettings* settings);
    EventGroup(const EventGroup& other) = default;
    EventGroup& operator=(const EventGroup& other) = default;
    EventGroup(EventGroup&& other) = default;
    EventGroup& operator=(EventGroup&& other) = default;
    ~EventGroup() override = default;

    // Takes the readings of one YOLO object of one frame; counts the frame once for its camera.
    // lptMatcher may be null.
    void appendLPRs(std::shared_ptr<FrameWithInfo> fwi, const std::vector<const LPRDetection*>& lprs,
                    LprMatcher* lptMatcher);
    // The beautiful-reading bookkeeping, then EventBase::appendLPR.
    void appendLPR(std::shared_ptr<LPREvent> lpr);
    void appendStates(const std::vector<const StateDetection*>& states);
    void appendState(const StateValue& state);
    // The chosen state; {"", 0, -1} when no state was appended.
    StateValue state() const;
    // Person counting at the vehicle that carries the plate object yoloId of this frame. The kept
    // persons frame is a full copy: the pipeline frame's pixels are never changed.
    void personCounter(std::shared_ptr<FrameWithInfo> fwi, size_t yoloId);

    StateHistogram histStates;
    std::shared_ptr<ek::pipeline::Frame> personsFrame;
    std::vector<cv::Rect> personDetections;
    std::map<int, std::shared_ptr<LPREvent>> beautifulFrames;  // source id -> reading
    EventGroupStatistics statistics;
    int personNumber = 0;

  private:
    const EventGroupSettings& groupSettings() const;
    void removeLeastConfidentStates();
    void keepPersonsFrame(const FrameWithInfo& fwi, std::vector<cv::Rect> persons);
};
