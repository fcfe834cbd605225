#pragma once

#include <cstdint>
#include <string>

class EventBuilderUtils {
public:
    // True when `reading` counts as `plate` at distance 0: one contains the other and the shorter
    // is at least `minSubstringDist` characters long.
    static bool isSubstring(const std::string& plate, const std::string& reading, int minSubstringDist);
    static uint64_t levensteinDistance(const std::string& a, const std::string& b);
};
