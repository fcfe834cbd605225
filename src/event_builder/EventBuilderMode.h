#pragma once

// The kind of an event builder. The values are shared with the processing mode of video sources.
enum class EventBuilderMode : int {
    NonTriggered = 0,
    Hybrid = 1,
    Triggered = 2,
    NonTriggeredWithTrigger = 3,
    Train = 4,
};

// True for the kinds that take external triggers.
constexpr bool takesTriggers(EventBuilderMode mode) {
    return mode == EventBuilderMode::Hybrid || mode == EventBuilderMode::Triggered ||
           mode == EventBuilderMode::NonTriggeredWithTrigger;
}
