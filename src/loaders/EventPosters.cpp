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
#include "src/loaders/EventLabel.h"
#include "src/loaders/ExceptionText.h"
#include "src/loaders/PosterEventQueue.h"

using nlohmann::json;

namespace ek {
namespace {

constexpr uint64_t kEventQueueCapacity = 5;

using EventQueue = PipelineContext::EventQueue;

// Hands the event to the poster library, which spools it; the report time is the time to spool.
void postOne(QEVAEventPoster& poster, const std::string& name, const QEVAPair& pair, bool stopping) {
    int64_t t0 = CommonUtils::getTs();
    if (name.find("epqeva") != std::string::npos || !pair.event) {
        return;
    }
    poster.post(*pair.event);
    int64_t t1 = CommonUtils::getTs();
    std::string label = firstPlateOf(*pair.event);
    int64_t age = CommonUtils::getTs() - pair.event->ts;
    ILog::Info("QEVA POST: %s: %s, report time = %ld ms, ALL Time %ld ms", poster.name.c_str(), label.c_str(),
               static_cast<long>(t1 - t0), static_cast<long>(age));
    if (stopping) {
        ILog::Info("EventPoster %s: event %s spooled at stop", name.c_str(), pair.event->guid.c_str());
    }
}

// One poster's thread: spools pair after pair until the poison pair, including the pairs that were
// still queued when the queue was poisoned; then stops the poster's delivery. A pair that cannot
// be spooled is logged with its guid and the poster goes on with the next one.
void runPoster(const std::string& name, const std::shared_ptr<EventQueue>& queue,
               const std::shared_ptr<QEVAEventPoster>& poster) {
    ILog::Info("started qeva poster %s", name.c_str());
    for (;;) {
        std::string guid = "<none>";
        try {
            QEVAPair pair = queue->pop();
            if (pair.poison) {
                break;
            }
            if (pair.event) {
                guid = pair.event->guid;
            }
            postOne(*poster, name, pair, queue->poisoned());
        } catch (...) {
            // A failed post names the server's URL, which may carry credentials.
            std::string reason = UriMask::hideCredentials(describe(std::current_exception()));
            try {
                ILog::Error("EventPoster: Exception");
                ILog::Error("EventPoster %s: event %s not spooled: %s", name.c_str(), guid.c_str(),
                            reason.c_str());
            } catch (...) {
                // The logger itself failed; there is nowhere left to report to.
            }
        }
    }
    poster->stop();
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
        } else {
            ctx.eventQueues[name] = std::make_shared<PosterEventQueue>(name, kEventQueueCapacity);
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
        std::shared_ptr<QEVAEventPoster> poster;
        try {
            poster = std::make_shared<QEVAEventPoster>(entry.value());
        } catch (const ConfigError& e) {
            throw e.under(entry.path());
        }
        std::shared_ptr<EventQueue> queue = ctx.eventQueues.at(name);
        ctx.eventPosters[name] = poster;
        ctx.posters.emplace_back([name, queue, poster] { runPoster(name, queue, poster); });
    }
}

}  // namespace ek
