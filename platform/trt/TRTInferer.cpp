#include "trt/TRTInferer.h"

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
    buffers->inputShape.assign(inputSize.d, inputSize.d + inputSize.nbDims);
    buffers->inputShape[0] = batchSize;
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
    // The network copies its input, so a view of this call's own floats is enough.
    cv::Mat blob(static_cast<int>(buffers->inputShape.size()), buffers->inputShape.data(), CV_32F,
                 input.data());
    return engine->forward(blob);
}

void TRTInferer::setUsers(size_t users) {
    engine->setUsers(users);
}

size_t TRTInferer::pooledNets() const {
    return engine->pooledNets();
}
