#include "qo_common/utils/balance_queue.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "qo_common/utils/CommonUtils.h"

namespace {

double runningMean(double mean, bool& started, double sample) {
    if (!started) {
        started = true;
        return sample;
    }
    return (mean * 9.0 + sample) / 10.0;
}

}  // namespace

uint64_t balance_queue::checkedCapacity(uint64_t capacity) {
    if (capacity == 0) {
        throw std::invalid_argument("balance_queue: capacity must be at least 1");
    }
    return capacity;
}

balance_queue::balance_queue(uint64_t capacity, bool triggered)
    : queue_(checkedCapacity(capacity)), triggered_(triggered) {}

void balance_queue::push(const FrameWithInfoPtr& frame) {
    if (frame && frame->frame && !frame->poison) {
        noteInterval(frame->frame->timestamp);
    }
    queue_.push(frame);
    ++pushed_;
}

FrameWithInfoPtr balance_queue::pop() {
    FrameWithInfoPtr frame = queue_.pop();
    ++popped_;
    if (!frame || frame->poison) {
        return frame;
    }
    if (triggered_) {
        if (frame->skip) {
            frame->skip = false;
        }
    } else if (shouldSkip(queue_.size())) {
        frame->skip = true;
        ++skipped_;
    }
    return frame;
}

void balance_queue::reportProcessTime(double ms) {
    if (!std::isfinite(ms) || ms < 0.0) {
        return;
    }
    std::lock_guard<std::mutex> lock(statsMutex_);
    meanProcessMs_ = runningMean(meanProcessMs_, haveProcess_, ms);
}

std::string balance_queue::getStat() const {
    double process = 0.0;
    double interval = 0.0;
    {
        std::lock_guard<std::mutex> lock(statsMutex_);
        process = meanProcessMs_;
        interval = meanIntervalMs_;
    }
    return "size " + std::to_string(size()) + "/" + std::to_string(capacity()) + ", pushed " +
           std::to_string(pushed_.load()) + ", popped " + std::to_string(popped_.load()) + ", skipped " +
           std::to_string(skipped_.load()) + ", process " + CommonUtils::formatDouble(process, 1) +
           " ms, interval " + CommonUtils::formatDouble(interval, 1) + " ms";
}

void balance_queue::poison(const FrameWithInfoPtr& frame) {
    queue_.poison(frame);
}

void balance_queue::noteInterval(int64_t timestamp) {
    std::lock_guard<std::mutex> lock(statsMutex_);
    if (haveLastTs_ && timestamp > lastPushTs_) {
        meanIntervalMs_ =
            runningMean(meanIntervalMs_, haveInterval_, static_cast<double>(timestamp - lastPushTs_));
    }
    haveLastTs_ = true;
    lastPushTs_ = timestamp;
}

bool balance_queue::shouldSkip(uint64_t waiting) const {
    if (waiting < std::max<uint64_t>(1, capacity() / 2)) {
        return false;
    }
    std::lock_guard<std::mutex> lock(statsMutex_);
    return haveProcess_ && haveInterval_ && meanProcessMs_ > meanIntervalMs_;
}
