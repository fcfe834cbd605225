#include "trt/TRTOnnxBuilder.h"

#include "TRTEngine.h"
#include "TRTRuntime.h"

TRTOnnxBuilder::TRTOnnxBuilder() = default;

TRTOnnxBuilder::TRTOnnxBuilder(const std::string& onnxFile_, const std::string& cacheFile)
    : onnxFile(onnxFile_), cacheFileName(cacheFile), runtime(std::make_unique<TRTRuntime>()) {
    engine = runtime->build(onnxFile, cacheFileName);
}

TRTOnnxBuilder::TRTOnnxBuilder(TRTOnnxBuilder&&) noexcept = default;

TRTOnnxBuilder& TRTOnnxBuilder::operator=(TRTOnnxBuilder&& other) noexcept {
    engine.reset();
    runtime.reset();
    onnxFile = std::move(other.onnxFile);
    cacheFileName = std::move(other.cacheFileName);
    runtime = std::move(other.runtime);
    engine = std::move(other.engine);
    return *this;
}

TRTOnnxBuilder::~TRTOnnxBuilder() {
    engine.reset();
    runtime.reset();
}

TRTDims TRTOnnxBuilder::dims() const {
    return engine ? engine->inputDims() : TRTDims{};
}

TRTDims TRTOnnxBuilder::outDims() const {
    return engine ? engine->outputDims() : TRTDims{};
}
