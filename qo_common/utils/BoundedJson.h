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

// Builds the document as the library's plain parser does and refuses nesting beyond the bound as
// it goes. (The library's parser callback could count the depth too, but after every closed object
// it rescans the enclosing container, so a long list of objects parses in quadratic time.)
class DepthBoundedSax {
  public:
    using json = nlohmann::json;

    DepthBoundedSax(json& result, int maxDepth) : dom_(result, true), maxDepth_(maxDepth) {}

    bool tooDeep() const { return tooDeep_; }

    bool null() { return dom_.null(); }
    bool boolean(bool value) { return dom_.boolean(value); }
    bool number_integer(json::number_integer_t value) { return dom_.number_integer(value); }
    bool number_unsigned(json::number_unsigned_t value) { return dom_.number_unsigned(value); }
    bool number_float(json::number_float_t value, const json::string_t& text) {
        return dom_.number_float(value, text);
    }
    bool string(json::string_t& value) { return dom_.string(value); }
    bool binary(json::binary_t& value) { return dom_.binary(value); }
    bool start_object(std::size_t elements) { return enter() && dom_.start_object(elements); }
    bool key(json::string_t& value) { return dom_.key(value); }
    bool end_object() {
        --depth_;
        return dom_.end_object();
    }
    bool start_array(std::size_t elements) { return enter() && dom_.start_array(elements); }
    bool end_array() {
        --depth_;
        return dom_.end_array();
    }
    // Throws the parser's exception, as the plain parser does.
    template <class Exception>
    bool parse_error(std::size_t position, const std::string& token, const Exception& error) {
        return dom_.parse_error(position, token, error);
    }

  private:
    bool enter() {
        if (++depth_ > maxDepth_) {
            tooDeep_ = true;
            return false;
        }
        return true;
    }

    nlohmann::detail::json_sax_dom_parser<json> dom_;
    int maxDepth_;
    int depth_ = 0;
    bool tooDeep_ = false;
};

// Parses `text` or throws std::runtime_error naming `what`: "<what>: nested deeper than 64 levels",
// "<what>: larger than N bytes", or "<what>: not valid JSON: <parser message, cut to 200 bytes>".
// Linear in the size of the text.
inline nlohmann::json parseBoundedJson(std::string_view text, const std::string& what,
                                       JsonBounds bounds = {}) {
    if (text.size() > bounds.maxBytes) {
        throw std::runtime_error(what + ": larger than " + std::to_string(bounds.maxBytes) + " bytes");
    }
    nlohmann::json result;
    DepthBoundedSax sax(result, bounds.maxDepth);
    try {
        if (!nlohmann::json::sax_parse(text, &sax)) {
            throw std::runtime_error(
                what + (sax.tooDeep() ? ": nested deeper than " + std::to_string(bounds.maxDepth) + " levels"
                                      : std::string(": not valid JSON")));
        }
    } catch (const nlohmann::json::exception& e) {
        throw std::runtime_error(what + ": not valid JSON: " + shortParserMessage(e.what()));
    }
    return result;
}

}  // namespace ek
