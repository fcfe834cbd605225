#include "src/PipelineDrain.h"

#include <algorithm>
#include <functional>
#include <string>

#include "qo_common/logger/log.h"
#include "src/loaders/DiscardingEventQueue.h"

namespace ek {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kPollPeriod{10};

long msSince(Clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// One step of the drain: waits until `done`, the deadline or the stop. The stop wakes the wait at once.
bool waitFor(PipelineContext& ctx, Clock::time_point deadline, const char* step,
             const std::function<bool()>& done) {
    while (!done()) {
        if (ctx.stop) {
            ILog::Info("drain: stop requested while %s: stopping now", step);
            return false;
        }
        if (Clock::now() >= deadline) {
            ILog::Warning("drain: bound reached while %s: stopping now", step);
            return false;
        }
        ctx.waitForStop(kPollPeriod);
    }
    return true;
}

std::chrono::milliseconds boundOf(const PipelineContext& ctx, std::chrono::milliseconds margin) {
    std::chrono::milliseconds settle{0};
    for (const auto& [name, builder] : ctx.eventBuilders) {
        settle = std::max(settle, builder->settleTime());
    }
    return settle + margin;
}

bool isDiscarding(const std::shared_ptr<PipelineContext::EventQueue>& queue) {
    return dynamic_cast<const DiscardingEventQueue*>(queue.get()) != nullptr;
}

// A poison pair behind the pairs still queued: the poster delivers them first, then ends.
bool queuePosterStops(PipelineContext& ctx, Clock::time_point deadline) {
    for (const auto& [name, queue] : ctx.eventQueues) {
        if (isDiscarding(queue)) {
            continue;  // no poster thread reads it
        }
        if (!queue->pushUntil(QEVAPair::makePoison(), deadline)) {
            ILog::Warning("drain: bound reached while poster %s still had %ld event(s) to deliver",
                          name.c_str(), static_cast<long>(queue->size()));
            return false;
        }
    }
    return true;
}

bool postersIdle(const PipelineContext& ctx) {
    for (const auto& [name, queue] : ctx.eventQueues) {
        if (!isDiscarding(queue) && queue->size() > 0) {
            return false;
        }
    }
    return true;
}

// Every queued event spooled and every spooled event taken by its server. What a server that is
// away does not take by the bound stays in the spool for the next run.
bool postersDelivered(const PipelineContext& ctx) {
    if (!postersIdle(ctx)) {
        return false;
    }
    for (const auto& [name, poster] : ctx.eventPosters) {
        if (poster->spooledEvents() > 0) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool drainPipeline(PipelineContext& ctx, std::chrono::milliseconds margin) {
    const auto start = Clock::now();
    const auto bound = boundOf(ctx, margin);
    const auto deadline = start + bound;
    ILog::Info("drain: the input has ended; draining the pipeline (at most %ld ms)",
               static_cast<long>(bound.count()));
    ctx.stopAllVideoSources();
    if (!waitFor(ctx, deadline, "frames were still in the pipeline",
                 [&ctx] { return ctx.framesInFlight() <= 0; })) {
        return false;
    }
    ILog::Info("drain: every frame read has been consumed after %ld ms; flushing the builders",
               msSince(start));
    ctx.requestFlush();
    const size_t builders = ctx.ebWorkers.size();
    if (!waitFor(ctx, deadline, "builders were reporting",
                 [&ctx, builders] { return ctx.flushedBuilders() >= builders; })) {
        return false;
    }
    ILog::Info("drain: every builder has reported after %ld ms; delivering the events", msSince(start));
    if (!waitFor(ctx, deadline, "posters were delivering", [&ctx] { return postersDelivered(ctx); }) ||
        !queuePosterStops(ctx, deadline) ||
        !waitFor(ctx, deadline, "posters were delivering", [&ctx] { return postersIdle(ctx); })) {
        return false;
    }
    ILog::Info("drain: done after %ld ms", msSince(start));
    return true;
}

}  // namespace ek
