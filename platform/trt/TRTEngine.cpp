#include "TRTEngine.h"

#include <stdexcept>
#include <utility>

TRTEngine::TRTEngine(cv::dnn::Net net_, OnnxModelInfo info_) : net(std::move(net_)), info(std::move(info_)) {}

void TRTEngine::setOutputDims(const TRTDims& dims) {
    std::lock_guard lock(mutex);
    outDims = dims;
}

TRTDims TRTEngine::outputDims() {
    {
        std::lock_guard lock(mutex);
        if (outDims.nbDims > 0) {
            return outDims;
        }
    }
    std::vector<int> shape(info.inputDims.d, info.inputDims.d + info.inputDims.nbDims);
    cv::Mat zeros(static_cast<int>(shape.size()), shape.data(), CV_32F, cv::Scalar(0));
    TRTDims dims;
    forward(zeros, &dims);
    setOutputDims(dims);
    return dims;
}

std::vector<float> TRTEngine::forward(const cv::Mat& blob, TRTDims* shape) {
    std::lock_guard lock(mutex);
    cv::Mat out;
    try {
        net.setInput(blob, info.inputName);
        out = net.forward(info.outputName);
    } catch (const cv::Exception& e) {
        throw std::runtime_error("inference failed: " + std::string(e.what()));
    }
    if (out.depth() != CV_32F) {
        throw std::runtime_error("inference gave a non-float output");
    }
    if (shape) {
        shape->nbDims = out.dims;
        for (int i = 0; i < out.dims && i < TRTDims::MAX_DIMS; ++i) {
            shape->d[i] = out.size[i];
        }
    }
    if (!out.isContinuous()) {
        out = out.clone();
    }
    const auto* data = out.ptr<float>();
    return std::vector<float>(data, data + out.total() * out.channels());
}
