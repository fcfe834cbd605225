#pragma once

#include <opencv2/core.hpp>

#include <cstdint>
#include <memory>
#include <string>

#include "qo_common/utils/FrameWithInfo.h"
#include "qo_common/utils/LPRDetection.h"
#include "qo_common/yolo/YoloObjectInfo.h"

// One plate reading held by an event. The frame stays alive as long as an event (or a copy of
// one) holds the reading; readings are shared, never changed after they are made.
struct LPREvent {
    std::string guid;                    // a new guid per reading
    std::shared_ptr<FrameWithInfo> fwi;  // the frame the reading came from
    uint64_t yoloId = 0;                 // id of the YOLO object the plate was read from
    cv::Rect position;                   // the reading's rectangle in frame coordinates
    LPRValue value;                      // text, confidence and match type

    const std::string& lpr() const { return value.value; }

    // The reading's rectangle as the YOLO object it was read from.
    YoloObjectInfo box() const {
        YoloObjectInfo object;
        object.id = yoloId;
        object.left = position.x;
        object.top = position.y;
        object.width = position.width;
        object.height = position.height;
        return object;
    }

    // A copy of the reading's region of `image`, cut to the image; empty when they do not overlap.
    cv::Mat plateOf(const cv::Mat& image) const {
        const cv::Rect inside = position & cv::Rect(0, 0, image.cols, image.rows);
        return inside.area() > 0 ? image(inside).clone() : cv::Mat();
    }
};
