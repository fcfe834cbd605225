#pragma once

#include <nlohmann/json.hpp>

#include <memory>

#include "src/Component.h"

class IStateRecognizer;

// Network kind "StateRecognizer" (also embedded in plate readers): names the state of every plate
// reading of a frame from its plate image; the result replaces the frame's stateDetections. Each
// component builds its own recogniser.
class StateRecognizerComponent : public Component {
  public:
    // Throws the JSON library's errors for missing or mistyped keys and the state-recogniser
    // library's for model files that cannot be used.
    explicit StateRecognizerComponent(const nlohmann::json& config);
    ~StateRecognizerComponent() override;

    void infer(std::shared_ptr<FrameWithInfo> frame) override;
    void prepare(std::shared_ptr<FrameWithInfo> frame) override;

    float threshold = 0.5f;

  private:
    struct Impl;
    std::unique_ptr<Impl> p_;
};
