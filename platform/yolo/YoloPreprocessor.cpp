#include "platform/yolo/YoloPreprocessor.h"

#include <opencv2/imgproc.hpp>

#include <stdexcept>
#include <string>

YoloPreprocessor::YoloPreprocessor(cv::Size input, int channels) : input_(input), channels_(channels) {
    if (input.width <= 0 || input.height <= 0 || (channels != 1 && channels != 3)) {
        throw std::invalid_argument("network input must be positive in size with 1 or 3 channels");
    }
}

LetterboxGeometry YoloPreprocessor::geometry(cv::Size image) const {
    return LetterboxGeometry::compute(image, input_, keepAspect_);
}

cv::Mat YoloPreprocessor::toModelChannels(const cv::Mat& image) const {
    if (image.depth() != CV_8U || (image.channels() != 1 && image.channels() != 3 && image.channels() != 4)) {
        throw std::invalid_argument(
            "a network input is made from an 8-bit image with 1, 3 or 4 channels, not type " +
            std::to_string(image.type()));
    }
    static const int toBgr[] = {0, cv::COLOR_GRAY2BGR, 0, 0, cv::COLOR_BGRA2BGR};
    static const int toGrey[] = {0, 0, 0, cv::COLOR_BGR2GRAY, cv::COLOR_BGRA2GRAY};
    if (image.channels() == channels_) {
        return image;
    }
    cv::Mat converted;
    cv::cvtColor(image, converted, channels_ == 3 ? toBgr[image.channels()] : toGrey[image.channels()]);
    return converted;
}

void YoloPreprocessor::scaleInto(const cv::Mat& src, cv::Mat& dst) const {
    if (mode_ == YoloResizeMode::DARKNET) {
        // Darknet maps the corner pixels onto each other: x_src = x_dst * (w - 1) / (W - 1).
        double fx = dst.cols > 1 ? static_cast<double>(src.cols - 1) / (dst.cols - 1) : 0.0;
        double fy = dst.rows > 1 ? static_cast<double>(src.rows - 1) / (dst.rows - 1) : 0.0;
        cv::Matx23d m(fx, 0, 0, 0, fy, 0);
        cv::warpAffine(src, dst, m, dst.size(), cv::INTER_LINEAR | cv::WARP_INVERSE_MAP,
                       cv::BORDER_REPLICATE);
        return;
    }
    static const int interpolation[] = {cv::INTER_NEAREST, cv::INTER_AREA, cv::INTER_LINEAR};
    int mode = static_cast<int>(mode_);
    if (mode < 0 || mode > 2) {
        throw std::invalid_argument("unknown resize mode " + std::to_string(mode));
    }
    // dst is a view of the right size and type, so resize writes in place.
    cv::resize(src, dst, dst.size(), 0, 0, interpolation[mode]);
}

std::vector<float> YoloPreprocessor::prepare(const cv::Mat& image) const {
    if (image.empty()) {
        return {};
    }
    cv::Mat src = toModelChannels(image);
    auto g = geometry(src.size());
    int type = CV_8UC(channels_);
    cv::Mat canvas;
    if (g.resized == input_) {
        canvas.create(input_, type);
    } else {
        canvas = cv::Mat(input_, type, cv::Scalar::all(kPadValue));
    }
    cv::Mat placed = canvas(cv::Rect(cv::Point(g.dx, g.dy), g.resized));
    scaleInto(src, placed);

    std::vector<float> out(inputLength());
    std::vector<cv::Mat> planes;
    cv::split(canvas, planes);
    for (int c = 0; c < channels_; ++c) {
        // Channel-first RGB: BGR plane 2 is the first input plane.
        cv::Mat dst(input_, CV_32F, out.data() + static_cast<size_t>(c) * input_.area());
        planes[channels_ == 3 ? 2 - c : 0].convertTo(dst, CV_32F, 1.0 / 255.0);
    }
    return out;
}
