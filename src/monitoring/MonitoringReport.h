#pragma once

#include <nlohmann/json.hpp>

#include <functional>
#include <string>
#include <vector>

#include "src/monitoring/MonitoringSnapshot.h"

namespace ek {

// The texts that one monitoring step logs about the queues, builders and producers. Reads the
// live objects of the snapshot (queue sizes under each queue's own lock, the builders' statistics
// calls) and never the context.
class MonitoringReport {
  public:
    // "Balancer: <name>: <getStat()>" for every balancer queue, in name order.
    static std::vector<std::string> balancerLines(const MonitoringSnapshot& snapshot);

    // The report, one line feed after every line:
    //   "NFPS: <n>", "Queues:",
    //   "<queue> [<size>/<capacity>]: <stage time, one decimal> ms," (or "-- ms," without one),
    //   "<poster> [<size>/<capacity>],",
    //   "<builder>: <getStatString()>,",
    //   "<source>: AvgLatency = <ms> ms ".
    // Each builder's getStatistics() is handed to `builderStatistics` as compact JSON while the
    // builders are walked. What a builder throws reaches the caller.
    static std::string text(const MonitoringSnapshot& snapshot,
                            const std::function<void(const std::string&)>& builderStatistics);

    // Compact JSON with invalid UTF-8 replaced by U+FFFD: one bad byte in a camera or plate name
    // must not make the statistics unwritable.
    static std::string compactJson(const nlohmann::json& value);
};

}  // namespace ek
