#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace threadsafe {

// Trigger ids of a frame: appended by trigger threads, read by the builder.
class vector {
  public:
    vector() = default;
    vector(const vector& other) : _data(other.get()) {}
    vector& operator=(const vector& other) {
        if (this != &other) {
            auto copy = other.get();
            std::lock_guard<std::mutex> lock(_mtx);
            _data = std::move(copy);
        }
        return *this;
    }

    void push_back(int64_t value) {
        std::lock_guard<std::mutex> lock(_mtx);
        _data.push_back(value);
    }
    std::vector<int64_t> get() const {
        std::lock_guard<std::mutex> lock(_mtx);
        return _data;
    }
    std::size_t size() const {
        std::lock_guard<std::mutex> lock(_mtx);
        return _data.size();
    }

  private:
    mutable std::mutex _mtx;
    std::vector<int64_t> _data;
};

}  // namespace threadsafe
