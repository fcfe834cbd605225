#pragma once

#include <cstddef>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

namespace ctcdecode {

// A prefix trie of the beam search: one node per candidate prefix, the root being the empty prefix.
//
// A root owns the storage of every node below it. A node that is destroyed goes back to that storage
// and is reused by the next node that the trie creates, so a search stops allocating once its trie
// has reached its largest size. Destroying the root destroys the whole trie.
//
// Not thread-safe: a trie belongs to one search, and a search runs in one thread.
class PathTrie {
  public:
    static constexpr int ROOT_ = -1;

    class NodeStore;
    struct NodeRelease {
        void operator()(PathTrie* node) const;
    };
    using ChildPtr = std::unique_ptr<PathTrie, NodeRelease>;
    using Child = std::pair<int, ChildPtr>;

    // A root: the empty prefix, with a node storage of its own.
    PathTrie();
    // A node inside `store`; only the storage itself makes these.
    explicit PathTrie(NodeStore& store);
    ~PathTrie();
    PathTrie(const PathTrie&) = delete;
    PathTrie& operator=(const PathTrie&) = delete;

    // The child for `new_char`, created when missing. An existing child keeps the highest
    // `cur_log_prob_c` offered with its step; a dead child comes back to life with its four
    // probabilities reset. `reset` has no effect. Never returns null.
    PathTrie* get_path_trie(int new_char, int new_timestep, float cur_log_prob_c, bool reset = true);

    // Tokens and their steps from the first token of this prefix to its last.
    void get_path_vec(std::vector<int>& output, std::vector<int>& timesteps) const;
    // The same, stopping below the first node whose token is `stop`, or after `max_steps` tokens.
    void get_path_vec(std::vector<int>& output, std::vector<int>& timesteps, int stop,
                      std::size_t max_steps) const;

    // Moves every live node of this subtree on to the next step (the `_cur` values become the
    // `_prev` values and the score) and appends it to `output`, in pre-order.
    void iterate_to_vec(std::vector<PathTrie*>& output);

    // Marks the node as pruned. A node without children is destroyed, and so is each ancestor that
    // is left dead and without children; a node with children stays as a dead node that
    // get_path_trie can revive. The root is never destroyed: its owner does that.
    void remove();

    bool exists() const { return exists_; }
    const std::vector<Child>& children() const { return children_; }

    // Log probabilities of the prefix with its alignments ending in a blank (`_b_`) or in its last
    // token (`_nb_`): up to the previous step (`_prev`) and being gathered for this step (`_cur`).
    // A new node has every probability at kNoLogProb ("impossible").
    static constexpr float kNoLogProb = -std::numeric_limits<float>::max();
    float log_prob_b_prev = kNoLogProb;
    float log_prob_nb_prev = kNoLogProb;
    float log_prob_b_cur = kNoLogProb;
    float log_prob_nb_cur = kNoLogProb;
    float log_prob_c = kNoLogProb;  // the highest log probability with which this node's token was offered
    float score = kNoLogProb;       // log probability of the prefix up to the previous step
    float approx_ctc = kNoLogProb;  // the score reported with a result
    int character = ROOT_;          // token id of the last token; ROOT_ for the root
    int timestep = 0;               // the step at which log_prob_c was seen
    PathTrie* parent = nullptr;

  private:
    explicit PathTrie(std::unique_ptr<NodeStore> own_store);
    void become_child(PathTrie* parent_node, int new_char, int new_timestep, float cur_log_prob_c);
    void revive();
    void erase_child(const PathTrie* child);

    std::unique_ptr<NodeStore> own_store_;  // the root's; destroyed after every node has gone back
    NodeStore* store_;
    bool exists_ = true;
    std::vector<Child> children_;  // in creation order
};

}  // namespace ctcdecode
