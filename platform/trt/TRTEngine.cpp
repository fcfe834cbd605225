#include "TRTEngine.h"

#include <stdexcept>
#include <utility>

namespace {

std::vector<float> run(cv::dnn::Net& net, const OnnxModelInfo& info, const cv::Mat& blob, TRTDims* shape) {
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
    // Copied while the network is still lent: its output buffers are reused by the next forward.
    const auto* data = out.ptr<float>();
    return std::vector<float>(data, data + out.total() * out.channels());
}

}  // namespace

TRTEngine::TRTEngine(cv::dnn::Net net, OnnxModelInfo info_, std::function<cv::dnn::Net()> makeNet)
    : info(std::move(info_)), nets(std::move(makeNet), std::move(net)) {}

TRTDims TRTEngine::warm(cv::dnn::Net& net, const OnnxModelInfo& info) {
    std::vector<int> shape(info.inputDims.d, info.inputDims.d + info.inputDims.nbDims);
    cv::Mat zeros(static_cast<int>(shape.size()), shape.data(), CV_32F, cv::Scalar(0));
    TRTDims dims;
    run(net, info, zeros, &dims);
    return dims;
}

void TRTEngine::setOutputDims(const TRTDims& dims) {
    std::lock_guard lock(dimsMutex);
    outDims = dims;
}

TRTDims TRTEngine::outputDims() {
    {
        std::lock_guard lock(dimsMutex);
        if (outDims.nbDims > 0) {
            return outDims;
        }
    }
    TRTDims dims;
    {
        auto net = nets.acquire();
        dims = warm(*net, info);
    }
    setOutputDims(dims);
    return dims;
}

std::vector<float> TRTEngine::forward(const cv::Mat& blob, TRTDims* shape) {
    auto net = nets.acquire();
    return run(*net, info, blob, shape);
}

void TRTEngine::setUsers(size_t users) {
    nets.setBound(users);
}
