#include "src/loaders/Producers.h"

#include <exception>
#include <functional>
#include <memory>
#include <stdexcept>
#include <thread>

#include "qo_common/logger/log.h"
#include "src/loaders/Producer.h"
#include "src/monitoring/QueuesMonitoring.h"

namespace ek {

std::vector<std::pair<std::string, bool>> balancerQueuesOf(const VideoSourceSettings& settings) {
    std::vector<std::pair<std::string, bool>> queues;
    const auto mode = settings.processingMode;
    if (mode == VideoProcessingMode::Triggered || mode == VideoProcessingMode::NonTriggeredWithTrigger) {
        queues.emplace_back(settings.name + "_triggered", true);
    }
    if (mode == VideoProcessingMode::NonTriggered || mode == VideoProcessingMode::Hybrid ||
        mode == VideoProcessingMode::NonTriggeredWithTrigger) {
        queues.emplace_back(settings.name, false);
    }
    return queues;
}

std::function<void(int)> createProducer(PipelineContext& ctx) {
    return [&ctx](int index) { Producer(ctx, static_cast<size_t>(index)).run(); };
}

std::function<void(const std::string&, const std::vector<std::string>&)> loadBalancer(PipelineContext& ctx) {
    return [&ctx](const std::string& queueName, const std::vector<std::string>& destinations) {
        ILog::Info("Starting load balancer %s", queueName.c_str());
        // The map is complete before any balancer starts and never changes afterwards.
        const auto queue = ctx.queuesLoadBalancer.at(queueName);
        while (!ctx.stop) {
            auto frame = queue->pop();
            ILog::Debug("LoadBalancer pop: queue: %s, camera: %s, guid: %s, skip: %i", queueName.c_str(),
                        frame->frame->cameraName.c_str(), frame->frame->guid.c_str(), frame->skip ? 1 : 0);
            if (ctx.stop || frame->poison) {
                break;
            }
            ILog::Debug("LoadBalancer pushToDests: queue: %s, camera: %s, guid: %s, skip: %i",
                        queueName.c_str(), frame->frame->cameraName.c_str(), frame->frame->guid.c_str(),
                        frame->skip ? 1 : 0);
            try {
                ctx.pushToDests(destinations, frame);
            } catch (const std::exception& e) {
                // One frame that cannot be delivered must not end the source's balancing.
                ILog::Error("LoadBalancer %s: frame %s not delivered: %s", queueName.c_str(),
                            frame->frame->guid.c_str(), e.what());
            }
            ctx.frameHandled();
        }
        ILog::Info("Stop Load balancer for %s", queueName.c_str());
    };
}

void startProducers(PipelineContext& ctx) {
    auto balancer = loadBalancer(ctx);
    auto producer = createProducer(ctx);
    ILog::Info("Starting producers");
    // Every queue exists before the first thread starts: balancers and producers look their
    // queues up by name, and the map must not change while they read it.
    ctx.foreachVideoSources([&](std::shared_ptr<IVideoSource> source, size_t) {
        for (const auto& [queueName, triggered] : balancerQueuesOf(source->settings)) {
            ctx.queuesLoadBalancer[queueName] =
                std::make_shared<balance_queue>(kBalancerQueueCapacity, triggered);
        }
    });
    ctx.foreachVideoSources([&](std::shared_ptr<IVideoSource> source, size_t index) {
        for (const auto& entry : balancerQueuesOf(source->settings)) {
            ILog::Debug("Run load balancer %s ", entry.first.c_str());
            ctx.producers.emplace_back(balancer, entry.first, source->settings.dests);
        }
        ILog::Debug("Run producer for source = %i ", static_cast<int>(index));
        ctx.producers.emplace_back(producer, static_cast<int>(index));
    });
    if (ctx.queuesMonitoringThread && ctx.queuesMonitoringThread->joinable()) {
        // Replacing a running thread object would end the process.
        throw std::logic_error("startProducers: the statistics thread is already running");
    }
    ctx.queuesMonitoringThread.emplace(runQueuesMonitoring, std::ref(ctx), queuesMonitoring(ctx),
                                       kMonitoringPeriod);
}

}  // namespace ek
