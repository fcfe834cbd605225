#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace ek {

// A configuration value that cannot be used. what() is "<path>: <problem>", for example
// `sources[0].id: expected an integer, got string "1"`.
class ConfigError : public std::runtime_error {
  public:
    ConfigError(std::string path, std::string problem);
    const std::string& path() const noexcept { return path_; }
    const std::string& problem() const noexcept { return problem_; }
    // The same error seen from the enclosing value: under("networks[2]") turns
    // "model.cfg: ..." into "networks[2].model.cfg: ...".
    ConfigError under(const std::string& prefix) const;

  private:
    std::string path_;
    std::string problem_;
};

// Typed, range-checked reading of one configuration object, whose errors name the key's path.
//
// Every getter takes a key of the object. An absent key, or one whose value is null, gives the
// fallback (or, for the required getters, "<path>.<key>: missing, expected ..."). A present value
// of the wrong type or out of range throws ConfigError; numbers are checked before conversion, so
// nothing is narrowed, and an integer key refuses a fraction (8080.5) and a float (1e300).
//
// How to adopt it in a loader (the event builders' loader, for example):
//   for (const auto& element : ConfigReader::elementsOf(eventbuilders, "eventbuilders")) {
//       const auto entry = ConfigReader::objectAt(element.value(), element.path());
//       const auto name = entry.requiredText("name", ConfigReader::NonEmpty);
//       const auto pre = entry.integer<int>("pre", 0, 0, 1000);   // "eventbuilders[1].pre: ..."
//       const auto dests = entry.texts("destinations");             // each element checked
//       const ConfigReader settings = entry.object("settings");     // "eventbuilders[1].settings"
//       const auto rate = settings.number<float>("lpConfidenceVariance", 0.1f, 0.f, 1.f);
//   }
// A reader built without a path (a component or a builder handed its object) names keys from
// that object; the caller that knows where the object sits adds the prefix:
//   try { make(entry.value()); } catch (const ConfigError& e) { throw e.under(entry.path()); }
//
// The reader keeps a reference to the JSON value, which must outlive it: never build one on a
// temporary. Reading is const and never modifies the value.
class ConfigReader {
  public:
    enum TextRule { AnyText, NonEmpty };

    // Reads `value` (any JSON value; the getters require an object) known as `path`.
    explicit ConfigReader(const nlohmann::json& value, std::string path = "");
    // A reader of `value`, which must be an object: "<path>: expected an object, got ...".
    static ConfigReader objectAt(const nlohmann::json& value, std::string path);
    // The elements of a configuration array known as `path`: null counts as an empty array (an
    // absent array is null); anything else that is not an array, {} included, throws
    // "<path>: expected an array, got ...". Element i is known as "<path>[i]".
    static std::vector<ConfigReader> elementsOf(const nlohmann::json& value, const std::string& path);

    const nlohmann::json& value() const { return *value_; }
    const std::string& path() const { return path_; }
    // "<path>.<key>", or the key alone at the root.
    std::string pathOf(std::string_view key) const;
    // Present and not null.
    bool has(std::string_view key) const;
    // The value under `key`, or nullptr when it is absent or null.
    const nlohmann::json* find(std::string_view key) const;

    bool boolean(std::string_view key, bool fallback) const;
    // true/false, or the integers 0 and 1.
    bool flag(std::string_view key, bool fallback) const;

    template <typename Int>
    Int integer(std::string_view key, Int fallback, Int min = std::numeric_limits<Int>::min(),
                Int max = std::numeric_limits<Int>::max()) const {
        static_assert(std::is_integral_v<Int> && sizeof(Int) <= sizeof(int64_t));
        const auto* v = find(key);
        return v == nullptr ? fallback : static_cast<Int>(checkedInteger(*v, key, bound(min), bound(max)));
    }
    template <typename Int>
    Int requiredInteger(std::string_view key, Int min = std::numeric_limits<Int>::min(),
                        Int max = std::numeric_limits<Int>::max()) const {
        return static_cast<Int>(checkedInteger(required(key, "an integer"), key, bound(min), bound(max)));
    }

    template <typename Real>
    Real number(std::string_view key, Real fallback, Real min = std::numeric_limits<Real>::lowest(),
                Real max = std::numeric_limits<Real>::max()) const {
        static_assert(std::is_floating_point_v<Real>);
        const auto* v = find(key);
        return v == nullptr ? fallback
                            : static_cast<Real>(
                                  checkedNumber(*v, key, static_cast<double>(min), static_cast<double>(max)));
    }

    std::string text(std::string_view key, const std::string& fallback, TextRule rule = AnyText) const;
    std::string requiredText(std::string_view key, TextRule rule = AnyText) const;
    // A text that must be one of `allowed`.
    std::string choice(std::string_view key, const std::string& fallback,
                       const std::vector<std::string>& allowed) const;
    // An array of texts; absent or null: empty.
    std::vector<std::string> texts(std::string_view key, TextRule rule = AnyText) const;
    std::vector<std::string> requiredTexts(std::string_view key, TextRule rule = AnyText) const;
    // An array of numbers; absent or null: empty.
    std::vector<double> numbers(std::string_view key) const;

    // The object under `key`, read with the path "<path>.<key>".
    ConfigReader object(std::string_view key) const;
    std::optional<ConfigReader> optionalObject(std::string_view key) const;
    // The elements of the array under `key` (absent or null: none), as elementsOf.
    std::vector<ConfigReader> elements(std::string_view key) const;

    // Throws ConfigError for "<path>.<key>" (or "<path>" for an empty key).
    [[noreturn]] void fail(std::string_view key, const std::string& problem) const;

    // "expected <what>, got <brief value>".
    static std::string expected(const std::string& what, const nlohmann::json& got);

  private:
    template <typename Int>
    static int64_t bound(Int limit) {
        if constexpr (std::is_unsigned_v<Int> && sizeof(Int) == sizeof(int64_t)) {
            return limit > static_cast<Int>(std::numeric_limits<int64_t>::max())
                       ? std::numeric_limits<int64_t>::max()
                       : static_cast<int64_t>(limit);
        } else {
            return static_cast<int64_t>(limit);
        }
    }
    const nlohmann::json& required(std::string_view key, const char* what) const;
    void requireObject() const;
    int64_t checkedInteger(const nlohmann::json& v, std::string_view key, int64_t min, int64_t max) const;
    double checkedNumber(const nlohmann::json& v, std::string_view key, double min, double max) const;
    std::string checkedText(const nlohmann::json& v, std::string_view key, TextRule rule) const;
    std::vector<std::string> checkedTexts(const nlohmann::json& v, std::string_view key, TextRule rule) const;

    const nlohmann::json* value_;
    std::string path_;
};

}  // namespace ek
