#include "platform/staterecognizer/DnnStateRecognizer.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <stdexcept>

#include "platform/yolo/ClassNames.h"

namespace {

bool endsWith(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string onnxPath(const std::string& config, const std::string& weights) {
    if (endsWith(config, ".onnx")) {
        return config;
    }
    return endsWith(weights, ".onnx") ? weights : std::string();
}

ModelInputShape inputShape(const std::string& config, const std::string& weights) {
    auto onnx = onnxPath(config, weights);
    return onnx.empty() ? ModelInputShape::fromDarknetCfg(config) : ModelInputShape::fromOnnx(onnx);
}

cv::dnn::Net readNet(const std::string& config, const std::string& weights) {
    auto onnx = onnxPath(config, weights);
    try {
        auto net =
            onnx.empty() ? cv::dnn::readNetFromDarknet(config, weights) : cv::dnn::readNetFromONNX(onnx);
        if (net.empty()) {
            throw std::runtime_error("empty network");
        }
        net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
        net.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);
        return net;
    } catch (const cv::Exception& e) {
        throw std::runtime_error("cannot read state recognizer model " + (onnx.empty() ? config : onnx) +
                                 ": " + e.what());
    }
}

cv::Size sizeOf(const ModelInputShape& s) {
    return {s.width, s.height};
}

// Probabilities as they are, or a softmax of logits.
void normalise(std::vector<float>& values) {
    bool probabilities =
        std::all_of(values.begin(), values.end(), [](float v) { return v >= 0.f && v <= 1.f; }) &&
        std::abs(std::accumulate(values.begin(), values.end(), 0.f) - 1.f) < 1e-3f;
    if (probabilities || values.empty()) {
        return;
    }
    float top = *std::max_element(values.begin(), values.end());
    float sum = 0.f;
    for (auto& v : values) {
        v = std::exp(v - top);
        sum += v;
    }
    for (auto& v : values) {
        v /= sum;
    }
}

}  // namespace

DnnStateRecognizer::DnnStateRecognizer(const std::string& config, const std::string& weights,
                                       const std::string& classNames)
    : modelPath_(onnxPath(config, weights).empty() ? config : onnxPath(config, weights)),
      shape_(inputShape(config, weights)),
      net_(readNet(config, weights)),
      pre_(sizeOf(shape_), shape_.channels),
      names_(ClassNames::read(classNames)) {
    pre_.setResize(YoloResizeMode::COMPROMISE);
    pre_.setKeepAspect(false);
    std::vector<float> probs;
    try {
        probs = probabilities(std::vector<float>(pre_.inputLength(), 0.f));
    } catch (const cv::Exception& e) {
        throw std::runtime_error("state recognizer model " + modelPath_ + " does not run: " + e.what());
    }
    if (probs.size() != names_.size()) {
        throw std::runtime_error("state recognizer model " + modelPath_ + " gives " +
                                 std::to_string(probs.size()) + " classes but " + classNames + " names " +
                                 std::to_string(names_.size()));
    }
}

void DnnStateRecognizer::prepare(const cv::Mat& image, std::vector<float>& out) const {
    out = pre_.prepare(image);
}

std::vector<float> DnnStateRecognizer::prepare(const cv::Mat& image) const {
    return pre_.prepare(image);
}

std::vector<float> DnnStateRecognizer::probabilities(const std::vector<float>& input) {
    int dims[] = {1, pre_.channels(), pre_.inputSize().height, pre_.inputSize().width};
    cv::Mat blob(4, dims, CV_32F, const_cast<float*>(input.data()));  // setInput copies it
    std::vector<float> values;
    {
        std::lock_guard<std::mutex> lock(forwardMutex_);
        net_.setInput(blob);
        cv::Mat out = net_.forward();
        values.assign(out.ptr<float>(), out.ptr<float>() + out.total());
    }
    normalise(values);
    return values;
}

IStateRecognizer::Result DnnStateRecognizer::decide(const std::vector<float>& probs, float threshold) const {
    auto best = static_cast<size_t>(std::max_element(probs.begin(), probs.end()) - probs.begin());
    float confidence = probs[best];
    if (confidence < threshold) {
        return {std::string(), confidence};
    }
    return {names_[best], confidence};
}

IStateRecognizer::Result DnnStateRecognizer::recognize(const std::vector<float>& input, float threshold) {
    if (input.empty()) {
        return {std::string(), 0.f};
    }
    if (input.size() != pre_.inputLength()) {
        throw std::invalid_argument("state recognizer input has " + std::to_string(input.size()) +
                                    " floats, the network takes " + std::to_string(pre_.inputLength()));
    }
    return decide(probabilities(input), threshold);
}

IStateRecognizer::Result DnnStateRecognizer::recognize(const cv::Mat& image, float threshold) {
    return recognize(prepare(image), threshold);
}

IStateRecognizer::Result DnnStateRecognizer::recognize(const std::vector<cv::Mat>& images, float threshold) {
    std::vector<float> sum(names_.size(), 0.f);
    int counted = 0;
    for (const auto& image : images) {
        auto input = prepare(image);
        if (input.empty()) {
            continue;
        }
        auto probs = probabilities(input);
        std::transform(sum.begin(), sum.end(), probs.begin(), sum.begin(), std::plus<>());
        ++counted;
    }
    if (counted == 0) {
        return {std::string(), 0.f};
    }
    for (auto& v : sum) {
        v /= static_cast<float>(counted);
    }
    return decide(sum, threshold);
}

std::shared_ptr<IStateRecognizer> createStateRecognizer(const std::string& config, const std::string& weights,
                                                        const std::string& classNames) {
    return std::make_shared<DnnStateRecognizer>(config, weights, classNames);
}
