#include "src/monitoring/QueuesMonitoring.h"

#include <malloc.h>

#include <exception>
#include <memory>
#include <string>

#include "qo_common/logger/log.h"
#include "qo_common/utils/Frame.h"
#include "qo_common/utils/UriMask.h"
#include "src/monitoring/MonitoringReport.h"
#include "src/monitoring/MonitoringSnapshot.h"
#include "src/monitoring/ProcessMemory.h"

namespace ek {
namespace {

using Clock = std::chrono::steady_clock;

long wholeMs(Clock::duration d) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
}

// Context lock held.
nlohmann::json& statusEntry(PipelineContext& ctx, const std::string& key) {
    if (ctx.status.is_null()) {
        ctx.status = nlohmann::json::object();
    }
    return ctx.status[key];
}

void logReport(const MonitoringSnapshot& snapshot) {
    for (const auto& line : MonitoringReport::balancerLines(snapshot)) {
        ILog::Info("%s", line.c_str());
    }
    const std::string report = MonitoringReport::text(
        snapshot, [](const std::string& statistics) { ILog::Info("%s", statistics.c_str()); });
    ILog::Info("%s", report.c_str());
}

// A source's statistics carry its URI and last error, which name the stream: they are masked
// before they reach the log or "/status".
void refreshSourceStatistics(PipelineContext& ctx) {
    ctx.foreachVideoSources([&ctx](std::shared_ptr<IVideoSource> source, size_t) {
        const std::string text =
            UriMask::hideCredentials(MonitoringReport::compactJson(source->getStatistics()));
        statusEntry(ctx, source->settings.name) = nlohmann::json::parse(text);
        ILog::Info("%s", text.c_str());
    });
}

void refreshTriggerStatistics(PipelineContext& ctx) {
    ctx.withLock([](PipelineContext& c) { statusEntry(c, "triggers") = c.triggerStats.json(); });
}

// Delivery figures of every poster: one log line each and the "posters" entry of the status.
void refreshPosterStatistics(PipelineContext& ctx, const MonitoringSnapshot& snapshot) {
    if (snapshot.eventPosters.empty()) {
        return;
    }
    nlohmann::json posters = nlohmann::json::object();
    for (const auto& [name, poster] : snapshot.eventPosters) {
        posters[name] = poster->statistics();
        ILog::Info("Poster %s: %s", name.c_str(), poster->statisticsLine().c_str());
    }
    ctx.withLock([&posters](PipelineContext& c) { statusEntry(c, "posters") = std::move(posters); });
}

void logMemory() {
    // Frame buffers are allocated and freed all the time; give the freed heap back to the system.
    malloc_trim(0);
    const auto memory = ProcessMemory::read();
    ILog::Info("%s", memory.line(ek::pipeline::Frame::liveCount()).c_str());
}

void monitoringStep(PipelineContext& ctx) {
    const auto t0 = Clock::now();
    const auto snapshot = MonitoringSnapshot::take(ctx);
    const auto t1 = Clock::now();
    logReport(snapshot);
    refreshSourceStatistics(ctx);
    refreshTriggerStatistics(ctx);
    refreshPosterStatistics(ctx, snapshot);
    logMemory();
    ILog::Info("Monitoring duration: %ld ms (lock: %ld ms)", wholeMs(Clock::now() - t0), wholeMs(t1 - t0));
}

void runGuarded(const std::function<void()>& step) {
    try {
        step();
    } catch (const std::exception& e) {
        ILog::Error("queuesMonitoring exception: %s", e.what());
    } catch (...) {
        ILog::Error("queuesMonitoring unknown exception");
    }
}

}  // namespace

std::function<void()> queuesMonitoring(PipelineContext& ctx) {
    return [&ctx] { monitoringStep(ctx); };
}

void runQueuesMonitoring(PipelineContext& ctx, const std::function<void()>& step,
                         std::chrono::milliseconds period) {
    ILog::Info("Starting queues monitoring thread");
    while (!ctx.waitForStop(period)) {
        runGuarded(step);
    }
    ILog::Info("Stop queues monitoring thread");
}

}  // namespace ek
