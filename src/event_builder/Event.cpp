#include "src/event_builder/Event.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <stdexcept>

#include "qo_common/logger/log.h"
#include "qo_common/utils/CommonUtils.h"

namespace {

// Area of the overlap of two rectangles; rectangles without a positive width and height never
// overlap. Computed in 64 bits so that boxes near the int range cannot overflow.
int64_t overlapArea(const cv::Rect& a, const cv::Rect& b) {
    if (a.width <= 0 || a.height <= 0 || b.width <= 0 || b.height <= 0) {
        return 0;
    }
    int64_t left = std::max<int64_t>(a.x, b.x);
    int64_t top = std::max<int64_t>(a.y, b.y);
    int64_t right = std::min<int64_t>(int64_t{a.x} + a.width, int64_t{b.x} + b.width);
    int64_t bottom = std::min<int64_t>(int64_t{a.y} + a.height, int64_t{b.y} + b.height);
    if (right <= left || bottom <= top) {
        return 0;
    }
    return (right - left) * (bottom - top);
}

// A NaN confidence ranks below every other, so it is the first to go when labels are evicted.
float evictionRank(float confidence) {
    return std::isnan(confidence) ? -std::numeric_limits<float>::infinity() : confidence;
}

// The row nearest to which a camera's "beautiful" reading is kept: the image height (as a float)
// times the configured fraction, truncated; kept inside the int range for any configured fraction.
int64_t beautifulRow(int rows, float position) {
    double row = static_cast<double>(static_cast<float>(rows) * position);
    if (std::isnan(row)) {
        return 0;
    }
    constexpr double limit = static_cast<double>(std::numeric_limits<int>::max());
    return static_cast<int64_t>(std::clamp(row, -limit, limit));
}

}  // namespace

EventGroupStatistics::EventGroupStatistics(const EventGroupStatistics& other) : EventBaseStatistics() {
    std::lock_guard<std::mutex> lock(other.mtx);
    copyValuesFrom(other);
    numberPersonFrames = other.numberPersonFrames;
}

EventGroupStatistics& EventGroupStatistics::operator=(const EventGroupStatistics& other) {
    if (this != &other) {
        std::scoped_lock lock(mtx, other.mtx);
        copyValuesFrom(other);
        numberPersonFrames = other.numberPersonFrames;
    }
    return *this;
}

nlohmann::json EventGroupStatistics::get() const {
    std::lock_guard<std::mutex> lock(mtx);
    nlohmann::json object = getLocked();
    for (const auto& [camera, count] : numberPersonFrames) {
        object[camera]["numberPersonFrames"] = count;
    }
    return object;
}

EventGroup::EventGroup(const EventGroupSettings* settings) : EventBase(settings) {}

const EventGroupSettings& EventGroup::groupSettings() const {
    // The only constructor takes EventGroupSettings, so the base's pointer is one.
    return static_cast<const EventGroupSettings&>(*settings);
}

void EventGroup::appendLPRs(std::shared_ptr<FrameWithInfo> fwi, const std::vector<const LPRDetection*>& lprs,
                            LprMatcher* lptMatcher) {
    if (!fwi || !fwi->frame) {
        throw std::invalid_argument("EventGroup::appendLPRs: plate readings without their frame");
    }
    {
        std::lock_guard<std::mutex> lock(statistics.mtx);
        ++statistics.numberFrames[fwi->frame->cameraName];
    }
    for (const LPRDetection* detection : lprs) {
        if (detection == nullptr) {
            throw std::invalid_argument("EventGroup::appendLPRs: a missing plate reading in the group");
        }
        ILog::Debug("%s: append lpr %s to event ID %ld", settings->eventBuilderName.c_str(),
                    detection->value.c_str(), static_cast<long>(id));
        auto reading = std::make_shared<LPREvent>();
        reading->guid = CommonUtils::genGuid();
        reading->fwi = fwi;
        reading->yoloId = detection->idYoloInfo;
        reading->position = detection->r;
        reading->value = static_cast<const LPRValue&>(*detection);
        if (lptMatcher != nullptr) {
            auto& stored = (*lptMatcher)[this][fwi.get()];
            if (!stored || reading->value.confidence > stored->value.confidence) {
                stored = reading;
            }
        }
        appendLPR(reading);
    }
}

void EventGroup::appendLPR(std::shared_ptr<LPREvent> lpr) {
    if (!lpr || !lpr->fwi || !lpr->fwi->frame) {
        throw std::invalid_argument("EventGroup::appendLPR: a plate reading without its frame");
    }
    const auto& frame = *lpr->fwi->frame;
    const int64_t row = beautifulRow(frame.image.rows, groupSettings().positionBeautifulFrame);
    auto& stored = beautifulFrames[frame.sourceId];
    if (!stored || std::llabs(lpr->position.y - row) < std::llabs(stored->position.y - row)) {
        stored = lpr;
    }
    EventBase::appendLPR(std::move(lpr));
}

void EventGroup::appendStates(const std::vector<const StateDetection*>& states) {
    for (const StateDetection* detection : states) {
        if (detection == nullptr) {
            throw std::invalid_argument("EventGroup::appendStates: a missing state detection");
        }
        ILog::Debug("Append state: %s to event ID: %ld", detection->value.c_str(), static_cast<long>(id));
        appendState(static_cast<const StateValue&>(*detection));
    }
}

void EventGroup::appendState(const StateValue& state) {
    auto found = histStates.find(state.value);
    if (found == histStates.end()) {
        histStates.emplace(state.value, std::make_pair(uint64_t{1}, state));
    } else {
        ++found->second.first;
        if (state.confidence > found->second.second.confidence) {
            found->second.second = state;
        }
    }
    removeLeastConfidentStates();
}

void EventGroup::removeLeastConfidentStates() {
    while (histStates.size() > groupSettings().maxNumberStateVariance) {
        auto weakest = histStates.begin();
        for (auto it = std::next(histStates.begin()); it != histStates.end(); ++it) {
            if (evictionRank(it->second.second.confidence) <
                evictionRank(weakest->second.second.confidence)) {
                weakest = it;
            }
        }
        ILog::Debug("%s: Remove State: %s (confidence %.2f) from event ID: %ld",
                    settings->eventBuilderName.c_str(), weakest->first.c_str(),
                    static_cast<double>(weakest->second.second.confidence), static_cast<long>(id));
        histStates.erase(weakest);
    }
}

StateValue EventGroup::state() const {
    auto chosen =
        getBest(histStates, [](const StateHistogram::value_type& entry) { return entry.second.second; });
    if (chosen == histStates.end()) {
        return StateValue{"", 0.f, -1};
    }
    return chosen->second.second;
}

void EventGroup::personCounter(std::shared_ptr<FrameWithInfo> fwi, size_t yoloId) {
    const auto& config = groupSettings();
    if (!config.showPersonImage || !fwi || !fwi->frame) {
        return;
    }
    const auto& objects = fwi->yoloDetectionsOverROI;
    auto plate = std::find_if(objects.begin(), objects.end(),
                              [yoloId](const YoloObjectInfo& object) { return object.id == yoloId; });
    if (plate == objects.end()) {
        return;
    }

    const YoloObjectInfo* vehicle = nullptr;
    int64_t vehicleArea = 0;
    for (const auto& object : objects) {
        if (object.classId != config.vehicleClassId) {
            continue;
        }
        int64_t area = overlapArea(object.rect(), plate->rect());
        if (area > vehicleArea) {
            vehicle = &object;
            vehicleArea = area;
        }
    }
    if (vehicle == nullptr) {
        return;
    }

    std::vector<cv::Rect> persons;
    for (const auto& object : objects) {
        if (object.classId == config.personClassId && overlapArea(object.rect(), vehicle->rect()) > 0) {
            persons.push_back(object.rect());
        }
    }
    {
        std::lock_guard<std::mutex> lock(statistics.mtx);
        ++statistics.numberPersonFrames[fwi->frame->cameraName];
    }
    if (persons.size() > static_cast<size_t>(std::max(personNumber, 0))) {
        keepPersonsFrame(*fwi, std::move(persons));
    }
}

void EventGroup::keepPersonsFrame(const FrameWithInfo& fwi, std::vector<cv::Rect> persons) {
    personNumber = static_cast<int>(persons.size());
    personDetections = std::move(persons);
    // A full copy: the pipeline's frame is shared with other stages and must not be drawn on.
    personsFrame = fwi.frame->copy();
    if (groupSettings().showPersonRects && !personsFrame->image.empty()) {
        for (const auto& person : personDetections) {
            cv::rectangle(personsFrame->image, person, cv::Scalar(0, 255, 0), 2, cv::LINE_8);
        }
    }
}
