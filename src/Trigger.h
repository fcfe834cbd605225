#pragma once

#include "src/PipelineContext.h"

namespace ek {

// At most this many trigger threads run at once; one more is refused.
constexpr size_t kMaxTriggerThreads = 6;

// Installs the context's trigger callback (replacing an earlier one). The callback runs in the
// caller's thread (an HTTP worker) and returns when the trigger is accepted, or dropped because
// its lane has no online camera; it throws std::runtime_error with the reason on a refusal:
// loading not finished, service stopping, a full poster queue, no builder for the lane, or too
// many trigger threads. An accepted trigger runs the builder's trigger() in a new thread that
// the context joins at shut-down.
void initalizeTrigger(PipelineContext& ctx);

}  // namespace ek
