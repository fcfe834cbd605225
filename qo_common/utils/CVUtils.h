#pragma once

#include <opencv2/core.hpp>

#include <string>

class CVUtils {
public:
    // Draws `text` at (x, y) in white with a black border so it reads on any background.
    static void printWithBorder(cv::Mat& image, int x, int y, const std::string& text, double scale, int thickness);
};
