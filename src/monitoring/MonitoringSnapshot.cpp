#include "src/monitoring/MonitoringSnapshot.h"

namespace ek {

MonitoringSnapshot MonitoringSnapshot::take(PipelineContext& ctx) {
    MonitoringSnapshot snapshot;
    std::lock_guard<std::mutex> guard(ctx.lock);
    snapshot.netFps = ctx.netFps.load();
    snapshot.balancers = ctx.queuesLoadBalancer;
    snapshot.queues = ctx.queues;
    snapshot.eventQueues = ctx.eventQueues;
    snapshot.eventBuilders = ctx.eventBuilders;
    snapshot.eventPosters = ctx.eventPosters;
    snapshot.producersStats = ctx.producersStats;
    snapshot.netTimes = ctx.netTimes;
    return snapshot;
}

}  // namespace ek
