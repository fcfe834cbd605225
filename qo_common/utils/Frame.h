#pragma once

#include <opencv2/core.hpp>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "qo_common/utils/CameraType.h"

namespace ek::pipeline {

// One decoded camera image with its identity. Copies share the pixel buffer (cv::Mat semantics);
// copy() and clone() give a frame with its own pixels.
class Frame {
  public:
    Frame();
    explicit Frame(cv::Mat image);
    Frame(const Frame& other);
    Frame(Frame&& other) noexcept;
    Frame& operator=(const Frame& other);
    Frame& operator=(Frame&& other) noexcept;
    ~Frame();

    // A full copy with its own image; taken before a frame is saved, encoded or held in an event.
    std::shared_ptr<Frame> copy() const;
    // An independent copy of the image only.
    cv::Mat clone() const;
    // True when the image is not yet in the 8-bit BGR form that the networks prepare from.
    bool needsConversion() const;
    // The frame in 8-bit BGR form, same identity; a network's prepare worker puts it in place.
    std::shared_ptr<Frame> convert() const;

    // Number of Frame objects alive in the process (memory statistics).
    static int64_t liveCount();

    cv::Mat image;
    std::string guid;
    int sourceId = 0;
    CameraType cameraType = CameraType::UNDEFINED;
    std::string cameraName;
    int64_t timestamp = 0;

  private:
    static std::atomic<int64_t> live_;
};

}  // namespace ek::pipeline
