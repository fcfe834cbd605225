#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

namespace ek {

// Untrusted JSON (HTTP bodies, configuration, catalog and syntax files) is parsed through these
// bounds: the JSON library parses iteratively but copies, compares and dumps recursively, so a
// document nested tens of thousands of levels deep would overflow a thread's stack later on.
struct JsonBounds {
    int maxDepth = 64;
    size_t maxBytes = 16 * 1024 * 1024;
};

// The parser's message quotes what it last read, which may be most of the document: only its first
// `limit` bytes are kept (never splitting a UTF-8 sequence).
inline std::string shortParserMessage(const std::string& message, size_t limit = 200) {
    if (message.size() <= limit) {
        return message;
    }
    size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(message[cut]) & 0xC0) == 0x80) {
        --cut;
    }
    return message.substr(0, cut) + "...";
}

// Parses `text` or throws std::runtime_error naming `what`: "<what>: nested deeper than 64 levels",
// "<what>: larger than N bytes", or "<what>: not valid JSON: <parser message, cut to 200 bytes>".
inline nlohmann::json parseBoundedJson(std::string_view text, const std::string& what,
                                       JsonBounds bounds = {}) {
    if (text.size() > bounds.maxBytes) {
        throw std::runtime_error(what + ": larger than " + std::to_string(bounds.maxBytes) + " bytes");
    }
    bool tooDeep = false;
    const auto depthGuard = [&](int depth, nlohmann::json::parse_event_t event, nlohmann::json&) {
        const bool opens = event == nlohmann::json::parse_event_t::object_start ||
                           event == nlohmann::json::parse_event_t::array_start;
        // The callback sees the depth outside the container being opened.
        if (opens && depth >= bounds.maxDepth) {
            tooDeep = true;
            throw std::runtime_error("depth");
        }
        return true;
    };
    try {
        return nlohmann::json::parse(text, depthGuard);
    } catch (const nlohmann::json::exception& e) {
        throw std::runtime_error(what + ": not valid JSON: " + shortParserMessage(e.what()));
    } catch (const std::runtime_error&) {
        if (tooDeep) {
            throw std::runtime_error(what + ": nested deeper than " + std::to_string(bounds.maxDepth) +
                                     " levels");
        }
        throw;
    }
}

}  // namespace ek
