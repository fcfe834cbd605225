#pragma once

#include <httplib.h>

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace ek {

// The HTTP server's worker pool: a fixed number of workers and a bounded number of waiting jobs.
// The HTTP library's own pool queues without limit; here a job that finds the waiting list full
// (or the pool shut down) is handed to `refuse` on the enqueuing thread instead, which must
// release whatever the job owns (for a connection: close its socket).
class BoundedTaskQueue : public httplib::TaskQueue {
  public:
    using Job = std::function<void()>;

    BoundedTaskQueue(size_t workers, size_t maxWaiting, std::function<void(Job)> refuse);
    ~BoundedTaskQueue() override;
    BoundedTaskQueue(const BoundedTaskQueue&) = delete;
    BoundedTaskQueue& operator=(const BoundedTaskQueue&) = delete;

    void enqueue(Job job) override;
    // Lets the workers finish the waiting jobs, then joins them. Idempotent.
    void shutdown() override;

    size_t waiting() const;

  private:
    void work();

    const size_t maxWaiting_;
    const std::function<void(Job)> refuse_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> jobs_;
    bool shutdown_ = false;
    std::vector<std::thread> workers_;
};

}  // namespace ek
