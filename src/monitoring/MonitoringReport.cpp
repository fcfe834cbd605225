#include "src/monitoring/MonitoringReport.h"

#include <locale>
#include <sstream>

#include "qo_common/utils/CommonUtils.h"

namespace ek {
namespace {

void appendFrameQueues(std::ostringstream& out, const MonitoringSnapshot& snapshot) {
    for (const auto& [name, queue] : snapshot.queues) {
        out << name << " [" << queue->size() << "/" << queue->capacity() << "]: ";
        const auto time = snapshot.netTimes.find(name);
        if (time != snapshot.netTimes.end()) {
            out << CommonUtils::formatDouble(time->second, 1) << " ms,\n";
        } else {
            out << "-- ms,\n";
        }
    }
}

void appendEventQueues(std::ostringstream& out, const MonitoringSnapshot& snapshot) {
    for (const auto& [name, queue] : snapshot.eventQueues) {
        out << name << " [" << queue->size() << "/" << queue->capacity() << "],\n";
    }
}

void appendBuilders(std::ostringstream& out, const MonitoringSnapshot& snapshot,
                    const std::function<void(const std::string&)>& builderStatistics) {
    for (const auto& [name, builder] : snapshot.eventBuilders) {
        out << name << ": " << builder->getStatString() << ",\n";
        builderStatistics(MonitoringReport::compactJson(builder->getStatistics()));
    }
}

void appendProducers(std::ostringstream& out, const MonitoringSnapshot& snapshot) {
    for (const auto& [name, stats] : snapshot.producersStats) {
        out << name << ": AvgLatency = " << stats->avgLatency.load() << " ms \n";
    }
}

}  // namespace

std::vector<std::string> MonitoringReport::balancerLines(const MonitoringSnapshot& snapshot) {
    std::vector<std::string> lines;
    lines.reserve(snapshot.balancers.size());
    for (const auto& [name, queue] : snapshot.balancers) {
        lines.push_back("Balancer: " + name + ": " + queue->getStat());
    }
    return lines;
}

std::string MonitoringReport::text(const MonitoringSnapshot& snapshot,
                                   const std::function<void(const std::string&)>& builderStatistics) {
    std::ostringstream out;
    // Figures are read by tools: no digit grouping, whatever the process locale.
    out.imbue(std::locale::classic());
    out << "NFPS: " << snapshot.netFps << "\n";
    out << "Queues:\n";
    appendFrameQueues(out, snapshot);
    appendEventQueues(out, snapshot);
    appendBuilders(out, snapshot, builderStatistics);
    appendProducers(out, snapshot);
    return out.str();
}

std::string MonitoringReport::compactJson(const nlohmann::json& value) {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace ek
