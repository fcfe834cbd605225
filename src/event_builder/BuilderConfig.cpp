#include "src/event_builder/BuilderConfig.h"

#include <limits>
#include <utility>

using nlohmann::json;

namespace {

const json& emptyObject() {
    static const json empty = json::object();
    return empty;
}

// Long texts are cut: the message is for a person, not a copy of the configuration.
constexpr size_t kShownChars = 40;

std::string kindOf(const json& value) {
    switch (value.type()) {
        case json::value_t::null:
            return "null";
        case json::value_t::boolean:
            return "boolean";
        case json::value_t::string:
            return "string";
        case json::value_t::array:
            return "array";
        case json::value_t::object:
            return "object";
        case json::value_t::binary:
            return "binary";
        default:
            return "number";
    }
}

}  // namespace

BuilderConfig::Error::Error(std::string path, std::string problem)
    : std::runtime_error(path.empty() ? problem : path + ": " + problem),
      path_(std::move(path)),
      problem_(std::move(problem)) {}

BuilderConfig::Error BuilderConfig::Error::under(const std::string& prefix) const {
    if (path_.empty()) {
        return Error(prefix, problem_);
    }
    return Error(prefix + (path_.front() == '[' ? "" : ".") + path_, problem_);
}

BuilderConfig::BuilderConfig(const json& config) : config_(config.is_null() ? emptyObject() : config) {
    if (!config_.is_object()) {
        refuse("", "an object", config_);
    }
}

const json* BuilderConfig::find(const char* key) const {
    const auto found = config_.find(key);
    return found == config_.end() ? nullptr : &*found;
}

bool BuilderConfig::has(const char* key) const {
    return find(key) != nullptr;
}

int64_t BuilderConfig::integer(const char* key, int64_t fallback) const {
    const json* value = find(key);
    if (!value) {
        return fallback;
    }
    if (value->is_number_unsigned()) {
        const auto big = value->get<uint64_t>();
        if (big > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
            throw Error(key, "out of range, got " + describe(*value));
        }
        return static_cast<int64_t>(big);
    }
    if (!value->is_number_integer()) {
        refuse(key, "an integer", *value);
    }
    return value->get<int64_t>();
}

int32_t BuilderConfig::int32(const char* key, int32_t fallback) const {
    const int64_t value = integer(key, fallback);
    if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max()) {
        throw Error(key, "out of range for a 32-bit integer, got " + std::to_string(value));
    }
    return static_cast<int32_t>(value);
}

double BuilderConfig::number(const char* key, double fallback) const {
    const json* value = find(key);
    if (!value) {
        return fallback;
    }
    if (!value->is_number()) {
        refuse(key, "a number", *value);
    }
    return value->get<double>();
}

bool BuilderConfig::flag(const char* key, bool fallback) const {
    const json* value = find(key);
    if (!value) {
        return fallback;
    }
    if (!value->is_boolean()) {
        refuse(key, "a boolean", *value);
    }
    return value->get<bool>();
}

std::string BuilderConfig::text(const char* key, const std::string& fallback) const {
    const json* value = find(key);
    if (!value) {
        return fallback;
    }
    if (!value->is_string()) {
        refuse(key, "a string", *value);
    }
    return value->get<std::string>();
}

std::string BuilderConfig::requiredText(const char* key) const {
    if (!has(key)) {
        throw Error(key, "required (a string)");
    }
    return text(key, "");
}

std::vector<std::string> BuilderConfig::requiredTexts(const char* key) const {
    const json* value = find(key);
    if (!value) {
        throw Error(key, "required (a list of strings)");
    }
    if (value->is_string()) {
        return {value->get<std::string>()};
    }
    if (!value->is_array()) {
        refuse(key, "a list of strings", *value);
    }
    std::vector<std::string> texts;
    texts.reserve(value->size());
    for (size_t i = 0; i < value->size(); ++i) {
        const json& item = (*value)[i];
        if (!item.is_string()) {
            refuse(std::string(key) + "[" + std::to_string(i) + "]", "a string", item);
        }
        texts.push_back(item.get<std::string>());
    }
    return texts;
}

std::string BuilderConfig::describe(const json& value) {
    const std::string kind = kindOf(value);
    if (value.is_structured() || value.is_null() || value.is_binary()) {
        return kind;
    }
    std::string shown = value.dump(-1, ' ', false, json::error_handler_t::replace);
    if (shown.size() > kShownChars) {
        size_t cut = kShownChars;
        while (cut > 0 && (static_cast<unsigned char>(shown[cut]) & 0xC0) == 0x80) {
            --cut;  // never half a UTF-8 character
        }
        shown = shown.substr(0, cut) + "...";
    }
    return kind + " " + shown;
}

void BuilderConfig::refuse(const std::string& path, const char* expected, const json& got) {
    throw Error(path, std::string("expected ") + expected + ", got " + describe(got));
}
