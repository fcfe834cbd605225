#include "src/PipelineLoading.h"

#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>

#include "qo_common/logger/log.h"
#include "qo_common/utils/ConfigReader.h"
#include "src/AppControl.h"
#include "src/InferenceThreads.h"
#include "src/loaders/EventBuilders.h"
#include "src/loaders/EventPosters.h"
#include "src/loaders/Networks.h"
#include "src/loaders/Outputs.h"
#include "src/loaders/Producers.h"
#include "src/loaders/Sources.h"

namespace ek {
namespace {

constexpr const char* kArrays[] = {"eventposters", "eventbuilders", "networks", "sources", "outputs"};

std::optional<std::string> nameOf(const nlohmann::json& element) {
    if (!element.is_object()) {
        return std::nullopt;
    }
    const auto found = element.find("name");
    // An empty name is its loader's to refuse, by path.
    if (found == element.end() || !found->is_string() || found->get_ref<const std::string&>().empty()) {
        return std::nullopt;
    }
    return found->get<std::string>();
}

// The elements of a top-level array (an object's values count as its elements).
template <typename Fn>
void forEachNamed(const nlohmann::json& configuration, const char* key, Fn fn) {
    const auto found = configuration.find(key);
    if (found == configuration.end() || !(found->is_array() || found->is_object())) {
        return;
    }
    for (const auto& element : *found) {
        if (const auto name = nameOf(element)) {
            fn(*name);
        }
    }
}

class NameSpace {
  public:
    explicit NameSpace(std::string what, std::string need = "a queue of its own")
        : what_(std::move(what)), need_(std::move(need)) {}
    void claim(const std::string& name, const std::string& owner) {
        const auto [found, inserted] = owners_.emplace(name, owner);
        if (!inserted) {
            throw std::runtime_error("duplicate " + what_ + " name \"" + name + "\" (" + found->second +
                                     " and " + owner + "): each needs " + need_);
        }
    }

  private:
    std::string what_;
    std::string need_;
    std::map<std::string, std::string> owners_;
};

}  // namespace

void checkUniqueNames(const nlohmann::json& configuration) {
    NameSpace frameQueues("queue");
    forEachNamed(configuration, "eventbuilders",
                 [&](const std::string& name) { frameQueues.claim(name, "eventbuilders"); });
    forEachNamed(configuration, "networks", [&](const std::string& name) {
        frameQueues.claim(name, "networks");
        frameQueues.claim(name + "_infer", "networks");
    });
    forEachNamed(configuration, "outputs",
                 [&](const std::string& name) { frameQueues.claim(name, "outputs"); });

    NameSpace posters("event poster");
    forEachNamed(configuration, "eventposters",
                 [&](const std::string& name) { posters.claim(name, "eventposters"); });
    NameSpace sources("source");
    forEachNamed(configuration, "sources", [&](const std::string& name) { sources.claim(name, "sources"); });

    // Sources and builders write their entries into the status document under their names, next to
    // "core" and "triggers": two writers of one entry would overwrite each other.
    NameSpace status("status", "an entry of its own in the status document");
    status.claim("core", "the service state");
    status.claim("triggers", "the trigger statistics");
    forEachNamed(configuration, "sources", [&](const std::string& name) { status.claim(name, "sources"); });
    forEachNamed(configuration, "eventbuilders",
                 [&](const std::string& name) { status.claim(name, "eventbuilders"); });
}

void checkArrays(const nlohmann::json& configuration) {
    for (const char* array : kArrays) {
        const auto found = configuration.find(array);
        if (found != configuration.end()) {
            (void)ConfigReader::elementsOf(*found, array);
        }
    }
}

void warnAboutDestinationsWithoutQueue(const PipelineContext& ctx, const nlohmann::json& configuration) {
    for (const char* array : {"sources", "networks"}) {
        const auto found = configuration.find(array);
        if (found == configuration.end()) {
            continue;
        }
        for (const auto& entry : ConfigReader::elementsOf(*found, array)) {
            if (!entry.value().is_object()) {
                continue;
            }
            const auto destinations = entry.texts("destinations");
            for (size_t i = 0; i < destinations.size(); ++i) {
                if (ctx.queues.count(destinations[i]) == 0) {
                    ILog::Warning("%s: no queue named \"%s\"; frames sent there are skipped",
                                  entry.pathOf("destinations[" + std::to_string(i) + "]").c_str(),
                                  destinations[i].c_str());
                }
            }
        }
    }
}

void loadPipeline(PipelineContext& ctx, nlohmann::json& configuration) {
    moveStateRecognizerIntoGrus(configuration);
    checkArrays(configuration);
    checkUniqueNames(configuration);
    // Checked before any model is loaded, applied once the infer workers are known.
    const int inferenceThreads = readInferenceThreads(configuration);

    // ---- Loaders, in this order (builders check their destinations against the posters). A
    // loader makes its queues with ctx.addFrameQueue / ctx.addEventQueue and appends its threads
    // to the context's thread vectors.
    loadEventPosters(ctx, configuration["eventposters"]);
    loadEventBuilders(ctx, configuration["eventbuilders"]);
    loadNetworks(ctx, configuration["networks"]);
    applyInferenceThreads(inferenceThreads, ctx.networks.size());
    loadSources(ctx, configuration["sources"]);
    loadOutputs(ctx, configuration["outputs"]);
    warnAboutDestinationsWithoutQueue(ctx, configuration);
}

void startPipeline(PipelineContext& ctx) {
    // ---- Start hook points, in this order:
    //   ek::startProducers(ctx);      producers, balancers, then the statistics thread
    //   ek::startNetworks(ctx);       prepare and infer worker of every network
    //   ek::startEventBuilders(ctx);  each builder's start(), then its worker, in name order
    startProducers(ctx);
    startNetworks(ctx);
    startEventBuilders(ctx);
}

}  // namespace ek
