#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "ctcdecode/output.h"

namespace ctcdecode {

class PathTrie;

// ln(e^x + e^y) in single precision; a value at or below -FLT_MAX counts as "impossible".
inline float log_sum_exp(float x, float y) {
    constexpr float num_min = -std::numeric_limits<float>::max();
    if (x <= num_min) {
        return y;
    }
    if (y <= num_min) {
        return x;
    }
    // e^(x - m) + e^(y - m) with one of the two terms e^0 = 1 exactly.
    const float m = std::max(x, y);
    const float d = x < y ? x - y : y - x;
    return m + std::log(1.0f + std::exp(d));
}

// The tokens of one step that the search offers to each prefix, as (token id, log probability):
// all of them in index order, or, when `cutoff_top_n` is smaller than the step or `cutoff_prob` is
// below 1, the most probable first, as many as make up `cutoff_prob` of the probability and at most
// `cutoff_top_n`. Probabilities become ln(p + FLT_MIN), so 0 gives about -87.34; with `log_input`
// set the step already holds log probabilities and they are kept as they are.
//
// Throws std::invalid_argument, naming the token, for a value that the search cannot order: NaN,
// infinity or a negative probability; with `log_input`, NaN, +infinity or a log probability above 0
// (beyond rounding). Nothing is sorted before the whole step has been checked.
std::vector<std::pair<int, float>> get_pruned_log_probs(const std::vector<float>& prob_step,
                                                        float cutoff_prob, std::size_t cutoff_top_n,
                                                        int log_input);
// The same into `out`, which keeps its capacity from step to step.
void get_pruned_log_probs(const std::vector<float>& prob_step, float cutoff_prob, std::size_t cutoff_top_n,
                          int log_input, std::vector<std::pair<int, float>>& out);

// The results of a search: the first min(beam_size, prefixes) prefixes, best first, each as its
// negated `approx_ctc` with its tokens and steps. A beam_size of 0 gives no result.
std::vector<std::pair<float, Output>> get_beam_search_result(const std::vector<PathTrie*>& prefixes,
                                                             std::size_t beam_size);

// The order of prefixes: higher score first; equal scores, smaller last token first.
bool prefix_compare(const PathTrie* x, const PathTrie* y);
// The same order with the scores taken from `scores`; std::out_of_range for a node missing there.
bool prefix_compare_external_scores(const PathTrie* x, const PathTrie* y,
                                    const std::unordered_map<const PathTrie*, float>& scores);

// Higher second member first.
template <typename T1, typename T2>
bool pair_comp_second_rev(const std::pair<T1, T2>& a, const std::pair<T1, T2>& b) {
    return a.second > b.second;
}

}  // namespace ctcdecode
