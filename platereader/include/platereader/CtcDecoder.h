#pragma once

#include <string>
#include <vector>

// Greedy (best-path) CTC decoding of one batch item of a plate reader's output, with the
// confidence of the decoded text as its probability under the CTC loss.
//
// Output layout: `ctcSize` steps of `ctcWidth` scores; score x of a step belongs to the alphabet's
// character x. The space is the blank when collapsing; the loss takes the last alphabet position
// as the blank, so the alphabet has its one space at the end and ctcWidth == alphabet length
// (the reader checks both before it builds a decoder).
//
// Not thread-safe: `confidence` reuses scratch buffers.
class CtcDecoder {
  public:
    // The most probable symbol of one step and its score.
    struct CharWithProb {
        char c;
        float p;
    };

    // `applyLogToInput`: the scores are probabilities and the loss gets their natural logarithms.
    CtcDecoder(std::string alphabet, int ctcSize, int ctcWidth, bool applyLogToInput);

    // Per step from `start`: the first position whose score is greater than every earlier one
    // (from -1e20). A step with no score above -1e20 (NaN scores) yields the blank, the last character.
    std::vector<CharWithProb> bestPath(const float* item, int start) const;
    // Repeats merged unless a space separates them; spaces dropped.
    static std::string collapse(const std::vector<CharWithProb>& path);
    // bestPath then collapse.
    std::string parse(const float* item, int start) const;

    // e^(-CTC loss) of `text` over the steps from `start` of `item`; characters not in the alphabet
    // are left out of the labels. 0 when the text cannot fit or the loss cannot be computed.
    float confidence(const float* item, int start, const std::string& text);

    const std::string& getAlphabet() const { return alphabet; }

  private:
    std::string alphabet;
    int ctcSize;
    int ctcWidth;
    bool applyLogToInput;
    std::vector<float> activations;
    std::vector<int> labels;
    std::vector<float> workspace;
};
