#pragma once

#include <nlohmann/json.hpp>

#include <string>

#include "src/PipelineContext.h"

namespace ek {

// Installs `terminate` (the orderly stop) and `setStatus` (one entry of the status document).
//
// terminate: sets `stop` (waking the statistics thread), stops every video source, then poisons every
// balancer queue, every frame queue and every event queue, each group in name order; queued items are
// discarded. Runs in the caller's thread and takes no lock of its own; calling it again is harmless.
void initializeAppControl(PipelineContext& ctx);

// Copies the first "networks" element named "state_recognizer" under the key "state_recognizer"
// into every network whose name is "gru" followed by digits only, then removes that element.
void moveStateRecognizerIntoGrus(nlohmann::json& configuration);

// One request to `url` unless it is empty. A failed request is logged at Warning; it never
// ends the run.
void startSignal(const std::string& url);

}  // namespace ek
