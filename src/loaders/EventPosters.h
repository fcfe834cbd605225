#pragma once

#include <nlohmann/json.hpp>

#include "src/PipelineContext.h"

namespace ek {

// Makes one event queue (capacity 5) per entry of "eventposters" in ctx.eventQueues and, for each
// entry with a "url", a poster thread in ctx.posters that delivers the queued events through its
// own QEVAEventPoster until the poison pair. An entry without "url" gets a queue that drops what is
// pushed (one Debug line per pair), so it never fills. A name containing "epqeva" takes every pair
// and posts nothing.
//
// Runs on the main thread before any builder. Throws (and starts no thread) when "eventposters" is
// not an array, an entry is not an object or has no non-empty text "name", or a name is repeated;
// ek::ConfigError names the path ("eventposters[1].name: ..."). A key the poster library refuses
// throws ek::ConfigError under the entry's path ("eventposters[1].imageWidth: ..."); threads of
// earlier entries may then already run, and the terminate callback ends them.
void loadEventPosters(PipelineContext& ctx, const nlohmann::json& eventposters);

}  // namespace ek
