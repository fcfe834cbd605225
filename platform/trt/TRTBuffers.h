#pragma once

#include <opencv2/core.hpp>

#include <mutex>

// The input tensor of one inferer, allocated once and refilled by every call.
struct TRTBuffers {
    std::mutex mutex;
    cv::Mat input;
};
