#include "src/event_builder/TriggeredReport.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <set>
#include <string>

#include "qo_common/logger/log.h"
#include "qo_common/utils/CommonUtils.h"

namespace {

using FramePtr = std::shared_ptr<FrameWithInfo>;

// Pre frames before post frames, each by camera and then guid.
std::vector<FramePtr> listFrames(const TriggeredEvent::Collected& c) {
    std::vector<FramePtr> frames;
    for (const auto* part : {&c.preFrames, &c.postFrames}) {
        for (const auto& [camera, byGuid] : *part) {
            for (const auto& [guid, frame] : byGuid) {
                frames.push_back(frame);
            }
        }
    }
    return frames;
}

}  // namespace

TriggeredReport::TriggeredReport(LpEventBuilder& builder, const TriggeredEventSettings& settings)
    : builder_(builder), settings_(settings) {}

TriggeredReport::Result TriggeredReport::assemble(const TriggeredEvent::Collected& c) const {
    const char* name = builder_.name.c_str();
    const int64_t triggerTs = c.trigger.triggerTimestamp;
    const std::vector<FramePtr> listed = listFrames(c);

    EventBuilderComponent::History history;
    EventGroup::LprMatcher matcher;
    std::map<std::string, bool> isImage;  // frame guid -> goes into `frames`
    std::map<int, FramePtr> nearest;      // camera -> frame nearest the trigger time
    std::set<int> cameras;
    for (const auto& frame : listed) {
        isImage[frame->frame->guid] = settings_.includeAllImages;
        builder_.match(frame, &history, &matcher);
        const int camera = frame->frame->sourceId;
        auto& best = nearest[camera];
        if (!best || std::llabs(frame->frame->timestamp - triggerTs) <
                         std::llabs(best->frame->timestamp - triggerTs)) {
            best = frame;
        }
        cameras.insert(camera);
    }
    ILog::Debug("%s: Report: event:  %lli. Start report", name, static_cast<long long>(c.id));

    Result result;
    QEVAEvent& event = result.event;
    event.guid = CommonUtils::genGuid();
    event.ts = triggerTs;
    event.laneId = builder_.laneId();
    event.laneName = builder_.laneName();

    LpEventBuilder::CorrectionCache cache;
    int plateIndex = 0;
    for (const auto& base : history) {
        const auto& group = static_cast<const EventGroup&>(*base);
        const long groupId = static_cast<long>(group.id);
        ILog::Debug("%s: Report: event: %li. Size of histogram: %ld", name, groupId,
                    static_cast<long>(group.histogram.size()));
        std::vector<EventBase::LprByCamera> sets;
        if (settings_.includeAllLpr) {
            const auto& byFrame = matcher[&group];
            std::set<const FrameWithInfo*> done;  // one set per frame, even if it is listed twice
            for (const auto& frame : listed) {
                const auto reading = byFrame.find(frame.get());
                if (reading != byFrame.end() && done.insert(frame.get()).second) {
                    sets.push_back({{frame->frame->sourceId, reading->second}});
                }
            }
        } else {
            sets.push_back(group.lpr());
        }
        const StateValue state = builder_.correctionState(group.state());
        ILog::Debug("%s: Report: event: %li. Size of bestLPEvents: %ld", name, groupId,
                    static_cast<long>(sets.size()));
        for (const auto& set : sets) {
            for (const auto& [camera, reading] : set) {
                isImage[reading->fwi->frame->guid] = true;
                event.evts.push_back(plateOf(*reading, group, state, plateIndex, cache));
                result.plateList += event.evts.back()->num + " ";
            }
        }
        event.person_number = std::max(event.person_number, group.personNumber);
        ++plateIndex;
    }

    std::set<int> withImage;
    std::set<std::string> copied;
    for (const auto& frame : listed) {
        const std::string& guid = frame->frame->guid;
        if (isImage[guid] && copied.insert(guid).second) {
            event.frames.push_back(frame->frame->copy());
            withImage.insert(frame->frame->sourceId);
        }
    }
    for (const int camera : cameras) {
        if (withImage.count(camera) == 0) {
            event.frames.push_back(nearest.at(camera)->frame->copy());
        }
    }
    event.trigger = c.trigger;
    result.stat = statOf(c, static_cast<int>(event.evts.size()));
    return result;
}

std::shared_ptr<PlateDetectionEvent> TriggeredReport::plateOf(const LPREvent& reading,
                                                              const EventGroup& group,
                                                              const StateValue& state, int plateIndex,
                                                              LpEventBuilder::CorrectionCache& cache) const {
    auto plate = std::make_shared<PlateDetectionEvent>();
    const auto& source = *reading.fwi->frame;
    plate->guid = reading.guid;
    plate->frameGuid = source.guid;
    plate->srcId = source.sourceId;
    plate->src = source.cameraName;
    plate->num = builder_.correctionLPR(reading.lpr(), state.value, &cache);
    plate->confidence = reading.value.confidence;
    plate->matchType = reading.value.matchType;
    plate->state = state.value;
    plate->stateConfidence = state.confidence;
    plate->ts = group.lastFrameTimestamp;
    plate->yoloInfo = {reading.box()};
    plate->frame = source.copy();
    plate->plate = reading.plateOf(plate->frame->image);
    plate->plateIndex = plateIndex;
    return plate;
}

TriggeredEventStat TriggeredReport::statOf(const TriggeredEvent::Collected& c, int plates) const {
    TriggeredEventStat stat;
    const auto& lane = builder_.laneSources();
    std::set<int> cameraIds;
    for (const auto* part : {&c.preFrames, &c.postFrames}) {
        for (const auto& [camera, byGuid] : *part) {
            const auto source = lane.find(camera);
            const std::string cameraName =
                source != lane.end() ? source->second->settings.name : std::to_string(camera);
            stat.numberFrames[cameraName] += static_cast<int>(byGuid.size());
            cameraIds.insert(camera);
        }
    }
    for (const auto& [cameraName, frames] : stat.numberFrames) {
        stat.collectedFrames += frames;
    }
    for (const int camera : cameraIds) {
        const auto source = lane.find(camera);
        if (source != lane.end()) {
            stat.expectedFrames +=
                std::max(source->second->settings.pre, 0) + std::max(source->second->settings.post, 0);
        }
    }
    stat.numberPlates = plates;
    stat.numberCameras = static_cast<int>(stat.numberFrames.size());
    stat.timedOut = c.timedOut;
    return stat;
}
