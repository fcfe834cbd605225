#include "src/PipelineControl.h"

namespace ek {

void initalizePipelineControl(PipelineContext& ctx) {
    ctx.pushToDests = [&ctx](const std::vector<std::string>& destinations,
                             std::shared_ptr<FrameWithInfo> frame) {
        for (const auto& name : destinations) {
            const auto found = ctx.queues.find(name);
            if (found != ctx.queues.end()) {
                ctx.frameQueued();
                found->second->push(frame);
            }
        }
    };
}

}  // namespace ek
