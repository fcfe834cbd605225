#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "ctcdecode/output.h"
#include "ctcdecode/path_trie.h"

namespace ctcdecode {

// The state of one CTC prefix beam search, advanced one step of token probabilities at a time.
// There is no language model: a prefix's score is its CTC log probability under the steps alone.
//
// After each step the beam holds the `beam_size` most probable prefixes (fewer while there are
// fewer). Trie nodes are made only for the extensions that enter the beam, so a step costs the
// offered tokens times the beam and allocates nothing once the trie has reached its largest size.
//
// Not thread-safe; separate states may run in separate threads.
class DecoderState {
  public:
    // Throws std::invalid_argument for a beam_size of 0, which could keep no prefix at all.
    // `cutoff_prob` and `cutoff_top_n` limit the tokens offered per step (get_pruned_log_probs);
    // `blank_id` is the CTC blank; `log_input` says that the steps hold log probabilities.
    DecoderState(std::size_t beam_size, float cutoff_prob, std::size_t cutoff_top_n, std::size_t blank_id,
                 int log_input);
    DecoderState(DecoderState&&) noexcept = default;
    DecoderState& operator=(DecoderState&&) noexcept = default;
    DecoderState(const DecoderState&) = delete;
    DecoderState& operator=(const DecoderState&) = delete;
    ~DecoderState() = default;

    // Advances the beam over `probs_seq`, one vector of per-token values per step. Throws
    // std::invalid_argument, naming the step and token, for a value that cannot be ordered
    // (get_pruned_log_probs); the steps before it stay applied.
    void next(const std::vector<std::vector<float>>& probs_seq);

    // The beam, best first, as (negated score, tokens with their steps).
    std::vector<std::pair<float, Output>> decode() const;

    // The current beam (live prefixes), in no particular order.
    const std::vector<PathTrie*>& current_prefixes() const { return prefixes; }
    // Steps processed so far.
    int steps_done() const { return abs_time_step; }

  private:
    // A prefix competing for the beam at the end of a step.
    struct Candidate {
        enum class Kind : std::uint8_t { Beam, Revive, New };
        float score;
        int character;
        PathTrie* node;            // Beam, Revive: the node; New: its parent
        float log_prob_c;          // Revive, New: the token's log probability at this step
        std::uint32_t beam_index;  // Beam: position in `prefixes` (a beam never reaches 2^32 prefixes)
        Kind kind;
    };

    void advance(const std::vector<float>& prob_step);
    void index_step(std::size_t width);
    void gather_into_beam();
    void offer_extensions();
    void offer(const Candidate& candidate);
    void mark_children(const PathTrie& prefix, bool mark);
    bool beam_is_full() const { return best_.size() >= beam_size; }
    void apply_selection();
    float extension_log_prob(const PathTrie& prefix, int token, float log_prob) const;

    int abs_time_step = 0;
    std::size_t beam_size;
    float cutoff_prob;
    std::size_t cutoff_top_n;
    std::size_t blank_id;
    int log_input;
    std::vector<PathTrie*> prefixes;
    std::unique_ptr<PathTrie> root;

    // Per-step scratch, kept for its capacity.
    std::vector<std::pair<int, float>> pruned_;
    std::vector<float> token_log_prob_;  // by token id, valid where token_offered_ is set
    std::vector<std::uint8_t> token_offered_;
    std::vector<std::pair<float, int>>
        ranked_tokens_;             // non-blank offered tokens, the head most probable first
    std::size_t ranked_count_ = 0;  // length of the ordered head
    std::vector<PathTrie*> ranked_prefixes_;
    std::vector<std::uint64_t> child_bits_;
    std::vector<Candidate> best_;  // heap, worst candidate at the front
    std::vector<std::uint8_t> kept_;
    std::vector<PathTrie*> next_prefixes_;
    float blank_log_prob_ = 0.0f;
    bool blank_offered_ = false;
    float max_token_log_prob_ = 0.0f;
};

}  // namespace ctcdecode
