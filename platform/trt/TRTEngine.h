#pragma once

#include <opencv2/dnn.hpp>

#include <mutex>
#include <string>
#include <vector>

#include "OnnxModelInfo.h"
#include "trt/TRTDims.h"

// A loaded model: an OpenCV dnn network on the CPU. cv::dnn::Net is not safe for two forward
// passes at once, so every forward through one engine is serialised by its mutex.
class TRTEngine {
  public:
    TRTEngine(cv::dnn::Net net, OnnxModelInfo info);

    const TRTDims& inputDims() const { return info.inputDims; }
    // Output shape for the declared input shape; probes with one forward on zeros until known.
    TRTDims outputDims();
    void setOutputDims(const TRTDims& dims);

    // Runs the network on `blob` (shape batch x input dims) and returns the output floats.
    // OpenCV errors are rethrown as std::runtime_error.
    std::vector<float> forward(const cv::Mat& blob, TRTDims* shape = nullptr);

  private:
    std::mutex mutex;
    cv::dnn::Net net;
    OnnxModelInfo info;
    TRTDims outDims;
};
