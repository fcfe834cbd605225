#pragma once

#include <opencv2/imgproc.hpp>

#include <string>

// Draws plates the way tests/models/make_plate_model.py draws its templates, so the generated
// recogniser reads them: 16 x 24 cells, text from cell 2 on, one character every second cell.
namespace plate_drawing {

constexpr int kCellWidth = 16;
constexpr int kHeight = 24;
constexpr int kSteps = 16;
constexpr int kWidth = kCellWidth * kSteps;
inline const std::string kAlphabet = "0123456789ABCDEFGHIJKLMNPQRSTUVWXYZ ";

inline void drawCell(cv::Mat& grey, int cell, char ch) {
    if (ch == ' ') {
        return;
    }
    std::string text(1, ch);
    int baseline = 0;
    cv::Size size = cv::getTextSize(text, cv::FONT_HERSHEY_SIMPLEX, 0.6, 1, &baseline);
    cv::Mat roi = grey(cv::Rect(cell * kCellWidth, 0, kCellWidth, kHeight));
    cv::putText(roi, text, {(kCellWidth - size.width) / 2, (kHeight + size.height) / 2},
                cv::FONT_HERSHEY_SIMPLEX, 0.6, cv::Scalar(0), 1, cv::LINE_8);
}

// A grey plate of the model's input size holding `text` (at most 7 characters).
inline cv::Mat greyPlate(const std::string& text) {
    cv::Mat grey(kHeight, kWidth, CV_8UC1, cv::Scalar(255));
    for (size_t i = 0; i < text.size(); ++i) {
        drawCell(grey, 2 + 2 * static_cast<int>(i), text[i]);
    }
    return grey;
}

// The same plate in three channels, every pixel repeated `scale` times in both directions.
inline cv::Mat colourPlate(const std::string& text, int scale = 1) {
    cv::Mat colour, big;
    cv::cvtColor(greyPlate(text), colour, cv::COLOR_GRAY2BGR);
    cv::resize(colour, big, {}, scale, scale, cv::INTER_NEAREST);
    return big;
}

// The model input for a plate: values in [0, 1], row-major.
inline std::vector<float> input(const std::string& text) {
    cv::Mat f;
    greyPlate(text).convertTo(f, CV_32F, 1.0 / 255.0);
    return std::vector<float>(f.begin<float>(), f.end<float>());
}

}  // namespace plate_drawing
