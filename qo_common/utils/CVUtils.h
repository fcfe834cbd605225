#pragma once

#include <opencv2/core.hpp>

#include <string>

class CVUtils {
  public:
    // Draws `text` in white with a black border so it reads on any background. (x, y) is the left
    // end of the text's base line; `scale` is the font scale of cv::putText (Hershey simplex) and
    // `thickness` the stroke width in pixels (at least 1); the border reaches max(2, thickness / 2)
    // pixels beyond the stroke on each side. An empty image or text, or a scale that is not
    // positive, draws nothing; text beyond the image is clipped.
    static void printWithBorder(cv::Mat& image, int x, int y, const std::string& text, double scale,
                                int thickness);
};
