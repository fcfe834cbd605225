#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

#include "qo_common/utils/ConfigReader.h"

// Reads the keys of one "eventbuilders" element through ek::ConfigReader. Every error names the key
// it is about; the loader puts the element in front, so the operator reads e.g.
//   eventbuilders[1].laneId: expected an integer from -2147483648 to 2147483647, got string "2"
// Two rules differ from the rest of the configuration and are kept here: a key present with null
// is an error, never its fallback, and a single text counts as a list of one.
class BuilderConfig {
  public:
    using Error = ek::ConfigError;

    // `config` must outlive the reader. A null element counts as an empty object; any other
    // value that is not an object throws Error.
    explicit BuilderConfig(const nlohmann::json& config);

    // Present, null included.
    bool has(const char* key) const;
    int64_t integer(const char* key, int64_t fallback) const;
    // An integer that must fit 32 bits.
    int32_t int32(const char* key, int32_t fallback) const;
    double number(const char* key, double fallback) const;
    bool flag(const char* key, bool fallback) const;
    std::string text(const char* key, const std::string& fallback) const;
    std::string requiredText(const char* key,
                             ek::ConfigReader::TextRule rule = ek::ConfigReader::AnyText) const;
    // A list of texts, required; a single text counts as a list of one.
    std::vector<std::string> requiredTexts(const char* key) const;

  private:
    // Throws "<key>: expected <what>, got null" for a key present with null.
    void refuseNull(const char* key, const char* what) const;

    ek::ConfigReader reader_;
};
