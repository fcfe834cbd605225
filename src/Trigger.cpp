#include "src/Trigger.h"

#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "qo_common/logger/log.h"
#include "qo_common/utils/CommonUtils.h"

namespace ek {
namespace {

using BuilderEntry = std::pair<std::string, std::shared_ptr<IEventBuilderComponent>>;

void refuseWhenPosterFull(PipelineContext& ctx) {
    for (const auto& [name, queue] : ctx.eventQueues) {
        if (queue->size() >= queue->capacity()) {
            ++ctx.triggerStats.droppedQueueOverflow;
            throw std::runtime_error("Trigger notification failed: EventQueue overflow: " + name);
        }
    }
}

// Ids of the online cameras of the trigger's lane, in configuration order; also counts the
// lane's cameras.
std::vector<int> onlineCamerasOfLane(PipelineContext& ctx, const QEVATriggerEvent& te, int& camerasOnLane) {
    std::vector<int> laneCaps;
    camerasOnLane = 0;
    ctx.foreachVideoSources([&](const std::shared_ptr<IVideoSource>& source, size_t) {
        if (static_cast<int64_t>(source->settings.laneId) != te.laneId) {
            return;
        }
        ++camerasOnLane;
        if (source->isOnline()) {
            laneCaps.push_back(source->settings.id);
        } else {
            ILog::Warning("Camera ID: %i is offline (lane %li, trigger %li)", source->settings.id, te.laneId,
                          te.triggerId);
        }
    });
    return laneCaps;
}

void logDropped(int camerasOnLane, const QEVATriggerEvent& te) {
    if (camerasOnLane != 0) {
        ILog::Warning("All %i camera(s) in lane %li are offline, trigger %li is dropped", camerasOnLane,
                      te.laneId, te.triggerId);
    } else {
        ILog::Warning("No cameras configured for lane %li, trigger %li is dropped", te.laneId, te.triggerId);
    }
}

BuilderEntry builderForLane(PipelineContext& ctx, const QEVATriggerEvent& te) {
    for (const auto& [name, builder] : ctx.eventBuilders) {
        if (takesTriggers(builder->mode()) && static_cast<int64_t>(builder->laneId()) == te.laneId) {
            return {name, builder};
        }
    }
    ++ctx.triggerStats.droppedNoBuilder;
    throw std::runtime_error("Event builder for lane " + std::to_string(te.laneId) + " not found");
}

void runTrigger(const BuilderEntry& builder, const QEVATriggerEvent& te, const std::vector<int>& laneCaps) {
    try {
        builder.second->trigger(te, laneCaps);
    } catch (const std::exception& e) {
        ILog::Error("Exception detected in trigger thread. message: %s", e.what());
    } catch (...) {
        ILog::Error("Exception detected in trigger thread");
    }
}

void launch(PipelineContext& ctx, BuilderEntry builder, const QEVATriggerEvent& te,
            std::vector<int> laneCaps) {
    ctx.withTriggerThreads([&](std::vector<std::future<void>>& threads) {
        const size_t running = CommonUtils::cleanupListThreads(threads);
        if (running >= kMaxTriggerThreads) {
            ++ctx.triggerStats.droppedThreadLimit;
            throw std::runtime_error("Trigger notification failed: number Trigger Threads is to much: " +
                                     std::to_string(running));
        }
        if (running > 2) {
            ILog::Warning("Number trigger threads: %ld", static_cast<long>(running));
        } else {
            ILog::Debug("Number trigger threads: %ld", static_cast<long>(running));
        }
        ILog::Debug("Run trigger thread. trigger id: %li", te.triggerId);
        ++ctx.triggerStats.accepted;
        threads.push_back(
            std::async(std::launch::async, runTrigger, std::move(builder), te, std::move(laneCaps)));
    });
}

void intake(PipelineContext& ctx, const QEVATriggerEvent& te) {
    // Every trigger handed to intake counts, also one refused because of the service's state.
    ctx.triggerStats.onReceived();
    // The maps read below are complete only once loading has finished.
    if (!ctx.isReady()) {
        throw std::runtime_error("service is starting");
    }
    // A drain ends in the stop: a trigger now would wait for frames of stopped sources.
    if (ctx.stop || ctx.draining()) {
        throw std::runtime_error("service is stopping");
    }
    refuseWhenPosterFull(ctx);
    int camerasOnLane = 0;
    std::vector<int> laneCaps = onlineCamerasOfLane(ctx, te, camerasOnLane);
    if (laneCaps.empty()) {
        ++ctx.triggerStats.droppedNoCameras;
        logDropped(camerasOnLane, te);
        return;
    }
    BuilderEntry builder = builderForLane(ctx, te);
    ILog::Info("Got trigger: %s): ", te.toString(ek::Protocols::Version2_4).c_str());
    launch(ctx, std::move(builder), te, std::move(laneCaps));
}

}  // namespace

void initalizeTrigger(PipelineContext& ctx) {
    ctx.trigger = [&ctx](QEVATriggerEvent te) { intake(ctx, te); };
}

}  // namespace ek
