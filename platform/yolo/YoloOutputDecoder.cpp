#include "platform/yolo/YoloOutputDecoder.h"

#include <opencv2/dnn.hpp>

#include <algorithm>
#include <map>
#include <stdexcept>

namespace {

// (rows, columns) of an output that is 2-D or [1, rows, columns]; (0, 0) for any other shape.
std::pair<int, int> matrixShape(const cv::Mat& m) {
    if (m.dims == 2) {
        return {m.rows, m.cols};
    }
    if (m.dims == 3 && m.size[0] == 1) {
        return {m.size[1], m.size[2]};
    }
    return {0, 0};
}

std::string shapeText(const cv::Mat& m) {
    std::string text = "[";
    for (int i = 0; i < m.dims; ++i) {
        text += (i ? ", " : "") + std::to_string(m.size[i]);
    }
    return text + "]";
}

cv::Rect2d centreBox(float cx, float cy, float w, float h) {
    return {cx - w / 2.0, cy - h / 2.0, w, h};
}

}  // namespace

YoloOutputDecoder::YoloOutputDecoder(YoloLayout layout, int classes, cv::Size input, float nmsThreshold)
    : layout_(layout), classes_(classes), input_(input), nms_(nmsThreshold) {}

YoloLayout YoloOutputDecoder::chooseLayout(const std::string& name, const std::vector<cv::Mat>& outputs,
                                           int classes) {
    if (name == "yolov5") {
        return YoloLayout::V5;
    }
    if (name == "yolov8") {
        return YoloLayout::V8;
    }
    if (name == "darknet") {
        return YoloLayout::Darknet;
    }
    if (name != "auto") {
        throw std::runtime_error("unknown \"layout\" " + name + " (yolov5, yolov8, darknet or auto)");
    }
    if (outputs.size() != 1) {
        throw std::runtime_error("a network with " + std::to_string(outputs.size()) +
                                 " outputs needs \"layout\": \"darknet\"");
    }
    auto [a, b] = matrixShape(outputs[0]);
    bool v5 = b >= 6 && (classes < 0 || b == 5 + classes);
    bool v8 = a >= 5 && (classes < 0 || a == 4 + classes);
    if (!v5 && !v8) {
        throw std::runtime_error("output " + shapeText(outputs[0]) +
                                 " is neither [1, N, 5 + classes] nor [1, 4 + " + "classes, N]" +
                                 (classes >= 0 ? " for " + std::to_string(classes) + " classes" : ""));
    }
    if (v5 && v8) {
        return a > b ? YoloLayout::V5 : YoloLayout::V8;  // N outnumbers the per-box values
    }
    return v5 ? YoloLayout::V5 : YoloLayout::V8;
}

int YoloOutputDecoder::classCount(YoloLayout layout, const std::vector<cv::Mat>& outputs) {
    if (outputs.empty()) {
        throw std::runtime_error("the network has no output");
    }
    int classes = -1;
    for (const auto& out : outputs) {
        auto [a, b] = matrixShape(out);
        int c = layout == YoloLayout::V8 ? a - 4 : b - 5;
        if (c < 1 || (classes >= 0 && c != classes)) {
            throw std::runtime_error("output " + shapeText(out) + " does not fit the chosen layout");
        }
        classes = c;
    }
    return classes;
}

void YoloOutputDecoder::collectRows(const cv::Mat& out, float threshold,
                                    std::vector<YoloCandidate>& all) const {
    auto [n, cols] = matrixShape(out);
    const float* data = out.ptr<float>();
    bool fractions = layout_ == YoloLayout::Darknet;
    for (int i = 0; i < n; ++i) {
        const float* row = data + static_cast<size_t>(i) * cols;
        float objectness = row[4];
        if (objectness <= threshold) {
            continue;  // confidence = objectness * class score never exceeds objectness
        }
        const float* scores = row + 5;
        int best = static_cast<int>(std::max_element(scores, scores + classes_) - scores);
        // Darknet's class columns already hold objectness * class score.
        float confidence = fractions ? scores[best] : objectness * scores[best];
        if (confidence <= threshold) {
            continue;
        }
        float sx = fractions ? static_cast<float>(input_.width) : 1.f;
        float sy = fractions ? static_cast<float>(input_.height) : 1.f;
        all.push_back({centreBox(row[0] * sx, row[1] * sy, row[2] * sx, row[3] * sy), best, confidence});
    }
}

void YoloOutputDecoder::collectColumns(const cv::Mat& out, float threshold,
                                       std::vector<YoloCandidate>& all) const {
    const auto [rows, columns] = matrixShape(out);
    (void)rows;
    // A copy: clang 14 cannot capture a structured binding.
    const int n = columns;
    const float* data = out.ptr<float>();
    auto at = [&](int r, int i) { return data[static_cast<size_t>(r) * n + i]; };
    for (int i = 0; i < n; ++i) {
        int best = 0;
        float confidence = at(4, i);
        for (int c = 1; c < classes_; ++c) {
            if (at(4 + c, i) > confidence) {
                confidence = at(4 + c, i);
                best = c;
            }
        }
        if (confidence > threshold) {
            all.push_back({centreBox(at(0, i), at(1, i), at(2, i), at(3, i)), best, confidence});
        }
    }
}

std::vector<YoloCandidate> YoloOutputDecoder::suppress(std::vector<YoloCandidate> all,
                                                       float threshold) const {
    std::map<int, std::vector<size_t>> byClass;
    for (size_t i = 0; i < all.size(); ++i) {
        byClass[all[i].classId].push_back(i);
    }
    std::vector<YoloCandidate> kept;
    for (const auto& [cls, members] : byClass) {
        std::vector<cv::Rect2d> boxes;
        std::vector<float> scores;
        for (auto i : members) {
            boxes.push_back(all[i].box);
            scores.push_back(all[i].confidence);
        }
        std::vector<int> keep;
        cv::dnn::NMSBoxes(boxes, scores, threshold, nms_, keep);
        for (int k : keep) {
            kept.push_back(all[members[static_cast<size_t>(k)]]);
        }
    }
    // Highest confidence first; ties in reading order, so that the result is deterministic.
    std::sort(kept.begin(), kept.end(), [](const YoloCandidate& a, const YoloCandidate& b) {
        if (a.confidence != b.confidence) {
            return a.confidence > b.confidence;
        }
        if (a.box.y != b.box.y) {
            return a.box.y < b.box.y;
        }
        if (a.box.x != b.box.x) {
            return a.box.x < b.box.x;
        }
        return a.classId < b.classId;
    });
    return kept;
}

std::vector<YoloCandidate> YoloOutputDecoder::decode(const std::vector<cv::Mat>& outputs,
                                                     float threshold) const {
    std::vector<YoloCandidate> all;
    for (const auto& out : outputs) {
        if (out.type() != CV_32F || !out.isContinuous()) {
            throw std::runtime_error("network output " + shapeText(out) +
                                     " is not a continuous float tensor");
        }
        auto [a, b] = matrixShape(out);
        bool fits = layout_ == YoloLayout::V8 ? a == 4 + classes_ : b == 5 + classes_;
        if (!fits) {
            throw std::runtime_error("network output " + shapeText(out) + " changed its shape");
        }
        if (layout_ == YoloLayout::V8) {
            collectColumns(out, threshold, all);
        } else {
            collectRows(out, threshold, all);
        }
    }
    return suppress(std::move(all), threshold);
}
