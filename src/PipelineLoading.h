#pragma once

#include <nlohmann/json.hpp>

#include "src/PipelineContext.h"

namespace ek {

// Refuses names that would make two readers share one queue: event builders, networks (their
// name and their name + "_infer") and outputs share the frame-queue name space; posters and
// sources each have their own. Names that would share an entry of the status document are
// refused too: sources and builders may not share a name, nor be called "core" or "triggers".
// Elements without a text "name" are left to their loaders. Throws std::runtime_error naming the
// duplicate.
void checkUniqueNames(const nlohmann::json& configuration);

// Until a subsystem's loader exists, its array must be empty (null, [] or {}): a configuration is
// never half loaded in silence. Throws std::runtime_error "<array>: not supported yet".
void refuseUntilSupported(const nlohmann::json& value, const char* array);

// Loading, in its fixed order: the "networks" rewrite, the name check, then posters, event
// builders, networks, video sources and outputs. `configuration` is main's copy; the five
// arrays are looked up with inserting access (an absent array becomes null and loads nothing).
// Any failure throws; main then logs "Loading failed: %s" and ends the run.
void loadPipeline(PipelineContext& ctx, nlohmann::json& configuration);

// Starts the producers, balancers and statistics thread, then the network workers, then the
// event builders and their workers.
void startPipeline(PipelineContext& ctx);

}  // namespace ek
