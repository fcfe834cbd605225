#include "platereader/PlateReaderBase.h"

#include <opencv2/imgproc.hpp>

#include <cmath>
#include <iostream>
#include <stdexcept>

#include "BeamDecoder.h"
#include "qo_common/utils/CommonUtils.h"
#include "trt/TRTInferer.h"

namespace {

std::vector<float> normalised(const cv::Mat& plate, int width, int height) {
    if (plate.empty()) {
        throw std::invalid_argument("PlateReaderBase::prepare: empty plate image");
    }
    cv::Mat grey, resized, values;
    if (plate.channels() == 1) {
        grey = plate;
    } else {
        cv::cvtColor(plate, grey, cv::COLOR_RGB2GRAY);
    }
    cv::resize(grey, resized, cv::Size(width, height), 0, 0, cv::INTER_LINEAR);
    resized.convertTo(values, CV_32F, 1, 0);
    double lo = 0, hi = 0;
    cv::minMaxLoc(values, &lo, &hi);
    std::vector<float> out(static_cast<size_t>(width) * static_cast<size_t>(height), 0.f);
    if (!(hi > lo)) {
        return out;  // no contrast: nothing to read, and no division by zero
    }
    const double range = hi - lo;
    size_t i = 0;
    for (int r = 0; r < values.rows; ++r) {
        const float* row = values.ptr<float>(r);
        for (int c = 0; c < values.cols; ++c) {
            out[i++] = static_cast<float>((row[c] - lo) / range);
        }
    }
    return out;
}

std::string withoutSpaces(const std::string& text) {
    return CommonUtils::replace(text, " ", "");
}

}  // namespace

PlateReaderBase::PlateReaderBase() = default;

PlateReaderBase::~PlateReaderBase() = default;

void PlateReaderBase::checkSettings() const {
    if (alphabet.empty() || static_cast<int>(alphabet.size()) != ctcWidth) {
        throw std::invalid_argument("the alphabet has " + std::to_string(alphabet.size()) +
                                    " characters but the model gives " + std::to_string(ctcWidth) +
                                    " scores per step");
    }
    if (beamSize < 1) {
        throw std::invalid_argument("beamSize " + std::to_string(beamSize) + " is below 1");
    }
    if (ctcSkipCount < 0 || ctcSkipCount > ctcSize) {
        throw std::invalid_argument("skipSize " + std::to_string(ctcSkipCount) + " is outside [0, " +
                                    std::to_string(ctcSize) + "]");
    }
    if (netWidth < 1 || netHeight < 1 || ctcSize < 1) {
        throw std::invalid_argument("the model's input " + std::to_string(netWidth) + "x" +
                                    std::to_string(netHeight) + " or its " + std::to_string(ctcSize) +
                                    " output steps are not usable");
    }
}

void PlateReaderBase::prepare(std::vector<LPRDetection>& dets) {
    for (auto& det : dets) {
        det.prepared = normalised(det.plate, netWidth, netHeight);
    }
}

std::vector<float> PlateReaderBase::infer(std::vector<float> input) {
    if (!inferer) {
        throw std::logic_error("PlateReaderBase: no network");
    }
    return inferer->infer(std::move(input));
}

void PlateReaderBase::read(std::vector<LPRDetection>& dets, std::vector<float>* /*output*/) {
    const size_t inputSize = static_cast<size_t>(netWidth) * static_cast<size_t>(netHeight);
    if (dets.size() != static_cast<size_t>(batchSize)) {
        throw std::invalid_argument("PlateReaderBase::read: " + std::to_string(dets.size()) +
                                    " plates for a batch of " + std::to_string(batchSize));
    }
    std::vector<float> input;
    input.reserve(inputSize * dets.size());
    for (const auto& det : dets) {
        if (det.prepared.size() != inputSize) {
            throw std::invalid_argument("PlateReaderBase::read: a plate is not prepared for a " +
                                        std::to_string(netWidth) + "x" + std::to_string(netHeight) +
                                        " input");
        }
        input.insert(input.end(), det.prepared.begin(), det.prepared.end());
    }
    const std::vector<float> output = infer(std::move(input));
    std::lock_guard lock(readMutex);
    decode(dets, output);
}

void PlateReaderBase::setUsers(size_t users) {
    if (inferer) {
        inferer->setUsers(users);
    }
}

void PlateReaderBase::decode(std::vector<LPRDetection>& dets, const std::vector<float>& output) {
    const size_t expected = static_cast<size_t>(batchSize) * static_cast<size_t>(ctcSize * ctcWidth);
    if (output.size() != expected || dets.size() < static_cast<size_t>(batchSize)) {
        throw std::invalid_argument("PlateReaderBase: network output of " + std::to_string(output.size()) +
                                    " scores, expected " + std::to_string(expected));
    }
    for (float v : output) {
        if (!std::isfinite(v)) {
            throw std::runtime_error("PlateReaderBase: the network output holds NaN or infinite scores");
        }
    }
    if (decodeMode == GreedySearch) {
        greadySearch(dets, output);
        return;
    }
    beamSearch(dets, output);
    if (validationMode) {
        validate(dets, output);
    }
}

CtcDecoder& PlateReaderBase::greedyDecoder() {
    if (!greedy || greedy->getAlphabet() != alphabet) {
        greedy = std::make_unique<CtcDecoder>(alphabet, ctcSize, ctcWidth, applyLogToInput);
    }
    return *greedy;
}

void PlateReaderBase::greadySearch(std::vector<LPRDetection>& dets, const std::vector<float>& output) {
    CtcDecoder& decoder = greedyDecoder();
    const size_t perItem = output.size() / static_cast<size_t>(batchSize);
    const int start = std::min(kGreedyStart, ctcSize);
    for (int u = 0; u < batchSize; ++u) {
        const float* item = output.data() + static_cast<size_t>(u) * perItem;
        auto& det = dets[static_cast<size_t>(u)];
        det.value = decoder.parse(item, start);
        det.confidence = decoder.confidence(item, start, det.value);
    }
}

void PlateReaderBase::beamSearch(std::vector<LPRDetection>& dets, const std::vector<float>& output) {
    if (!beamSearchImpl) {
        beamSearchImpl = std::make_unique<BeamDecoder>(
            alphabet, static_cast<size_t>(ctcSkipCount), static_cast<size_t>(beamSize),
            static_cast<size_t>(batchSize), static_cast<size_t>(ctcSize));
    }
    auto results = beamSearchImpl->decode(output);
    std::vector<LPRDetection> alternatives;
    for (size_t b = 0; b < results.size() && b < dets.size(); ++b) {
        const auto& candidates = results[b];
        if (candidates.empty()) {
            continue;
        }
        auto& det = dets[b];
        det.rootValue = withoutSpaces(candidates[0].first);
        det.value = det.rootValue;
        det.confidence = static_cast<float>(candidates[0].second);
        for (size_t i = 1; i < candidates.size(); ++i) {
            LPRDetection alternative = det;
            alternative.value = withoutSpaces(candidates[i].first);
            alternative.confidence = static_cast<float>(candidates[i].second);
            alternatives.push_back(std::move(alternative));
        }
    }
    for (auto& alternative : alternatives) {
        dets.push_back(std::move(alternative));
    }
}

// One line per batch item; the appended alternatives have no greedy counterpart and get none.
void PlateReaderBase::validate(const std::vector<LPRDetection>& dets, const std::vector<float>& output) {
    std::vector<LPRDetection> greedyReadings(dets.begin(), dets.begin() + batchSize);
    greadySearch(greedyReadings, output);
    for (int b = 0; b < batchSize; ++b) {
        const auto& beam = dets[static_cast<size_t>(b)];
        const auto& greedyReading = greedyReadings[static_cast<size_t>(b)];
        if (beam.value != greedyReading.value) {
            std::cout << "\x1b[0;41mNot match " << beam.value << " != " << greedyReading.value << "\x1b[0m";
        } else if (std::fabs(beam.confidence - greedyReading.confidence) > 0.05f) {
            std::cout << "\x1b[0;43mMatch " << beam.value << " == " << greedyReading.value << beam.confidence
                      << " " << greedyReading.confidence << "\x1b[0m";
        } else {
            std::cout << "\x1b[0;42mMatch " << beam.value << " == " << greedyReading.value << "\x1b[0m";
        }
        std::cout << std::endl;
    }
}
