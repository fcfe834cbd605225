#pragma once

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include <memory>
#include <string>
#include <vector>

#include "qo_common/yolo/YoloObjectInfo.h"
#include "qo_common/yolo/YoloResizeMode.h"

// A YOLO detector that takes frames of any size: prepare() scales an image to the network input,
// infer() maps the detections back into the coordinates of the image that was prepared.
//
// Threads: prepare() may run on any number of threads at once. infer() may too: each forward runs
// on a network of the detector's own pool, which grows (each network made and warmed on first
// need) up to the number of users set, so that many calls run in parallel and more wait.
// Settings (thresh, setResize, setKeepAspect, setUsers) are meant to be made before the detector
// is shared; setUsers may also follow later.
class MultisizeYoloDetector {
  public:
    // Reads the model named by a network's "model" object (keys in the README, "Network models").
    // Throws std::runtime_error naming the file when a model cannot be read or does not fit.
    static MultisizeYoloDetector load(const nlohmann::json& model);

    MultisizeYoloDetector(MultisizeYoloDetector&&) noexcept;
    MultisizeYoloDetector& operator=(MultisizeYoloDetector&&) noexcept;
    ~MultisizeYoloDetector();

    // Objects whose confidence is not above thresh are dropped.
    float thresh = 0.25f;

    void setResize(YoloResizeMode mode);
    void setKeepAspect(bool keep);
    YoloResizeMode resize() const;
    bool keepAspect() const;
    float yoloThresh() const { return thresh; }

    // The network input (channel-first floats) for an 8-bit BGR, grey or BGRA image; views into a
    // larger image are fine. An empty image gives an empty vector.
    std::vector<float> prepare(const cv::Mat& image) const;
    // Objects found in a prepared input, in the coordinates of an image of imageSize, after
    // non-maximum suppression, highest confidence first. Boxes lie inside the image and are at
    // least one pixel wide and high. An empty input gives no objects; an input of the wrong
    // length throws std::invalid_argument.
    std::vector<YoloObjectInfo> infer(const std::vector<float>& input, cv::Size imageSize);

    cv::Size inputSize() const;
    const std::vector<std::string>& classNames() const;

    // How many threads may call infer() at once (at least 1): the most networks the pool holds.
    void setUsers(size_t users);
    // Networks the pool holds now.
    size_t pooledNets() const;

    struct Impl;

  private:
    explicit MultisizeYoloDetector(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};
