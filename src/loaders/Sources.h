#pragma once

#include <nlohmann/json.hpp>

#include "src/PipelineContext.h"

namespace ek {

// Makes a video source of the video library for every element of "sources" (configuration
// order), sets its destinations from "destinations", appends it to ctx.caps and then gives every
// source the other sources of its lane. An element the library has no implementation for is
// logged at Error and skipped. Main thread, during loading.
//
// Throws the JSON library's errors: "sources" neither an array, null nor an empty object (304),
// an element that is not an object (305), "destinations" not an array of texts or "name" not a
// text (302); and whatever VideoSourceSettings::configure throws for a bad key.
void loadSources(PipelineContext& ctx, const nlohmann::json& sources);

}  // namespace ek
