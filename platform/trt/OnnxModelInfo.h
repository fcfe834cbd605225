#pragma once

#include <string>
#include <string_view>

#include "trt/TRTDims.h"

// What the engine needs to know of an ONNX model before running it: its first real input
// (initialisers listed as inputs are skipped) with the declared static shape, and its first output.
struct OnnxModelInfo {
    std::string inputName;
    TRTDims inputDims;
    std::string outputName;

    // Parses a serialised ModelProto. Throws std::runtime_error for a malformed file, a model
    // without inputs or outputs, or an input whose shape is not fully static.
    static OnnxModelInfo parse(std::string_view model);
};
