#pragma once

#include <cstdint>
#include <limits>

// `ts` plus `ms` on the frame clock, saturating: frame timestamps come from outside (streams).
inline int64_t frameTimeAfter(int64_t ts, int64_t ms) {
    int64_t sum = 0;
    if (__builtin_add_overflow(ts, ms, &sum)) {
        return ms > 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
    }
    return sum;
}
