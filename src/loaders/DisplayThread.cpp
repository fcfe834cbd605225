#include "src/loaders/DisplayThread.h"

#include <opencv2/highgui.hpp>

#include <chrono>

#include "qo_common/logger/log.h"

namespace {
// Windows need their events processed even when no new picture comes.
constexpr auto kIdleWake = std::chrono::milliseconds(50);
}  // namespace

void DisplayThread::show(const std::string& window, const cv::Mat& image) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (failed_) {
            return;
        }
        pending_[window] = image;
    }
    changed_.notify_one();
}

void DisplayThread::detach() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (players_ > 0) {
            --players_;
        }
    }
    changed_.notify_one();
}

size_t DisplayThread::shown() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return shown_;
}

void DisplayThread::run() {
    ILog::Info("display thread started");
    for (;;) {
        std::map<std::string, cv::Mat> pending;
        bool last = false;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait_for(lock, kIdleWake, [this] { return !pending_.empty() || players_ == 0; });
            last = players_ == 0;
            pending.swap(pending_);
        }
        // The last pictures handed over are still shown before the thread ends.
        showPending(pending);
        if (last) {
            break;
        }
    }
    closeWindows();
    ILog::Info("display thread stopped after %zu pictures", shown());
}

void DisplayThread::showPending(std::map<std::string, cv::Mat>& pending) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // Nothing to show and no window yet (or the display failed): highgui is not touched.
        if (failed_ || (pending.empty() && shown_ == 0)) {
            return;
        }
    }
    try {
        for (const auto& [window, image] : pending) {
            cv::imshow(window, image);
        }
        cv::waitKey(1);
    } catch (const cv::Exception& e) {
        // One line, then the outputs go on consuming frames without a display.
        ILog::Error("display failed, frames are no longer shown: %s", e.what());
        std::lock_guard<std::mutex> lock(mutex_);
        failed_ = true;
        pending_.clear();
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    shown_ += pending.size();
}

void DisplayThread::closeWindows() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (failed_ || shown_ == 0) {
            return;
        }
    }
    // Qt's window objects belong to this thread; closing them here spares Qt tearing them down
    // from the main thread at exit.
    try {
        cv::destroyAllWindows();
        cv::waitKey(1);
    } catch (const cv::Exception& e) {
        ILog::Error("display: closing the windows failed: %s", e.what());
    }
}
