#include "qo_common/ctc/ctc_math.h"

#include <cmath>
#include <limits>

namespace ctc_math {

namespace {

bool positiveNormal(float v) {
    return v >= std::numeric_limits<float>::min() && v <= std::numeric_limits<float>::max();
}

}  // namespace

void logOf(const float* in, size_t count, float* out) {
    const Vec lowest = splat(std::numeric_limits<float>::min());
    const Vec highest = splat(std::numeric_limits<float>::max());
    IntVec others{};
    size_t i = 0;
    for (; i + kLanes <= count; i += kLanes) {
        const Vec v = load(in + i);
        store(out + i, logPositiveNormal(v));
        others |= ~((v >= lowest) & (v <= highest));
    }
    bool redo = false;
    for (int j = 0; j < kLanes; ++j) {
        redo = redo || others[j] != 0;
    }
    for (; i < count; ++i) {
        out[i] = positiveNormal(in[i]) ? logPositiveNormal(in[i]) : std::log(in[i]);
    }
    if (!redo) {
        return;
    }
    for (i = 0; i < count; ++i) {
        if (!positiveNormal(in[i])) {
            out[i] = std::log(in[i]);
        }
    }
}

}  // namespace ctc_math
