#pragma once

#include <nlohmann/json.hpp>

#include "src/PipelineContext.h"

namespace ek {

// Makes a video source of the video library for every element of "sources" (configuration
// order), sets its destinations from "destinations", appends it to ctx.caps and then gives every
// source the other sources of its lane. An element the library has no implementation for is
// logged at Error and skipped. Main thread, during loading.
//
// Throws ek::ConfigError naming the key's path ("sources[1].name: ...") for "sources" neither an
// array nor null ({} included), an element that is not an object, a missing or empty "name",
// a missing "destinations" or one that is not an array of texts, a bad setting
// (VideoSourceSettings::configure), and a source whose balancer queue name another source makes
// too ("cam" in a triggered mode and "cam_triggered"). A file source whose file is missing or is
// not readable video throws std::runtime_error naming the source and the file.
void loadSources(PipelineContext& ctx, const nlohmann::json& sources);

}  // namespace ek
