#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

// The networks of one loaded model, one per thread that forwards at the same time: a network
// object (cv::dnn::Net) must not run two forwards at once, but separate objects of one model can.
//
// `acquire` hands out an idle network, makes one more with the factory while fewer than `bound`
// exist, and otherwise waits for one to come back. The bound follows the number of users that may
// forward at once (the networks that hold the model); lowering it frees idle networks at once and
// busy ones when they come back. Networks are made on demand, outside the pool's lock, so a slow
// load does not hold up callers that find an idle one.
//
// Threads: every member may be called from any thread. Leases must be given back (dropped) before
// the pool is destroyed.
template <typename Net>
class NetPool {
  public:
    using Factory = std::function<Net()>;

    class Lease {
      public:
        Lease(Lease&& other) noexcept : pool(std::exchange(other.pool, nullptr)), net(std::move(other.net)) {}
        Lease& operator=(Lease&&) = delete;
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        ~Lease() {
            if (pool) {
                pool->giveBack(std::move(net));
            }
        }
        Net& operator*() { return *net; }
        Net* operator->() { return net.get(); }

      private:
        friend class NetPool;
        Lease(NetPool* owner, std::unique_ptr<Net> n) : pool(owner), net(std::move(n)) {}
        NetPool* pool;
        std::unique_ptr<Net> net;
    };

    // `first`: a network already made (and warmed) by the loader; the factory makes the others.
    NetPool(Factory factory, Net first, size_t bound = 1)
        : make(std::move(factory)), limit(std::max<size_t>(1, bound)) {
        idle.push_back(counted(std::move(first)));
        made = 1;
    }
    NetPool(const NetPool&) = delete;
    NetPool& operator=(const NetPool&) = delete;
    ~NetPool() {
        std::lock_guard lock(mutex);
        live -= idle.size();
    }

    // An idle network, a new one, or (at the bound) the next one given back. A failing factory
    // throws its exception to this caller and leaves the pool as it was.
    Lease acquire() {
        std::unique_lock lock(mutex);
        ++waiters;
        changed.wait(lock, [&] { return !idle.empty() || made < limit; });
        --waiters;
        if (!idle.empty()) {
            auto net = std::move(idle.back());
            idle.pop_back();
            return Lease(this, std::move(net));
        }
        ++made;  // reserved: concurrent callers do not overshoot the bound while this one loads
        lock.unlock();
        try {
            auto net = counted(make());
            return Lease(this, std::move(net));
        } catch (...) {
            lock.lock();
            --made;
            changed.notify_one();
            throw;
        }
    }

    void setBound(size_t bound) {
        std::lock_guard lock(mutex);
        limit = std::max<size_t>(1, bound);
        while (made > limit && !idle.empty()) {
            idle.pop_back();
            --made;
            --live;
        }
        changed.notify_all();
    }

    size_t bound() const {
        std::lock_guard lock(mutex);
        return limit;
    }
    // Networks that exist (idle, lent or being made).
    size_t size() const {
        std::lock_guard lock(mutex);
        return made;
    }
    // Callers waiting for a network.
    size_t waiting() const {
        std::lock_guard lock(mutex);
        return waiters;
    }
    // Networks of this type alive in all pools of the process.
    static size_t liveNets() { return live.load(); }

  private:
    std::unique_ptr<Net> counted(Net net) {
        auto owned = std::make_unique<Net>(std::move(net));
        ++live;
        return owned;
    }

    void giveBack(std::unique_ptr<Net> net) {
        std::lock_guard lock(mutex);
        if (made > limit) {
            --made;
            --live;
            net.reset();
        } else {
            idle.push_back(std::move(net));
        }
        changed.notify_one();
    }

    Factory make;
    mutable std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::unique_ptr<Net>> idle;
    size_t limit;
    size_t made = 0;
    size_t waiters = 0;
    static inline std::atomic<size_t> live{0};
};
