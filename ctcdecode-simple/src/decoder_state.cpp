#include "ctcdecode/decoder_state.h"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string>
#include <unordered_map>

#include "ctcdecode/decoder_utils.h"

namespace ctcdecode {

namespace {

constexpr float kNoLogProb = PathTrie::kNoLogProb;
// Scratch is reserved up front only this far: a huge beam is legal but rarely filled.
constexpr std::size_t kReserveLimit = 1024;
// Tokens put in order per step; the others are only checked against the beam's worst score.
constexpr std::size_t kRankedTokens = 4;
constexpr std::uint8_t kOffered = 1;
constexpr std::uint8_t kOfferedRanked = 2;

// The order of prefix_compare, on candidates.
constexpr auto better = [](const auto& a, const auto& b) {
    if (a.score == b.score) {
        return a.character < b.character;
    }
    return a.score > b.score;
};

std::size_t checked_beam_size(std::size_t beam_size) {
    if (beam_size < 1) {
        throw std::invalid_argument("ctcdecode: beam size must be at least 1, got " +
                                    std::to_string(beam_size));
    }
    return beam_size;
}

std::string without_library_prefix(const std::string& message) {
    static const std::string prefix = "ctcdecode: ";
    return message.rfind(prefix, 0) == 0 ? message.substr(prefix.size()) : message;
}

// A prefix entering the beam with one alignment class: ending in its last token, at `log_prob`.
void start_prefix(PathTrie& node, float log_prob) {
    node.log_prob_b_prev = kNoLogProb;
    node.log_prob_nb_prev = log_prob;
    node.log_prob_b_cur = kNoLogProb;
    node.log_prob_nb_cur = kNoLogProb;
    node.score = log_prob;
}

}  // namespace

DecoderState::DecoderState(std::size_t beam_size, float cutoff_prob, std::size_t cutoff_top_n,
                           std::size_t blank_id, int log_input)
    : beam_size(checked_beam_size(beam_size)),
      cutoff_prob(cutoff_prob),
      cutoff_top_n(cutoff_top_n),
      blank_id(blank_id),
      log_input(log_input),
      root(std::make_unique<PathTrie>()) {
    root->log_prob_b_prev = 0.0f;
    root->score = 0.0f;
    const std::size_t reserve = std::min(beam_size, kReserveLimit);
    prefixes.reserve(reserve);
    prefixes.push_back(root.get());
    best_.reserve(reserve);
    kept_.reserve(reserve);
    next_prefixes_.reserve(reserve);
}

void DecoderState::next(const std::vector<std::vector<float>>& probs_seq) {
    for (const std::vector<float>& prob_step : probs_seq) {
        try {
            get_pruned_log_probs(prob_step, cutoff_prob, cutoff_top_n, log_input, pruned_);
        } catch (const std::invalid_argument& e) {
            throw std::invalid_argument("ctcdecode: step " + std::to_string(abs_time_step) + ": " +
                                        without_library_prefix(e.what()));
        }
        advance(prob_step);
    }
}

// One step. Instead of making a node for every (prefix, token) pair and pruning most of them again,
// the step scores every candidate first and makes nodes only for the winners; the beam, its scores
// and the nodes' steps come out as with make-then-prune, since a node made and pruned in one step
// leaves no trace. Every update reads the previous step's values, which stay put until the end.
void DecoderState::advance(const std::vector<float>& prob_step) {
    index_step(prob_step.size());
    best_.clear();
    gather_into_beam();
    offer_extensions();
    apply_selection();
    ++abs_time_step;
}

// Indexes the step's tokens by id and ranks them for offer_extensions: the best kRankedTokens first,
// in order, then the others as they come, none of them above the last of the head.
void DecoderState::index_step(std::size_t width) {
    // Log probabilities are read only where a token is marked offered, so only the marks are cleared;
    // the child bits are always left cleared by offer_extensions.
    if (token_log_prob_.size() < width) {
        token_log_prob_.resize(width);
        child_bits_.resize((width + 63) / 64, 0);
    }
    token_offered_.assign(width, 0);
    blank_offered_ = false;
    float* log_probs = token_log_prob_.data();
    std::uint8_t* offered = token_offered_.data();

    std::pair<float, int> head[kRankedTokens];
    std::size_t head_size = 0;
    for (const auto& [token, log_prob] : pruned_) {
        log_probs[token] = log_prob;
        offered[token] = kOffered;
        if (static_cast<std::size_t>(token) == blank_id) {
            blank_offered_ = true;
            blank_log_prob_ = log_prob;
            continue;
        }
        if (head_size == kRankedTokens && !(log_prob > head[kRankedTokens - 1].first)) {
            continue;
        }
        std::size_t at = head_size < kRankedTokens ? head_size++ : kRankedTokens - 1;
        for (; at > 0 && head[at - 1].first < log_prob; --at) {
            head[at] = head[at - 1];
        }
        head[at] = {log_prob, token};
    }

    ranked_tokens_.assign(head, head + head_size);
    ranked_count_ = head_size;
    for (std::size_t i = 0; i < head_size; ++i) {
        offered[head[i].second] = kOfferedRanked;
    }
    for (const auto& [token, log_prob] : pruned_) {
        if (offered[token] == kOffered && static_cast<std::size_t>(token) != blank_id) {
            ranked_tokens_.emplace_back(log_prob, token);
        }
    }
    max_token_log_prob_ = head_size == 0 ? -std::numeric_limits<float>::infinity() : head[0].first;
}

float DecoderState::extension_log_prob(const PathTrie& prefix, int token, float log_prob) const {
    if (token != prefix.character) {
        return log_prob + prefix.score;
    }
    // A repeated token starts a new character only after a blank.
    const float after_blank = log_prob + prefix.log_prob_b_prev;
    return after_blank > kNoLogProb ? after_blank : kNoLogProb;
}

// Adds this step's probability to the prefixes that already exist (the beam itself and the children
// of beam prefixes) and offers them for the beam.
void DecoderState::gather_into_beam() {
    const auto offered = [this](int token) {
        return token >= 0 && static_cast<std::size_t>(token) < token_offered_.size() &&
               token_offered_[token] != 0 && static_cast<std::size_t>(token) != blank_id;
    };
    for (PathTrie* prefix : prefixes) {
        if (blank_offered_) {
            prefix->log_prob_b_cur = log_sum_exp(prefix->log_prob_b_cur, blank_log_prob_ + prefix->score);
        }
        if (offered(prefix->character)) {
            prefix->log_prob_nb_cur = log_sum_exp(
                prefix->log_prob_nb_cur, token_log_prob_[prefix->character] + prefix->log_prob_nb_prev);
        }
        for (const auto& [token, child_ptr] : prefix->children()) {
            if (!offered(token)) {
                continue;
            }
            PathTrie* child = child_ptr.get();
            const float log_prob = token_log_prob_[token];
            if (log_prob > child->log_prob_c) {
                child->log_prob_c = log_prob;
                child->timestep = abs_time_step;
            }
            const float log_p = extension_log_prob(*prefix, token, log_prob);
            if (child->exists()) {
                child->log_prob_nb_cur = log_sum_exp(child->log_prob_nb_cur, log_p);
            } else {
                offer({log_p, token, child, log_prob, 0, Candidate::Kind::Revive});
            }
        }
    }
    for (std::size_t i = 0; i < prefixes.size(); ++i) {
        PathTrie* prefix = prefixes[i];
        offer({log_sum_exp(prefix->log_prob_b_cur, prefix->log_prob_nb_cur), prefix->character, prefix, 0.0f,
               static_cast<std::uint32_t>(i), Candidate::Kind::Beam});
    }
}

// Offers the one-token extensions that have no node yet. Prefixes go best first and tokens most
// probable first, so the beam's worst score rises quickly; an extension scores at most the prefix's
// score plus the token's, so the rest of a prefix's tokens are skipped once that falls below it.
void DecoderState::offer_extensions() {
    ranked_prefixes_.assign(prefixes.begin(), prefixes.end());
    std::sort(ranked_prefixes_.begin(), ranked_prefixes_.end(), prefix_compare);
    for (PathTrie* prefix : ranked_prefixes_) {
        if (beam_is_full() && prefix->score + max_token_log_prob_ < best_.front().score) {
            continue;
        }
        mark_children(*prefix, true);
        for (std::size_t i = 0; i < ranked_tokens_.size(); ++i) {
            const auto [log_prob, token] = ranked_tokens_[i];
            // In the ordered head a token below the bar ends the prefix; the unordered tail lies
            // below the head's last token, so the bar is checked against that once, then per token.
            const float bound = i < ranked_count_ ? log_prob : ranked_tokens_[ranked_count_ - 1].first;
            if (beam_is_full() && bound + prefix->score < best_.front().score) {
                break;
            }
            if (beam_is_full() && log_prob + prefix->score < best_.front().score) {
                continue;
            }
            if ((child_bits_[token >> 6] >> (token & 63) & 1) != 0) {
                continue;
            }
            const Candidate candidate{extension_log_prob(*prefix, token, log_prob),
                                      token,
                                      prefix,
                                      log_prob,
                                      0,
                                      Candidate::Kind::New};
            if (!beam_is_full() || better(candidate, best_.front())) {
                offer(candidate);
            }
        }
        mark_children(*prefix, false);
    }
}

void DecoderState::mark_children(const PathTrie& prefix, bool mark) {
    for (const auto& entry : prefix.children()) {
        const auto token = static_cast<std::size_t>(entry.first);
        if (token < token_offered_.size()) {
            child_bits_[token >> 6] = mark ? child_bits_[token >> 6] | (std::uint64_t{1} << (token & 63)) : 0;
        }
    }
}

// Keeps the beam_size best candidates offered so far in a heap whose front is the worst of them.
void DecoderState::offer(const Candidate& candidate) {
    if (best_.size() < beam_size) {
        best_.push_back(candidate);
        std::push_heap(best_.begin(), best_.end(), better);
        return;
    }
    if (!better(candidate, best_.front())) {
        return;
    }
    std::pop_heap(best_.begin(), best_.end(), better);
    best_.back() = candidate;
    std::push_heap(best_.begin(), best_.end(), better);
}

// Moves the winners on to the next step and prunes the rest. Nodes are made before any removal,
// so a pruned prefix whose extension won stays in the trie as its dead parent.
void DecoderState::apply_selection() {
    kept_.assign(prefixes.size(), 0);
    next_prefixes_.clear();
    for (const Candidate& candidate : best_) {
        PathTrie* node = candidate.node;
        switch (candidate.kind) {
            case Candidate::Kind::Beam:
                node->log_prob_b_prev = node->log_prob_b_cur;
                node->log_prob_nb_prev = node->log_prob_nb_cur;
                node->log_prob_b_cur = kNoLogProb;
                node->log_prob_nb_cur = kNoLogProb;
                node->score = candidate.score;
                kept_[candidate.beam_index] = 1;
                break;
            case Candidate::Kind::Revive:
                node = node->parent->get_path_trie(candidate.character, abs_time_step, candidate.log_prob_c);
                start_prefix(*node, candidate.score);
                break;
            case Candidate::Kind::New:
                node = node->get_path_trie(candidate.character, abs_time_step, candidate.log_prob_c);
                start_prefix(*node, candidate.score);
                break;
        }
        next_prefixes_.push_back(node);
    }
    for (std::size_t i = 0; i < prefixes.size(); ++i) {
        if (kept_[i] == 0) {
            prefixes[i]->log_prob_b_cur = kNoLogProb;
            prefixes[i]->log_prob_nb_cur = kNoLogProb;
            prefixes[i]->remove();
        }
    }
    prefixes.swap(next_prefixes_);
}

std::vector<std::pair<float, Output>> DecoderState::decode() const {
    std::vector<PathTrie*> sorted = prefixes;
    std::unordered_map<const PathTrie*, float> scores;
    scores.reserve(sorted.size());
    for (const PathTrie* prefix : sorted) {
        scores.emplace(prefix, prefix->score);
    }
    const auto end = sorted.begin() + static_cast<std::ptrdiff_t>(std::min(beam_size, sorted.size()));
    std::sort(sorted.begin(), end, [&scores](const PathTrie* x, const PathTrie* y) {
        return prefix_compare_external_scores(x, y, scores);
    });
    for (auto it = sorted.begin(); it != end; ++it) {
        (*it)->approx_ctc = (*it)->score;
    }
    return get_beam_search_result(sorted, beam_size);
}

}  // namespace ctcdecode
