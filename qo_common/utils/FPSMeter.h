#pragma once

#include <cstdint>
#include <mutex>

// Counts calls and gives frames per second over the last completed interval. Thread-safe.
class FPSMeter {
public:
    explicit FPSMeter(int64_t intervalMs = 1000);
    // Counts one frame and returns the current rate.
    double getFps();
    // The current rate without counting.
    double fps() const;

private:
    const int64_t intervalMs_;
    mutable std::mutex mutex_;
    int64_t windowStart_ = 0;
    int64_t count_ = 0;
    double fps_ = 0.0;
};
