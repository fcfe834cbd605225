#include "src/event_builder/EventBuilderComponent.h"

#include <climits>
#include <limits>
#include <optional>
#include <stdexcept>
#include <utility>

#include "qo_common/logger/log.h"
#include "qo_common/utils/EventBuilderUtils.h"
#include "src/PipelineContext.h"
#include "src/event_builder/NonTriggeredBuilder.h"
#include "src/event_builder/NonTriggeredWTriggerBuilder.h"
#include "src/event_builder/TrainBuilder.h"
#include "src/event_builder/TriggeredBuilder.h"

using nlohmann::json;

namespace {

using Maker = std::function<std::shared_ptr<IEventBuilderComponent>(ek::PipelineContext&, const json&)>;

template <typename Builder>
std::shared_ptr<IEventBuilderComponent> make(ek::PipelineContext& ctx, const json& config) {
    return std::make_shared<Builder>(ctx, config);
}

const std::map<int64_t, Maker>& lpBuilders() {
    static const std::map<int64_t, Maker> byTriggeredMode = {
        {0, make<NonTriggeredEventBuilder>},
        {2, make<TriggeredEventBuilder>},
        {3, make<NTwTriggerEventBuilder>},
    };
    return byTriggeredMode;
}

const std::map<std::string, Maker>& builderKinds() {
    static const std::map<std::string, Maker> byType = {
        {"LP", createLpEventBuilder},
        {"TrainSequence", make<TrainBuilder>},
    };
    return byType;
}

std::string numberText(double value) {
    return json(value).dump();
}

[[noreturn]] void refuseValue(const char* key, const std::string& builderName, const std::string& rule,
                              const std::string& got) {
    throw BuilderConfig::Error(key, rule + ", got " + got + " (builder \"" + builderName + "\")");
}

void requireAtLeast(const char* key, int64_t value, int64_t least, const std::string& builderName) {
    if (value < least) {
        refuseValue(key, builderName, "must be at least " + std::to_string(least), std::to_string(value));
    }
}

// isSubstring takes an int; validation has made the value non-negative.
int substringMinimum(uint64_t minSubstringDist) {
    return minSubstringDist > static_cast<uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(minSubstringDist);
}

// The distance of one reading to one plate, and its mark in the distance line.
std::pair<uint64_t, std::string> distanceOf(const std::string& plate, const std::string& reading,
                                            int minSubstring) {
    if (plate == reading) {
        return {0, "0 "};
    }
    if (EventBuilderUtils::isSubstring(plate, reading, minSubstring)) {
        return {0, "X "};
    }
    const uint64_t d = EventBuilderUtils::levensteinDistance(plate, reading);
    return {d, std::to_string(d) + " "};
}

}  // namespace

EventBuilderComponent::ModelKeys EventBuilderComponent::ModelKeys::read(const BuilderConfig& config,
                                                                        const std::string& builderName,
                                                                        const ModelKeys& defaults) {
    ModelKeys keys;
    keys.minSubstringDist = config.integer("minSubstringDist", defaults.minSubstringDist);
    keys.minLprStringSize = config.integer("minLprStringSize", defaults.minLprStringSize);
    // The event model's counts are 32-bit settings; 3000000000 frames is a typing error, not a setting.
    keys.minDetections = config.int32("minDetections", static_cast<int32_t>(defaults.minDetections));
    keys.lpConfidenceVariance = config.number("lpConfidenceVariance", defaults.lpConfidenceVariance);
    keys.maxNumberLpVariance =
        config.int32("maxNumberLpVariance", static_cast<int32_t>(defaults.maxNumberLpVariance));
    keys.validate(builderName);
    return keys;
}

void EventBuilderComponent::ModelKeys::validate(const std::string& builderName) const {
    requireAtLeast("maxNumberLpVariance", maxNumberLpVariance, 1, builderName);
    // The events keep it as a float: a value that is 0 or beyond the range there is refused too.
    const bool fitsFloat =
        lpConfidenceVariance > 0 && lpConfidenceVariance <= std::numeric_limits<float>::max();
    if (!fitsFloat || !(static_cast<float>(lpConfidenceVariance) > 0.f)) {
        refuseValue("lpConfidenceVariance", builderName, "must be a finite number greater than 0",
                    numberText(lpConfidenceVariance));
    }
    requireAtLeast("minDetections", minDetections, 0, builderName);
    requireAtLeast("minLprStringSize", minLprStringSize, 0, builderName);
    requireAtLeast("minSubstringDist", minSubstringDist, 0, builderName);
}

EventBuilderComponent::EventBuilderComponent(ek::PipelineContext& context, const json& config)
    : ctx(context) {
    const BuilderConfig keys(config);
    name = keys.requiredText("name", ek::ConfigReader::NonEmpty);
    destinations = keys.requiredTexts("destinations");
    laneID = keys.int32("laneId", 1);
    nameOfLane = keys.text("laneName", "lane" + std::to_string(laneID));
    // Held unsigned on purpose: a negative value admits every distance.
    maxLevDist = static_cast<uint64_t>(keys.integer("maxLevDist", 0));
    const ModelKeys model = ModelKeys::read(keys, name, ModelKeys{});
    minSubstringDist = static_cast<uint64_t>(model.minSubstringDist);
    minLprStringSize = static_cast<uint64_t>(model.minLprStringSize);
    requirePosters();
}

void EventBuilderComponent::requirePosters() const {
    for (size_t i = 0; i < destinations.size(); ++i) {
        if (ctx.eventQueues.count(destinations[i]) == 0) {
            throw BuilderConfig::Error("destinations[" + std::to_string(i) + "]",
                                       "no event poster named \"" + destinations[i] + "\"");
        }
    }
}

int EventBuilderComponent::laneId() const {
    return laneID;
}

std::string EventBuilderComponent::laneName() const {
    return nameOfLane;
}

EventBuilderComponent::LprGroups EventBuilderComponent::lprGroupByRect(
    std::shared_ptr<FrameWithInfo> frame) const {
    LprGroups groups;
    for (const auto& reading : frame->lprDetections) {
        if (reading.value.size() > minLprStringSize) {
            groups[reading.idYoloInfo].push_back(&reading);
            ILog::Debug("%s: LPR income: %s, id rect: %ld", name.c_str(), reading.value.c_str(),
                        static_cast<long>(reading.idYoloInfo));
        } else {
            ILog::Debug("%s: drop LPR by size: %s", name.c_str(), reading.value.c_str());
        }
    }
    return groups;
}

std::shared_ptr<EventBase> EventBuilderComponent::findEvent(
    History* history, const std::vector<const LPRDetection*>& lprDetection,
    const std::function<std::shared_ptr<EventBase>()>& createEvent) const {
    const int minSubstring = substringMinimum(minSubstringDist);
    // The first event offered at the smallest distance: the same choice as a map by distance that
    // keeps its first entry, without the map.
    std::optional<std::pair<uint64_t, std::shared_ptr<EventBase>>> best;
    for (const auto& event : *history) {
        if (event->processingState == EventBase::Combined) {
            continue;
        }
        const auto shown = event->maxConfidenceLPR();
        ILog::Debug("%s: Get levenstein distance for event ID: %ld, LP: %s", name.c_str(),
                    static_cast<long>(event->id), shown ? shown->lpr().c_str() : "");
        for (const LPRDetection* reading : lprDetection) {
            std::string marks;
            for (const auto& [plate, entry] : event->histogram) {
                (void)entry;
                auto [d, mark] = distanceOf(plate, reading->value, minSubstring);
                marks += mark;
                if (maxLevDist >= d && (!best || d < best->first)) {
                    best.emplace(d, event);
                }
            }
            // Plate texts may hold '%': the line is an argument, never the format.
            ILog::Debug("%s", (name + ": distance for " + reading->value + ": " + marks).c_str());
        }
    }
    if (best) {
        return best->second;
    }
    auto created = createEvent();
    history->push_back(created);
    ILog::Debug("%s: created new event ID %ld", name.c_str(), static_cast<long>(created->id));
    return created;
}

bool EventBuilderComponent::reportsFrom(const ek::IVideoSource& camera) const {
    return camera.isOnline() || ctx.draining();
}

void EventBuilderComponent::post(const QEVAPair& pair) const {
    if (pair.poison) {
        return;
    }
    for (const auto& destination : destinations) {
        const auto found = ctx.eventQueues.find(destination);
        if (found == ctx.eventQueues.end()) {
            throw std::runtime_error("EventBuilderComponent: missing destination object: " + destination);
        }
        auto& queue = *found->second;
        if (queue.size() >= queue.capacity()) {
            ILog::Error("EventBuilderComponent: event queue overflow: %s", destination.c_str());
        }
        if (!ctx.stop) {
            queue.push(pair);
        } else if (pair.event) {
            // No event vanishes without a line that names it.
            const auto& evts = pair.event->evts;
            ILog::Info(
                "EventBuilderComponent: event %s (lane %s, plate %s) not delivered to %s: the service is "
                "stopping",
                pair.event->guid.c_str(), pair.event->laneName.c_str(),
                evts.empty() || !evts.front() ? "<no recognition>" : evts.front()->num.c_str(),
                destination.c_str());
        }
    }
}

std::shared_ptr<IEventBuilderComponent> createEventBuilder(ek::PipelineContext& ctx, const json& config) {
    const BuilderConfig keys(config);
    const auto& kinds = builderKinds();
    const auto found = kinds.find(keys.text("type", "LP"));
    if (found == kinds.end()) {
        throw std::runtime_error("Event builder not implemented");
    }
    return found->second(ctx, config);
}

std::shared_ptr<IEventBuilderComponent> createLpEventBuilder(ek::PipelineContext& ctx, const json& config) {
    const BuilderConfig keys(config);
    const auto& modes = lpBuilders();
    const auto found = modes.find(keys.integer("triggeredMode", 0));
    if (found == modes.end()) {
        throw std::runtime_error("Event builder not implemented");
    }
    return found->second(ctx, config);
}
