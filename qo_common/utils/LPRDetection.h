#pragma once

#include <opencv2/core.hpp>

#include <cstdint>
#include <string>
#include <vector>

enum class LPRMatchType : int {
    NoMatch = 0,
    SyntaxCorrection = 1,
    SyntaxExact = 2,
    WatchlistCorrectionUnique = 3,
    WatchListAmbigueUniqie = 4,
    WatchlistExactMulti = 5,
    WatchlistExactUnique = 6,
};

// A plate text with how sure we are and how it matched.
struct LPRValue {
    std::string value;
    float confidence = 0.f;
    LPRMatchType matchType = LPRMatchType::NoMatch;
};

// One plate reading of a frame.
struct LPRDetection : LPRValue {
    uint64_t idYoloInfo = 0;
    std::vector<float> prepared;
    cv::Mat plate;
    cv::Rect r;
    std::string rootValue;
};
