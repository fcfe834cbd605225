#include "ctcdecode/ctc_beam_search_decoder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <limits>
#include <map>
#include <stdexcept>
#include <vector>

#include "ctc_test_support.h"

namespace ctcdecode {
namespace {

using testing::brute_force_labellings;
using ::testing::HasSubstr;
using testing::random_steps;
using testing::Steps;

// Wide enough to keep every prefix of the small cases below: sum of 3^l for l <= 6 is 1093.
constexpr std::size_t kEveryPrefix = 5000;

std::vector<std::pair<float, Output>> search(const Steps& steps, std::size_t beam, std::size_t blank = 0,
                                             int log_input = 0) {
    return ctc_beam_search_decoder(steps, beam, 1.0f, 40, blank, log_input);
}

double probability(const std::pair<float, Output>& result) {
    return std::exp(-static_cast<double>(result.first));
}

struct BruteForceCase {
    const char* name;
    std::uint64_t seed;
    std::size_t steps;
    std::size_t tokens;
    int blank;
    double peak;
    int zero_column;  // a token of probability exactly 0, as the plate reader's blank column
    int log_input;
};

class BeamSearchAgainstBruteForce : public ::testing::TestWithParam<BruteForceCase> {};

// With nothing pruned the prefix search is exact: each result's probability is the sum over all of
// its alignments, every possible labelling is found, and the first result is the most probable one.
TEST_P(BeamSearchAgainstBruteForce, FindsEveryLabellingWithItsProbability) {
    const BruteForceCase& c = GetParam();
    Steps steps = random_steps(c.seed, c.steps, c.tokens, c.peak, c.zero_column);
    const auto expected = brute_force_labellings(steps, c.blank);
    if (c.log_input != 0) {
        for (auto& row : steps) {
            for (float& value : row) {
                value = std::log(value);
            }
        }
    }
    const auto results = search(steps, kEveryPrefix, static_cast<std::size_t>(c.blank), c.log_input);

    std::map<std::vector<int>, double> found;
    for (const auto& result : results) {
        EXPECT_TRUE(found.emplace(result.second.tokens, probability(result)).second)
            << "a labelling came twice";
    }
    for (const auto& [labelling, p] : expected) {
        ASSERT_TRUE(found.count(labelling)) << "missing a labelling of probability " << p;
        EXPECT_NEAR(found[labelling], p, 1e-4 * p + 1e-30);
    }
    for (const auto& [labelling, p] : found) {
        if (!expected.count(labelling)) {
            EXPECT_LT(p, 1e-30) << "a labelling that no alignment makes";
        }
    }

    auto best = expected.begin();
    for (auto it = expected.begin(); it != expected.end(); ++it) {
        if (it->second > best->second) {
            best = it;
        }
    }
    ASSERT_FALSE(results.empty());
    EXPECT_EQ(results[0].second.tokens, best->first);
    EXPECT_NEAR(probability(results[0]), best->second, 1e-4 * best->second);
    for (std::size_t i = 1; i < results.size(); ++i) {
        EXPECT_LE(results[i - 1].first, results[i].first) << "results out of order at " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, BeamSearchAgainstBruteForce,
                         ::testing::Values(BruteForceCase{"OneStep", 11, 1, 2, 0, 0.0, -1, 0},
                                           BruteForceCase{"Short", 12, 3, 3, 0, 0.0, -1, 0},
                                           BruteForceCase{"FourByFour", 13, 4, 4, 0, 0.0, -1, 0},
                                           BruteForceCase{"SixByFour", 14, 6, 4, 0, 0.0, -1, 0},
                                           BruteForceCase{"SixByFourPeaked", 15, 6, 4, 0, 3.0, -1, 0},
                                           BruteForceCase{"BlankLast", 16, 6, 4, 3, 0.0, -1, 0},
                                           BruteForceCase{"BlankInTheMiddle", 17, 6, 3, 1, 0.0, -1, 0},
                                           BruteForceCase{"OneSymbolRepeats", 18, 6, 2, 0, 0.0, -1, 0},
                                           BruteForceCase{"ZeroBlankColumn", 19, 5, 4, 0, 2.0, 0, 0},
                                           BruteForceCase{"LogInput", 20, 6, 4, 0, 0.0, -1, 1},
                                           BruteForceCase{"Empty", 21, 0, 4, 0, 0.0, -1, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(BeamSearch, RefusesAZeroBeam) {
    EXPECT_THROW(search({{0.5f, 0.5f}}, 0), std::invalid_argument);
}

TEST(BeamSearch, RefusesNaNInsteadOfSortingIt) {
    const Steps steps{{0.5f, 0.5f}, {std::numeric_limits<float>::quiet_NaN(), 0.5f}};
    try {
        search(steps, 3);
        FAIL() << "a NaN probability was accepted";
    } catch (const std::invalid_argument& e) {
        EXPECT_THAT(e.what(), HasSubstr("step 1: token 0 has probability nan"));
    }
}

// Blank 0, token 1. The doubled prefix gets its probability only through the blank between.
TEST(BeamSearch, RepeatedTokenExtendsThePrefixUnlessABlankSeparatesIt) {
    const auto merged = search({{0.1f, 0.9f}, {0.1f, 0.9f}}, 10);
    EXPECT_EQ(merged[0].second.tokens, std::vector<int>{1});
    EXPECT_NEAR(probability(merged[0]), 0.81 + 0.09 + 0.09, 1e-6);

    const auto doubled = search({{0.1f, 0.9f}, {0.9f, 0.1f}, {0.1f, 0.9f}}, 10);
    EXPECT_EQ(doubled[0].second.tokens, (std::vector<int>{1, 1}));
    EXPECT_NEAR(probability(doubled[0]), 0.9 * 0.9 * 0.9, 1e-6);
}

// Beam 1 keeps the best prefix per step: here the empty prefix is pruned after the first step,
// and with it the alignment "blank, 1" of the text "1".
TEST(BeamSearch, BeamOfOneIsGreedyOverPrefixes) {
    const Steps steps{{0.4f, 0.6f}, {0.4f, 0.6f}};
    const auto one = search(steps, 1);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0].second.tokens, std::vector<int>{1});
    EXPECT_NEAR(probability(one[0]), 0.6, 1e-6);
    EXPECT_NEAR(probability(search(steps, 10)[0]), 0.84, 1e-6);
}

TEST(BeamSearch, EqualScoresComeInAscendingOrderOfTheirLastToken) {
    const auto results = search({{0.2f, 0.4f, 0.4f}}, 3);
    ASSERT_EQ(results.size(), 3u);
    EXPECT_EQ(results[0].first, results[1].first);
    EXPECT_EQ(results[0].second.tokens, std::vector<int>{1});
    EXPECT_EQ(results[1].second.tokens, std::vector<int>{2});
    EXPECT_TRUE(results[2].second.tokens.empty());
}

// As the plate reader uses it: token 0 is a blank of probability 0 and the network's own blank,
// the space (token 2), is an ordinary token, so "A" and "A " are two beams.
TEST(BeamSearch, TrailingSpaceMakesAnotherBeam) {
    const auto results = search({{0.0f, 0.9f, 0.1f}, {0.0f, 0.2f, 0.8f}}, 10);
    std::map<std::vector<int>, double> found;
    for (const auto& result : results) {
        found[result.second.tokens] = probability(result);
    }
    EXPECT_NEAR(found[(std::vector<int>{1, 2})], 0.72, 1e-6);
    EXPECT_NEAR(found[(std::vector<int>{1})], 0.18, 1e-6);
    EXPECT_EQ(results[0].second.tokens, (std::vector<int>{1, 2}));
}

}  // namespace
}  // namespace ctcdecode
