#pragma once

namespace ek {

// QEVA protocol versions.
enum class Protocols : int {
    Version1_3 = 103,
    Version1_4 = 104,
    Version1_5 = 105,
    Version2_3 = 203,
    Version2_4 = 204,
    Latest = 204,
};

}  // namespace ek
