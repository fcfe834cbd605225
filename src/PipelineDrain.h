#pragma once

#include <chrono>

#include "src/PipelineContext.h"

namespace ek {

// The drain that follows the end of the input (a file source that does not restart), before the
// orderly stop: the sources are stopped, the frames already read go through the networks and the
// builders, every builder flushes (its open events with their detections are reported as if their
// forget time had passed, and its report threads finish), and every poster delivers what it was
// given and ends on a poison pair queued behind it.
//
// Runs in main, with the workers running; returns once all of that is done, at the bound, or at
// once when the stop is requested meanwhile (GET "/exit", a signal). True when everything was
// drained. The caller then stops as GET "/exit" does.
//
// The bound: the longest settleTime() of the builders plus `margin`.
bool drainPipeline(PipelineContext& ctx, std::chrono::milliseconds margin = std::chrono::seconds(10));

}  // namespace ek
