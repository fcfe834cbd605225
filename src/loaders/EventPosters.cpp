#include "src/loaders/EventPosters.h"

#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "qo_common/event_poster/QEVAEventPoster.h"
#include "qo_common/logger/log.h"
#include "qo_common/utils/CommonUtils.h"
#include "qo_common/utils/ConfigReader.h"
#include "qo_common/utils/UriMask.h"
#include "src/loaders/DiscardingEventQueue.h"
#include "src/loaders/ExceptionText.h"

using nlohmann::json;

namespace ek {
namespace {

constexpr uint64_t kEventQueueCapacity = 5;

using EventQueue = PipelineContext::EventQueue;

void postOne(QEVAEventPoster& poster, const std::string& name, const QEVAPair& pair) {
    int64_t t0 = CommonUtils::getTs();
    if (name.find("epqeva") != std::string::npos || !pair.event) {
        return;
    }
    poster.post(*pair.event);
    int64_t t1 = CommonUtils::getTs();
    const auto& evts = pair.event->evts;
    std::string label = evts.empty() || !evts.front() ? "<no recognition>" : evts.front()->num;
    int64_t age = CommonUtils::getTs() - pair.event->ts;
    ILog::Info("QEVA POST: %s: %s, report time = %ld ms, ALL Time %ld ms", poster.name.c_str(), label.c_str(),
               static_cast<long>(t1 - t0), static_cast<long>(age));
}

// One poster's thread: delivers pair after pair until the poison pair. A failed pair is lost and
// the poster goes on with the next one.
void runPoster(const std::string& name, const std::shared_ptr<EventQueue>& queue,
               std::unique_ptr<QEVAEventPoster> poster) {
    ILog::Info("started qeva poster %s", name.c_str());
    for (;;) {
        try {
            QEVAPair pair = queue->pop();
            if (pair.poison) {
                break;
            }
            postOne(*poster, name, pair);
        } catch (...) {
            // A failed post names the server's URL, which may carry credentials.
            std::string reason = UriMask::hideCredentials(describe(std::current_exception()));
            try {
                ILog::Error("EventPoster: Exception");
                ILog::Error("EventPoster %s: %s", name.c_str(), reason.c_str());
            } catch (...) {
                // The logger itself failed; there is nowhere left to report to.
            }
        }
    }
    ILog::Info("stopped qeva poster %s", name.c_str());
}

}  // namespace

void loadEventPosters(PipelineContext& ctx, const json& eventposters) {
    ILog::Info("Starting eventposters");
    std::vector<ConfigReader> entries;
    for (const auto& element : ConfigReader::elementsOf(eventposters, "eventposters")) {
        entries.push_back(ConfigReader::objectAt(element.value(), element.path()));
    }
    for (const auto& entry : entries) {
        const std::string name = entry.requiredText("name", ConfigReader::NonEmpty);
        ctx.addEventQueue(name, kEventQueueCapacity);
        if (!entry.has("url")) {
            ctx.eventQueues[name] = std::make_shared<DiscardingEventQueue>(name, kEventQueueCapacity);
        }
    }
    QEVAEventPoster::globalInit();
    for (const auto& entry : entries) {
        if (!entry.has("url")) {
            continue;
        }
        const std::string name = entry.requiredText("name");
        // Built here rather than in the thread, so a poster the library refuses fails the loading
        // with its reason instead of ending the process from a worker thread.
        std::unique_ptr<QEVAEventPoster> poster;
        try {
            poster = std::make_unique<QEVAEventPoster>(entry.value());
        } catch (const ConfigError& e) {
            throw e.under(entry.path());
        }
        std::shared_ptr<EventQueue> queue = ctx.eventQueues.at(name);
        ctx.posters.emplace_back(
            [name, queue, p = std::move(poster)]() mutable { runPoster(name, queue, std::move(p)); });
    }
}

}  // namespace ek
