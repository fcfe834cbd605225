#pragma once

#include "src/PipelineContext.h"

namespace ek {

// Installs `pushToDests`: the frame pointer goes into the frame queue of each named destination
// in list order, waiting while a queue is full; names without a queue are skipped and a push into
// a poisoned queue is dropped. Takes no context lock (the queue map no longer changes once the
// workers run).
void initalizePipelineControl(PipelineContext& ctx);

}  // namespace ek
