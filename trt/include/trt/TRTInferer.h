#pragma once

#include <memory>
#include <vector>

#include "trt/TRTDims.h"

class TRTEngine;
struct TRTBuffers;

// Runs one engine on batches of `batchSize` inputs of the engine's input shape.
//
// `infer` may be called from several threads: each call runs on a network of the engine's pool of
// its own, so calls run in parallel up to the number of users set (beyond it they wait). Errors of the
// inference back end are rethrown as std::runtime_error; an input of the wrong size throws
// std::invalid_argument.
class TRTInferer {
  public:
    // `inputSize`: the engine's input shape; its first extent (the batch) is replaced by `batchSize`.
    TRTInferer(std::shared_ptr<TRTEngine> engine, const TRTDims& inputSize, int batchSize);
    TRTInferer(const TRTInferer&) = delete;
    TRTInferer& operator=(const TRTInferer&) = delete;
    // Releases the buffers, then the engine reference.
    ~TRTInferer();

    // `input`: batchSize x (input volume without the batch) floats, row-major.
    // Returns the output floats, row-major, batch first.
    std::vector<float> infer(std::vector<float> input);

    // Number of floats `infer` expects.
    size_t inputVolume() const;

    // How many threads may call `infer` (on any inferer of this engine) at once, at least 1; the
    // engine keeps at most that many networks, made and warmed on first need.
    void setUsers(size_t users);
    // Networks the engine holds now.
    size_t pooledNets() const;

  private:
    std::shared_ptr<TRTEngine> engine;
    std::shared_ptr<TRTBuffers> buffers;
    TRTDims inputSize;
    int batchSize;
};
