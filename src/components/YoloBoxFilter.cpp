#include "src/components/YoloBoxFilter.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>

std::optional<YoloObjectInfo> YoloBoxFilter::adjust(const YoloObjectInfo& object, float extendingWidth,
                                                    float extendingHeight, cv::Size image) {
    YoloObjectInfo o = object;
    const float w = static_cast<float>(object.width);
    const float h = static_cast<float>(object.height);
    o.left = static_cast<int32_t>(static_cast<float>(object.left) + extendingWidth * w);
    o.top = static_cast<int32_t>(static_cast<float>(object.top) + extendingHeight * h);
    o.width = static_cast<int32_t>(w - extendingWidth * (2.f * w));
    o.height = static_cast<int32_t>(h - extendingHeight * (2.f * h));
    o.left = std::max(o.left, 0);
    o.top = std::max(o.top, 0);
    if (o.left + o.width >= image.width) {
        o.width = image.width - o.left;
    }
    if (o.top + o.height >= image.height) {
        o.height = image.height - o.top;
    }
    if (o.width <= 0 || o.height <= 0) {
        return std::nullopt;
    }
    return o;
}

YoloBoxFilter::Verdict YoloBoxFilter::judge(const YoloObjectInfo& o, std::pair<int32_t, int32_t> plateWidth,
                                            const std::vector<cv::Point>& roi, bool skipOtherClasses) {
    if (skipOtherClasses && o.classId > 0) {
        return Verdict::OtherClass;
    }
    // A source that sets no plate widths leaves (0, 0): no limit rather than "width 0 only".
    bool widthLimited = plateWidth.first != 0 || plateWidth.second != 0;
    if (widthLimited && (o.width < plateWidth.first || o.width > plateWidth.second)) {
        return Verdict::PlateWidth;
    }
    if (roi.size() >= 3) {
        auto inside = [&](float x, float y) {
            return cv::pointPolygonTest(roi, cv::Point2f(x, y), false) > 0;
        };
        auto left = static_cast<float>(o.left);
        auto top = static_cast<float>(o.top);
        if (!inside(left, top) ||
            !inside(left + static_cast<float>(o.width), top + static_cast<float>(o.height))) {
            return Verdict::OutOfRoi;
        }
    }
    return Verdict::Accepted;
}
