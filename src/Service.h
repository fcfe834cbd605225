#pragma once

#include <ostream>
#include <string>

namespace ek {

// The whole run of qo_core from its configuration file: start-up, the wait for the stop, and
// shut-down. Returns the exit status: 0 after an orderly stop, 1 when the configuration cannot
// be read or loading fails; the reason then goes to `err` as one "Loading failed: ..." line
// (and to the log, once the logger is up). A port that cannot be listened on is a loading failure.
// SIGTERM and SIGINT stop the run as GET "/exit" does (exit status 0). Call curl::globalInit()
// before, and call this before any other thread starts (it blocks the stop signals for them).
int runService(const std::string& configPath, std::ostream& err);

}  // namespace ek
