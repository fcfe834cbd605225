#include "src/event_builder/BuilderConfig.h"

using nlohmann::json;

namespace {

const json& emptyObject() {
    static const json empty = json::object();
    return empty;
}

}  // namespace

BuilderConfig::BuilderConfig(const json& config)
    : reader_(ek::ConfigReader::objectAt(config.is_null() ? emptyObject() : config, "")) {}

bool BuilderConfig::has(const char* key) const {
    return reader_.value().contains(key);
}

void BuilderConfig::refuseNull(const char* key, const char* what) const {
    const auto found = reader_.value().find(key);
    if (found != reader_.value().end() && found->is_null()) {
        reader_.fail(key, ek::ConfigReader::expected(what, *found));
    }
}

int64_t BuilderConfig::integer(const char* key, int64_t fallback) const {
    refuseNull(key, "an integer");
    return reader_.integer<int64_t>(key, fallback);
}

int32_t BuilderConfig::int32(const char* key, int32_t fallback) const {
    refuseNull(key, "an integer");
    return reader_.integer<int32_t>(key, fallback);
}

double BuilderConfig::number(const char* key, double fallback) const {
    refuseNull(key, "a number");
    return reader_.number<double>(key, fallback);
}

bool BuilderConfig::flag(const char* key, bool fallback) const {
    refuseNull(key, "true or false");
    return reader_.boolean(key, fallback);
}

std::string BuilderConfig::text(const char* key, const std::string& fallback) const {
    refuseNull(key, "a string");
    return reader_.text(key, fallback);
}

std::string BuilderConfig::requiredText(const char* key, ek::ConfigReader::TextRule rule) const {
    refuseNull(key, rule == ek::ConfigReader::NonEmpty ? "a non-empty string" : "a string");
    return reader_.requiredText(key, rule);
}

std::vector<std::string> BuilderConfig::requiredTexts(const char* key) const {
    refuseNull(key, "an array of strings");
    const json* value = reader_.find(key);
    if (value != nullptr && value->is_string()) {
        return {value->get<std::string>()};
    }
    return reader_.requiredTexts(key);
}
