#include "src/loaders/Networks.h"

#include <chrono>
#include <exception>
#include <stdexcept>
#include <vector>

#include "qo_common/logger/log.h"
#include "qo_common/utils/ConfigReader.h"
#include "src/components/ComponentFactory.h"
#include "src/loaders/ExceptionText.h"
#include "src/loaders/PreparedFrames.h"

using nlohmann::json;

namespace ek {
namespace {

constexpr uint64_t kQueueCapacity = 3;

using Clock = std::chrono::steady_clock;
using FrameQueue = PipelineContext::FrameQueue;

std::shared_ptr<FrameQueue> queueOf(PipelineContext& ctx, const std::string& name,
                                    const std::string& missing) {
    auto found = ctx.queues.find(name);
    if (found == ctx.queues.end()) {
        throw std::runtime_error(missing);
    }
    return found->second;
}

std::shared_ptr<Component> componentOf(PipelineContext& ctx, const std::string& name) {
    auto found = ctx.networks.find(name);
    if (found == ctx.networks.end() || !found->second) {
        throw std::runtime_error("startNetworks: no component for network " + name);
    }
    return found->second;
}

// Adds the step's whole milliseconds to the frame and to the stage's running mean.
void recordStep(PipelineContext& ctx, const std::string& stage, FrameWithInfo& frame,
                Clock::time_point start) {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    float dt = static_cast<float>(ms);
    frame.processTime += dt;
    std::lock_guard<std::mutex> lock(ctx.lock);
    float& mean = ctx.netTimes[stage];
    mean = (mean * 9.f + dt) / 10.f;
}

// Only an image that is not yet 8-bit BGR is converted. The converted frame replaces the pointer
// rather than the shared object: paired frames and copies that hold the old object keep reading
// an intact one, and the swap is made under the context lock, which the "/bin-image" reader holds.
void convertIfNeeded(PipelineContext& ctx, FrameWithInfo& frame) {
    if (!frame.frame->needsConversion()) {
        return;
    }
    auto converted = frame.frame->convert();
    std::lock_guard<std::mutex> lock(ctx.lock);
    frame.frame = std::move(converted);
}

void logFailure(const char* step, const std::string& name, const FrameWithInfo& frame,
                const std::exception_ptr& error) {
    ILog::Error("Network %s: %s failed (camera: %s, guid: %s): %s", name.c_str(), step,
                frame.frame->cameraName.c_str(), frame.frame->guid.c_str(), describe(error).c_str());
}

// The network input serves only the infer step. Frames live on in events for many seconds, which
// should hold images, not input tensors (~4.9 MB for a 640 x 640 YOLO input).
void releaseNetworkInput(FrameWithInfo& frame) {
    std::vector<float>().swap(frame.small);
}

void runPrepareWorker(PipelineContext& ctx, const std::string& name, PreparedFrames& prepared) {
    std::shared_ptr<Component> component;
    std::shared_ptr<FrameQueue> in;
    std::shared_ptr<FrameQueue> out;
    {
        std::lock_guard<std::mutex> lock(ctx.lock);
        ctx.netTimes.try_emplace(name, 0.f);
        component = componentOf(ctx, name);
        in = queueOf(ctx, name, "startNetworks: Can`t found queue: " + name);
        out = queueOf(ctx, name + "_infer", "startNetworks: Can`t found queue: " + name + "_infer");
    }
    while (!ctx.stop) {
        auto frame = in->pop();
        if (frame->poison) {
            break;
        }
        ILog::Debug("Network %s prepare: camera: %s, guid: %s,  skip: %i", name.c_str(),
                    frame->frame->cameraName.c_str(), frame->frame->guid.c_str(),
                    static_cast<int>(frame->skip));
        bool ready = false;
        if (frame->skip || !ctx.inferenceEnabled) {
            // A frame that a builder sent through the networks keeps its InProccess mark: marked
            // NoProcessed while it still travels, a trigger would claim and push it a second time.
            if (frame->status.load() != FrameWithInfo::InProccess) {
                frame->status = FrameWithInfo::NoProcessed;
            }
        } else {
            frame->status = FrameWithInfo::InProccess;
            auto start = Clock::now();
            try {
                convertIfNeeded(ctx, *frame);
                component->prepare(frame);
                ready = true;
                recordStep(ctx, name, *frame, start);
            } catch (...) {
                logFailure("prepare", name, *frame, std::current_exception());
            }
        }
        if (ctx.stop) {
            break;
        }
        if (ready) {
            prepared.mark(frame.get());
        }
        out->push(frame);
        ctx.frameHandled();
    }
}

void runInferWorker(PipelineContext& ctx, const std::string& name, PreparedFrames& prepared) {
    std::shared_ptr<Component> component;
    std::shared_ptr<FrameQueue> in;
    const std::string stage = name + "_infer";
    {
        std::lock_guard<std::mutex> lock(ctx.lock);
        ctx.netTimes.try_emplace(stage, 0.f);
        component = componentOf(ctx, name);
        in = queueOf(ctx, stage, "can't find " + stage + " in queues");
    }
    const bool countsFps = component->type == "yolo";
    while (!ctx.stop) {
        auto frame = in->pop();
        if (frame->poison) {
            break;
        }
        if (prepared.take(frame.get())) {
            auto start = Clock::now();
            try {
                component->infer(frame);
                recordStep(ctx, stage, *frame, start);
                if (countsFps) {
                    ctx.netFps = static_cast<int32_t>(ctx.netMeter.getFps());
                }
            } catch (...) {
                logFailure("infer", name, *frame, std::current_exception());
            }
            releaseNetworkInput(*frame);
        }
        std::string destinations;
        for (const auto& d : component->destinations) {
            destinations += d + ", ";
        }
        ILog::Debug("Network %s: camera: %s, guid: %s, skip: %i, send to destinations: %s", name.c_str(),
                    frame->frame->cameraName.c_str(), frame->frame->guid.c_str(),
                    static_cast<int>(frame->skip), destinations.c_str());
        ctx.pushToDests(component->destinations, frame);
        ctx.frameHandled();
    }
}

// A worker that cannot start (its queues or component missing) logs why and ends; an exception
// must not leave a thread function.
template <typename Body>
void guarded(const std::string& name, Body body) {
    try {
        body();
    } catch (...) {
        ILog::Error("Network %s: worker ended: %s", name.c_str(), describe(std::current_exception()).c_str());
    }
}

}  // namespace

void loadNetworks(PipelineContext& ctx, const json& networks) {
    ILog::Info("Creating networks");
    for (const auto& element : ConfigReader::elementsOf(networks, "networks")) {
        const ConfigReader entry = ConfigReader::objectAt(element.value(), element.path());
        const auto name = entry.requiredText("name", ConfigReader::NonEmpty);
        const auto type = entry.requiredText("type");
        // Checked before any model is loaded.
        if (!ComponentFactory::knows(type)) {
            entry.fail("type",
                       ConfigReader::expected(ComponentFactory::kindList(), entry.value().at("type")));
        }
        (void)entry.requiredTexts("destinations");
        try {
            ILog::Info("Creating network: %s", name.c_str());
            ctx.addFrameQueue(name, kQueueCapacity);
            ctx.addFrameQueue(name + "_infer", kQueueCapacity);
            ctx.networks[name] = ComponentFactory::create(type, entry.value());
        } catch (const ConfigError& e) {
            const ConfigError placed = e.under(entry.path());
            ILog::Error("Failed to create network %s: %s", name.c_str(), placed.what());
            throw placed;
        } catch (const std::exception& e) {
            ILog::Error("Failed to create network %s: %s", name.c_str(), e.what());
            throw std::runtime_error(entry.path() + " (\"" + name + "\"): " + e.what());
        }
    }
}

void startNetworks(PipelineContext& ctx) {
    ILog::Info("Starting network workers");
    for (const auto& [name, component] : ctx.networks) {
        (void)component;
        auto prepared = std::make_shared<PreparedFrames>();
        ctx.consumers.emplace_back([&ctx, name = name, prepared] {
            ILog::Info("Start thread prepare frames for put to network: %s", name.c_str());
            guarded(name, [&] { runPrepareWorker(ctx, name, *prepared); });
            ILog::Info("Stopped thread for prepare network %s", name.c_str());
        });
        ctx.consumers.emplace_back([&ctx, name = name, prepared] {
            ILog::Info("Start network %s", name.c_str());
            guarded(name, [&] { runInferWorker(ctx, name, *prepared); });
            ILog::Info("Stopped network %s", name.c_str());
        });
    }
}

}  // namespace ek
