#include "BeamDecoder.h"

#include <cmath>
#include <stdexcept>

#include "ctcdecode/ctc_beam_search_decoder.h"

namespace {

constexpr float kCutoffProb = 1.0f;
constexpr size_t kCutoffTopN = 40;
constexpr size_t kBlankId = 0;
constexpr int kLogInput = 0;

}  // namespace

BeamDecoder::BeamDecoder(const std::string& alphabet_, size_t skip_, size_t beamSize_, size_t batchSize_,
                         size_t ctcSize_)
    : alphabet(alphabet_),
      skip(skip_),
      rowSize(alphabet_.size() + 1),
      batchSize(batchSize_),
      beamSize(beamSize_),
      ctcSize(ctcSize_) {
    if (skip > ctcSize || beamSize == 0 || alphabet.empty()) {
        throw std::invalid_argument("BeamDecoder: skip " + std::to_string(skip) + " of " +
                                    std::to_string(ctcSize) + " steps, beam size " +
                                    std::to_string(beamSize) + " or an empty alphabet");
    }
    seq.assign(batchSize, std::vector<std::vector<float>>(ctcSize - skip, std::vector<float>(rowSize, 0.f)));
}

std::vector<std::vector<std::pair<std::string, double>>> BeamDecoder::decode(
    const std::vector<float>& output) {
    const size_t a = alphabet.size();
    if (output.size() < batchSize * ctcSize * a) {
        throw std::invalid_argument("BeamDecoder: output of " + std::to_string(output.size()) + " scores");
    }
    std::vector<std::vector<std::pair<std::string, double>>> texts(batchSize);
    for (size_t b = 0; b < batchSize; ++b) {
        for (size_t t = 0; t + skip < ctcSize; ++t) {
            const float* step = output.data() + (b * ctcSize + t + skip) * a;
            std::copy(step, step + a, seq[b][t].begin() + 1);
        }
        for (const auto& [negScore, beam] : ctcdecode::ctc_beam_search_decoder(
                 seq[b], beamSize, kCutoffProb, kCutoffTopN, kBlankId, kLogInput)) {
            std::string text;
            for (int token : beam.tokens) {
                char c = alphabet[static_cast<size_t>(token - 1) % a];
                if (c != ' ') {
                    text += c;
                }
            }
            texts[b].emplace_back(std::move(text), static_cast<double>(std::exp(-negScore)));
        }
    }
    return texts;
}
