#pragma once

#include <atomic>
#include <cstdint>

namespace ek {

// Written by the producer of one source alone; read by the statistics thread.
struct ProducerStatistics {
    // Running mean of frame age at the producer, milliseconds.
    std::atomic<int64_t> avgLatency{0};
};

}  // namespace ek
