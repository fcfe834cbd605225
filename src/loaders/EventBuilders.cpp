#include "src/loaders/EventBuilders.h"

#include <exception>
#include <memory>
#include <string>

#include "qo_common/logger/log.h"
#include "qo_common/utils/ConfigReader.h"
#include "src/event_builder/BuilderConfig.h"
#include "src/event_builder/EventBuilderComponent.h"
#include "src/loaders/ExceptionText.h"

using nlohmann::json;

namespace ek {
namespace {

constexpr uint64_t kBuilderQueueCapacity = 2;

using Clock = std::chrono::steady_clock;

using FrameQueue = PipelineContext::FrameQueue;

// Logging must not end a worker either; if the logger itself fails there is nowhere to report.
template <typename... Args>
void logError(const char* format, Args... args) {
    try {
        ILog::Error(format, args...);
    } catch (...) {
    }
}

void logFailure(const char* step, const std::string& name, const FrameWithInfo* frame,
                const std::exception_ptr& error) {
    const bool known = frame && frame->frame;
    logError("Event builder %s: %s failed (camera: %s, guid: %s): %s", name.c_str(), step,
             known ? frame->frame->cameraName.c_str() : "", known ? frame->frame->guid.c_str() : "",
             describe(error).c_str());
}

void consumeOne(IEventBuilderComponent& builder, const std::string& name,
                const std::shared_ptr<FrameWithInfo>& frame) {
    try {
        builder.consume(frame);
    } catch (...) {
        logFailure("consume", name, frame.get(), std::current_exception());
    }
}

void idleOne(IEventBuilderComponent& builder, const std::string& name, Clock::duration sinceLastFrame) {
    try {
        builder.idle(std::chrono::duration_cast<std::chrono::milliseconds>(sinceLastFrame));
    } catch (...) {
        logFailure("idle sweep", name, nullptr, std::current_exception());
    }
}

void flushOne(IEventBuilderComponent& builder, const std::string& name) {
    try {
        builder.flush();
    } catch (...) {
        logFailure("flush", name, nullptr, std::current_exception());
    }
}

// The statistics are taken before the context lock: a builder may lock its own state for them,
// and must never wait for the context lock while holding its own.
void storeStatistics(PipelineContext& ctx, const IEventBuilderComponent& builder, const std::string& name,
                     const FrameWithInfo* frame) {
    try {
        json statistics = builder.getStatistics();
        ctx.withLock([&](PipelineContext& c) { c.status[name] = std::move(statistics); });
    } catch (...) {
        logFailure("getStatistics", name, frame, std::current_exception());
    }
}

void runWorker(PipelineContext& ctx, const std::string& name, std::chrono::milliseconds idlePeriod) {
    // The maps are complete before any worker starts and never change afterwards: no lock.
    const auto queue = ctx.queues.find(name);
    if (queue == ctx.queues.end() || !queue->second) {
        throw std::runtime_error("can't find " + name + " in queues");
    }
    const auto builder = ctx.eventBuilders.find(name);
    if (builder == ctx.eventBuilders.end() || !builder->second) {
        throw std::runtime_error("can't find " + name + " in eventBuilders");
    }
    const std::shared_ptr<FrameQueue> frames = queue->second;
    const std::shared_ptr<IEventBuilderComponent> eb = builder->second;
    auto lastFrameAt = Clock::now();
    bool flushed = false;
    for (;;) {
        // The timed pop drives the builder's time-based work while no frame comes (a camera that
        // stalls, the end of a file), without a thread of its own.
        const auto item = frames->popFor(idlePeriod);
        if (!item) {
            if (ctx.flushRequested() && !flushed) {
                flushOne(*eb, name);
                storeStatistics(ctx, *eb, name, nullptr);
                flushed = true;
                ctx.builderFlushed();
            } else {
                idleOne(*eb, name, Clock::now() - lastFrameAt);
            }
            continue;
        }
        const auto& frame = *item;
        if (!frame) {
            logError("Event builder %s: empty frame pointer skipped", name.c_str());
            continue;
        }
        lastFrameAt = Clock::now();
        consumeOne(*eb, name, frame);
        storeStatistics(ctx, *eb, name, frame.get());
        if (frame->poison) {
            break;
        }
        ctx.frameHandled();
    }
}

void runGuardedWorker(PipelineContext& ctx, const std::string& name, std::chrono::milliseconds idlePeriod) {
    try {
        ILog::Info("%s", ("creating EB worker " + name).c_str());
        runWorker(ctx, name, idlePeriod);
    } catch (...) {
        // Only the start-up lookup gets here: an exception must not leave a thread function.
        logError("Event builder %s: worker ended: %s", name.c_str(),
                 describe(std::current_exception()).c_str());
        return;
    }
    ILog::Info("%s", ("stopped EB worker " + name).c_str());
}

void loadOne(PipelineContext& ctx, const json& element) {
    const json config = element.is_null() ? json::object() : element;
    const std::string name = BuilderConfig(config).requiredText("name", ek::ConfigReader::NonEmpty);
    ILog::Info("Creating event builder: %s", name.c_str());
    ctx.addFrameQueue(name, kBuilderQueueCapacity);
    ctx.eventBuilders[name] = createEventBuilder(ctx, config);
}

}  // namespace

void loadEventBuilders(PipelineContext& ctx, const json& builders) {
    ILog::Info("Creating eventbuilders");
    for (const auto& element : ek::ConfigReader::elementsOf(builders, "eventbuilders")) {
        try {
            loadOne(ctx, element.value());
        } catch (const BuilderConfig::Error& e) {
            throw e.under(element.path());
        }
    }
}

void startEventBuilders(PipelineContext& ctx, std::chrono::milliseconds idlePeriod) {
    ILog::Info("Starting event builder workers");
    for (const auto& [name, builder] : ctx.eventBuilders) {
        builder->start();
        ctx.ebWorkers.emplace_back(
            [&ctx, name = name, idlePeriod] { runGuardedWorker(ctx, name, idlePeriod); });
    }
}

}  // namespace ek
