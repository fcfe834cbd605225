#pragma once

#include <opencv2/core.hpp>

// Where an image lands in a network input: scaled by (scaleX, scaleY) to resized, then placed at
// (dx, dy). With aspect keeping both scales are the same and the rest is padding.
struct LetterboxGeometry {
    double scaleX = 1.0;
    double scaleY = 1.0;
    int dx = 0;
    int dy = 0;
    cv::Size resized;

    // s = min(W/w, H/h), resized = (round(w*s), round(h*s)) (at least 1), centred with integer
    // division; without aspect keeping a plain stretch to the input size.
    static LetterboxGeometry compute(cv::Size image, cv::Size input, bool keepAspect);

    // Input-pixel coordinates back to image coordinates.
    double toImageX(double x) const { return (x - dx) / scaleX; }
    double toImageY(double y) const { return (y - dy) / scaleY; }
};
