#include "src/loaders/Sources.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "qo_common/logger/log.h"
#include "qo_common/utils/ConfigReader.h"
#include "qo_common/utils/UriMask.h"
#include "qo_common/video/IVideoSource.h"
#include "src/loaders/Producers.h"

using nlohmann::json;

namespace ek {
namespace {

void introduceLanePartners(PipelineContext& ctx) {
    const auto byId = ctx.getVideoSources();
    for (const auto& [id, source] : byId) {
        std::map<int, std::shared_ptr<IVideoSource>> partners;
        for (const auto& [otherId, other] : byId) {
            if (otherId != id && other->settings.laneId == source->settings.laneId) {
                partners.emplace(otherId, other);
            }
        }
        source->setVideoSourcer(partners);
    }
}

// Balancer queues are named after their source, "<name>" or "<name>_triggered": a source "cam"
// in a triggered mode and a source "cam_triggered" would share one queue, and two balancers
// reading one queue leave one of them without its poison frame at the stop.
class BalancerQueueNames {
  public:
    void claim(const ConfigReader& entry, const VideoSourceSettings& settings) {
        for (const auto& [queue, triggered] : balancerQueuesOf(settings)) {
            (void)triggered;
            const auto [found, inserted] =
                owners_.emplace(queue, entry.path() + " (\"" + settings.name + "\")");
            if (!inserted) {
                entry.fail("name", "balancer queue \"" + queue + "\" of this source is also made by " +
                                       found->second + "; rename one of them");
            }
        }
    }

  private:
    std::map<std::string, std::string> owners_;
};

VideoSourceSettings settingsOf(const ConfigReader& entry) {
    VideoSourceSettings settings;
    try {
        settings.configure(entry.value());
    } catch (const ConfigError& e) {
        throw e.under(entry.path());
    }
    return settings;
}

void probe(IVideoSource& source, const ConfigReader& entry) {
    try {
        source.probe();
    } catch (const std::exception& e) {
        throw std::runtime_error(entry.path() + " (\"" + source.settings.name + "\"): " + e.what());
    }
}

}  // namespace

void loadSources(PipelineContext& ctx, const json& sources) {
    ILog::Info("Creating sources");
    BalancerQueueNames queueNames;
    // Every entry is checked before the first source is added, so a refused configuration leaves
    // no source behind.
    std::vector<std::unique_ptr<IVideoSource>> made;
    for (const auto& element : ConfigReader::elementsOf(sources, "sources")) {
        const ConfigReader entry = ConfigReader::objectAt(element.value(), element.path());
        ILog::Debug(
            "Loading source config... %s",
            UriMask::hideCredentials(entry.value().dump(-1, ' ', false, json::error_handler_t::replace))
                .c_str());
        const auto name = entry.requiredText("name", ConfigReader::NonEmpty);
        const auto destinations = entry.requiredTexts("destinations");
        const VideoSourceSettings settings = settingsOf(entry);
        queueNames.claim(entry, settings);
        auto source = createVideoSource(settings);
        if (!source) {
            ILog::Error("Can not initialize camera %s: video source implementation not found",
                        UriMask::hideCredentials(settings.uri).c_str());
            continue;
        }
        probe(*source, entry);
        source->settings.dests = destinations;
        ILog::Info("adding cap %s", source->settings.name.c_str());
        ILog::Debug("loadSources - adding cap %s pre - %i post- %i", name.c_str(), source->settings.pre,
                    source->settings.post);
        made.push_back(std::move(source));
    }
    for (auto& source : made) {
        ctx.addVideoSource(std::move(source));
    }
    introduceLanePartners(ctx);
}

}  // namespace ek
