#include "platform/yolo/LetterboxGeometry.h"

#include <algorithm>
#include <cmath>

LetterboxGeometry LetterboxGeometry::compute(cv::Size image, cv::Size input, bool keepAspect) {
    LetterboxGeometry g;
    if (!keepAspect) {
        g.scaleX = static_cast<double>(input.width) / image.width;
        g.scaleY = static_cast<double>(input.height) / image.height;
        g.resized = input;
        return g;
    }
    double s = std::min(static_cast<double>(input.width) / image.width,
                        static_cast<double>(input.height) / image.height);
    g.scaleX = g.scaleY = s;
    // A very thin image still covers one input pixel (a 0 size cannot be resized).
    g.resized.width = std::clamp(static_cast<int>(std::lround(image.width * s)), 1, input.width);
    g.resized.height = std::clamp(static_cast<int>(std::lround(image.height * s)), 1, input.height);
    g.dx = (input.width - g.resized.width) / 2;
    g.dy = (input.height - g.resized.height) / 2;
    return g;
}
