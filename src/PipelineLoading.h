#pragma once

#include <nlohmann/json.hpp>

#include "src/PipelineContext.h"

namespace ek {

// Refuses names that would make two readers share one queue: event builders, networks (their
// name and their name + "_infer") and outputs share the frame-queue name space; posters and
// sources each have their own. Names that would share an entry of the status document are
// refused too: sources and builders may not share a name, nor be called "core" or "triggers".
// Elements without a non-empty text "name" are left to their loaders. Throws std::runtime_error naming
// the duplicate.
void checkUniqueNames(const nlohmann::json& configuration);

// Each of the five arrays that is present must be an array or null ({} is not); otherwise
// ek::ConfigError "<array>: expected an array, got ...".
void checkArrays(const nlohmann::json& configuration);

// One Warning per destination of a source or a network that names no frame queue once everything
// is loaded ("sources[0].destinations[1]: no queue named ..."): such a name is skipped at run time.
void warnAboutDestinationsWithoutQueue(const PipelineContext& ctx, const nlohmann::json& configuration);

// Loading, in its fixed order: the "networks" rewrite, the array and name checks, then posters,
// event builders, networks, video sources and outputs, then the destination warnings. `configuration` is
// main's copy; the five arrays are looked up with inserting access (an absent array becomes null and loads
// nothing). Any failure throws, naming the key's path where a value is at fault; main then logs "Loading
// failed: %s" and ends the run.
void loadPipeline(PipelineContext& ctx, nlohmann::json& configuration);

// Starts the producers, balancers and statistics thread, then the network workers, then the
// event builders and their workers.
void startPipeline(PipelineContext& ctx);

}  // namespace ek
