#pragma once

#include <memory>
#include <string>

#include "qo_common/logger/log.h"

// The logger library: a local file sink and/or a log-server sink, filtered by level.
class Log : public ILog {
public:
    // Builds the logger, installs it as ILog::instance and returns it; the caller keeps it alive.
    // `ip` empty or `port` 0: no log server. `file`: also write "qo_core.log" in the working
    // directory. `http`: post to the log server over HTTP instead of UDP datagrams.
    static std::shared_ptr<Log> Init(const std::string& ip, int port, int level, const std::string& sender,
                                     bool file, bool http);

    virtual int level() const = 0;
};
