#include "ctcdecode/decoder_utils.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cctype>
#include <cfloat>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "ctcdecode/path_trie.h"

namespace ctcdecode {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Pair;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

TEST(LogSumExp, ImpossibleSideGivesTheOtherAndFiniteSidesAdd) {
    EXPECT_EQ(log_sum_exp(-FLT_MAX, -3.0f), -3.0f);
    EXPECT_EQ(log_sum_exp(-3.0f, -FLT_MAX), -3.0f);
    EXPECT_EQ(log_sum_exp(-FLT_MAX, -FLT_MAX), -FLT_MAX);
    EXPECT_NEAR(log_sum_exp(std::log(0.25f), std::log(0.25f)), std::log(0.5f), 1e-6);
    EXPECT_NEAR(log_sum_exp(std::log(0.1f), std::log(0.3f)), std::log(0.4f), 1e-6);
    EXPECT_EQ(log_sum_exp(-1.5f, -7.0f), log_sum_exp(-7.0f, -1.5f));
}

TEST(PrunedLogProbs, KeepsEveryTokenInIndexOrderWhenTheCutIsWide) {
    const auto pruned = get_pruned_log_probs({0.0f, 0.5f, 0.25f, 0.25f}, 1.0f, 40, 0);
    ASSERT_EQ(pruned.size(), 4u);
    EXPECT_EQ(pruned[0].first, 0);
    EXPECT_NEAR(pruned[0].second, -87.336544f, 1e-4);  // ln(FLT_MIN), not minus infinity
    EXPECT_EQ(pruned[1].first, 1);
    EXPECT_NEAR(pruned[1].second, std::log(0.5f), 1e-7);
    EXPECT_EQ(pruned[2].first, 2);
    EXPECT_EQ(pruned[3].first, 3);
}

TEST(PrunedLogProbs, TopNKeepsTheMostProbable) {
    const auto pruned = get_pruned_log_probs({0.1f, 0.4f, 0.2f, 0.3f}, 1.0f, 2, 0);
    EXPECT_THAT(pruned, ElementsAre(Pair(1, std::log(0.4f + FLT_MIN)), Pair(3, std::log(0.3f + FLT_MIN))));
}

TEST(PrunedLogProbs, CutoffProbKeepsTheMostProbableUpToThatMass) {
    const std::vector<float> step{0.1f, 0.4f, 0.2f, 0.3f};
    const auto pruned = get_pruned_log_probs(step, 0.65f, 40, 0);
    EXPECT_THAT(pruned, ElementsAre(Pair(1, std::log(0.4f)), Pair(3, std::log(0.3f))));
    EXPECT_EQ(get_pruned_log_probs(step, 0.65f, 1, 0).size(), 1u);
}

TEST(PrunedLogProbs, LogInputIsKeptAsItIs) {
    const auto pruned = get_pruned_log_probs({-0.5f, -kInf, -2.0f}, 1.0f, 40, 1);
    EXPECT_THAT(pruned, ElementsAre(Pair(0, -0.5f), Pair(1, -kInf), Pair(2, -2.0f)));
}

struct RefusedStep {
    const char* name;
    std::vector<float> step;
    int log_input;
    std::size_t cutoff_top_n;
    const char* message;
};

class PrunedLogProbsRefuses : public ::testing::TestWithParam<RefusedStep> {};

// A NaN would reach a sort or an nth_element with no consistent order; an infinity or a
// negative probability turns the search's sums into NaN.
TEST_P(PrunedLogProbsRefuses, ValuesThatCannotBeOrdered) {
    const RefusedStep& c = GetParam();
    try {
        get_pruned_log_probs(c.step, 1.0f, c.cutoff_top_n, c.log_input);
        FAIL() << "accepted " << c.name;
    } catch (const std::invalid_argument& e) {
        EXPECT_THAT(e.what(), HasSubstr(c.message));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PrunedLogProbsRefuses,
    ::testing::Values(RefusedStep{"NaN", {0.5f, kNaN, 0.5f}, 0, 40, "token 1 has probability nan"},
                      RefusedStep{"NaN where the step is sorted", {kNaN, 0.5f, 0.5f}, 0, 2, "token 0"},
                      RefusedStep{"negative", {0.5f, -0.5f}, 0, 40, "token 1 has probability -0.5"},
                      RefusedStep{"infinite", {kInf, 0.5f}, 0, 40, "token 0 has probability inf"},
                      RefusedStep{"NaN log", {-1.0f, kNaN}, 1, 40, "token 1 has log probability nan"},
                      RefusedStep{"infinite log", {kInf}, 1, 40, "token 0 has log probability inf"},
                      RefusedStep{"log above 0", {-1.0f, 0.5f}, 1, 40, "at most 0"}),
    [](const auto& info) {
        std::string name = info.param.name;
        for (char& ch : name) {
            ch = std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
        }
        return name;
    });

TEST(PrefixCompare, HigherScoreFirstThenSmallerToken) {
    PathTrie root;
    PathTrie* a = root.get_path_trie(1, 0, 0.0f);
    PathTrie* b = root.get_path_trie(2, 0, 0.0f);
    a->score = -1.0f;
    b->score = -1.0f;
    EXPECT_TRUE(prefix_compare(a, b));
    EXPECT_FALSE(prefix_compare(b, a));
    b->score = -0.5f;
    EXPECT_TRUE(prefix_compare(b, a));

    const std::unordered_map<const PathTrie*, float> scores{{a, -0.1f}, {b, -0.2f}};
    EXPECT_TRUE(prefix_compare_external_scores(a, b, scores));
    EXPECT_THROW(prefix_compare_external_scores(a, &root, scores), std::out_of_range);

    EXPECT_TRUE(pair_comp_second_rev(std::pair<int, float>{0, 0.5f}, std::pair<int, float>{1, 0.25f}));
    EXPECT_FALSE(pair_comp_second_rev(std::pair<int, float>{0, 0.25f}, std::pair<int, float>{1, 0.25f}));
}

TEST(BeamSearchResult, BestFirstTiesByTokenAndBeamSizeLimits) {
    PathTrie root;
    PathTrie* a = root.get_path_trie(3, 0, 0.0f);
    PathTrie* b = root.get_path_trie(1, 0, 0.0f);
    PathTrie* ba = b->get_path_trie(2, 1, 0.0f);
    for (PathTrie* node : {a, b, ba}) {
        node->score = -1.0f;
        node->approx_ctc = -1.0f;
    }
    ba->score = ba->approx_ctc = -0.5f;

    const auto results = get_beam_search_result({a, b, ba}, 3);
    ASSERT_EQ(results.size(), 3u);
    EXPECT_EQ(results[0].first, 0.5f);
    EXPECT_EQ(results[0].second.tokens, (std::vector<int>{1, 2}));
    EXPECT_EQ(results[0].second.timesteps, (std::vector<int>{0, 1}));
    EXPECT_EQ(results[1].second.tokens, std::vector<int>{1});  // equal scores: smaller last token first
    EXPECT_EQ(results[2].second.tokens, std::vector<int>{3});

    const auto first_two = get_beam_search_result({a, b, ba}, 2);  // only the first two are ranked
    ASSERT_EQ(first_two.size(), 2u);
    EXPECT_EQ(first_two[0].second.tokens, std::vector<int>{1});
    EXPECT_EQ(first_two[1].second.tokens, std::vector<int>{3});
    EXPECT_TRUE(get_beam_search_result({a, b, ba}, 0).empty());
}

}  // namespace
}  // namespace ctcdecode
