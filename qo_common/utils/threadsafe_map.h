#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>

#include "qo_common/utils/Frame.h"

namespace threadsafe {

// Frames of the paired cameras of a lane, by source id.
class map {
  public:
    using FramePtr = std::shared_ptr<ek::pipeline::Frame>;

    map() = default;
    map(const map& other) : data_(other.snapshot()) {}
    map& operator=(const map& other) {
        if (this != &other) {
            auto copy = other.snapshot();
            std::unique_lock<std::shared_mutex> lock(mtx_);
            data_ = std::move(copy);
        }
        return *this;
    }

    void set(int32_t key, FramePtr frame) {
        std::unique_lock<std::shared_mutex> lock(mtx_);
        data_[key] = std::move(frame);
    }
    bool find(int32_t key) const {
        std::shared_lock<std::shared_mutex> lock(mtx_);
        return data_.count(key) != 0;
    }
    // The frame of a key, or null when the key is absent.
    FramePtr get(int32_t key) const {
        std::shared_lock<std::shared_mutex> lock(mtx_);
        auto it = data_.find(key);
        return it == data_.end() ? nullptr : it->second;
    }
    std::map<int32_t, FramePtr> snapshot() const {
        std::shared_lock<std::shared_mutex> lock(mtx_);
        return data_;
    }

  private:
    mutable std::shared_mutex mtx_;
    std::map<int32_t, FramePtr> data_;
};

}  // namespace threadsafe
