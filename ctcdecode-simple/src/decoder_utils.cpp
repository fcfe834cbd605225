#include "ctcdecode/decoder_utils.h"

#include <cfloat>
#include <sstream>
#include <stdexcept>
#include <string>

#include "ctcdecode/path_trie.h"

namespace ctcdecode {

namespace {

// A log-softmax output can round slightly above 0; anything beyond this is not a log probability.
constexpr float kMaxLogInput = 1e-3f;

std::string describe(float value) {
    std::ostringstream text;
    text << value;
    return text.str();
}

// NaN has no place in an order and an infinity turns the sums of the search into NaN, so such a
// step is refused before anything is sorted or summed.
void check_step(const std::vector<float>& prob_step, int log_input) {
    for (std::size_t i = 0; i < prob_step.size(); ++i) {
        const float value = prob_step[i];
        if (log_input != 0 && !(value <= kMaxLogInput)) {
            throw std::invalid_argument("ctcdecode: token " + std::to_string(i) + " has log probability " +
                                        describe(value) +
                                        "; log input must hold log probabilities of at most 0 (or -inf)");
        }
        if (log_input == 0 && !(value >= 0.0f && value <= FLT_MAX)) {
            throw std::invalid_argument("ctcdecode: token " + std::to_string(i) + " has probability " +
                                        describe(value) +
                                        "; a step must hold finite probabilities of at least 0");
        }
    }
}

float probability_of(float value, int log_input) {
    return log_input != 0 ? std::exp(value) : value;
}

}  // namespace

std::vector<std::pair<int, float>> get_pruned_log_probs(const std::vector<float>& prob_step,
                                                        float cutoff_prob, std::size_t cutoff_top_n,
                                                        int log_input) {
    std::vector<std::pair<int, float>> out;
    get_pruned_log_probs(prob_step, cutoff_prob, cutoff_top_n, log_input, out);
    return out;
}

void get_pruned_log_probs(const std::vector<float>& prob_step, float cutoff_prob, std::size_t cutoff_top_n,
                          int log_input, std::vector<std::pair<int, float>>& out) {
    check_step(prob_step, log_input);
    out.resize(prob_step.size());
    for (std::size_t i = 0; i < prob_step.size(); ++i) {
        out[i] = {static_cast<int>(i), prob_step[i]};
    }
    const auto by_probability = pair_comp_second_rev<int, float>;
    bool sorted = false;
    if (cutoff_prob < 1.0f) {
        std::sort(out.begin(), out.end(), by_probability);
        sorted = true;
        float cumulative = 0.0f;
        std::size_t keep = 0;
        while (keep < out.size()) {
            cumulative += probability_of(out[keep].second, log_input);
            ++keep;
            if (cumulative >= cutoff_prob) {
                break;
            }
        }
        out.resize(keep);
    }
    if (cutoff_top_n < out.size()) {
        const auto top = out.begin() + static_cast<std::ptrdiff_t>(cutoff_top_n);
        if (!sorted) {
            std::partial_sort(out.begin(), top, out.end(), by_probability);
        }
        out.erase(top, out.end());
    }
    if (log_input == 0) {
        for (auto& entry : out) {
            entry.second = std::log(entry.second + FLT_MIN);
        }
    }
}

std::vector<std::pair<float, Output>> get_beam_search_result(const std::vector<PathTrie*>& prefixes,
                                                             std::size_t beam_size) {
    const std::size_t count = std::min(beam_size, prefixes.size());
    std::vector<PathTrie*> best(prefixes.begin(), prefixes.begin() + static_cast<std::ptrdiff_t>(count));
    std::sort(best.begin(), best.end(), prefix_compare);

    std::vector<std::pair<float, Output>> results;
    results.reserve(count);
    for (const PathTrie* prefix : best) {
        Output output;
        prefix->get_path_vec(output.tokens, output.timesteps);
        results.emplace_back(-prefix->approx_ctc, std::move(output));
    }
    return results;
}

bool prefix_compare(const PathTrie* x, const PathTrie* y) {
    if (x->score == y->score) {
        return x->character < y->character;
    }
    return x->score > y->score;
}

bool prefix_compare_external_scores(const PathTrie* x, const PathTrie* y,
                                    const std::unordered_map<const PathTrie*, float>& scores) {
    const float x_score = scores.at(x);
    const float y_score = scores.at(y);
    if (x_score == y_score) {
        return x->character < y->character;
    }
    return x_score > y_score;
}

}  // namespace ctcdecode
