#pragma once

#include <chrono>
#include <functional>

#include "src/PipelineContext.h"

namespace ek {

// How often the statistics thread runs its step.
constexpr std::chrono::milliseconds kMonitoringPeriod = std::chrono::seconds(10);

// One step of the periodic statistics, bound to `ctx`. Logs, in this order: one line per balancer
// queue; each builder's statistics as compact JSON, then the report (network frame rate, queue
// fill levels with stage times, builder summaries, producer latencies); one line per video source
// with its statistics as compact JSON, which also replace the source's entry of the status
// document; then it stores the trigger counters under "triggers", returns free heap memory to the
// system, and logs the memory line and its own duration. URIs appear with their user information
// masked and invalid UTF-8 replaced. Throws what a statistics call throws; the rest of that step
// is then skipped.
std::function<void()> queuesMonitoring(PipelineContext& ctx);

// The statistics thread's body: runs `step` every `period` until the stop. requestStop wakes the
// wait, and the thread then ends without another step. A step that throws is logged ("queuesMonitoring
// exception: %s") and the next one runs a period later.
void runQueuesMonitoring(PipelineContext& ctx, const std::function<void()>& step,
                         std::chrono::milliseconds period = kMonitoringPeriod);

}  // namespace ek
