#pragma once

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include <algorithm>
#include <optional>
#include <vector>

#include "qo_common/yolo/YoloObjectInfo.h"

// Detected boxes against the drawn plates of one frame (the truth lines that demo/synth.py and
// demo/render_video.py write): most confident box first, each plate taken by one box at most, a box
// taking the free plate it overlaps most at IoU >= 0.5.
namespace plate_match {

constexpr double kMinIou = 0.5;

inline cv::Rect2d truthBox(const nlohmann::json& plate) {
    return {plate.at("x").get<double>(), plate.at("y").get<double>(), plate.at("w").get<double>(),
            plate.at("h").get<double>()};
}

inline double iou(const cv::Rect2d& a, const cv::Rect2d& b) {
    const double inter = (a & b).area();
    const double uni = a.area() + b.area() - inter;
    return uni > 0 ? inter / uni : 0.0;
}

struct Match {
    YoloObjectInfo box;
    std::optional<size_t> plate;  // index into the plates; none: the box matches no plate
};

inline std::vector<Match> match(std::vector<YoloObjectInfo> boxes,
                                const std::vector<nlohmann::json>& plates) {
    std::sort(boxes.begin(), boxes.end(),
              [](const auto& a, const auto& b) { return a.detectionConfidence > b.detectionConfidence; });
    std::vector<bool> taken(plates.size(), false);
    std::vector<Match> matches;
    for (const auto& box : boxes) {
        Match& m = matches.emplace_back(Match{box, std::nullopt});
        double best = kMinIou;
        for (size_t i = 0; i < plates.size(); ++i) {
            const double v = iou(cv::Rect2d(box.rect()), truthBox(plates[i]));
            if (!taken[i] && v >= best) {
                best = v;
                m.plate = i;
            }
        }
        if (m.plate) {
            taken[*m.plate] = true;
        }
    }
    return matches;
}

}  // namespace plate_match
