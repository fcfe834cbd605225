#pragma once

#include <memory>
#include <string>

#include "trt/TRTDims.h"

class TRTRuntime;
class TRTEngine;

// Gives a ready inference engine for an ONNX model.
//
// The engine is built from `onnxFile`; a description of the built engine is kept in `cacheFileName`
// so that later starts with the same model skip the shape probe. A missing or unwritable cache
// directory is not an error: the engine is then built every time.
// Failures (unreadable file, a model the engine cannot run, a dynamic input shape) throw
// std::runtime_error naming the file.
//
// The builder must outlive every TRTInferer made from its engine's users only in the sense that
// the engine is shared: inferers keep their own reference, so any order of destruction is safe.
class TRTOnnxBuilder {
  public:
    TRTOnnxBuilder();
    TRTOnnxBuilder(const std::string& onnxFile, const std::string& cacheFile);
    TRTOnnxBuilder(TRTOnnxBuilder&&) noexcept;
    TRTOnnxBuilder& operator=(TRTOnnxBuilder&&) noexcept;
    TRTOnnxBuilder(const TRTOnnxBuilder&) = delete;
    TRTOnnxBuilder& operator=(const TRTOnnxBuilder&) = delete;
    // Releases the engine first, then the runtime.
    ~TRTOnnxBuilder();

    // Declared input shape of the model (batch first); empty for a builder that holds no engine.
    TRTDims dims() const;
    // Output shape of the model for the declared input shape.
    TRTDims outDims() const;
    std::shared_ptr<TRTEngine> getEngine() const { return engine; }
    const std::string& getOnnxFile() const { return onnxFile; }
    const std::string& getCacheFileName() const { return cacheFileName; }

    const std::string NetworkInputName = "Input";
    const std::string NetworkOutputName = "Output";

  private:
    std::string onnxFile;
    std::string cacheFileName;
    std::unique_ptr<TRTRuntime> runtime;
    std::shared_ptr<TRTEngine> engine;
};
