#pragma once

#include <vector>

// The input tensor shape of one inferer (batch first); each call wraps its own input in it, so
// calls need no lock of their own.
struct TRTBuffers {
    std::vector<int> inputShape;
};
