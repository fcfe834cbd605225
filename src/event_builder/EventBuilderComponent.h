#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "qo_common/event_poster/QEVAPair.h"
#include "qo_common/utils/FrameWithInfo.h"
#include "qo_common/utils/LPRDetection.h"
#include "qo_common/video/IVideoSource.h"
#include "src/event_builder/BuilderConfig.h"
#include "src/event_builder/EventBase.h"
#include "src/event_builder/IEventBuilderComponent.h"

namespace ek {
class PipelineContext;
}

// The common base of every event builder: the keys all builders share ("name", "destinations",
// "laneId", "laneName", "maxLevDist", "minSubstringDist", "minLprStringSize"), laneId/laneName,
// and three services to the builders: grouping a frame's readings by YOLO object, matching a group
// to an open event, and posting a finished event.
//
// Locks: a builder never holds a lock of its own while it takes the context lock (getVideoSources,
// withLock, ...). The worker calls getStatistics() before it takes the context lock and only
// stores the result under it, so a builder may lock its own state in getStatistics().
class EventBuilderComponent : public IEventBuilderComponent {
  public:
    // The keys the event model relies on, as read: signed, so that a negative value is refused
    // instead of becoming 2^64-1 in an unsigned field. Every builder kind calls read() with its
    // own defaults and copies the values it keeps into its settings.
    struct ModelKeys {
        int64_t minSubstringDist = 3;
        int64_t minLprStringSize = 3;
        int64_t minDetections = 2;
        double lpConfidenceVariance = 0.05;
        int64_t maxNumberLpVariance = 15;

        // The five keys of `config` ("minSubstringDist", "minLprStringSize", "minDetections",
        // "lpConfidenceVariance", "maxNumberLpVariance"); absent ones keep the value of
        // `defaults`. Then validate(). Throws BuilderConfig::Error naming the key.
        static ModelKeys read(const BuilderConfig& config, const std::string& builderName,
                              const ModelKeys& defaults);
        // Refuses values that break the event model: maxNumberLpVariance < 1 (every histogram
        // would be emptied), lpConfidenceVariance not > 0 as a float (no plate could be chosen),
        // and negative minDetections, minLprStringSize or minSubstringDist. Throws
        // BuilderConfig::Error at the key, its problem naming the builder.
        void validate(const std::string& builderName) const;
    };

    // Object id (a reading's idYoloInfo) -> that object's readings, in frame order. The pointers
    // point into the frame and are valid while it lives.
    using LprGroups = std::map<uint64_t, std::vector<const LPRDetection*>>;
    using History = std::list<std::shared_ptr<EventBase>>;

    // Reads the shared keys (main thread, at loading). Throws BuilderConfig::Error for a missing
    // "name" or "destinations", a key of the wrong kind, a value that ModelKeys::validate refuses
    // (any builder kind), and a destination that names no event poster (posters load first; an
    // empty list is legal).
    EventBuilderComponent(ek::PipelineContext& ctx, const nlohmann::json& config);

    int laneId() const override;
    std::string laneName() const override;

    // Whether a report takes a lane camera's readings, frames and clip: while the camera is online,
    // and also once the input has ended (a drain), whose cameras went offline as their files ended.
    bool reportsFrom(const ek::IVideoSource& camera) const;

  protected:
    // The frame's readings whose text is longer than minLprStringSize bytes, by object id
    // (ascending); the others are dropped with a Debug line. Takes no lock.
    LprGroups lprGroupByRect(std::shared_ptr<FrameWithInfo> frame) const;

    // The event of `history` that the group `lprDetection` joins: over every event that is not
    // Combined (oldest first), every reading and every plate text, the smallest distance within
    // maxLevDist wins; equal text and the substring test count 0; on equal distances the older
    // event wins. When none qualifies, createEvent() is appended to `history` and returned. Neither
    // the events nor the readings are changed. An exception from createEvent leaves `history` as
    // it was. Runs in the caller's thread and takes no lock.
    std::shared_ptr<EventBase> findEvent(
        History* history, const std::vector<const LPRDetection*>& lprDetection,
        const std::function<std::shared_ptr<EventBase>()>& createEvent) const;

    // A deep copy of the pair into every destination's event queue, in configuration order. A
    // poison pair is not posted. Blocks while a queue is full (logged at Error) until a pop or the
    // queue's poison; once the context is stopping nothing more is pushed. Safe from several
    // report threads at once. Throws std::runtime_error for a destination without a queue.
    void post(const QEVAPair& pair) const;

    ek::PipelineContext& ctx;
    std::string nameOfLane;
    // Held unsigned: a negative "maxLevDist" admits every distance.
    uint64_t maxLevDist = 0;
    uint64_t minSubstringDist = 3;
    uint64_t minLprStringSize = 3;
    int laneID = 1;
    std::vector<std::string> destinations;

  private:
    void requirePosters() const;
};

// One builder per "eventbuilders" element, by "type" (default "LP": "LP" and "TrainSequence"); any
// other kind throws std::runtime_error "Event builder not implemented". Key errors are
// BuilderConfig::Error.
std::shared_ptr<IEventBuilderComponent> createEventBuilder(ek::PipelineContext& ctx,
                                                           const nlohmann::json& config);
// The "LP" kinds, by "triggeredMode" (default 0).
std::shared_ptr<IEventBuilderComponent> createLpEventBuilder(ek::PipelineContext& ctx,
                                                             const nlohmann::json& config);
