#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "qo_common/utils/FrameWithInfo.h"
#include "qo_common/utils/StateDetection.h"
#include "qo_common/video/IVideoSource.h"
#include "src/event_builder/BufferDetections.h"
#include "src/event_builder/Event.h"
#include "src/event_builder/EventBuilderComponent.h"
#include "src/event_builder/OldFileSweeper.h"
#include "src/event_builder/PlateCorrection.h"

// The base of the licence-plate builders: the event-model keys, the plate catalog, the lane's
// cameras with their save directories and detection rings, the old-file sweep, and the matching of
// one frame's readings, states and objects into the builder's EventGroups.
//
// Threads: the constructor and start() run on the main thread at loading; match() in the builder's
// worker (and, for the triggered kind, in the thread that reports an event). After start() the
// camera map and the ring map never change, so report threads may read them (each ring has its own
// lock). The destructor stops and joins the sweep thread.
class LpEventBuilder : public EventBuilderComponent {
  public:
    using EventDefaults = PlateCorrection::EventDefaults;
    using CorrectionCache = PlateCorrection::CorrectionCache;
    using CorrectionData = PlateCorrection::CorrectionData;
    // YOLO object id -> the frame's state detections of that object.
    using StateGroups = std::map<uint64_t, std::vector<const StateDetection*>>;
    using Rings = std::map<int, BufferDetections>;
    using Sources = std::map<int, std::shared_ptr<ek::IVideoSource>>;

    // Reads the event-model keys (README, "Licence-plate builders") and loads the plate catalog.
    // Throws BuilderConfig::Error naming a bad key, and the catalog's std::runtime_error.
    LpEventBuilder(ek::PipelineContext& ctx, const nlohmann::json& config);
    ~LpEventBuilder() override;

    // Finds the lane's cameras, gives each a detection ring and its save directory, and starts the
    // old-file sweep. Throws std::runtime_error naming camera and path when a recording camera has
    // no save path, or a save directory cannot be made or is not a directory.
    void start() override;

    // Makes the camera's save directory again (one level, as start() does) when it has gone since,
    // so that a folder removed while the service runs costs no later file: Info when it is made,
    // Error when it cannot be. Safe from any report thread; never throws.
    void remakeSaveDirectory(const ek::IVideoSource& camera) const;

    // One sweep of one save path (see OldFileSweeper), under accessToDisk.
    static void deleteOldFiles(const std::string& savePath);

    StateGroups stateGroupByRect(std::shared_ptr<FrameWithInfo> frame) const;

    // The frame's readings join open events of `history` (or open new ones at its back), with their
    // states and person counts; for a recording lane camera the frame's objects go to its ring.
    // Throws std::runtime_error when a reading's object is missing from yoloDetectionsOverROI (the
    // events keep what they got before).
    void match(std::shared_ptr<FrameWithInfo> frame, History* history, EventGroup::LprMatcher* lptMatcher);

    std::string correctionLPR(const std::string& text, const std::string& state,
                              CorrectionCache* cache) const;
    StateValue correctionState(const StateValue& state) const;
    std::string Correct0O(const std::string& text, const std::string& state, CorrectionCache* cache) const;

    const EventGroupSettings& groupSettings() const { return eventGroupSettings; }
    const Sources& laneSources() const { return sources; }
    // Fixed after start(); each ring locks itself, so report threads may read them.
    Rings& rings() { return rectsBufferByCam; }
    const EventDefaults& eventDefaults() const { return defaults; }

    // Held for a whole sweep of one directory and while a report writes a clip and its metadata.
    static std::mutex accessToDisk;

  protected:
    std::string plateCatalogPath;
    EventDefaults defaults;
    EventGroupSettings eventGroupSettings;
    Rings rectsBufferByCam;
    Sources sources;

  private:
    void readModelKeys(const BuilderConfig& keys);
    void readDefaults(const nlohmann::json& config);
    void prepareSaveDirectory(const ek::IVideoSource& camera) const;
    void pushDetections(const FrameWithInfo& frame, std::vector<Detection> detections);

    std::unique_ptr<const PlateCorrection> correction_;  // loaded last, after every key
    std::unique_ptr<OldFileSweeper> sweeper_;
};
