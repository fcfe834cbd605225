#include "src/BoundedTaskQueue.h"

#include <exception>
#include <utility>

#include "qo_common/logger/log.h"

namespace ek {

BoundedTaskQueue::BoundedTaskQueue(size_t workers, size_t maxWaiting) : maxWaiting_(maxWaiting) {
    workers_.reserve(workers);
    for (size_t i = 0; i < workers; ++i) {
        workers_.emplace_back([this] { work(); });
    }
}

BoundedTaskQueue::~BoundedTaskQueue() {
    shutdown();
}

bool BoundedTaskQueue::tryEnqueue(Job& job) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (shutdown_ || jobs_.size() >= maxWaiting_) {
            return false;
        }
        jobs_.push_back(std::move(job));
    }
    wake_.notify_one();
    return true;
}

void BoundedTaskQueue::shutdown() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        shutdown_ = true;
    }
    wake_.notify_all();
    for (auto& worker : workers_) {
        if (worker.joinable()) {
            worker.join();
        }
    }
}

size_t BoundedTaskQueue::waiting() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return jobs_.size();
}

void BoundedTaskQueue::work() {
    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> guard(mutex_);
            wake_.wait(guard, [this] { return shutdown_ || !jobs_.empty(); });
            if (jobs_.empty()) {
                return;
            }
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        try {
            job();
        } catch (const std::exception& e) {
            ILog::Error("HTTP worker: %s", e.what());
        } catch (...) {
            ILog::Error("HTTP worker: unknown exception");
        }
    }
}

}  // namespace ek
