#pragma once

#include <memory>
#include <string>
#include <vector>

#include "qo_common/event_poster/QEVAEvent.h"
#include "src/event_builder/LpEventBuilder.h"
#include "src/event_builder/TriggeredEvent.h"
#include "src/event_builder/TriggeredEventBuilderStatistics.h"

// The triggered builder's report keys.
struct TriggeredEventSettings {
    bool includeAllLpr = false;     // "includeAllLprResults": one plate per frame read, not per camera
    bool includeAllImages = false;  // "includeAllImages": every collected frame, not only the read ones
};

// The assembly of one trigger's QEVA event from its collected frames: the readings are matched
// into vehicle groups as the non-triggered builder does; each group gives plates with corrected
// text and state and one plate index; the frames are those of the reported readings (or all
// collected ones) plus the frame nearest the trigger time of every other camera; the event carries
// the trigger time and a copy of the trigger record.
//
// Runs in the thread that completes the event, with no lock held. It reads the builder's settings,
// catalog and lane cameras (fixed after start) and the collected frames, which the networks no
// longer write. Throws what the matching throws (a reading whose object is missing).
class TriggeredReport {
  public:
    struct Result {
        QEVAEvent event;
        TriggeredEventStat stat;  // everything but durationMs, which the poster of the event sets
        std::string plateList;    // the plates' texts, each followed by a blank (log lines)
    };

    // `builder` must outlive the report.
    TriggeredReport(LpEventBuilder& builder, const TriggeredEventSettings& settings);

    Result assemble(const TriggeredEvent::Collected& collected) const;

  private:
    using FramePtr = std::shared_ptr<FrameWithInfo>;

    std::shared_ptr<PlateDetectionEvent> plateOf(const LPREvent& reading, const EventGroup& group,
                                                 const StateValue& state, int plateIndex,
                                                 LpEventBuilder::CorrectionCache& cache) const;
    TriggeredEventStat statOf(const TriggeredEvent::Collected& collected, int plates) const;

    LpEventBuilder& builder_;
    TriggeredEventSettings settings_;
};
