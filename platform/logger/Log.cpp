#include "qo_common/logger/Log.h"

#include "Logger.h"

std::shared_ptr<Log> Log::Init(const std::string& ip, int port, int level, const std::string& sender,
                               bool file, bool http) {
    Logger::Options options;
    options.ip = ip;
    options.port = port;
    options.level = level;
    options.sender = sender;
    options.file = file;
    options.http = http;
    auto logger = std::make_shared<Logger>(options);
    ILog::instance = logger;
    return logger;
}
