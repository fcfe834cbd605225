#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

// Fixed-capacity ring that never blocks its writer: once full, a push overwrites the oldest
// entry. It counts accepted pushes so that iterators walking it by position stay on the same
// entries while it moves. Derived buffers lock _mutex and wait on _not_empty themselves.
template <typename T>
class limited_queue {
  public:
    class iterator {
      public:
        iterator(limited_queue& lq, uint64_t pos, bool sentinel = false)
            : _lq(lq), _index(lq.departed()), _pos(pos), _sentinel(sentinel) {}

        // All steps are made while the caller holds the queue's _mutex.
        iterator& operator++() {
            correct();
            ++_pos;
            return *this;
        }
        T& operator*() {
            correct();
            return _lq[_pos];
        }
        T* operator->() { return &**this; }
        // An iterator is at the end once its corrected position reaches the current size;
        // past the end (after a poison emptied the ring) counts as at the end too.
        bool atEnd() {
            if (_sentinel) {
                return true;
            }
            correct();
            return _pos >= _lq._queue.size();
        }
        bool operator==(const iterator& other) const {
            auto self = *this;
            auto that = other;
            bool selfEnd = self.atEnd();
            bool thatEnd = that.atEnd();
            if (selfEnd || thatEnd) {
                return selfEnd == thatEnd;
            }
            return self._pos == that._pos;
        }
        bool operator!=(const iterator& other) const { return !(*this == other); }
        uint64_t position() {
            correct();
            return _pos;
        }

      private:
        // The entry of push number s stands at position max(0, s - departed), so the iterator moves
        // back by the entries that left the ring since its last step (overwritten, or all of them at
        // a poison) and stays on its entry; an entry that left is passed over. Pushes into a ring
        // not yet full move nothing, so a walk never visits an entry twice.
        void correct() {
            auto left = _lq.departed() - _index;
            _pos = left >= _pos ? 0 : _pos - left;
            _index = _lq.departed();
        }

        limited_queue& _lq;
        uint64_t _index;  // entries departed from the ring at the last step
        uint64_t _pos;
        bool _sentinel;
    };

    explicit limited_queue(uint64_t capacity) : _capacity(capacity) { _queue.reserve(capacity); }
    virtual ~limited_queue() = default;

    limited_queue(const limited_queue& other) {
        std::lock_guard<std::mutex> lock(other._mutex);
        copyFrom(other);
    }
    limited_queue& operator=(const limited_queue& other) {
        if (this != &other) {
            std::scoped_lock lock(_mutex, other._mutex);
            copyFrom(other);
        }
        return *this;
    }

    // Capacity 0 stores nothing (and counts nothing): there is no slot to write.
    virtual void push(const T& item) {
        {
            std::lock_guard<std::mutex> lock(_mutex);
            if (!_is_poisoned && _capacity > 0) {
                ++_counter;
                if (_queue.size() >= _capacity) {
                    _queue[_front] = item;
                    _front = (_front + 1) % _capacity;
                } else {
                    _queue.push_back(item);
                }
            }
        }
        _not_empty.notify_all();
    }

    // Entry at logical position i (0 = oldest). The caller holds _mutex; no bounds check.
    T& operator[](uint64_t i) {
        if (!_queue.empty() && _queue.size() >= _capacity) {
            return _queue[(i + _front) % _queue.size()];
        }
        return _queue[i];
    }

    uint64_t size() const {
        std::lock_guard<std::mutex> lock(_mutex);
        return _queue.size();
    }
    uint64_t capacity() const { return _capacity; }
    uint64_t counter() const {
        std::lock_guard<std::mutex> lock(_mutex);
        return _counter;
    }

    // Returns every entry oldest first, empties the ring and refuses later pushes.
    std::vector<T> poison() {
        std::vector<T> entries;
        {
            std::lock_guard<std::mutex> lock(_mutex);
            entries.reserve(_queue.size());
            for (uint64_t i = 0; i < _queue.size(); ++i) {
                entries.push_back((*this)[i]);
            }
            _front = 0;
            _queue.clear();
            _is_poisoned = true;
        }
        _not_empty.notify_all();
        return entries;
    }

    // Iterators are used while the caller holds _mutex.
    iterator begin() { return iterator(*this, 0); }
    // end() always stands for the current size, however the ring moves.
    iterator end() { return iterator(*this, _queue.size(), true); }

  protected:
    // Accepted pushes whose entries are no longer stored (overwritten, or removed by poison); never
    // decreases. The caller holds _mutex.
    uint64_t departed() const { return _counter - _queue.size(); }

    void copyFrom(const limited_queue& other) {
        _capacity = other._capacity;
        _queue = other._queue;
        _queue.reserve(_capacity);
        _counter = other._counter;
        _front = other._front;
        _is_poisoned = other._is_poisoned;
    }

    uint64_t _capacity = 0;
    std::vector<T> _queue;
    mutable std::mutex _mutex;
    uint64_t _counter = 0;
    uint64_t _front = 0;
    std::condition_variable _not_empty;
    bool _is_poisoned = false;
};
