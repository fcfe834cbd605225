#pragma once

#include <cstddef>
#include <iostream>
#include <map>
#include <mutex>

namespace ek {

// Models shared by the networks that name the same key, counted by their users. Creation runs
// under the cache's mutex, so one model per key is loaded (and warmed up) once.
//
// A model that offers setUsers(n) is told its count whenever it changes: each user forwards from
// a thread of its own, and the model keeps at most that many copies of its network for them.
template <typename K, typename V>
class CacheMap {
  public:
    struct Entry {
        size_t count = 0;
        V value;
    };

    CacheMap() = default;
    CacheMap(const CacheMap&) = delete;
    CacheMap& operator=(const CacheMap&) = delete;

    // Entries still held at the end (users that were never destroyed) are reported, then freed.
    ~CacheMap() {
        std::lock_guard<std::mutex> lock(mutex);
        if (!cache.empty()) {
            std::cerr << "~CacheMap() forced to release remain " << cache.size() << " instance(s)"
                      << std::endl;
        }
    }

    // The value under `key`, counting one more user; an absent key is created by `factory` under
    // the lock. A throwing factory leaves no entry. The value is copied out under the lock: a
    // reference would dangle once a concurrent release erased the entry.
    template <typename Factory>
    V getOrCreate(const K& key, Factory&& factory) {
        std::lock_guard<std::mutex> lock(mutex);
        auto found = cache.find(key);
        if (found != cache.end()) {
            ++found->second.count;
            tellUsers(found->second);
            return found->second.value;
        }
        auto inserted = cache.emplace(key, Entry{1, factory()}).first;
        tellUsers(inserted->second);
        return inserted->second.value;
    }

    // One user fewer; the last one erases the entry. An unknown key changes nothing.
    void release(const K& key) {
        std::lock_guard<std::mutex> lock(mutex);
        auto found = cache.find(key);
        if (found == cache.end()) {
            return;
        }
        if (found->second.count == 1) {
            cache.erase(found);
            return;
        }
        --found->second.count;
        tellUsers(found->second);
    }

    // Users of `key` (0 when absent) and number of keys; for statistics and tests.
    size_t users(const K& key) const {
        std::lock_guard<std::mutex> lock(mutex);
        auto found = cache.find(key);
        return found == cache.end() ? 0 : found->second.count;
    }
    size_t size() const {
        std::lock_guard<std::mutex> lock(mutex);
        return cache.size();
    }

  private:
    static void tellUsers(Entry& entry) {
        if constexpr (requires(V & v) { v->setUsers(size_t{1}); }) {
            entry.value->setUsers(entry.count);
        }
    }

    std::map<K, Entry> cache;
    mutable std::mutex mutex;
};

}  // namespace ek
