#include "ctcdecode/path_trie.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <vector>

namespace ctcdecode {
namespace {

std::vector<int> child_tokens(const PathTrie& node) {
    std::vector<int> tokens;
    for (const auto& entry : node.children()) {
        tokens.push_back(entry.first);
    }
    return tokens;
}

std::vector<int> tokens_of(const PathTrie& node) {
    std::vector<int> tokens;
    std::vector<int> steps;
    node.get_path_vec(tokens, steps);
    return tokens;
}

TEST(PathTrie, NewRootHasNothingAndIsLive) {
    PathTrie root;
    EXPECT_EQ(root.log_prob_b_prev, -FLT_MAX);
    EXPECT_EQ(root.log_prob_nb_cur, -FLT_MAX);
    EXPECT_EQ(root.score, -FLT_MAX);
    EXPECT_EQ(root.character, PathTrie::ROOT_);
    EXPECT_EQ(root.timestep, 0);
    EXPECT_EQ(root.parent, nullptr);
    EXPECT_TRUE(root.exists());
    EXPECT_TRUE(root.children().empty());
}

TEST(PathTrie, ChildIsMadeOnceAndKeepsItsMostProbableStep) {
    PathTrie root;
    PathTrie* a = root.get_path_trie(1, 0, -2.0f);
    EXPECT_EQ(root.get_path_trie(1, 1, -1.0f), a);
    EXPECT_EQ(root.get_path_trie(1, 2, -3.0f), a);
    EXPECT_EQ(a->log_prob_c, -1.0f);
    EXPECT_EQ(a->timestep, 1);
    EXPECT_EQ(a->parent, &root);
    EXPECT_EQ(a->score, -FLT_MAX);
    EXPECT_EQ(child_tokens(root), std::vector<int>{1});
}

TEST(PathTrie, RemovingALeafTakesOnlyItOut) {
    PathTrie root;
    root.get_path_trie(1, 0, -1.0f);
    PathTrie* b = root.get_path_trie(2, 0, -1.0f);
    root.get_path_trie(3, 0, -1.0f);
    b->remove();
    EXPECT_EQ(child_tokens(root), (std::vector<int>{1, 3}));  // creation order kept
    EXPECT_TRUE(root.exists());
}

TEST(PathTrie, PrunedNodeWithChildrenStaysDeadAndComesBackReset) {
    PathTrie root;
    PathTrie* a = root.get_path_trie(1, 0, -1.0f);
    PathTrie* ab = a->get_path_trie(2, 1, -1.0f);
    a->log_prob_b_prev = -0.5f;
    a->log_prob_nb_cur = -0.25f;
    a->remove();
    EXPECT_FALSE(a->exists());
    EXPECT_EQ(child_tokens(root), std::vector<int>{1});
    EXPECT_EQ(ab->parent, a);

    EXPECT_EQ(root.get_path_trie(1, 5, -0.5f), a);
    EXPECT_TRUE(a->exists());
    EXPECT_EQ(a->log_prob_b_prev, -FLT_MAX);
    EXPECT_EQ(a->log_prob_nb_cur, -FLT_MAX);
    EXPECT_EQ(a->log_prob_c, -0.5f);
    EXPECT_EQ(a->timestep, 5);
}

TEST(PathTrie, LastChildOfADeadChainTakesTheChainWithItUpToALiveNode) {
    PathTrie root;
    PathTrie* a = root.get_path_trie(1, 0, -1.0f);
    PathTrie* ab = a->get_path_trie(2, 1, -1.0f);
    PathTrie* abc = ab->get_path_trie(3, 2, -1.0f);
    PathTrie* abd = ab->get_path_trie(4, 2, -1.0f);
    a->remove();
    ab->remove();
    abc->remove();
    EXPECT_EQ(child_tokens(*ab), std::vector<int>{4});  // ab still has a child, so it stays
    abd->remove();
    EXPECT_TRUE(root.children().empty());  // ab, then a, went with their last child
    EXPECT_TRUE(root.exists());
}

TEST(PathTrie, CascadeStopsAtTheRootEvenWhenTheRootIsDead) {
    PathTrie root;
    PathTrie* a = root.get_path_trie(1, 0, -1.0f);
    root.remove();
    EXPECT_FALSE(root.exists());
    a->remove();
    EXPECT_TRUE(root.children().empty());
    root.remove();  // a childless root has nobody to be taken out of
    EXPECT_FALSE(root.exists());
}

TEST(PathTrie, ANodeMadeAfterARemovalStartsFresh) {
    PathTrie root;
    PathTrie* a = root.get_path_trie(1, 3, -1.0f);
    a->log_prob_nb_prev = -0.5f;
    a->score = -0.5f;
    a->approx_ctc = -0.5f;
    a->get_path_trie(7, 4, -1.0f)->remove();
    a->remove();
    ASSERT_TRUE(root.children().empty());

    PathTrie* b = root.get_path_trie(2, 6, -2.0f);
    EXPECT_EQ(b->character, 2);
    EXPECT_EQ(b->timestep, 6);
    EXPECT_EQ(b->log_prob_c, -2.0f);
    EXPECT_EQ(b->log_prob_nb_prev, -FLT_MAX);
    EXPECT_EQ(b->score, -FLT_MAX);
    EXPECT_EQ(b->approx_ctc, -FLT_MAX);
    EXPECT_TRUE(b->exists());
    EXPECT_TRUE(b->children().empty());
    EXPECT_EQ(b->parent, &root);
}

TEST(PathTrie, IterateToVecRollsLiveNodesInPreOrderAndSkipsDeadOnes) {
    PathTrie root;
    PathTrie* a = root.get_path_trie(1, 0, -1.0f);
    PathTrie* ab = a->get_path_trie(2, 1, -1.0f);
    PathTrie* c = root.get_path_trie(3, 0, -1.0f);
    root.log_prob_b_cur = std::log(0.25f);
    root.log_prob_nb_cur = std::log(0.25f);
    ab->log_prob_nb_cur = -2.0f;
    a->remove();

    std::vector<PathTrie*> live;
    root.iterate_to_vec(live);
    EXPECT_EQ(live, (std::vector<PathTrie*>{&root, ab, c}));
    EXPECT_NEAR(root.score, std::log(0.5f), 1e-6);
    EXPECT_EQ(root.log_prob_b_prev, std::log(0.25f));
    EXPECT_EQ(root.log_prob_b_cur, -FLT_MAX);
    EXPECT_EQ(ab->score, -2.0f);
    EXPECT_EQ(c->score, -FLT_MAX);
}

TEST(PathTrie, PathRunsFromFirstTokenToLastWithItsSteps) {
    PathTrie root;
    PathTrie* node = root.get_path_trie(4, 0, -1.0f)->get_path_trie(5, 2, -1.0f)->get_path_trie(6, 7, -1.0f);
    std::vector<int> tokens;
    std::vector<int> steps;
    node->get_path_vec(tokens, steps);
    EXPECT_EQ(tokens, (std::vector<int>{4, 5, 6}));
    EXPECT_EQ(steps, (std::vector<int>{0, 2, 7}));

    EXPECT_TRUE(tokens_of(root).empty());

    tokens.clear();
    steps.clear();
    node->get_path_vec(tokens, steps, 4, 10);  // stops below the first node with token 4
    EXPECT_EQ(tokens, (std::vector<int>{5, 6}));

    tokens.clear();
    steps.clear();
    node->get_path_vec(tokens, steps, PathTrie::ROOT_, 1);
    EXPECT_EQ(tokens, std::vector<int>{6});
    EXPECT_EQ(steps, std::vector<int>{7});
}

// A trie is as deep as its sequence is long; removal and destruction must not recurse per level.
TEST(PathTrie, DeepChainsAreRemovedAndDestroyedWithoutRecursion) {
    constexpr int kDepth = 200000;
    PathTrie root;
    PathTrie* node = &root;
    std::vector<PathTrie*> chain;
    for (int i = 0; i < kDepth; ++i) {
        node = node->get_path_trie(i % 3, i, -1.0f);
        chain.push_back(node);
    }
    for (int i = 0; i < kDepth - 1; ++i) {
        chain[static_cast<std::size_t>(i)]->remove();
    }
    EXPECT_EQ(tokens_of(*node).size(), static_cast<std::size_t>(kDepth));
    node->remove();
    EXPECT_TRUE(root.children().empty());

    PathTrie other;
    node = &other;
    for (int i = 0; i < kDepth; ++i) {
        node = node->get_path_trie(1, i, -1.0f);
    }
    SUCCEED();  // `other` is destroyed with a 200000-deep chain below it
}

}  // namespace
}  // namespace ctcdecode
