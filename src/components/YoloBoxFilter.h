#pragma once

#include <opencv2/core.hpp>

#include <optional>
#include <utility>
#include <vector>

#include "qo_common/yolo/YoloObjectInfo.h"

// The YOLO network's per-object rules: box extension and clamping, then the plate filters.
class YoloBoxFilter {
  public:
    enum class Verdict { Accepted, OtherClass, PlateWidth, OutOfRoi };

    // The box moved in by eW (eH) of its width (height) on each side, in float and truncated
    // toward zero, then clamped into an image of `image` size. Nothing when the result has no
    // area: such a box cannot be cropped.
    static std::optional<YoloObjectInfo> adjust(const YoloObjectInfo& object, float extendingWidth,
                                                float extendingHeight, cv::Size image);

    // Class 0 only (when skipOtherClasses); width within [min, max] inclusive, where (0, 0) means
    // no width limit; both corners strictly inside the ROI when it has 3 or more points.
    static Verdict judge(const YoloObjectInfo& object, std::pair<int32_t, int32_t> plateWidth,
                         const std::vector<cv::Point>& roi, bool skipOtherClasses);
};
