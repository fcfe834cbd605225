#pragma once

#include <nlohmann/json.hpp>

#include <atomic>
#include <cstdint>

namespace ek {

// Counters of every trigger outcome. Each counter is its own atomic; json() is a snapshot without
// a common lock, so its figures may be a few increments apart under load.
struct TriggerStatistics {
    std::atomic<int64_t> received{0};
    std::atomic<int64_t> accepted{0};
    std::atomic<int64_t> droppedNoCameras{0};
    std::atomic<int64_t> droppedDuplicate{0};
    std::atomic<int64_t> droppedQueueOverflow{0};
    std::atomic<int64_t> droppedThreadLimit{0};
    std::atomic<int64_t> droppedNoBuilder{0};
    // Milliseconds of the system clock; 0 = no trigger yet.
    std::atomic<int64_t> firstTriggerTs{0};
    std::atomic<int64_t> lastTriggerTs{0};

    // Counts one trigger handed to intake and notes its time.
    void onReceived();
    // The "triggers" object of the status document.
    nlohmann::json json() const;
};

}  // namespace ek
