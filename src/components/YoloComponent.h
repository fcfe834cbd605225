#pragma once

#include <nlohmann/json.hpp>

#include <memory>
#include <string>

#include "src/Component.h"

class MultisizeYoloDetector;

// Network kind "yolo": detects objects on the whole frame, records every adjusted box in
// yoloDetectionsOverROI and accepts class-0 boxes within the camera's plate widths and ROI into
// yoloInfo. Networks with the same "model"."definition"."cfg" share one detector, whose settings
// come from the first of them.
class YoloComponent : public Component {
  public:
    // Reads the network object; loads and warms up the detector on the first use of its key.
    // Throws the JSON library's errors for missing or mistyped keys and the YOLO library's for a
    // model that cannot be loaded (no cache entry is left behind then).
    explicit YoloComponent(const nlohmann::json& config);
    ~YoloComponent() override;

    void infer(std::shared_ptr<FrameWithInfo> frame) override;
    void prepare(std::shared_ptr<FrameWithInfo> frame) override;

    std::shared_ptr<MultisizeYoloDetector> detector() const;
    // Networks that currently use the detector of a key.
    static size_t cacheUsers(const std::string& cacheId);

    const bool skipOtherClasses = true;

  private:
    struct Impl;
    std::unique_ptr<Impl> p;
};
