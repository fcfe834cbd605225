#pragma once

#include <opencv2/core.hpp>

#include <string>
#include <vector>

// How a network lays out its detections.
enum class YoloLayout {
    V5,       // [1, N, 5 + C]: cx, cy, w, h (input pixels), objectness, class scores
    V8,       // [1, 4 + C, N]: cx, cy, w, h (input pixels), class scores
    Darknet,  // one [N, 5 + C] per output layer: cx, cy, w, h (fractions), objectness, obj * class
};

// One detection in network-input pixels.
struct YoloCandidate {
    cv::Rect2d box;
    int classId = 0;
    float confidence = 0.f;
};

// Decodes raw network outputs into candidates above a threshold, after per-class non-maximum
// suppression, highest confidence first.
class YoloOutputDecoder {
  public:
    YoloOutputDecoder(YoloLayout layout, int classes, cv::Size input, float nmsThreshold);

    // The layout of a network's outputs: `name` is "yolov5", "yolov8", "darknet" or "auto"
    // (decided by the output shape, and by the class count when it is known, i.e. >= 0).
    static YoloLayout chooseLayout(const std::string& name, const std::vector<cv::Mat>& outputs, int classes);
    // The class count that outputs of that layout carry; throws std::runtime_error when they do
    // not have the layout's shape.
    static int classCount(YoloLayout layout, const std::vector<cv::Mat>& outputs);

    std::vector<YoloCandidate> decode(const std::vector<cv::Mat>& outputs, float threshold) const;

    YoloLayout layout() const { return layout_; }
    int classes() const { return classes_; }

  private:
    void collectRows(const cv::Mat& out, float threshold, std::vector<YoloCandidate>& all) const;
    void collectColumns(const cv::Mat& out, float threshold, std::vector<YoloCandidate>& all) const;
    std::vector<YoloCandidate> suppress(std::vector<YoloCandidate> all, float threshold) const;

    YoloLayout layout_;
    int classes_;
    cv::Size input_;
    float nms_;
};
