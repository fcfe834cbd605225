#pragma once

#include <nlohmann/json.hpp>

#include <ostream>
#include <string>

namespace ek {

// The keys that the service reads itself: "log" (required object), "coredump", "startSignalUrl".
struct ServiceSettings {
    std::string logIp;
    int logPort = 0;
    int logLevel = 0;
    std::string logSender;
    bool logFile = true;
    bool logHttp = false;
    bool coredump = false;
    std::string startSignalUrl;
};

// Reads them without side effects. Throws std::runtime_error for a document that is not an
// object and ek::ConfigError naming the key ("log.level: expected ...") for a bad one.
ServiceSettings readServiceSettings(const nlohmann::json& document);

// The whole run of qo_core from its configuration file: start-up, the wait for the stop, and
// shut-down. Returns the exit status: 0 after an orderly stop, 1 when the configuration cannot
// be read or loading fails; the reason then goes to `err` as one "Loading failed: ..." line
// (and to the log, once the logger is up). A port that cannot be listened on is a loading failure.
// SIGTERM and SIGINT stop the run as GET "/exit" does (exit status 0). The end of a file source
// that does not restart drains the pipeline (drainPipeline) and then stops the same way; a
// signal or GET "/exit" during the drain stops at once. Call curl::globalInit()
// before, and call this before any other thread starts (it blocks the stop signals for them).
int runService(const std::string& configPath, std::ostream& err);

}  // namespace ek
