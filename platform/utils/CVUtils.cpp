#include "qo_common/utils/CVUtils.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>

void CVUtils::printWithBorder(cv::Mat& image, int x, int y, const std::string& text, double scale,
                              int thickness) {
    if (image.empty() || text.empty() || scale <= 0.0) {
        return;
    }
    // (x, y) is the left end of the base line, as for cv::putText. The border is the same text
    // drawn thicker in black underneath.
    const int stroke = std::max(1, thickness);
    const int border = stroke + 2 * std::max(2, stroke / 2);
    const cv::Point origin(x, y);
    cv::putText(image, text, origin, cv::FONT_HERSHEY_SIMPLEX, scale, cv::Scalar(0, 0, 0), border,
                cv::LINE_8);
    cv::putText(image, text, origin, cv::FONT_HERSHEY_SIMPLEX, scale, cv::Scalar(255, 255, 255), stroke,
                cv::LINE_AA);
}
