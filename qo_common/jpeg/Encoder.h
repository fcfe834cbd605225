#pragma once

#include <opencv2/core.hpp>

#include <string>
#include <vector>

// JPEG encoding. Both calls return false (and never throw) for an empty image or a failure.
class Encoder {
public:
    static bool imencode(const cv::Mat& image, std::vector<unsigned char>& out, int quality = 90);
    static bool imwrite(const std::string& path, const cv::Mat& image, int quality = 90);
};
