#include "ImagePool.h"

#include <algorithm>

namespace ek::video {

bool ImagePool::unused(const cv::Mat& image) {
    // Only the pool's own reference left. OpenCV changes the count atomically with acquire and
    // release order, so every earlier user's writes are finished once we see 1.
    return image.u != nullptr && __atomic_load_n(&image.u->refcount, __ATOMIC_ACQUIRE) == 1;
}

cv::Mat ImagePool::take(int rows, int cols, int type) {
    images_.erase(std::remove_if(
                      images_.begin(), images_.end(),
                      [&](const cv::Mat& m) { return m.rows != rows || m.cols != cols || m.type() != type; }),
                  images_.end());
    for (const auto& image : images_) {
        if (unused(image)) {
            return image;
        }
    }
    cv::Mat image(rows, cols, type);
    if ((images_.size() + 1) * image.total() * image.elemSize() <= maxBytes_) {
        images_.push_back(image);
    }
    return image;
}

}  // namespace ek::video
