#pragma once

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "qo_common/utils/FrameWithInfo.h"
#include "tests/models/TestModels.h"

// Network objects and frames over the generated grid detector (16 x 16 cells of a 64 x 64 input;
// white cells are class 0, magenta 1, cyan 2) and the channel classifier.
namespace test_networks {

inline nlohmann::json yoloNetwork(const std::string& cfg = "grid_v5_64.onnx", double threshold = 0.5) {
    return {{"name", "yolo"},
            {"type", "yolo"},
            {"treshold", threshold},
            {"destinations", nlohmann::json::array()},
            {"model",
             {{"definition",
               {{"path", testModelDir()},
                {"cfg", cfg},
                {"content", {{"files", {{"class-names", "grid.names"}}}}}}}}}};
}

inline const cv::Scalar kWhite(255, 255, 255);
inline const cv::Scalar kMagenta(255, 0, 255);
inline const cv::Scalar kCyan(255, 255, 0);

inline std::shared_ptr<FrameWithInfo> frameWith(cv::Size size,
                                                const std::vector<std::pair<cv::Rect, cv::Scalar>>& squares) {
    auto frame = std::make_shared<FrameWithInfo>();
    frame->frame->image = cv::Mat(size, CV_8UC3, cv::Scalar::all(0));
    for (const auto& [r, colour] : squares) {
        frame->frame->image(r).setTo(colour);
    }
    return frame;
}

}  // namespace test_networks
