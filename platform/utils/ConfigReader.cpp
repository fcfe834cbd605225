#include "qo_common/utils/ConfigReader.h"

#include <cmath>

#include "qo_common/utils/JsonBrief.h"

namespace ek {
namespace {

using Json = nlohmann::json;

std::string joinPath(const std::string& prefix, const std::string& rest) {
    if (prefix.empty()) {
        return rest;
    }
    if (rest.empty()) {
        return prefix;
    }
    return rest.front() == '[' ? prefix + rest : prefix + "." + rest;
}

std::string integerRange(int64_t min, int64_t max) {
    constexpr auto lowest = std::numeric_limits<int64_t>::min();
    constexpr auto highest = std::numeric_limits<int64_t>::max();
    if (min == lowest && max == highest) {
        return "an integer";
    }
    if (max == highest) {
        return "an integer of at least " + std::to_string(min);
    }
    if (min == lowest) {
        return "an integer of at most " + std::to_string(max);
    }
    return "an integer from " + std::to_string(min) + " to " + std::to_string(max);
}

std::string decimal(double value) {
    return Json(value).dump();
}

// Limits at or beyond a float's range are no limits worth stating.
std::string numberRange(double min, double max) {
    constexpr double kFloatMax = std::numeric_limits<float>::max();
    const bool noMin = min <= -kFloatMax;
    const bool noMax = max >= kFloatMax;
    if (noMin && noMax) {
        return "a number";
    }
    if (noMax) {
        return "a number of at least " + decimal(min);
    }
    if (noMin) {
        return "a number of at most " + decimal(max);
    }
    return "a number from " + decimal(min) + " to " + decimal(max);
}

}  // namespace

ConfigError::ConfigError(std::string path, std::string problem)
    : std::runtime_error(path.empty() ? problem : path + ": " + problem),
      path_(std::move(path)),
      problem_(std::move(problem)) {}

ConfigError ConfigError::under(const std::string& prefix) const {
    return ConfigError(joinPath(prefix, path_), problem_);
}

ConfigReader::ConfigReader(const Json& value, std::string path) : value_(&value), path_(std::move(path)) {}

ConfigReader ConfigReader::objectAt(const Json& value, std::string path) {
    ConfigReader reader(value, std::move(path));
    reader.requireObject();
    return reader;
}

std::vector<ConfigReader> ConfigReader::elementsOf(const Json& value, const std::string& path) {
    std::vector<ConfigReader> elements;
    if (value.is_null()) {
        return elements;
    }
    if (!value.is_array()) {
        throw ConfigError(path, expected("an array", value));
    }
    elements.reserve(value.size());
    for (size_t i = 0; i < value.size(); ++i) {
        elements.emplace_back(value[i], path + "[" + std::to_string(i) + "]");
    }
    return elements;
}

std::string ConfigReader::pathOf(std::string_view key) const {
    return joinPath(path_, std::string(key));
}

const Json* ConfigReader::find(std::string_view key) const {
    requireObject();
    const auto it = value_->find(key);
    return it == value_->end() || it->is_null() ? nullptr : &*it;
}

bool ConfigReader::has(std::string_view key) const {
    return find(key) != nullptr;
}

bool ConfigReader::boolean(std::string_view key, bool fallback) const {
    const auto* v = find(key);
    if (v == nullptr) {
        return fallback;
    }
    if (!v->is_boolean()) {
        fail(key, expected("true or false", *v));
    }
    return v->get<bool>();
}

bool ConfigReader::flag(std::string_view key, bool fallback) const {
    const auto* v = find(key);
    if (v == nullptr) {
        return fallback;
    }
    if (v->is_boolean()) {
        return v->get<bool>();
    }
    if (v->is_number_integer() && (*v == 0 || *v == 1)) {
        return *v == 1;
    }
    fail(key, expected("true, false, 0 or 1", *v));
}

std::string ConfigReader::text(std::string_view key, const std::string& fallback, TextRule rule) const {
    const auto* v = find(key);
    return v == nullptr ? fallback : checkedText(*v, key, rule);
}

std::string ConfigReader::requiredText(std::string_view key, TextRule rule) const {
    return checkedText(required(key, rule == NonEmpty ? "a non-empty string" : "a string"), key, rule);
}

std::string ConfigReader::choice(std::string_view key, const std::string& fallback,
                                 const std::vector<std::string>& allowed) const {
    const std::string value = text(key, fallback);
    for (const auto& each : allowed) {
        if (value == each) {
            return value;
        }
    }
    std::string list;
    for (const auto& each : allowed) {
        list += (list.empty() ? "\"" : ", \"") + each + "\"";
    }
    const auto* v = find(key);
    // Absent with a fallback outside `allowed`: the caller's mistake, still reported by key.
    fail(key, v != nullptr ? expected("one of " + list, *v) : "missing, expected one of " + list);
}

std::vector<std::string> ConfigReader::texts(std::string_view key, TextRule rule) const {
    const auto* v = find(key);
    return v == nullptr ? std::vector<std::string>() : checkedTexts(*v, key, rule);
}

std::vector<std::string> ConfigReader::requiredTexts(std::string_view key, TextRule rule) const {
    return checkedTexts(required(key, "an array of strings"), key, rule);
}

std::vector<double> ConfigReader::numbers(std::string_view key) const {
    const auto* v = find(key);
    if (v == nullptr) {
        return {};
    }
    if (!v->is_array()) {
        fail(key, expected("an array of numbers", *v));
    }
    std::vector<double> values;
    for (size_t i = 0; i < v->size(); ++i) {
        const Json& element = (*v)[i];
        if (!element.is_number()) {
            fail(std::string(key) + "[" + std::to_string(i) + "]", expected("a number", element));
        }
        values.push_back(element.get<double>());
    }
    return values;
}

ConfigReader ConfigReader::object(std::string_view key) const {
    return objectAt(required(key, "an object"), pathOf(key));
}

std::optional<ConfigReader> ConfigReader::optionalObject(std::string_view key) const {
    const auto* v = find(key);
    if (v == nullptr) {
        return std::nullopt;
    }
    return objectAt(*v, pathOf(key));
}

std::vector<ConfigReader> ConfigReader::elements(std::string_view key) const {
    const auto* v = find(key);
    return v == nullptr ? std::vector<ConfigReader>() : elementsOf(*v, pathOf(key));
}

void ConfigReader::fail(std::string_view key, const std::string& problem) const {
    throw ConfigError(pathOf(key), problem);
}

std::string ConfigReader::expected(const std::string& what, const Json& got) {
    return "expected " + what + ", got " + briefJson(got);
}

const Json& ConfigReader::required(std::string_view key, const char* what) const {
    const auto* v = find(key);
    if (v == nullptr) {
        fail(key, std::string("missing, expected ") + what);
    }
    return *v;
}

void ConfigReader::requireObject() const {
    if (!value_->is_object()) {
        throw ConfigError(path_, expected("an object", *value_));
    }
}

int64_t ConfigReader::checkedInteger(const Json& v, std::string_view key, int64_t min, int64_t max) const {
    if (v.is_number_unsigned()) {
        // Every non-negative integer is held unsigned, 0 included: both bounds apply here too.
        const auto value = v.get<uint64_t>();
        const bool belowMin = min > 0 && value < static_cast<uint64_t>(min);
        const bool aboveMax = max < 0 || value > static_cast<uint64_t>(max);
        if (belowMin || aboveMax) {
            fail(key, expected(integerRange(min, max), v));
        }
        return static_cast<int64_t>(value);
    }
    if (!v.is_number_integer()) {
        fail(key, expected(integerRange(min, max), v));
    }
    const auto value = v.get<int64_t>();
    if (value < min || value > max) {
        fail(key, expected(integerRange(min, max), v));
    }
    return value;
}

double ConfigReader::checkedNumber(const Json& v, std::string_view key, double min, double max) const {
    if (!v.is_number()) {
        fail(key, expected(numberRange(min, max), v));
    }
    const double value = v.get<double>();
    if (!std::isfinite(value) || value < min || value > max) {
        fail(key, expected(numberRange(min, max), v));
    }
    return value;
}

std::string ConfigReader::checkedText(const Json& v, std::string_view key, TextRule rule) const {
    if (!v.is_string() || (rule == NonEmpty && v.get_ref<const std::string&>().empty())) {
        fail(key, expected(rule == NonEmpty ? "a non-empty string" : "a string", v));
    }
    return v.get<std::string>();
}

std::vector<std::string> ConfigReader::checkedTexts(const Json& v, std::string_view key,
                                                    TextRule rule) const {
    if (!v.is_array()) {
        fail(key, expected("an array of strings", v));
    }
    std::vector<std::string> values;
    values.reserve(v.size());
    for (size_t i = 0; i < v.size(); ++i) {
        values.push_back(checkedText(v[i], std::string(key) + "[" + std::to_string(i) + "]", rule));
    }
    return values;
}

}  // namespace ek
