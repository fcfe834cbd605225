#pragma once

namespace ek {

// How a text matched the watch list; "Multiply": more than one record matched that way.
enum class WatchlistMatchType : int {
    ExactUnique = 0,
    ExactMultiply = 1,
    AmbigueUnique = 2,
    AmbigueMultiply = 3,
    CorrectionUnique = 4,
    CorrectionMultiply = 5,
    NotFound = 6,
};

}  // namespace ek
