#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "qo_common/video/VideoSourceSettings.h"
#include "src/PipelineContext.h"

namespace ek {

// Capacity of every balancer queue.
constexpr uint64_t kBalancerQueueCapacity = 10;

// The balancer queues of a source by its processing mode, in the order they are made:
// Triggered: "<name>_triggered"; NonTriggeredWithTrigger: "<name>_triggered" then "<name>";
// NonTriggered and Hybrid: "<name>"; any other value: none. The flag marks a triggered queue.
std::vector<std::pair<std::string, bool>> balancerQueuesOf(const VideoSourceSettings& settings);

// Makes the balancer queues of every source with a balancer thread each, then one producer
// thread per source, all in ctx.producers; last starts the statistics thread
// (ctx.queuesMonitoringThread, see src/monitoring/QueuesMonitoring.h).
void startProducers(PipelineContext& ctx);

// The producer body for the source at an index of ctx.caps.
std::function<void(int)> createProducer(PipelineContext& ctx);

// The balancer body: pops the named balancer queue and hands each frame to pushToDests with the
// destination names, until the stop flag or the poison frame.
std::function<void(const std::string&, const std::vector<std::string>&)> loadBalancer(PipelineContext& ctx);

}  // namespace ek
