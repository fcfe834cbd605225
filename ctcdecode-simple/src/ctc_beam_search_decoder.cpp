#include "ctcdecode/ctc_beam_search_decoder.h"

#include "ctcdecode/decoder_state.h"

namespace ctcdecode {

std::vector<std::pair<float, Output>> ctc_beam_search_decoder(
    const std::vector<std::vector<float>>& probs_seq, std::size_t beam_size, float cutoff_prob,
    std::size_t cutoff_top_n, std::size_t blank_id, int log_input) {
    DecoderState state(beam_size, cutoff_prob, cutoff_top_n, blank_id, log_input);
    state.next(probs_seq);
    return state.decode();
}

}  // namespace ctcdecode
