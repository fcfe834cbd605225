#pragma once

#include <nlohmann/json.hpp>

#include "src/PipelineContext.h"

namespace ek {

// For every entry of "networks" with a "name": the frame queues "<name>" and "<name>_infer"
// (capacity 3) and the component made by ComponentFactory. Entries that are not objects or have
// no "name" are skipped. Throws the JSON library's type error for a "name" or "type" that is not
// text, and whatever the factory throws (after logging "Failed to create network ...").
void loadNetworks(PipelineContext& ctx, const nlohmann::json& networks);

// Two threads per network, appended to ctx.consumers: a prepare worker ("<name>" -> prepare ->
// "<name>_infer") and an infer worker ("<name>_infer" -> infer -> the component's destinations).
// A frame marked skip, or seen while inference is off, is passed on with status NoProcessed (one
// already InProccess, claimed by a builder or marked by an earlier network, keeps it) and
// without prepare or infer; the infer worker infers exactly the frames that were prepared. An
// exception from a component (or the frame conversion) is logged with the network's name; the
// frame still goes on and the worker lives on.
void startNetworks(PipelineContext& ctx);

}  // namespace ek
