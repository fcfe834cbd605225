#include "src/loaders/Sources.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "qo_common/logger/log.h"
#include "qo_common/utils/UriMask.h"
#include "qo_common/video/IVideoSource.h"

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

}  // namespace

void loadSources(PipelineContext& ctx, const json& sources) {
    ILog::Info("Creating sources");
    for (size_t i = 0; i < sources.size(); ++i) {
        // A copy: the lookups below throw the JSON library's errors for a non-object element
        // instead of reading past it.
        json element = sources.at(i);
        ILog::Debug(
            "Loading source config... %s",
            UriMask::hideCredentials(element.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace))
                .c_str());
        VideoSourceSettings settings;
        settings.configure(element);
        auto source = createVideoSource(settings);
        if (!source) {
            ILog::Error("Can not initialize camera %s: video source implementation not found",
                        UriMask::hideCredentials(settings.uri).c_str());
            continue;
        }
        source->settings.dests = element["destinations"].get<std::vector<std::string>>();
        ILog::Info("adding cap %s", source->settings.name.c_str());
        const auto name = element["name"].get<std::string>();
        ILog::Debug("loadSources - adding cap %s pre - %i post- %i", name.c_str(), source->settings.pre,
                    source->settings.post);
        ctx.addVideoSource(std::move(source));
    }
    introduceLanePartners(ctx);
}

}  // namespace ek
