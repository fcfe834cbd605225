#pragma once

#include <opencv2/dnn.hpp>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "OnnxModelInfo.h"
#include "platform/dnn/NetPool.h"
#include "trt/TRTDims.h"

// A loaded model: OpenCV dnn networks on the CPU. One network must not run two forwards at once,
// so the engine keeps a pool of networks of the same model and lends one to each forward; the
// pool grows, one warmed network at a time, up to the number of users set (at least 1).
class TRTEngine {
  public:
    // `makeNet` makes one more ready network of the same model (read and warmed); `net` is the first.
    TRTEngine(cv::dnn::Net net, OnnxModelInfo info, std::function<cv::dnn::Net()> makeNet);

    const TRTDims& inputDims() const { return info.inputDims; }
    // Output shape for the declared input shape; probes with one forward on zeros until known.
    TRTDims outputDims();
    void setOutputDims(const TRTDims& dims);

    // Runs a network on `blob` (shape batch x input dims) and returns the output floats. Any number
    // of threads may call it. OpenCV errors are rethrown as std::runtime_error.
    std::vector<float> forward(const cv::Mat& blob, TRTDims* shape = nullptr);

    // How many threads may forward at once; the pool holds at most that many networks.
    void setUsers(size_t users);
    size_t pooledNets() const { return nets.size(); }

    // One forward on zeros of the declared input shape; gives the output shape.
    static TRTDims warm(cv::dnn::Net& net, const OnnxModelInfo& info);

  private:
    OnnxModelInfo info;
    std::mutex dimsMutex;
    TRTDims outDims;
    NetPool<cv::dnn::Net> nets;
};
