#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <string>

namespace ek {

// A JSON value as an error message may show it: its type, then a rendering cut to about
// `maxChars` characters, e.g. `string "1"`, `number 1e+300`, `array [[[...]]]...`.
//
// Safe on any value, also an untrusted one: containers are shown at most three levels deep and
// only as far as the budget reaches (the JSON library's dump() recurses once per level and copies
// the whole value), and invalid UTF-8 in strings is replaced. Never throws for a value.
std::string briefJson(const nlohmann::json& value, size_t maxChars = 60);

}  // namespace ek
