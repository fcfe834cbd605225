#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "qo_common/logger/log.h"

// An ILog that keeps every message, for tests. Install it before the threads under test start
// and let the guard go after they are joined: ILog::instance itself is read without a lock.
//
//   auto capture = CapturingLog::install();
//   ... run the code ...
//   EXPECT_TRUE(capture.log->contains("Loading failed", ILog::LevelError));
class CapturingLog : public ILog {
  public:
    struct Entry {
        std::string message;
        int level = 0;
        int reserved = 0;
    };

    // Installs a fresh CapturingLog as ILog::instance for its own lifetime, then puts back the
    // instance that was there before.
    class Installed {
      public:
        Installed() : log(std::make_shared<CapturingLog>()), previous_(ILog::instance) {
            ILog::instance = log;
        }
        ~Installed() { ILog::instance = previous_; }
        Installed(const Installed&) = delete;
        Installed& operator=(const Installed&) = delete;

        const std::shared_ptr<CapturingLog> log;

      private:
        std::shared_ptr<ILog> previous_;
    };

    // `auto capture = CapturingLog::install();` (no copy is made).
    static Installed install() { return Installed(); }

    bool SendLog(const std::string& message, int level, int reserved) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            entries_.push_back({message, level, reserved});
        }
        changed_.notify_all();
        return true;
    }

    std::vector<Entry> entries() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return entries_;
    }

    // Messages of one level, or of every level when `level` is negative, in logging order.
    std::vector<std::string> messages(int level = -1) const {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::string> out;
        for (const auto& e : entries_) {
            if (level < 0 || e.level == level) {
                out.push_back(e.message);
            }
        }
        return out;
    }

    // How many messages (of `level`, or of any level when negative) contain `part`.
    size_t count(const std::string& part, int level = -1) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return countLocked(part, level);
    }

    bool contains(const std::string& part, int level = -1) const { return count(part, level) > 0; }

    // Waits until a message containing `part` has been logged; false if none came within `limit`.
    // The limit is only a guard against a hang, never what a test measures.
    bool waitFor(const std::string& part, std::chrono::milliseconds limit = std::chrono::seconds(10),
                 int level = -1) const {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return countLocked(part, level) > 0; });
    }

    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        entries_.clear();
    }

  private:
    size_t countLocked(const std::string& part, int level) const {
        size_t n = 0;
        for (const auto& e : entries_) {
            if ((level < 0 || e.level == level) && e.message.find(part) != std::string::npos) {
                ++n;
            }
        }
        return n;
    }

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Entry> entries_;
};
