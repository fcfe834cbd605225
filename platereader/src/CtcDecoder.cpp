#include "platereader/CtcDecoder.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <utility>

#include "qo_common/ctc/ctc.h"
#include "qo_common/ctc/ctc_math.h"
#include "qo_common/logger/log.h"

CtcDecoder::CtcDecoder(std::string alphabet_, int ctcSize_, int ctcWidth_, bool applyLog)
    : alphabet(std::move(alphabet_)), ctcSize(ctcSize_), ctcWidth(ctcWidth_), applyLogToInput(applyLog) {
    if (alphabet.empty() || static_cast<int>(alphabet.size()) != ctcWidth || ctcSize < 0) {
        throw std::invalid_argument("CtcDecoder: an alphabet of " + std::to_string(alphabet.size()) +
                                    " characters does not fit an output of width " +
                                    std::to_string(ctcWidth));
    }
    activations.reserve(static_cast<size_t>(ctcSize * ctcWidth));
    labels.reserve(static_cast<size_t>(ctcSize));
}

std::vector<CtcDecoder::CharWithProb> CtcDecoder::bestPath(const float* item, int start) const {
    std::vector<CharWithProb> path;
    path.reserve(static_cast<size_t>(std::max(0, ctcSize - start)));
    for (int t = start; t < ctcSize; ++t) {
        const float* scores = item + static_cast<ptrdiff_t>(t) * ctcWidth;
        CharWithProb best{alphabet.back(), -1e20f};
        for (int x = 0; x < ctcWidth; ++x) {
            if (scores[x] > best.p) {
                best = {alphabet[static_cast<size_t>(x)], scores[x]};
            }
        }
        path.push_back(best);
    }
    return path;
}

std::string CtcDecoder::collapse(const std::vector<CharWithProb>& path) {
    std::string text;
    char previous = static_cast<char>(0xFF);
    for (const auto& step : path) {
        if (step.c != ' ' && step.c != previous) {
            text += step.c;
        }
        previous = step.c;
    }
    return text;
}

std::string CtcDecoder::parse(const float* item, int start) const {
    return collapse(bestPath(item, start));
}

float CtcDecoder::confidence(const float* item, int start, const std::string& text) {
    labels.clear();
    for (char c : text) {
        auto pos = alphabet.find(c);
        if (pos != std::string::npos) {
            labels.push_back(static_cast<int>(pos));
        }
    }
    const int steps = std::max(0, ctcSize - start);
    const float* first = item + static_cast<ptrdiff_t>(ctcSize - steps) * ctcWidth;
    const size_t count = static_cast<size_t>(steps) * static_cast<size_t>(ctcWidth);
    activations.resize(count);
    if (applyLogToInput) {
        ctc_math::logOf(first, count, activations.data());
    } else {
        std::copy(first, first + count, activations.begin());
    }
    ctcOptions options;
    options.loc = CTC_CPU;
    options.num_threads = 1;
    options.blank_label = ctcWidth - 1;
    const int labelLength = static_cast<int>(labels.size());
    size_t bytes = 0;
    ctcStatus_t status = get_workspace_size(&labelLength, &steps, ctcWidth, 1, options, &bytes);
    float cost = 0.f;
    if (status == CTC_STATUS_SUCCESS) {
        workspace.resize(bytes / sizeof(float) + 1);
        status = compute_ctc_loss(activations.data(), nullptr, labels.data(), &labelLength, &steps, ctcWidth,
                                  1, &cost, workspace.data(), options);
    }
    if (status != CTC_STATUS_SUCCESS) {
        ILog::Warning("CtcDecoder: CTC loss of \"%s\" failed (%s); confidence 0", text.c_str(),
                      ctcGetStatusString(status));
        return 0.f;
    }
    return std::exp(-cost);
}
