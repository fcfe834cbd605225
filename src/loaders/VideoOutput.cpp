#include "qo_common/utils/VideoOutput.h"

#include <opencv2/imgproc.hpp>

#include "qo_common/utils/CVUtils.h"
#include "qo_common/utils/CommonUtils.h"

void VideoOutput::consume(std::shared_ptr<FrameWithInfo> frame) {
    cv::Mat image = frame->frame->clone();
    std::string text = "cnt=" + std::to_string(cnt);
    ++cnt;
    // An image too small to reduce to a quarter (or none at all) still counts, and is not shown.
    if (image.cols < 4 || image.rows < 4) {
        return;
    }
    for (const auto& box : frame->yoloInfo) {
        cv::rectangle(image, box.rect(), cv::Scalar(255, 50, 0), 4, cv::LINE_8);
    }
    for (const auto& reading : frame->lprDetections) {
        cv::rectangle(image, reading.r, cv::Scalar(20, 50, 190), 4, cv::LINE_8);
        CVUtils::printWithBorder(image, reading.r.x, reading.r.y,
                                 reading.value + " " + CommonUtils::formatDouble(reading.confidence, 2), 3.0,
                                 7);
    }
    cv::Mat small;
    cv::resize(image, small, cv::Size(), 0.25, 0.25, cv::INTER_LINEAR);
    cv::putText(small, text, cv::Point(30, 30), cv::FONT_HERSHEY_SIMPLEX, 1.0, cv::Scalar(110, 0, 255), 1,
                cv::LINE_8);
    if (show) {
        show(name, small);
    }
}
