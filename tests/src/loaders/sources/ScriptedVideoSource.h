#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "qo_common/utils/CommonUtils.h"
#include "qo_common/video/IVideoSource.h"

// A video source that delivers `frames` small frames per open (-1: without end), then ends the
// stream the way the test asks: with a poison frame or an end-of-stream frame. Like the real
// library, stop gives poison frames until the next open, and open after stop reopens.
class ScriptedVideoSource : public ek::IVideoSource {
  public:
    enum class End { Poison, EndOfStream };

    ScriptedVideoSource(ek::VideoSourceSettings s, int frames, End end)
        : ek::IVideoSource(std::move(s)), frames_(frames), end_(end) {}

    void open() override {
        if (onOpen) {
            onOpen();
        }
        stopped_ = false;
        std::lock_guard<std::mutex> guard(mutex_);
        delivered_ = 0;
        ++opens_;
    }
    void stop() override { stopped_ = true; }
    bool isFile() const override { return file; }
    bool isOnline() const override { return !stopped_; }
    std::string getInfo() const override { return "scripted " + settings.name; }

    // Waits until the script has run out once (its end frame was handed out).
    void waitExhausted() {
        std::unique_lock<std::mutex> guard(mutex_);
        changed_.wait(guard, [this] { return exhausted_; });
    }
    int opens() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return opens_;
    }

    // Runs at the start of every open, before the source resets its stop flag.
    std::function<void()> onOpen;
    // Age of the delivered frames, ms.
    int64_t frameAgeMs = 0;
    // Set before the producers start: the source is read as a file.
    bool file = false;

  protected:
    FrameWithInfoPtr getFrameImpl() override {
        auto f = std::make_shared<FrameWithInfo>();
        f->frame->cameraName = settings.name;
        f->frame->sourceId = settings.id;
        f->frame->timestamp = CommonUtils::getTs() - frameAgeMs;
        if (stopped_) {
            f->poison = true;
            return f;
        }
        std::lock_guard<std::mutex> guard(mutex_);
        if (frames_ >= 0 && delivered_ >= frames_) {
            f->poison = end_ == End::Poison;
            exhausted_ = true;
            changed_.notify_all();
            return f;
        }
        ++delivered_;
        f->frame->image = cv::Mat(48, 64, CV_8UC3, cv::Scalar(0, 0, 255));
        f->frame->guid = settings.name + "-" + std::to_string(delivered_);
        f->frame->timestamp += delivered_;  // distinct, increasing
        return f;
    }

  private:
    const int frames_;
    const End end_;
    std::atomic<bool> stopped_{false};
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    int delivered_ = 0;
    int opens_ = 0;
    bool exhausted_ = false;
};
