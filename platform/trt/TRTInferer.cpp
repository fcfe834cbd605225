#include "trt/TRTInferer.h"

#include <cstring>
#include <stdexcept>
#include <string>

#include "TRTBuffers.h"
#include "TRTEngine.h"

TRTInferer::TRTInferer(std::shared_ptr<TRTEngine> engine_, const TRTDims& inputSize_, int batchSize_)
    : engine(std::move(engine_)),
      buffers(std::make_shared<TRTBuffers>()),
      inputSize(inputSize_),
      batchSize(batchSize_) {
    if (!engine) {
        throw std::invalid_argument("TRTInferer: no engine");
    }
    if (batchSize < 1 || inputSize.nbDims < 1) {
        throw std::invalid_argument("TRTInferer: batch size " + std::to_string(batchSize) +
                                    " or input shape " + inputSize.toString() + " is not usable");
    }
    std::vector<int> shape(inputSize.d, inputSize.d + inputSize.nbDims);
    shape[0] = batchSize;
    buffers->input.create(static_cast<int>(shape.size()), shape.data(), CV_32F);
}

TRTInferer::~TRTInferer() {
    buffers.reset();
    engine.reset();
}

size_t TRTInferer::inputVolume() const {
    return static_cast<size_t>(batchSize * inputSize.volume(1));
}

std::vector<float> TRTInferer::infer(std::vector<float> input) {
    if (input.size() != inputVolume()) {
        throw std::invalid_argument("TRTInferer: input of " + std::to_string(input.size()) +
                                    " floats, the engine takes " + std::to_string(inputVolume()));
    }
    std::lock_guard lock(buffers->mutex);
    std::memcpy(buffers->input.ptr<float>(), input.data(), input.size() * sizeof(float));
    return engine->forward(buffers->input);
}
