#pragma once

#include <opencv2/core.hpp>

#include <string>
#include <vector>

// JPEG encoding. Both calls return false (and never throw) for an empty image or a failure, and
// log the reason as a Warning. `quality` is clamped to 0..100. Safe from any thread.
class Encoder {
  public:
    // `out` holds the JPEG bytes, or nothing after a failure.
    static bool imencode(const cv::Mat& image, std::vector<unsigned char>& out, int quality = 90);
    // Writes a JPEG file at `path` whatever its extension; false when the directory is missing or
    // the file cannot be written (a partly written file is removed).
    static bool imwrite(const std::string& path, const cv::Mat& image, int quality = 90);
};
