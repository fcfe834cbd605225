#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// What an ONNX file declares of its interface, read from the file itself because OpenCV's dnn module
// cannot tell it before an input is set: the first real input (initialisers listed as inputs are
// skipped) with its declared dimensions, and the first output.
struct OnnxDeclarations {
    std::string inputName;
    // -1 where a dimension is symbolic or not given.
    std::vector<int64_t> inputDims;
    // Empty when the model declares no output.
    std::string outputName;

    // Parses a serialised ModelProto. Throws std::runtime_error for malformed data, a model without
    // a graph, or a graph without a real input.
    static OnnxDeclarations parse(std::string_view model);
};
