#pragma once

#include <nlohmann/json.hpp>

#include <chrono>

#include "src/PipelineContext.h"

namespace ek {

// For each element of "eventbuilders", in array order: a frame queue of capacity 2 under the
// builder's "name" (ctx.addFrameQueue) and the builder made by createEventBuilder in
// ctx.eventBuilders. Null loads nothing.
//
// Main thread, after the posters (a builder checks its destinations against them). Throws
// BuilderConfig::Error naming the element and the key (eventbuilders[1].laneId: ...) for a value
// that is not an array, an element that is not an object, a missing or mistyped key or a refused
// setting; and the factory's std::runtime_error for a kind it cannot build.
void loadEventBuilders(PipelineContext& ctx, const nlohmann::json& builders);

// In name order: the builder's start(), then its worker thread (in ctx.ebWorkers). A start() that
// throws ends the starting with that exception; workers already running end on their poison.
//
// A worker pops frame after frame, hands each to consume() (the poison frame too), then stores
// getStatistics() under the builder's name in the status document, and ends after the poison
// frame. Whatever consume() or getStatistics() throws is logged with the builder's name and the
// frame's camera and guid; the worker goes on, and on the poison frame still stores the statistics
// and ends. getStatistics() runs before the context lock is taken; only the store is under it.
//
// When no frame comes for `idlePeriod`, the worker calls idle() with the time since it last
// popped a frame (since its start before the first), and again after every further period; once a
// drain has asked for it (ctx.requestFlush), the first such empty period calls flush() instead,
// stores the statistics and counts the builder as flushed (ctx.builderFlushed).
constexpr std::chrono::milliseconds kIdleSweepPeriod{250};
void startEventBuilders(PipelineContext& ctx, std::chrono::milliseconds idlePeriod = kIdleSweepPeriod);

}  // namespace ek
