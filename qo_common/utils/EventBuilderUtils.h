#pragma once

#include <cstdint>
#include <string>

// Text comparisons of plate readings. Texts are compared by UTF-8 code point, so a non-Latin
// letter counts as one character.
class EventBuilderUtils {
  public:
    // True when `reading` counts as `plate` at distance 0: one contains the other and the shorter
    // is at least `minSubstringDist` characters long. An empty text never counts, whatever the
    // minimum.
    static bool isSubstring(const std::string& plate, const std::string& reading, int minSubstringDist);
    // Edit distance (insertions, deletions, substitutions of one character each); 0 for equal texts.
    static uint64_t levensteinDistance(const std::string& a, const std::string& b);
};
