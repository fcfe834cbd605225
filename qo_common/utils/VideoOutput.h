#pragma once

#include <opencv2/core.hpp>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "qo_common/utils/FrameWithInfo.h"

// One debug display output, held by value in the pipeline context under its name; its address
// stays fixed for the life of the context, so its player thread may keep a pointer to it.
struct VideoOutput {
    std::string type;
    // Also the window name.
    std::string name;
    // Frames shown so far; touched only by the output's player.
    int cnt = 0;
    std::vector<std::vector<int>> debugPoints;
    // Receives each finished picture with the window name; set at loading. Empty when there is no
    // display: frames are then still drawn and counted, and dropped.
    std::function<void(const std::string& window, const cv::Mat& image)> show;

    // Draws the frame's plate boxes and readings on a copy of its image (the frame itself is never
    // changed), reduces it to a quarter of its size, stamps "cnt=<cnt>" and hands it to `show`.
    void consume(std::shared_ptr<FrameWithInfo> frame);
};
