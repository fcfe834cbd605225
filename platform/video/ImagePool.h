#pragma once

#include <opencv2/core.hpp>

#include <cstddef>
#include <vector>

namespace ek::video {

// Reuses image buffers that nobody else references any more. A 1080p BGR image is 6 MB; taking
// fresh memory for each frame costs more page faults than the colour conversion itself. The pool
// keeps at most `maxBytes` of buffers; beyond that, or while all are in use, it allocates plainly.
// One caller thread; the images it hands out may be released in any thread.
class ImagePool {
  public:
    explicit ImagePool(size_t maxBytes) : maxBytes_(maxBytes) {}

    // An image of that size and type, not referenced anywhere else; its pixels are undefined.
    cv::Mat take(int rows, int cols, int type);
    size_t pooled() const { return images_.size(); }

  private:
    static bool unused(const cv::Mat& image);

    const size_t maxBytes_;
    std::vector<cv::Mat> images_;
};

}  // namespace ek::video
