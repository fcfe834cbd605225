#pragma once

// Inputs and independent references for the beam-search tests.

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "ctcdecode/decoder_utils.h"
#include "ctcdecode/output.h"
#include "ctcdecode/path_trie.h"

namespace ctcdecode::testing {

using Steps = std::vector<std::vector<float>>;

// A small generator of our own, so inputs are the same with every standard library.
class SplitMix {
  public:
    explicit SplitMix(std::uint64_t seed) : state_(seed) {}
    double uniform() {  // [0, 1)
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
        return static_cast<double>(z >> 11) * 0x1.0p-53;
    }
    std::size_t below(std::size_t n) { return static_cast<std::size_t>(uniform() * static_cast<double>(n)); }

  private:
    std::uint64_t state_;
};

// T softmax rows of C tokens. `peak` > 0 makes one random token per step dominate;
// `zero_column` >= 0 names a token whose probability is exactly 0 (the plate reader's blank column).
inline Steps random_steps(std::uint64_t seed, std::size_t t_count, std::size_t c_count, double peak = 0.0,
                          int zero_column = -1) {
    SplitMix random(seed);
    Steps steps(t_count, std::vector<float>(c_count));
    for (auto& row : steps) {
        std::vector<double> logits(c_count);
        for (double& logit : logits) {
            logit = 3.0 * random.uniform();
        }
        if (peak > 0.0) {
            logits[random.below(c_count)] += peak;
        }
        if (zero_column >= 0) {
            logits[static_cast<std::size_t>(zero_column)] = -INFINITY;
        }
        const double top = *std::max_element(logits.begin(), logits.end());
        double sum = 0.0;
        for (double& logit : logits) {
            logit = std::exp(logit - top);
            sum += logit;
        }
        for (std::size_t c = 0; c < c_count; ++c) {
            row[c] = static_cast<float>(logits[c] / sum);
        }
    }
    return steps;
}

// Probability of every labelling: the sum over all C^T alignments that collapse to it.
inline std::map<std::vector<int>, double> brute_force_labellings(const Steps& steps, int blank) {
    std::map<std::vector<int>, double> labellings;
    const std::size_t t_count = steps.size();
    const std::size_t c_count = t_count == 0 ? 0 : steps.front().size();
    std::vector<std::size_t> alignment(t_count, 0);
    while (true) {
        double probability = 1.0;
        std::vector<int> labelling;
        int previous = -1;
        for (std::size_t t = 0; t < t_count; ++t) {
            const int token = static_cast<int>(alignment[t]);
            probability *= steps[t][alignment[t]];
            if (token != blank && token != previous) {
                labelling.push_back(token);
            }
            previous = token;
        }
        labellings[labelling] += probability;
        std::size_t t = 0;
        while (t < t_count && ++alignment[t] == c_count) {
            alignment[t++] = 0;
        }
        if (t == t_count) {
            return labellings;
        }
    }
}

// The search done the plain way: every (prefix, token) pair gets its trie node, then the whole
// trie is rolled on, the beam is chosen by nth_element and the rest is removed.
inline std::vector<std::pair<float, Output>> make_then_prune_search(const Steps& steps, std::size_t beam,
                                                                    std::size_t blank) {
    PathTrie root;
    root.log_prob_b_prev = 0.0f;
    root.score = 0.0f;
    std::vector<PathTrie*> prefixes{&root};
    int t = 0;
    for (const auto& step : steps) {
        for (const auto& [c, lp] : get_pruned_log_probs(step, 1.0f, 40, 0)) {
            for (std::size_t i = 0; i < beam && i < prefixes.size(); ++i) {
                PathTrie* prefix = prefixes[i];
                if (static_cast<std::size_t>(c) == blank) {
                    prefix->log_prob_b_cur = log_sum_exp(prefix->log_prob_b_cur, lp + prefix->score);
                    continue;
                }
                if (c == prefix->character) {
                    prefix->log_prob_nb_cur =
                        log_sum_exp(prefix->log_prob_nb_cur, lp + prefix->log_prob_nb_prev);
                }
                PathTrie* extended = prefix->get_path_trie(c, t, lp, true);
                float log_p = lp + prefix->score;
                if (c == prefix->character) {
                    const float after_blank = lp + prefix->log_prob_b_prev;
                    log_p = after_blank > -FLT_MAX ? after_blank : -FLT_MAX;
                }
                extended->log_prob_nb_cur = log_sum_exp(extended->log_prob_nb_cur, log_p);
            }
        }
        prefixes.clear();
        root.iterate_to_vec(prefixes);
        if (prefixes.size() > beam) {
            std::nth_element(prefixes.begin(), prefixes.begin() + static_cast<std::ptrdiff_t>(beam),
                             prefixes.end(), prefix_compare);
            for (std::size_t i = beam; i < prefixes.size(); ++i) {
                prefixes[i]->remove();
            }
            prefixes.resize(beam);
        }
        ++t;
    }
    for (PathTrie* prefix : prefixes) {
        prefix->approx_ctc = prefix->score;
    }
    return get_beam_search_result(prefixes, beam);
}

// Results whose score is a real probability (not the "impossible" -FLT_MAX).
inline std::vector<std::pair<float, Output>> possible_only(std::vector<std::pair<float, Output>> results) {
    std::erase_if(results, [](const auto& result) { return -result.first <= -FLT_MAX; });
    return results;
}

}  // namespace ctcdecode::testing
