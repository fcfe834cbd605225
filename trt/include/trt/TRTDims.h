#pragma once

#include <cstdint>
#include <string>

// A tensor shape in the form TensorRT hands it out: a count and up to eight extents.
struct TRTDims {
    static constexpr int MAX_DIMS = 8;
    int32_t nbDims = 0;
    int64_t d[MAX_DIMS] = {};

    // Product of the extents from `first` on (1 when there are none).
    int64_t volume(int first = 0) const {
        int64_t v = 1;
        for (int i = first; i < nbDims; ++i) {
            v *= d[i];
        }
        return v;
    }

    // "[1x32x128]"
    std::string toString() const {
        std::string text = "[";
        for (int i = 0; i < nbDims; ++i) {
            text += (i ? "x" : "") + std::to_string(d[i]);
        }
        return text + "]";
    }
};
