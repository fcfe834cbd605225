#pragma once

#include <nlohmann/json.hpp>

#include "src/PipelineContext.h"

namespace ek {

// For each entry of "outputs" ({"name", "type"}, both texts): a frame queue of capacity 1 in
// ctx.queues, a VideoOutput in ctx.outputs and a player thread in ctx.players that consumes the
// queue until its poison frame. All windows are shown by one display thread (also in ctx.players,
// ending after the last player). When no display is available one Warning is logged and the
// players go on consuming frames without showing them.
//
// Main thread, last loader. Throws ek::ConfigError naming the path ("outputs[1].type: ...") when
// "outputs" is not an array, an entry is not an object, or its "name" is not a non-empty text or
// its "type" not a text; no thread has been started then.
void loadOutputs(PipelineContext& ctx, const nlohmann::json& outputs);

}  // namespace ek
