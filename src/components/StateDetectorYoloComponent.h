#pragma once

#include <nlohmann/json.hpp>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "qo_common/utils/CameraType.h"
#include "qo_common/yolo/YoloObjectInfo.h"
#include "src/Component.h"

class MultisizeYoloDetector;

// Network kind "StateDetectorYolo": a second YOLO detector run on the crop of every accepted
// plate box of the frames of its camera types; the first two letters of the chosen class name
// are the plate's state. Networks with the same "cfg" share one detector (not the "yolo"
// networks' one).
class StateDetectorYoloComponent : public Component {
  public:
    struct ClassSettings {
        bool color = false;
    };

    explicit StateDetectorYoloComponent(const nlohmann::json& config);
    ~StateDetectorYoloComponent() override;

    void infer(std::shared_ptr<FrameWithInfo> frame) override;
    void prepare(std::shared_ptr<FrameWithInfo> frame) override;

    // The object that names the state: the most confident one whose class name holds "_" and
    // that is listed with color false in the class settings, or any such one on an OV camera.
    // Sorts `objects` by confidence, highest first; null when none qualifies.
    static const YoloObjectInfo* chooseState(std::vector<YoloObjectInfo>& objects,
                                             const std::map<std::string, ClassSettings>& classSettings,
                                             CameraType camera);

    const std::set<CameraType>& imageSources() const;
    const std::map<std::string, ClassSettings>& classSettings() const;
    std::shared_ptr<MultisizeYoloDetector> detector() const;
    static size_t cacheUsers(const std::string& cacheId);

  private:
    bool handles(const FrameWithInfo& frame) const;
    void warmUp();

    struct Impl;
    std::unique_ptr<Impl> p_;
};
