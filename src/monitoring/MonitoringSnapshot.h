#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "src/PipelineContext.h"

namespace ek {

// What one monitoring step reports on, copied from the context under its lock. The maps hold the
// context's own shared pointers, so the queues, builders and producer statistics are the live
// objects (read later without the context lock); only the stage times and the frame rate are
// copied values.
struct MonitoringSnapshot {
    int32_t netFps = 0;
    std::map<std::string, std::shared_ptr<balance_queue>> balancers;
    std::map<std::string, std::shared_ptr<PipelineContext::FrameQueue>> queues;
    std::map<std::string, std::shared_ptr<PipelineContext::EventQueue>> eventQueues;
    std::map<std::string, std::shared_ptr<IEventBuilderComponent>> eventBuilders;
    std::map<std::string, std::shared_ptr<QEVAEventPoster>> eventPosters;
    std::map<std::string, std::shared_ptr<ProducerStatistics>> producersStats;
    // Running mean per network stage, ms ("<network>" for prepare, "<network>_infer" for infer).
    std::map<std::string, float> netTimes;

    // Takes the context lock for the copy only.
    static MonitoringSnapshot take(PipelineContext& ctx);
};

}  // namespace ek
