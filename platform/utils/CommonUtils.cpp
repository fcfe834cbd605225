#include "qo_common/utils/CommonUtils.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <random>
#include <stdexcept>
#include <system_error>

namespace {

constexpr const char* kBlanks = " \t\r\n\f\v";
constexpr size_t kMaxTimeText = 1 << 20;

// "%ms" becomes the three milliseconds digits; "%%" is kept as it is so "%%ms" stays literal.
std::string expandMilliseconds(const std::string& pattern, int milliseconds) {
    char digits[4];
    std::snprintf(digits, sizeof(digits), "%03d", milliseconds);
    std::string out;
    out.reserve(pattern.size());
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == '%' && i + 1 < pattern.size() && pattern[i + 1] == '%') {
            out += "%%";
            ++i;
        } else if (pattern.compare(i, 3, "%ms") == 0) {
            out += digits;
            i += 2;
        } else {
            out += pattern[i];
        }
    }
    return out;
}

std::string strftimeWhole(const std::string& pattern, const std::tm& tm) {
    // The trailing blank makes an empty result distinguishable from a buffer too small.
    const std::string withSentinel = pattern + " ";
    std::string buffer(std::max<size_t>(64, withSentinel.size() * 4), '\0');
    for (;;) {
        size_t written = std::strftime(buffer.data(), buffer.size(), withSentinel.c_str(), &tm);
        if (written > 0) {
            buffer.resize(written - 1);
            return buffer;
        }
        if (buffer.size() > kMaxTimeText) {
            throw std::runtime_error("CommonUtils::format: time text too long for pattern '" + pattern + "'");
        }
        buffer.resize(buffer.size() * 2);
    }
}

uint64_t fnv1a(const std::string& text) {
    uint64_t hash = 0xcbf29ce484222325ULL;
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 0x100000001b3ULL;
    }
    return hash;
}

}  // namespace

int64_t CommonUtils::getTs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::string CommonUtils::genGuid() {
    thread_local std::mt19937_64 engine{std::random_device{}()};
    uint64_t high = engine();
    uint64_t low = engine();
    high = (high & ~0xF000ULL) | 0x4000ULL;                // version 4
    low = (low & ~(0xC000ULL << 48)) | (0x8000ULL << 48);  // variant 10xx
    char text[37];
    std::snprintf(text, sizeof(text), "%08llx-%04llx-%04llx-%04llx-%012llx",
                  static_cast<unsigned long long>(high >> 32),
                  static_cast<unsigned long long>((high >> 16) & 0xFFFF),
                  static_cast<unsigned long long>(high & 0xFFFF), static_cast<unsigned long long>(low >> 48),
                  static_cast<unsigned long long>(low & 0xFFFFFFFFFFFFULL));
    return text;
}

std::string CommonUtils::format(int64_t ms, const std::string& pattern) {
    int64_t seconds = ms / 1000;
    int64_t millis = ms % 1000;
    if (millis < 0) {  // floor for times before the epoch
        millis += 1000;
        --seconds;
    }
    std::time_t time = static_cast<std::time_t>(seconds);
    std::tm tm{};
    localtime_r(&time, &tm);
    return strftimeWhole(expandMilliseconds(pattern, static_cast<int>(millis)), tm);
}

std::string CommonUtils::formatDouble(double value, int digits) {
    digits = std::clamp(digits, 0, 17);
    std::string buffer(32, '\0');
    for (;;) {
        auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                    std::chars_format::fixed, digits);
        if (result.ec == std::errc()) {
            buffer.resize(static_cast<size_t>(result.ptr - buffer.data()));
            return buffer;
        }
        buffer.resize(buffer.size() * 2);
    }
}

std::vector<std::string> CommonUtils::split(const std::string& text, const std::string& separator) {
    if (separator.empty()) {
        return {text};
    }
    std::vector<std::string> pieces;
    size_t start = 0;
    for (size_t found = text.find(separator); found != std::string::npos;
         found = text.find(separator, start)) {
        pieces.push_back(text.substr(start, found - start));
        start = found + separator.size();
    }
    pieces.push_back(text.substr(start));
    return pieces;
}

std::string CommonUtils::trim(const std::string& text) {
    size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string::npos) {
        return {};
    }
    size_t last = text.find_last_not_of(kBlanks);
    return text.substr(first, last - first + 1);
}

std::string CommonUtils::replace(const std::string& text, const std::string& from, const std::string& to) {
    if (from.empty()) {
        return text;
    }
    std::string out;
    out.reserve(text.size());
    size_t start = 0;
    for (size_t found = text.find(from); found != std::string::npos; found = text.find(from, start)) {
        out.append(text, start, found - start);
        out += to;
        start = found + from.size();
    }
    out.append(text, start, std::string::npos);
    return out;
}

std::string CommonUtils::joinPath(const std::string& dir, const std::string& name) {
    if (dir.empty()) {
        return name;
    }
    if (name.empty()) {
        return dir;
    }
    bool dirSlash = dir.back() == '/';
    bool nameSlash = name.front() == '/';
    if (dirSlash && nameSlash) {
        return dir + name.substr(1);
    }
    if (dirSlash || nameSlash) {
        return dir + name;
    }
    return dir + "/" + name;
}

std::string CommonUtils::pathToId(const std::string& path) {
    constexpr size_t kMaxReadable = 96;
    std::string readable;
    readable.reserve(path.size());
    for (unsigned char c : path) {
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                     c == '-' || c == '_';
        readable += plain ? static_cast<char>(c) : '_';
    }
    if (readable.size() > kMaxReadable) {
        readable.erase(0, readable.size() - kMaxReadable);
    }
    char hash[17];
    std::snprintf(hash, sizeof(hash), "%016llx", static_cast<unsigned long long>(fnv1a(path)));
    return readable + "_" + hash;
}

size_t CommonUtils::cleanupListThreads(std::vector<std::future<void>>& threads) {
    std::erase_if(threads, [](const std::future<void>& f) {
        return !f.valid() || f.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
    });
    return threads.size();
}
