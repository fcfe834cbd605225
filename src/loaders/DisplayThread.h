#pragma once

#include <opencv2/core.hpp>

#include <condition_variable>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>

// The one thread that calls OpenCV's highgui for every output: Qt's highgui deadlocks when two
// threads show windows. Outputs hand over pictures without waiting; a window shows the latest
// picture it was given (older ones not yet shown are replaced).
//
// The loop runs in run(), called by the thread that the loader appends to the context's players.
// It ends once every attached player has detached (each player detaches when it stops), so the
// context's join of its players covers it.
class DisplayThread {
  public:
    explicit DisplayThread(size_t players) : players_(players) {}

    // Thread-safe; never blocks on the display.
    void show(const std::string& window, const cv::Mat& image);
    // Called by a player when it ends.
    void detach();
    // The display loop; returns when every player has detached.
    void run();

    // Pictures shown so far, for tests and logs.
    size_t shown() const;

  private:
    void showPending(std::map<std::string, cv::Mat>& pending);
    void closeWindows();

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::string, cv::Mat> pending_;
    size_t players_;
    size_t shown_ = 0;
    bool failed_ = false;
};
