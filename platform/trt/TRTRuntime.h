#pragma once

#include <memory>
#include <string>

class TRTEngine;

// Makes engines from ONNX files. A built engine's description (model hash, input and output
// shapes) is kept in a cache file; a matching description spares the shape probe at later starts.
class TRTRuntime {
  public:
    // Throws std::runtime_error naming the file when it cannot be read or run.
    std::shared_ptr<TRTEngine> build(const std::string& onnxFile, const std::string& cacheFile);
};
