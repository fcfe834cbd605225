#include "src/loaders/Outputs.h"

#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "qo_common/logger/log.h"
#include "qo_common/utils/ConfigReader.h"
#include "src/loaders/DisplayProbe.h"
#include "src/loaders/DisplayThread.h"

using nlohmann::json;

namespace ek {
namespace {

constexpr uint64_t kOutputQueueCapacity = 1;

using FrameQueue = PipelineContext::FrameQueue;

// Lets the display thread end once every player is gone, however the player ends.
struct DetachOnExit {
    std::shared_ptr<DisplayThread> display;
    ~DetachOnExit() {
        if (display) {
            display->detach();
        }
    }
};

void runPlayer(PipelineContext& ctx, const std::string& name, const std::shared_ptr<FrameQueue>& queue,
               VideoOutput* output, const std::shared_ptr<DisplayThread>& display) {
    DetachOnExit detach{display};
    ILog::Info("started player %s", name.c_str());
    for (;;) {
        auto frame = queue->pop();
        if (frame->poison) {
            break;
        }
        try {
            output->consume(frame);
        } catch (const std::exception& e) {
            // One bad frame must not end the player, nor the process.
            ILog::Error("player %s: frame not shown: %s", name.c_str(), e.what());
        }
        ctx.frameHandled();
    }
    ILog::Info("stopped player %s", name.c_str());
}

std::shared_ptr<DisplayThread> startDisplay(PipelineContext& ctx, size_t players) {
    std::string why;
    if (!DisplayProbe::available(why)) {
        ILog::Warning("Outputs: no display available (%s); frames are drawn but not shown", why.c_str());
        return nullptr;
    }
    auto display = std::make_shared<DisplayThread>(players);
    ctx.players.emplace_back([display] { display->run(); });
    return display;
}

}  // namespace

void loadOutputs(PipelineContext& ctx, const json& outputs) {
    ILog::Info("Creating outs");
    std::vector<std::string> names;
    for (const auto& element : ConfigReader::elementsOf(outputs, "outputs")) {
        const ConfigReader entry = ConfigReader::objectAt(element.value(), element.path());
        const std::string name = entry.requiredText("name", ConfigReader::NonEmpty);
        const std::string type = entry.requiredText("type");
        ctx.addFrameQueue(name, kOutputQueueCapacity);
        VideoOutput& record = ctx.outputs[name];
        record.type = type;
        record.name = name;
        record.cnt = 0;
        record.debugPoints.clear();
        names.push_back(name);
    }
    ILog::Info("Starting outs");
    if (names.empty()) {
        return;
    }
    auto display = startDisplay(ctx, names.size());
    size_t started = 0;
    try {
        for (const auto& name : names) {
            VideoOutput* record = &ctx.outputs.at(name);
            if (display) {
                record->show = [display](const std::string& window, const cv::Mat& image) {
                    display->show(window, image);
                };
            }
            std::shared_ptr<FrameQueue> queue = ctx.queues.at(name);
            ctx.players.emplace_back(
                [&ctx, name, queue, record, display] { runPlayer(ctx, name, queue, record, display); });
            ++started;
        }
    } catch (...) {
        // Players that never started never detach: do it for them, or the display thread never ends.
        for (size_t i = started; display && i < names.size(); ++i) {
            display->detach();
        }
        throw;
    }
}

}  // namespace ek
