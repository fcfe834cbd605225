#include "src/monitoring/ProcessMemory.h"

#include <charconv>
#include <fstream>
#include <string_view>
#include <utility>

#include "qo_common/logger/log.h"

namespace ek {
namespace {

// The number after `prefix` at the start of `line`, blanks skipped; false when the line has
// another prefix or no number in range of T follows.
template <typename T>
bool readField(std::string_view line, std::string_view prefix, T& value) {
    if (line.substr(0, prefix.size()) != prefix) {
        return false;
    }
    line.remove_prefix(prefix.size());
    const auto digits = line.find_first_not_of(" \t");
    if (digits == std::string_view::npos) {
        return true;
    }
    T parsed{};
    const auto result = std::from_chars(line.data() + digits, line.data() + line.size(), parsed);
    if (result.ec == std::errc()) {
        value = parsed;
    }
    return true;
}

int64_t megabytes(int64_t kilobytes) {
    return kilobytes / 1024;
}

}  // namespace

ProcessMemory ProcessMemory::parse(std::istream& status) {
    ProcessMemory memory;
    const std::pair<std::string_view, int64_t*> kilobyteFields[] = {
        {"VmRSS:", &memory.vmRss},     {"VmHWM:", &memory.vmHwm},   {"RssAnon:", &memory.rssAnon},
        {"RssFile:", &memory.rssFile}, {"VmSize:", &memory.vmSize}, {"VmData:", &memory.vmData},
        {"VmSwap:", &memory.vmSwap},
    };
    std::string line;
    while (std::getline(status, line)) {
        bool known = false;
        for (const auto& [prefix, field] : kilobyteFields) {
            known = known || readField(line, prefix, *field);
        }
        if (!known) {
            readField(line, "Threads:", memory.threads);
        }
    }
    return memory;
}

ProcessMemory ProcessMemory::read(const std::string& path) {
    std::ifstream file(path);
    if (!file) {
        return ProcessMemory{};
    }
    return parse(file);
}

std::string ProcessMemory::line(int64_t liveFrames) const {
    return ILog::StringFormat(
        "Memory stat: VmRSS=%ld MB, VmHWM=%ld MB, RssAnon=%ld MB, RssFile=%ld MB, VmSize=%ld MB, VmData=%ld "
        "MB, "
        "VmSwap=%ld MB, Threads=%d, Frames=%ld",
        static_cast<long>(megabytes(vmRss)), static_cast<long>(megabytes(vmHwm)),
        static_cast<long>(megabytes(rssAnon)), static_cast<long>(megabytes(rssFile)),
        static_cast<long>(megabytes(vmSize)), static_cast<long>(megabytes(vmData)),
        static_cast<long>(megabytes(vmSwap)), threads, static_cast<long>(liveFrames));
}

}  // namespace ek
