#include "platereader/CtcDecoder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

// Alphabet "AB " (space last, the blank) over three steps, given as probabilities.
const std::vector<float> kThreeSteps = {0.6f, 0.3f, 0.1f,   // A
                                        0.2f, 0.2f, 0.6f,   // blank
                                        0.1f, 0.7f, 0.2f};  // B

std::string chars(const std::vector<CtcDecoder::CharWithProb>& path) {
    std::string s;
    for (const auto& step : path) {
        s += step.c;
    }
    return s;
}

TEST(CtcDecoder, HandComputedGreedyReadingAndConfidence) {
    CtcDecoder decoder("AB ", 3, 3, true);
    auto path = decoder.bestPath(kThreeSteps.data(), 0);
    EXPECT_EQ(chars(path), "A B");
    EXPECT_FLOAT_EQ(path[1].p, 0.6f);
    EXPECT_EQ(decoder.parse(kThreeSteps.data(), 0), "AB");
    // P("AB") over the paths AAB, A_B, ABB, AB_, _AB.
    EXPECT_NEAR(decoder.confidence(kThreeSteps.data(), 0, "AB"), 0.458, 1e-6);
    // From step 1: blank, B -> "B"; P("B") over _B, BB, B_.
    EXPECT_EQ(decoder.parse(kThreeSteps.data(), 1), "B");
    EXPECT_NEAR(decoder.confidence(kThreeSteps.data(), 1, "B"), 0.6 * 0.7 + 0.2 * 0.7 + 0.2 * 0.2, 1e-6);
    // The empty text: every step blank.
    EXPECT_NEAR(decoder.confidence(kThreeSteps.data(), 0, ""), 0.1 * 0.6 * 0.2, 1e-6);
}

TEST(CtcDecoder, TextsThatCannotFitHaveConfidenceZero) {
    CtcDecoder decoder("AB ", 3, 3, true);
    EXPECT_EQ(decoder.confidence(kThreeSteps.data(), 0, "ABAB"), 0.f);
    EXPECT_EQ(decoder.confidence(kThreeSteps.data(), 1, "AA"), 0.f);
    EXPECT_EQ(decoder.confidence(kThreeSteps.data(), 3, "A"), 0.f);
    EXPECT_EQ(decoder.confidence(kThreeSteps.data(), 3, ""), 1.f);
}

TEST(CtcDecoder, CharactersOutsideTheAlphabetAreLeftOutOfTheLabels) {
    CtcDecoder decoder("AB ", 3, 3, true);
    EXPECT_FLOAT_EQ(decoder.confidence(kThreeSteps.data(), 0, "A?B"),
                    decoder.confidence(kThreeSteps.data(), 0, "AB"));
}

TEST(CtcDecoder, CollapseTable) {
    struct Case {
        std::string steps, text;
    };
    const Case cases[] = {
        {"AA AB B", "AABB"}, {"AA ABB", "AAB"}, {"   ", ""},   {"", ""},
        {"ABAB", "ABAB"},    {" A  A ", "AA"},  {"BBBB", "B"},
    };
    for (const auto& c : cases) {
        std::vector<CtcDecoder::CharWithProb> path;
        for (char ch : c.steps) {
            path.push_back({ch, 1.f});
        }
        EXPECT_EQ(CtcDecoder::collapse(path), c.text) << '"' << c.steps << '"';
    }
}

TEST(CtcDecoder, TiesGoToTheFirstSymbolAndNaNStepsToTheBlank) {
    CtcDecoder decoder("AB ", 2, 3, false);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<float> scores = {0.2f, 0.4f, 0.4f, nan, nan, nan};
    EXPECT_EQ(chars(decoder.bestPath(scores.data(), 0)), "B ");
    const std::vector<float> equal = {0.5f, 0.5f, 0.5f, -1e30f, -1e30f, -1e30f};
    EXPECT_EQ(chars(decoder.bestPath(equal.data(), 0)), "A ");
}

TEST(CtcDecoder, AlphabetMustMatchTheOutputWidth) {
    EXPECT_THROW(CtcDecoder("AB", 3, 3, true), std::invalid_argument);
    EXPECT_THROW(CtcDecoder("", 3, 0, true), std::invalid_argument);
}

}  // namespace
