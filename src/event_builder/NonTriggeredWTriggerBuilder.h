#pragma once

#include <nlohmann/json.hpp>

#include <memory>
#include <string>
#include <vector>

#include "src/event_builder/LpEventBuilder.h"
#include "src/event_builder/NonTriggeredBuilder.h"
#include "src/event_builder/TriggeredBuilder.h"

// The builder with both modes ("type" "LP", "triggeredMode" 3): a non-triggered part that turns
// every camera frame into vehicle events, and a triggered part that keeps the same frames in its
// rings and makes one event per trigger. Both parts are built from this builder's configuration, so
// they share its name, lane and destinations. The base's own licence-plate state is not used and
// the base is never started.
//
// Threads: as for its parts; consume() runs both parts in the worker, trigger() runs the triggered
// part in trigger threads.
class NTwTriggerEventBuilder : public LpEventBuilder {
  public:
    // Builds the base, then the non-triggered part, then the triggered part.
    NTwTriggerEventBuilder(ek::PipelineContext& ctx, const nlohmann::json& config);
    // The same with other time bounds for the triggered part (tests).
    NTwTriggerEventBuilder(ek::PipelineContext& ctx, const nlohmann::json& config,
                           TriggeredEventBuilder::Timing timing);
    // The triggered part first (its rings are poisoned, waking collections), then the
    // non-triggered part (which waits for its report threads), then the base.
    ~NTwTriggerEventBuilder() override;

    void start() override;
    // A frame without trigger ids (the poison frame too) goes to the non-triggered part; every frame
    // then goes to the triggered part.
    void consume(std::shared_ptr<FrameWithInfo> frame) override;
    // Both parts, the non-triggered part first.
    void idle(std::chrono::milliseconds sinceLastFrame) override;
    void flush() override;
    std::chrono::milliseconds settleTime() const override;
    void trigger(const QEVATriggerEvent& trigger, const std::vector<int>& cameraIds) override;
    std::string getStatString() const override;
    nlohmann::json getStatistics() const override;
    EventBuilderMode mode() const override { return EventBuilderMode::NonTriggeredWithTrigger; }

    NonTriggeredEventBuilder& nonTriggered() { return *nonTriggeredBuilder; }
    TriggeredEventBuilder& triggered() { return *triggeredBuilder; }

  private:
    std::unique_ptr<NonTriggeredEventBuilder> nonTriggeredBuilder;
    std::unique_ptr<TriggeredEventBuilder> triggeredBuilder;
};
