#pragma once

#include <cstdint>
#include <mutex>

// Counts calls and gives frames per second over the last completed interval. Thread-safe.
// The first call opens the first interval; an interval closes at the first call at least
// `intervalMs` after it opened, and that call opens the next one.
class FPSMeter {
  public:
    // Throws std::invalid_argument for an interval that is not positive.
    explicit FPSMeter(int64_t intervalMs = 1000);
    // Counts one frame and returns the current rate (0 until the first interval has closed).
    double getFps();
    // The same for a frame seen at `nowMs` on a monotonic millisecond clock (the steady clock for
    // getFps()); times must not go backwards.
    double getFps(int64_t nowMs);
    // The current rate without counting.
    double fps() const;

  private:
    const int64_t intervalMs_;
    mutable std::mutex mutex_;
    bool started_ = false;
    int64_t windowStart_ = 0;
    int64_t count_ = 0;
    double fps_ = 0.0;
};
