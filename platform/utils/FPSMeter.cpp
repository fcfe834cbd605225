#include "qo_common/utils/FPSMeter.h"

#include <chrono>
#include <stdexcept>
#include <string>

FPSMeter::FPSMeter(int64_t intervalMs) : intervalMs_(intervalMs) {
    if (intervalMs <= 0) {
        throw std::invalid_argument("FPSMeter: interval must be positive, got " + std::to_string(intervalMs));
    }
}

double FPSMeter::getFps() {
    using namespace std::chrono;
    return getFps(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

double FPSMeter::getFps(int64_t nowMs) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!started_) {
        started_ = true;
        windowStart_ = nowMs;
        return fps_;
    }
    ++count_;
    int64_t elapsed = nowMs - windowStart_;
    if (elapsed >= intervalMs_) {
        fps_ = static_cast<double>(count_) * 1000.0 / static_cast<double>(elapsed);
        windowStart_ = nowMs;
        count_ = 0;
    }
    return fps_;
}

double FPSMeter::fps() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return fps_;
}
