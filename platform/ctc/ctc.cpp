#include "qo_common/ctc/ctc.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "qo_common/ctc/ctc_math.h"

namespace {

constexpr float kNegInf = -std::numeric_limits<float>::infinity();
constexpr float kInf = std::numeric_limits<float>::infinity();

// ln(e^a + e^b), exact for -inf terms.
inline float logAdd2(float a, float b) {
    float m = std::max(a, b);
    if (m == kNegInf) {
        return kNegInf;
    }
    return m + std::log(std::exp(a - m) + std::exp(b - m));
}

// True when some score is NaN; `probe` is NaN when one may be.
bool anyNaN(const float* scores, int alphabetSize, float probe) {
    if (!std::isnan(probe)) {
        return false;
    }
    return std::any_of(scores, scores + alphabetSize, [](float v) { return std::isnan(v); });
}

using ctc_math::kLanes;
using ctc_math::load;
using ctc_math::splat;
using ctc_math::Vec;

inline float sumOf(Vec v) {
    float sum = 0.f;
    for (int j = 0; j < kLanes; ++j) {
        sum += v[j];
    }
    return sum;
}

// ln of the softmax normaliser of one step: one max, one pass of exp, one log. The scores go in
// blocks of kLanes; the last block is padded with a copy of a score for the max and with -inf
// (whose exp is 0) for the sum. NaN for NaN or +inf scores, -inf when every score is -inf.
float logNormaliser(const float* scores, int alphabetSize) {
    const int blocks = alphabetSize / kLanes;
    const int rest = alphabetSize - blocks * kLanes;
    float maxTail[kLanes];
    float sumTail[kLanes];
    if (rest > 0) {
        std::fill(maxTail, maxTail + kLanes, scores[0]);
        std::fill(sumTail, sumTail + kLanes, kNegInf);
        std::copy(scores + blocks * kLanes, scores + alphabetSize, maxTail);
        std::copy(scores + blocks * kLanes, scores + alphabetSize, sumTail);
    }

    // The multiply by 0 flags NaN and both infinities at once; the exact test runs only then.
    Vec high = rest > 0 ? load(maxTail) : load(scores);  // without a tail there is a first block
    Vec probe = high * 0.f;
    for (int i = 0; i < blocks; ++i) {
        const Vec v = load(scores + i * kLanes);
        high = v > high ? v : high;
        probe += v * 0.f;
    }
    float m = kNegInf;
    for (int j = 0; j < kLanes; ++j) {
        m = high[j] > m ? high[j] : m;
    }
    if (m == kInf || anyNaN(scores, alphabetSize, sumOf(probe))) {
        return std::numeric_limits<float>::quiet_NaN();
    }
    if (m == kNegInf) {
        return kNegInf;
    }
    const Vec top = splat(m);
    Vec sum = rest > 0 ? ctc_math::expNonPositive(load(sumTail) - top) : splat(0.f);
    for (int i = 0; i < blocks; ++i) {
        sum += ctc_math::expNonPositive(load(scores + i * kLanes) - top);
    }
    return m + std::log(sumOf(sum));
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

// Scratch of one item, carved out of the caller's workspace: two alpha rows (the previous step's
// and the next), each with two -inf entries in front so that state s reads s - 1 and s - 2
// without a test; per state, 0 or -inf for whether it may be reached by skipping a blank; per
// state, the log-probability of its symbol at the current step. Every array has kLanes - 1
// entries of padding at the end, so that whole vectors can be read and written.
struct Scratch {
    static constexpr int kPad = kLanes - 1;
    float* alpha;
    float* next;
    float* skip;
    float* emit;

    static size_t rowFloats(int states) { return static_cast<size_t>(states) + 2 + kPad; }
    static size_t floats(int states) {
        return 2 * rowFloats(states) + 2 * (static_cast<size_t>(states) + kPad);
    }
    Scratch(float* workspace, int states)
        : alpha(workspace),
          next(alpha + rowFloats(states)),
          skip(next + rowFloats(states)),
          emit(skip + states + kPad) {}
};

// One step of the forward recursion for the states in [first, last]:
// next[s] = ln(e^alpha[s] + e^alpha[s-1] + e^alpha[s-2] if the skip is allowed) + emit[s].
// Rows are offset by 2 (the padding); states past `last` keep their value.
void forwardStep(const float* alpha, const float* skip, const float* emit, int first, int last, float* next) {
    using ctc_math::IntVec;
    const IntVec lane = {0, 1, 2, 3};
    static_assert(kLanes == 4);
    for (int s = first; s <= last; s += kLanes) {
        const Vec a = load(alpha + s + 2);
        const Vec b = load(alpha + s + 1);
        const Vec c = load(alpha + s) + load(skip + s);
        // The largest term contributes e^0 = 1 exactly; only the other two need an exp.
        const Vec low = a < b ? a : b;
        const Vec high = a < b ? b : a;
        const Vec m = high < c ? c : high;
        const Vec middle = high < c ? high : c;
        const IntVec none = m == splat(kNegInf);
        const Vec base = none ? splat(0.f) : m;
        // sum is in [1, 3]: a normal number, as the fast log needs.
        const Vec sum = 1.f + ctc_math::expNonPositive(low - base) + ctc_math::expNonPositive(middle - base);
        const Vec value = base + ctc_math::logPositiveNormal(sum) + load(emit + s);
        const IntVec inRange = (lane + s) <= last;
        const Vec old = load(next + s + 2);
        ctc_math::store(next + s + 2, inRange ? (none ? splat(kNegInf) : value) : old);
    }
}

// -ln P(labels) by the forward recursion over the extended labelling (blank, l1, blank, l2, ..., blank),
// in log space. Only the symbols of the labels and the blank are looked at, besides the normaliser.
float forwardCost(const float* activations, int stride, int alphabetSize, int blank, const Item& item,
                  float* workspace) {
    const int states = 2 * item.labelLength + 1;
    if (requiredSteps(item) > item.steps) {
        return kInf;
    }
    if (item.steps == 0) {
        return 0.f;  // no steps and no labels: the empty alignment, probability 1
    }
    auto symbol = [&](int s) { return (s & 1) ? item.labels[s >> 1] : blank; };
    Scratch w(workspace, states);
    std::fill(w.alpha, w.alpha + Scratch::rowFloats(states), kNegInf);
    std::fill(w.next, w.next + Scratch::rowFloats(states), kNegInf);
    std::fill(w.skip, w.skip + states + Scratch::kPad, kNegInf);
    std::fill(w.emit, w.emit + states + Scratch::kPad, 0.f);
    for (int s = 0; s < states; ++s) {
        w.skip[s] = (s >= 2 && (s & 1) && symbol(s) != symbol(s - 2)) ? 0.f : kNegInf;
    }
    for (int t = 0; t < item.steps; ++t) {
        const float* scores = activations + static_cast<ptrdiff_t>(t) * stride;
        const float norm = logNormaliser(scores, alphabetSize);
        if (std::isnan(norm)) {
            return std::numeric_limits<float>::quiet_NaN();
        }
        if (norm == kNegInf) {
            return kInf;
        }
        // Only states from which the end is still reachable, and which the start can reach.
        const int newFirst = std::max(0, states - 2 * (item.steps - t));
        const int last = std::min(states - 1, 2 * t + 1);
        if (t == 0) {
            w.alpha[2] = scores[blank] - norm;
            if (states > 1) {
                w.alpha[3] = scores[symbol(1)] - norm;
            }
            continue;
        }
        // Even states are the blank, odd state s is label s / 2.
        std::fill(w.emit + newFirst, w.emit + last + 1, scores[blank] - norm);
        for (int s = newFirst | 1; s <= last; s += 2) {
            w.emit[s] = scores[item.labels[s >> 1]] - norm;
        }
        forwardStep(w.alpha, w.skip, w.emit, newFirst, last, w.next);
        // States below the range cannot reach the end any more (the row still holds an older step).
        std::fill(w.next + 2, w.next + 2 + newFirst, kNegInf);
        std::swap(w.alpha, w.next);
    }
    const float* alpha = w.alpha + 2;
    return -(states > 1 ? logAdd2(alpha[states - 1], alpha[states - 2]) : alpha[0]);
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
    int states = 0;
    for (int b = 0; b < minibatch; ++b) {
        states = std::max(states, 2 * label_lengths[b] + 1);
    }
    *size_bytes = Scratch::floats(states) * sizeof(float);
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
    auto* scratch = static_cast<float*>(workspace);
    ctcStatus_t status = CTC_STATUS_SUCCESS;
    const int* labels = flat_labels;
    for (int b = 0; b < minibatch; ++b) {
        Item item{labels, label_lengths[b], input_lengths[b]};
        costs[b] = forwardCost(activations + static_cast<ptrdiff_t>(b) * alphabet_size, stride, alphabet_size,
                               options.blank_label, item, scratch);
        if (std::isnan(costs[b])) {
            status = CTC_STATUS_INVALID_VALUE;
        }
        labels += label_lengths[b];
    }
    return status;
}
