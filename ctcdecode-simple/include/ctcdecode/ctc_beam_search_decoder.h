#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "ctcdecode/output.h"

namespace ctcdecode {

// A whole CTC prefix beam search over `probs_seq` (one vector of per-token values per step, indexed
// by token id): at most `beam_size` results, best first, each as (negated log probability, beam).
// An empty sequence gives the empty prefix alone, with 0.
//
// Throws std::invalid_argument for a beam_size of 0 and for a step value that cannot be ordered
// (NaN, infinity, a negative probability; see get_pruned_log_probs). Reentrant: keeps no state.
std::vector<std::pair<float, Output>> ctc_beam_search_decoder(
    const std::vector<std::vector<float>>& probs_seq, std::size_t beam_size, float cutoff_prob,
    std::size_t cutoff_top_n, std::size_t blank_id, int log_input);

}  // namespace ctcdecode
