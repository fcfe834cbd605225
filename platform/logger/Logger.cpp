#include "Logger.h"

#include <arpa/inet.h>

#include <exception>
#include <mutex>
#include <stdexcept>

#include "FileSink.h"
#include "HttpSink.h"
#include "StderrSink.h"
#include "UdpSink.h"

Logger::Logger(const Options& options) : level_(options.level), sender_(options.sender) {
    if (options.port < 0 || options.port > 65535) {
        throw std::invalid_argument("Log server port out of range: " + std::to_string(options.port));
    }
    if (options.file) {
        sinks_.push_back(std::make_unique<FileSink>(options.filePath));
    }
    if (!options.ip.empty() && options.port != 0) {
        in_addr address{};
        if (inet_pton(AF_INET, options.ip.c_str(), &address) != 1) {
            throw std::runtime_error("Log server address is not an IPv4 address: '" + options.ip + "'");
        }
        if (options.http) {
            sinks_.push_back(std::make_unique<HttpSink>(options.ip, options.port));
        } else {
            sinks_.push_back(std::make_unique<UdpSink>(options.ip, options.port));
        }
    }
    if (sinks_.empty()) {
        sinks_.push_back(std::make_unique<StderrSink>());
    }
}

const char* Logger::levelName(int level) {
    switch (level) {
        case LevelError:
            return "Error";
        case LevelWarning:
            return "Warning";
        case LevelInfo:
            return "Info";
        case LevelDebug:
            return "Debug";
        default:
            return "Level?";
    }
}

std::string Logger::line(const std::string& message, int level) const {
    return GetCurTimeString() + " [" + levelName(level) + "] " + sender_ + ": " + message;
}

bool Logger::SendLog(const std::string& message, int level, int /*reserved*/) {
    if (level > level_) {
        return true;
    }
    try {
        const std::string text = line(message, level);
        std::lock_guard<std::mutex> lock(mutexMessage);
        bool delivered = true;
        for (auto& sink : sinks_) {
            delivered = sink->write(text) && delivered;
        }
        return delivered;
    } catch (const std::exception&) {
        // Out of memory or a clock that cannot be read: the message is lost, and counted.
        ++failedFormatting_;
        return false;
    }
}

void Logger::PostMessage() {
    for (auto& sink : sinks_) {
        sink->flush();
    }
}

uint64_t Logger::failedSends() const {
    uint64_t total = failedFormatting_.load();
    for (const auto& sink : sinks_) {
        total += sink->failures();
    }
    return total;
}
