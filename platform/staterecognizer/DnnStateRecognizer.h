#pragma once

#include <opencv2/dnn.hpp>

#include <mutex>
#include <string>
#include <vector>

#include "platform/yolo/ModelInputShape.h"
#include "platform/yolo/YoloPreprocessor.h"
#include "qo_common/staterecognizer/IStateRecognizer.h"

// A plate-state classifier on OpenCV's dnn module. The plate is stretched to the network input
// (bilinear), RGB order, pixel / 255; the output is read as class probabilities (a softmax is
// applied when it is not one already).
class DnnStateRecognizer : public IStateRecognizer {
  public:
    DnnStateRecognizer(const std::string& config, const std::string& weights, const std::string& classNames);

    void prepare(const cv::Mat& image, std::vector<float>& out) const override;
    std::vector<float> prepare(const cv::Mat& image) const override;
    Result recognize(const cv::Mat& image, float threshold) override;
    Result recognize(const std::vector<float>& input, float threshold) override;
    Result recognize(const std::vector<cv::Mat>& images, float threshold) override;

    const std::vector<std::string>& classNames() const { return names_; }

  private:
    std::vector<float> probabilities(const std::vector<float>& input);
    Result decide(const std::vector<float>& probs, float threshold) const;

    std::string modelPath_;
    ModelInputShape shape_;
    cv::dnn::Net net_;
    YoloPreprocessor pre_;
    std::vector<std::string> names_;
    std::mutex forwardMutex_;  // Net::forward is not safe from two threads at once
};
