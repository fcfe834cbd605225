#include "OnnxModelInfo.h"

#include <stdexcept>

#include "platform/onnx/OnnxDeclarations.h"

namespace {

TRTDims staticDims(const OnnxDeclarations& declared) {
    if (declared.inputDims.empty()) {
        throw std::runtime_error("input '" + declared.inputName + "' declares no shape");
    }
    if (declared.inputDims.size() > static_cast<size_t>(TRTDims::MAX_DIMS)) {
        throw std::runtime_error("input '" + declared.inputName + "' has more than 8 dimensions");
    }
    TRTDims dims;
    for (int64_t value : declared.inputDims) {
        if (value <= 0) {
            throw std::runtime_error("input '" + declared.inputName + "' has a dynamic or empty dimension " +
                                     std::to_string(dims.nbDims) + "; export the model with static shapes");
        }
        dims.d[dims.nbDims++] = value;
    }
    return dims;
}

}  // namespace

OnnxModelInfo OnnxModelInfo::parse(std::string_view model) {
    OnnxDeclarations declared = OnnxDeclarations::parse(model);
    if (declared.outputName.empty()) {
        throw std::runtime_error("the ONNX model declares no output");
    }
    return OnnxModelInfo{declared.inputName, staticDims(declared), declared.outputName};
}
