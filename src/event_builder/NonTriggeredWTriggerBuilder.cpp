#include "src/event_builder/NonTriggeredWTriggerBuilder.h"

#include <algorithm>
#include <exception>

using nlohmann::json;

NTwTriggerEventBuilder::NTwTriggerEventBuilder(ek::PipelineContext& ctx, const json& config)
    : NTwTriggerEventBuilder(ctx, config, TriggeredEventBuilder::Timing{}) {}

NTwTriggerEventBuilder::NTwTriggerEventBuilder(ek::PipelineContext& ctx, const json& config,
                                               TriggeredEventBuilder::Timing timing)
    : LpEventBuilder(ctx, config),
      nonTriggeredBuilder(std::make_unique<NonTriggeredEventBuilder>(ctx, config)),
      triggeredBuilder(std::make_unique<TriggeredEventBuilder>(ctx, config, timing)) {}

NTwTriggerEventBuilder::~NTwTriggerEventBuilder() {
    triggeredBuilder.reset();
    nonTriggeredBuilder.reset();
}

void NTwTriggerEventBuilder::start() {
    nonTriggeredBuilder->start();
    triggeredBuilder->start();
}

void NTwTriggerEventBuilder::consume(std::shared_ptr<FrameWithInfo> frame) {
    // A frame that carries trigger ids has been through the non-triggered part already. The
    // triggered part gets every frame even when the other part fails on it: the poison frame
    // must reach its rings.
    std::exception_ptr failure;
    if (frame->triggerIds.size() == 0) {
        try {
            nonTriggeredBuilder->consume(frame);
        } catch (...) {
            failure = std::current_exception();
        }
    }
    triggeredBuilder->consume(frame);
    if (failure) {
        std::rethrow_exception(failure);
    }
}

void NTwTriggerEventBuilder::idle(std::chrono::milliseconds sinceLastFrame) {
    nonTriggeredBuilder->idle(sinceLastFrame);
    triggeredBuilder->idle(sinceLastFrame);
}

void NTwTriggerEventBuilder::flush() {
    nonTriggeredBuilder->flush();
    triggeredBuilder->flush();
}

std::chrono::milliseconds NTwTriggerEventBuilder::settleTime() const {
    return std::max(nonTriggeredBuilder->settleTime(), triggeredBuilder->settleTime());
}

void NTwTriggerEventBuilder::trigger(const QEVATriggerEvent& trigger, const std::vector<int>& cameraIds) {
    triggeredBuilder->trigger(trigger, cameraIds);
}

std::string NTwTriggerEventBuilder::getStatString() const {
    return "non-triggered: " + nonTriggeredBuilder->getStatString() +
           " triggered: " + triggeredBuilder->getStatString();
}

json NTwTriggerEventBuilder::getStatistics() const {
    return {{"non-triggered-w-trigger",
             {{"non-triggered", nonTriggeredBuilder->getStatistics()},
              {"triggered", triggeredBuilder->getStatistics()}}}};
}
