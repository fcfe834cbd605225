#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

// Adapts a plate reader's output to the CTC prefix beam search of ctcdecode: token 0 is a blank
// column of zeros put in front of every step, token k >= 1 is alphabet character k - 1 (the
// network's own blank, the space, is an ordinary token whose characters are dropped from the
// texts). The step buffers are allocated once and rewritten by every decode; not thread-safe.
class BeamDecoder {
  public:
    // Throws std::invalid_argument for a skip beyond ctcSize or a beam size of 0.
    BeamDecoder(const std::string& alphabet, size_t skip, size_t beamSize, size_t batchSize, size_t ctcSize);

    // Per batch item, (text, probability) pairs, best first. `output`: batchSize x ctcSize x A.
    std::vector<std::vector<std::pair<std::string, double>>> decode(const std::vector<float>& output);

  private:
    std::string alphabet;
    size_t skip;
    size_t rowSize;
    size_t batchSize;
    size_t beamSize;
    size_t ctcSize;
    std::vector<std::vector<std::vector<float>>> seq;
};
