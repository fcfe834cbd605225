#pragma once

#include <nlohmann/json.hpp>

#include "platereader/PlateReaderBase.h"
#include "trt/TRTOnnxBuilder.h"

// A plate reader whose network is an ONNX file run through the inference-engine wrapper.
//
// Reads the network object: "name", "model"."definition"."path", and in
// "model"."definition"."content": "files"."weights" (the ONNX file name), "files"."alphabet" (the
// alphabet itself) and the optional "decode" object ("type": "beam" or greedy, "skipSize",
// "beamSize", "validationMode").
// Throws: the JSON library's errors for missing or mistyped keys; std::runtime_error
// "PlateReaderOnnx: ..." when the engine cannot be built, when the model's shapes are not
// [batch, height, width] in and [batch, steps, symbols] out, when the alphabet's length is not
// the model's output width, or when "beamSize" < 1 or "skipSize" is outside [0, steps].
class PlateReaderOnnx : public PlateReaderBase {
  public:
    // `fp16` is ignored; `batchSize` goes to the inference object only.
    PlateReaderOnnx(nlohmann::json config, bool fp16, int batchSize);
    // The inference object goes before the builder's engine and runtime.
    ~PlateReaderOnnx() override;

  private:
    TRTOnnxBuilder builder;
};
