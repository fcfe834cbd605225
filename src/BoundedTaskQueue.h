#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace ek {

// The HTTP server's worker pool: a fixed number of workers and a bounded number of waiting jobs.
// A job that finds the waiting list full (or the pool shut down) is refused: tryEnqueue returns
// false and the job stays with the caller.
class BoundedTaskQueue {
  public:
    using Job = std::function<void()>;

    BoundedTaskQueue(size_t workers, size_t maxWaiting);
    ~BoundedTaskQueue();
    BoundedTaskQueue(const BoundedTaskQueue&) = delete;
    BoundedTaskQueue& operator=(const BoundedTaskQueue&) = delete;

    // Moves the job in and returns true, or leaves it untouched and returns false.
    bool tryEnqueue(Job& job);
    // Lets the workers finish the waiting jobs, then joins them. Idempotent.
    void shutdown();

    size_t waiting() const;

  private:
    void work();

    const size_t maxWaiting_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> jobs_;
    bool shutdown_ = false;
    std::vector<std::thread> workers_;
};

}  // namespace ek
