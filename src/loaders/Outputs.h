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
// Main thread, last loader. Throws the JSON library's type error for an entry that is not an
// object (or null) or whose "name" or "type" is not a text; no thread has been started then.
void loadOutputs(PipelineContext& ctx, const nlohmann::json& outputs);

}  // namespace ek
