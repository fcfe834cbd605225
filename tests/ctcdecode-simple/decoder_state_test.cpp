#include "ctcdecode/decoder_state.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <limits>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "ctc_test_support.h"

namespace ctcdecode {
namespace {

using ::testing::HasSubstr;
using testing::make_then_prune_search;
using testing::possible_only;
using testing::random_steps;
using testing::Steps;

DecoderState plate_state(std::size_t beam) {
    return DecoderState(beam, 1.0f, 40, 0, 0);
}

std::set<std::vector<int>> beam_texts(const DecoderState& state) {
    std::set<std::vector<int>> texts;
    for (const PathTrie* prefix : state.current_prefixes()) {
        std::vector<int> tokens;
        std::vector<int> steps;
        prefix->get_path_vec(tokens, steps);
        texts.insert(tokens);
    }
    return texts;
}

TEST(DecoderState, RefusesABeamThatKeepsNothing) {
    try {
        DecoderState state(0, 1.0f, 40, 0, 0);
        FAIL() << "a beam size of 0 was accepted";
    } catch (const std::invalid_argument& e) {
        EXPECT_THAT(e.what(), HasSubstr("beam size must be at least 1"));
    }
}

TEST(DecoderState, NoStepsLeavesTheEmptyPrefixWithProbabilityOne) {
    DecoderState state = plate_state(3);
    state.next({});
    const auto results = state.decode();
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].first, 0.0f);
    EXPECT_TRUE(results[0].second.tokens.empty());
    EXPECT_EQ(std::exp(-results[0].first), 1.0f);
}

// Token 0 is a blank of probability 0, as in the plate reader.
TEST(DecoderState, FirstStepKeepsTheBestOfTheRootAndTheOneTokenPrefixes) {
    const Steps step{{0.0f, 0.5f, 0.3f, 0.2f}};

    DecoderState narrow = plate_state(2);
    narrow.next(step);
    EXPECT_EQ(beam_texts(narrow), (std::set<std::vector<int>>{{1}, {2}}));

    DecoderState wide = plate_state(10);
    wide.next(step);
    EXPECT_EQ(beam_texts(wide), (std::set<std::vector<int>>{{}, {1}, {2}, {3}}));
    for (const PathTrie* prefix : wide.current_prefixes()) {
        if (prefix->character == PathTrie::ROOT_) {
            EXPECT_NEAR(prefix->score, std::log(FLT_MIN), 1e-4);  // about -87.34
        } else {
            EXPECT_NEAR(prefix->score, std::log(step[0][prefix->character]), 1e-6);
        }
    }
}

TEST(DecoderState, StepsCanArriveInPieces) {
    const Steps steps = random_steps(7, 12, 6);
    DecoderState whole = plate_state(4);
    whole.next(steps);
    DecoderState pieces = plate_state(4);
    pieces.next(Steps(steps.begin(), steps.begin() + 5));
    pieces.next(Steps(steps.begin() + 5, steps.end()));
    EXPECT_EQ(pieces.steps_done(), 12);

    const auto a = whole.decode();
    const auto b = pieces.decode();
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(a[i].first, b[i].first);
        EXPECT_EQ(a[i].second.tokens, b[i].second.tokens);
    }
}

TEST(DecoderState, NaNStepIsRefusedByStepAndTokenAndEarlierStepsStay) {
    Steps steps = random_steps(3, 4, 4);
    steps[2][1] = std::numeric_limits<float>::quiet_NaN();
    DecoderState state = plate_state(3);
    try {
        state.next(steps);
        FAIL() << "a NaN probability was accepted";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(
            e.what(),
            "ctcdecode: step 2: token 1 has probability nan; a step must hold finite probabilities of "
            "at least 0");
    }
    EXPECT_EQ(state.steps_done(), 2);

    DecoderState first_two = plate_state(3);
    first_two.next(Steps(steps.begin(), steps.begin() + 2));
    ASSERT_EQ(state.decode().size(), first_two.decode().size());
    EXPECT_EQ(state.decode()[0].first, first_two.decode()[0].first);
}

struct NarrowBeamCase {
    std::uint64_t seed;
    std::size_t steps;
    std::size_t tokens;
    std::size_t beam;
    std::size_t blank;
    double peak;
    int zero_column;
};

class DecoderStateAgainstMakeThenPrune : public ::testing::TestWithParam<NarrowBeamCase> {};

// The search makes trie nodes only for winning extensions; the plain way makes one per
// (prefix, token) pair and prunes. Both must give the same beams, scores and steps.
TEST_P(DecoderStateAgainstMakeThenPrune, SameBeamsScoresAndSteps) {
    const NarrowBeamCase& c = GetParam();
    const Steps steps = random_steps(c.seed, c.steps, c.tokens, c.peak, c.zero_column);
    DecoderState state(c.beam, 1.0f, 40, c.blank, 0);
    state.next(steps);
    const auto fast = possible_only(state.decode());
    const auto plain = possible_only(make_then_prune_search(steps, c.beam, c.blank));

    ASSERT_EQ(fast.size(), plain.size());
    for (std::size_t i = 0; i < fast.size(); ++i) {
        EXPECT_EQ(fast[i].first, plain[i].first) << "result " << i;
        EXPECT_EQ(fast[i].second.tokens, plain[i].second.tokens) << "result " << i;
        EXPECT_EQ(fast[i].second.timesteps, plain[i].second.timesteps) << "result " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DecoderStateAgainstMakeThenPrune,
    ::testing::Values(NarrowBeamCase{1, 10, 5, 1, 0, 0.0, -1}, NarrowBeamCase{2, 12, 6, 2, 0, 0.0, -1},
                      NarrowBeamCase{3, 20, 8, 3, 0, 2.0, -1}, NarrowBeamCase{4, 30, 10, 5, 9, 0.0, -1},
                      NarrowBeamCase{5, 20, 4, 7, 2, 0.0, -1}, NarrowBeamCase{6, 16, 3, 50, 0, 0.0, -1},
                      NarrowBeamCase{7, 48, 37, 3, 0, 5.0, 0}, NarrowBeamCase{8, 48, 37, 10, 0, 5.0, 0},
                      NarrowBeamCase{9, 48, 37, 100, 0, 5.0, 0}, NarrowBeamCase{10, 48, 37, 10, 0, 0.0, 0}));

}  // namespace
}  // namespace ctcdecode
