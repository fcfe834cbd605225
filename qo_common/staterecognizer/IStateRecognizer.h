#pragma once

#include <opencv2/core.hpp>

#include <memory>
#include <string>
#include <utility>
#include <vector>

// Names the state (region) of a plate from its image.
//
// Threads: prepare() may run on any thread at any time; the recognize() calls of one recogniser
// are serialised inside it, so its prepare and recognize may be used by two workers at once.
class IStateRecognizer {
  public:
    // (label, confidence). Below the threshold the label is empty and the confidence is kept.
    using Result = std::pair<std::string, float>;

    virtual ~IStateRecognizer() = default;

    // The recogniser's input for an 8-bit BGR (or grey, BGRA) plate image; empty for an empty image.
    virtual void prepare(const cv::Mat& image, std::vector<float>& out) const = 0;
    virtual std::vector<float> prepare(const cv::Mat& image) const = 0;

    virtual Result recognize(const cv::Mat& image, float threshold) = 0;
    // An empty input gives ("", 0); an input of the wrong length throws std::invalid_argument.
    virtual Result recognize(const std::vector<float>& input, float threshold) = 0;
    // One decision over several images of the same plate: the class probabilities are averaged.
    virtual Result recognize(const std::vector<cv::Mat>& images, float threshold) = 0;
};

// A recogniser from a Darknet classifier (config = .cfg, weights = .weights) or an ONNX model (either
// path ending in ".onnx"), with class names one per line. Throws std::runtime_error naming the file
// when a model cannot be read or its output does not match the class names.
std::shared_ptr<IStateRecognizer> createStateRecognizer(const std::string& config, const std::string& weights,
                                                        const std::string& classNames);
