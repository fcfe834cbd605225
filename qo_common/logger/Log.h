#pragma once

#include <memory>
#include <string>

#include "qo_common/logger/log.h"

// The logger library: a local file sink and/or a log-server sink, filtered by level.
class Log : public ILog {
  public:
    // Builds the logger, installs it as ILog::instance and returns it; the caller keeps it alive.
    // `level`: messages of a higher level are dropped (Error 0, Warning 1, Info 2, Debug 3).
    // `ip` empty or `port` 0: no log server. `file`: also append to "qo_core.log" in the working
    // directory. `http`: post to the log server over HTTP (POST "/log", one line per request)
    // instead of one UDP datagram per line. With neither a file nor a server, lines go to standard
    // error. Each line reads "<local time> [<Level>] <sender>: <message>".
    // `ip` is a numeric IPv4 address. Throws std::invalid_argument for a port outside 0..65535, and
    // std::runtime_error naming the cause when the file cannot be opened or `ip` is not an address.
    static std::shared_ptr<Log> Init(const std::string& ip, int port, int level, const std::string& sender,
                                     bool file, bool http);

    virtual int level() const = 0;
};
