#pragma once

#include <memory>
#include <string>
#include <vector>

#include "qo_common/utils/FrameWithInfo.h"

// One network of the pipeline. Its two workers call prepare() and then infer() on each frame;
// both write their results into the frame itself. prepare() of one frame may run while infer()
// of the frame before it runs, so a component must allow that overlap.
class Component {
  public:
    virtual ~Component();

    virtual void infer(std::shared_ptr<FrameWithInfo> frame) = 0;
    virtual void prepare(std::shared_ptr<FrameWithInfo> frame) = 0;

    // The network's "type"; set by the factory after construction.
    std::string type;
    // Queue names that receive each frame after infer(); set by the factory after construction.
    std::vector<std::string> destinations;
};
