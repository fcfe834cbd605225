#include "qo_common/yolo/MultisizeYoloDetector.h"

#include <opencv2/dnn.hpp>

#include <algorithm>
#include <cmath>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>

#include "platform/dnn/NetPool.h"
#include "platform/yolo/ClassNames.h"
#include "platform/yolo/ModelInputShape.h"
#include "platform/yolo/YoloOutputDecoder.h"
#include "platform/yolo/YoloPreprocessor.h"
#include "qo_common/utils/ConfigReader.h"

using nlohmann::json;

struct MultisizeYoloDetector::Impl {
    std::vector<std::string> outputNames;
    YoloPreprocessor pre;
    std::optional<YoloOutputDecoder> decoder;
    std::vector<std::string> names;
    // One network per concurrent forward: cv::dnn::Net::forward is not safe from two threads at once.
    NetPool<cv::dnn::Net> nets;

    Impl(cv::dnn::Net first, std::function<cv::dnn::Net()> makeNet, const ModelInputShape& shape)
        : outputNames(first.getUnconnectedOutLayersNames()),
          pre(cv::Size(shape.width, shape.height), shape.channels),
          nets(std::move(makeNet), std::move(first)) {}

    // The outputs point into the network's own buffers: use them before the network goes back.
    std::vector<cv::Mat> forward(cv::dnn::Net& net, const std::vector<float>& input) const {
        int dims[] = {1, pre.channels(), pre.inputSize().height, pre.inputSize().width};
        // setInput copies the data, so the const input is only read.
        cv::Mat blob(4, dims, CV_32F, const_cast<float*>(input.data()));
        std::vector<cv::Mat> outputs;
        net.setInput(blob);
        net.forward(outputs, outputNames);
        return outputs;
    }
};

namespace {

bool endsWith(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string inDir(const std::string& dir, const std::string& name) {
    if (dir.empty() || name.empty() || name.front() == '/') {
        return name;
    }
    return dir.back() == '/' ? dir + name : dir + "/" + name;
}

struct ModelFiles {
    std::string network;  // .onnx or Darknet .cfg
    std::string weights;  // Darknet only
    std::string names;    // may be empty
    bool onnx = false;
};

ModelFiles modelFiles(const ek::ConfigReader& model) {
    const ek::ConfigReader definition = model.object("definition");
    std::string dir = definition.text("path", "");
    const auto content = definition.optionalObject("content");
    const auto files = content ? content->optionalObject("files") : std::nullopt;
    ModelFiles f;
    f.network = inDir(dir, definition.requiredText("cfg", ek::ConfigReader::NonEmpty));
    f.names = inDir(dir, files ? files->text("class-names", "") : std::string());
    std::string weights = inDir(dir, files ? files->text("weights", "") : std::string());
    if (!endsWith(f.network, ".onnx") && endsWith(weights, ".onnx")) {
        f.network = weights;  // "cfg" is then only the cache key
    }
    f.onnx = endsWith(f.network, ".onnx");
    if (!f.onnx) {
        if (weights.empty()) {
            throw std::runtime_error("Darknet model " + f.network +
                                     " needs \"definition\".\"content\".\"files\".\"weights\"");
        }
        f.weights = weights;
    }
    return f;
}

cv::dnn::Net readNet(const ModelFiles& f) {
    try {
        auto net =
            f.onnx ? cv::dnn::readNetFromONNX(f.network) : cv::dnn::readNetFromDarknet(f.network, f.weights);
        if (net.empty()) {
            throw std::runtime_error("empty network");
        }
        net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
        net.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);
        return net;
    } catch (const cv::Exception& e) {
        throw std::runtime_error("cannot read YOLO model " + f.network + ": " + e.what());
    }
}

}  // namespace

MultisizeYoloDetector MultisizeYoloDetector::load(const json& modelObject) {
    // Every key is read before anything is loaded.
    const auto model = ek::ConfigReader::objectAt(modelObject, "");
    ModelFiles files = modelFiles(model);
    const std::string layoutName = model.text("layout", files.onnx ? "auto" : "darknet");
    const float nms = model.number<float>("nms", 0.45f, 0.f, 1.f);
    const float threshold = model.number<float>("threshold", 0.25f, 0.f, 1.f);
    const auto resize = static_cast<YoloResizeMode>(model.integer<int>("resize", 0, 0, 3));
    const bool keepAspect = model.boolean("keepAspect", false);
    ModelInputShape shape = files.onnx ? ModelInputShape::fromOnnx(files.network)
                                       : ModelInputShape::fromDarknetCfg(files.network);
    const size_t inputLength = static_cast<size_t>(shape.width) * shape.height * shape.channels;
    auto makeNet = [files, inputLength,
                    dims = std::vector<int>{1, shape.channels, shape.height, shape.width}] {
        cv::dnn::Net net = readNet(files);
        std::vector<float> zeros(inputLength, 0.f);
        std::vector<cv::Mat> outputs;
        try {
            net.setInput(cv::Mat(4, dims.data(), CV_32F, zeros.data()));
            net.forward(outputs, net.getUnconnectedOutLayersNames());
        } catch (const cv::Exception& e) {
            throw std::runtime_error("YOLO model " + files.network + " does not run: " + e.what());
        }
        return net;
    };
    auto impl = std::make_unique<Impl>(readNet(files), makeNet, shape);
    if (!files.names.empty()) {
        impl->names = ClassNames::read(files.names);
    }
    int knownClasses = impl->names.empty() ? -1 : static_cast<int>(impl->names.size());
    try {
        // One pass on zeros tells the output shape.
        auto net = impl->nets.acquire();
        auto outputs = impl->forward(*net, std::vector<float>(impl->pre.inputLength(), 0.f));
        YoloLayout layout = YoloOutputDecoder::chooseLayout(layoutName, outputs, knownClasses);
        int classes = YoloOutputDecoder::classCount(layout, outputs);
        if (knownClasses >= 0 && classes != knownClasses) {
            throw std::runtime_error("the network gives " + std::to_string(classes) + " classes but " +
                                     files.names + " names " + std::to_string(knownClasses));
        }
        for (int c = static_cast<int>(impl->names.size()); c < classes; ++c) {
            impl->names.push_back(std::to_string(c));
        }
        impl->decoder.emplace(layout, classes, impl->pre.inputSize(), nms);
    } catch (const cv::Exception& e) {
        throw std::runtime_error("YOLO model " + files.network + " does not run: " + e.what());
    } catch (const std::runtime_error& e) {
        throw std::runtime_error("YOLO model " + files.network + ": " + e.what());
    }
    MultisizeYoloDetector detector(std::move(impl));
    detector.thresh = threshold;
    detector.setResize(resize);
    detector.setKeepAspect(keepAspect);
    return detector;
}

MultisizeYoloDetector::MultisizeYoloDetector(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
MultisizeYoloDetector::MultisizeYoloDetector(MultisizeYoloDetector&&) noexcept = default;
MultisizeYoloDetector& MultisizeYoloDetector::operator=(MultisizeYoloDetector&&) noexcept = default;
MultisizeYoloDetector::~MultisizeYoloDetector() = default;

void MultisizeYoloDetector::setResize(YoloResizeMode mode) {
    int m = static_cast<int>(mode);
    if (m < 0 || m > 3) {
        throw std::invalid_argument("unknown YOLO resize mode " + std::to_string(m) +
                                    " (NEAREST 0, AREA 1, COMPROMISE 2, DARKNET 3)");
    }
    impl_->pre.setResize(mode);
}
void MultisizeYoloDetector::setKeepAspect(bool keep) {
    impl_->pre.setKeepAspect(keep);
}
YoloResizeMode MultisizeYoloDetector::resize() const {
    return impl_->pre.resize();
}
bool MultisizeYoloDetector::keepAspect() const {
    return impl_->pre.keepAspect();
}
cv::Size MultisizeYoloDetector::inputSize() const {
    return impl_->pre.inputSize();
}
const std::vector<std::string>& MultisizeYoloDetector::classNames() const {
    return impl_->names;
}
void MultisizeYoloDetector::setUsers(size_t users) {
    impl_->nets.setBound(users);
}
size_t MultisizeYoloDetector::pooledNets() const {
    return impl_->nets.size();
}

std::vector<float> MultisizeYoloDetector::prepare(const cv::Mat& image) const {
    return impl_->pre.prepare(image);
}

std::vector<YoloObjectInfo> MultisizeYoloDetector::infer(const std::vector<float>& input,
                                                         cv::Size imageSize) {
    if (input.empty() || imageSize.width <= 0 || imageSize.height <= 0) {
        return {};
    }
    if (input.size() != impl_->pre.inputLength()) {
        throw std::invalid_argument("YOLO input has " + std::to_string(input.size()) +
                                    " floats, the network takes " + std::to_string(impl_->pre.inputLength()));
    }
    std::vector<YoloCandidate> candidates;
    {
        auto net = impl_->nets.acquire();
        candidates = impl_->decoder->decode(impl_->forward(*net, input), thresh);
    }
    auto g = impl_->pre.geometry(imageSize);
    std::vector<YoloObjectInfo> objects;
    objects.reserve(candidates.size());
    for (const auto& c : candidates) {
        double x1 = std::clamp(g.toImageX(c.box.x), 0.0, static_cast<double>(imageSize.width));
        double y1 = std::clamp(g.toImageY(c.box.y), 0.0, static_cast<double>(imageSize.height));
        double x2 = std::clamp(g.toImageX(c.box.x + c.box.width), 0.0, static_cast<double>(imageSize.width));
        double y2 =
            std::clamp(g.toImageY(c.box.y + c.box.height), 0.0, static_cast<double>(imageSize.height));
        if (x2 <= x1 || y2 <= y1) {
            continue;  // entirely outside the image (in the padding)
        }
        int left = std::min(static_cast<int>(std::lround(x1)), imageSize.width - 1);
        int top = std::min(static_cast<int>(std::lround(y1)), imageSize.height - 1);
        int right = std::clamp(static_cast<int>(std::lround(x2)), left + 1, imageSize.width);
        int bottom = std::clamp(static_cast<int>(std::lround(y2)), top + 1, imageSize.height);
        YoloObjectInfo o;
        o.left = left;
        o.top = top;
        o.width = right - left;
        o.height = bottom - top;
        o.classId = c.classId;
        o.className = impl_->names[static_cast<size_t>(c.classId)];
        o.detectionConfidence = c.confidence;
        objects.push_back(std::move(o));
    }
    return objects;
}
