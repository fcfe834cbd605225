#include "qo_common/ctc/ctc.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

constexpr float kNegInf = -std::numeric_limits<float>::infinity();

// ln(e^a + e^b + e^c), exact for -inf terms.
inline float logAdd3(float a, float b, float c) {
    float m = std::max(a, std::max(b, c));
    if (m == kNegInf) {
        return kNegInf;
    }
    return m + std::log(std::exp(a - m) + std::exp(b - m) + std::exp(c - m));
}

// ln of the softmax normaliser of one step; NaN for NaN or +inf scores, -inf for all -inf.
inline float logNormaliser(const float* scores, int alphabetSize) {
    float m = *std::max_element(scores, scores + alphabetSize);
    if (m == kNegInf) {
        return kNegInf;
    }
    float sum = 0.f;
    for (int k = 0; k < alphabetSize; ++k) {
        sum += std::exp(scores[k] - m);
    }
    return m + std::log(sum);
}

struct Item {
    const int* labels;
    int labelLength;
    int steps;
};

// Number of steps the labels need: one per label, plus a blank between equal neighbours.
int requiredSteps(const Item& item) {
    int needed = item.labelLength;
    for (int i = 1; i < item.labelLength; ++i) {
        needed += item.labels[i] == item.labels[i - 1];
    }
    return needed;
}

// -ln P(labels) by the forward recursion over the extended labelling (blank, l1, blank, l2, ..., blank),
// in log space, updated in place from the last state down.
float forwardCost(const float* activations, int stride, int alphabetSize, int blank, const Item& item,
                  float* alpha) {
    const int states = 2 * item.labelLength + 1;
    if (requiredSteps(item) > item.steps) {
        return std::numeric_limits<float>::infinity();
    }
    if (item.steps == 0) {
        return 0.f;  // no steps and no labels: the empty alignment, probability 1
    }
    auto symbol = [&](int s) { return (s & 1) ? item.labels[s >> 1] : blank; };
    std::fill(alpha, alpha + states, kNegInf);
    for (int t = 0; t < item.steps; ++t) {
        const float* scores = activations + static_cast<ptrdiff_t>(t) * stride;
        float norm = logNormaliser(scores, alphabetSize);
        if (std::isnan(norm) || norm == std::numeric_limits<float>::infinity()) {
            return std::numeric_limits<float>::quiet_NaN();
        }
        if (norm == kNegInf) {
            return std::numeric_limits<float>::infinity();
        }
        // Only states from which the end is still reachable, and which the start can reach.
        int first = std::max(0, states - 2 * (item.steps - t));
        int last = std::min(states - 1, 2 * t + 1);
        if (t == 0) {
            alpha[0] = scores[blank] - norm;
            if (states > 1) {
                alpha[1] = scores[symbol(1)] - norm;
            }
            continue;
        }
        for (int s = last; s >= first; --s) {
            int k = symbol(s);
            float stay = alpha[s];
            float step = s >= 1 ? alpha[s - 1] : kNegInf;
            float skip = (s >= 2 && (s & 1) && k != symbol(s - 2)) ? alpha[s - 2] : kNegInf;
            alpha[s] = logAdd3(stay, step, skip) + (scores[k] - norm);
        }
        for (int s = 0; s < first; ++s) {
            alpha[s] = kNegInf;
        }
    }
    float end = states > 1 ? logAdd3(alpha[states - 1], alpha[states - 2], kNegInf) : alpha[0];
    return -end;
}

bool validArguments(const int* labelLengths, const int* inputLengths, int alphabetSize, int minibatch,
                    const ctcOptions& options) {
    if (!labelLengths || !inputLengths || alphabetSize < 1 || minibatch < 1 || options.loc != CTC_CPU ||
        options.blank_label < 0 || options.blank_label >= alphabetSize) {
        return false;
    }
    for (int b = 0; b < minibatch; ++b) {
        if (labelLengths[b] < 0 || inputLengths[b] < 0) {
            return false;
        }
    }
    return true;
}

}  // namespace

const char* ctcGetStatusString(ctcStatus_t status) {
    switch (status) {
        case CTC_STATUS_SUCCESS:
            return "no error";
        case CTC_STATUS_MEMOPS_FAILED:
            return "memory operation failed";
        case CTC_STATUS_INVALID_VALUE:
            return "invalid value";
        case CTC_STATUS_EXECUTION_FAILED:
            return "execution failed";
        default:
            return "unknown error";
    }
}

ctcStatus_t get_workspace_size(const int* label_lengths, const int* input_lengths, int alphabet_size,
                               int minibatch, ctcOptions options, size_t* size_bytes) {
    if (!size_bytes || !validArguments(label_lengths, input_lengths, alphabet_size, minibatch, options)) {
        return CTC_STATUS_INVALID_VALUE;
    }
    size_t states = 0;
    for (int b = 0; b < minibatch; ++b) {
        states = std::max(states, 2 * static_cast<size_t>(label_lengths[b]) + 1);
    }
    *size_bytes = states * sizeof(float);
    return CTC_STATUS_SUCCESS;
}

ctcStatus_t compute_ctc_loss(const float* activations, float* gradients, const int* flat_labels,
                             const int* label_lengths, const int* input_lengths, int alphabet_size,
                             int minibatch, float* costs, void* workspace, ctcOptions options) {
    if (!activations || gradients || !costs || !workspace ||
        !validArguments(label_lengths, input_lengths, alphabet_size, minibatch, options)) {
        return CTC_STATUS_INVALID_VALUE;
    }
    int totalLabels = 0;
    for (int b = 0; b < minibatch; ++b) {
        totalLabels += label_lengths[b];
    }
    if (totalLabels > 0 && !flat_labels) {
        return CTC_STATUS_INVALID_VALUE;
    }
    for (int i = 0; i < totalLabels; ++i) {
        if (flat_labels[i] < 0 || flat_labels[i] >= alphabet_size || flat_labels[i] == options.blank_label) {
            return CTC_STATUS_INVALID_VALUE;
        }
    }
    const int stride = minibatch * alphabet_size;
    auto* alpha = static_cast<float*>(workspace);
    ctcStatus_t status = CTC_STATUS_SUCCESS;
    const int* labels = flat_labels;
    for (int b = 0; b < minibatch; ++b) {
        Item item{labels, label_lengths[b], input_lengths[b]};
        costs[b] = forwardCost(activations + static_cast<ptrdiff_t>(b) * alphabet_size, stride, alphabet_size,
                               options.blank_label, item, alpha);
        if (std::isnan(costs[b])) {
            status = CTC_STATUS_INVALID_VALUE;
        }
        labels += label_lengths[b];
    }
    return status;
}
