#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

// Bounded FIFO between pipeline stages. A writer waits while the queue is full; a stop is
// delivered as one poison item, after which pushes are dropped. Notifications are made after
// the mutex is released.
template <typename T>
class blocking_queue {
  public:
    explicit blocking_queue(uint64_t capacity) : _capacity(capacity) {}
    virtual ~blocking_queue() = default;
    blocking_queue(const blocking_queue&) = delete;
    blocking_queue& operator=(const blocking_queue&) = delete;

    // Waits while full; drops the item once the queue is poisoned.
    virtual void push(const T& item) {
        bool refused = false;
        {
            std::unique_lock<std::mutex> lock(_mutex);
            _not_full.wait(lock, [this] { return _queue.size() < _capacity || _is_poisoned; });
            if (!_is_poisoned) {
                _queue.push_back(item);
            } else {
                refused = true;
            }
        }
        _not_empty.notify_all();
        if (refused) {
            dropped(item);
        }
    }

    // Waits while empty. The poison item is returned like any other. The item is moved out: the
    // caller gets the one stored copy (for QEVAPair, records of its own) without a second copy.
    virtual T pop() {
        T item;
        {
            std::unique_lock<std::mutex> lock(_mutex);
            _not_empty.wait(lock, [this] { return !_queue.empty(); });
            item = std::move(_queue.front());
            _queue.pop_front();
        }
        _not_full.notify_one();
        return item;
    }

    // As pop, but gives nothing once `timeout` has passed with the queue empty.
    std::optional<T> popFor(std::chrono::milliseconds timeout) {
        std::optional<T> item;
        {
            std::unique_lock<std::mutex> lock(_mutex);
            if (!_not_empty.wait_for(lock, timeout, [this] { return !_queue.empty(); })) {
                return item;
            }
            item.emplace(std::move(_queue.front()));
            _queue.pop_front();
        }
        _not_full.notify_one();
        return item;
    }

    // As push, but gives up at `deadline` while the queue is still full; false then. True when the
    // item was stored or dropped by the poisoning.
    bool pushUntil(const T& item, std::chrono::steady_clock::time_point deadline) {
        bool refused = false;
        {
            std::unique_lock<std::mutex> lock(_mutex);
            if (!_not_full.wait_until(lock, deadline,
                                      [this] { return _queue.size() < _capacity || _is_poisoned; })) {
                return false;
            }
            if (!_is_poisoned) {
                _queue.push_back(item);
            } else {
                refused = true;
            }
        }
        _not_empty.notify_all();
        if (refused) {
            dropped(item);
        }
        return true;
    }

    // Takes every queued item out (oldest first), leaves only the poison item and wakes everyone.
    virtual std::vector<T> poison(const T& item) {
        std::vector<T> drained;
        {
            std::lock_guard<std::mutex> lock(_mutex);
            drained.reserve(_queue.size());
            while (!_queue.empty()) {
                drained.push_back(_queue.front());
                _queue.pop_front();
            }
            _queue.push_back(item);
            _is_poisoned = true;
        }
        _not_empty.notify_all();
        _not_full.notify_all();
        return drained;
    }

    uint64_t size() const {
        std::lock_guard<std::mutex> lock(_mutex);
        return _queue.size();
    }
    uint64_t capacity() const { return _capacity; }
    bool poisoned() const {
        std::lock_guard<std::mutex> lock(_mutex);
        return _is_poisoned;
    }

  protected:
    // Poisons without discarding: the items queued so far are still popped before the poison item.
    void poisonBehindQueued(const T& item) {
        {
            std::lock_guard<std::mutex> lock(_mutex);
            _queue.push_back(item);
            _is_poisoned = true;
        }
        _not_empty.notify_all();
        _not_full.notify_all();
    }
    // Called, without the lock, for each item that `push` drops because the queue is poisoned.
    virtual void dropped(const T& item) { (void)item; }

  private:
    const uint64_t _capacity;
    std::deque<T> _queue;
    std::condition_variable _not_full;
    std::condition_variable _not_empty;
    mutable std::mutex _mutex;
    bool _is_poisoned = false;
};
