#include "ctcdecode/path_trie.h"

#include <algorithm>
#include <optional>

#include "ctcdecode/decoder_utils.h"

// A node that went back to the storage is poisoned under AddressSanitizer, so a pointer kept to a
// removed node is caught as it would be with a freed one.
#if defined(__SANITIZE_ADDRESS__)
#define CTCDECODE_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CTCDECODE_ASAN 1
#endif
#endif

#ifdef CTCDECODE_ASAN
#include <sanitizer/asan_interface.h>
#define CTCDECODE_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define CTCDECODE_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define CTCDECODE_POISON(p, n) ((void)(p), (void)(n))
#define CTCDECODE_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace ctcdecode {

namespace {
// Most nodes of a plate-sized search have one to four children.
constexpr std::size_t kFirstChildren = 4;
}  // namespace

// Nodes live in chunks of fixed size (stable addresses, one allocation per chunk); destroyed nodes
// wait in a free list for reuse.
class PathTrie::NodeStore {
  public:
    NodeStore() = default;
    NodeStore(const NodeStore&) = delete;
    NodeStore& operator=(const NodeStore&) = delete;

    ~NodeStore() {
        for (std::size_t c = 0; c < chunks_.size(); ++c) {
            const std::size_t made = c + 1 == chunks_.size() ? used_in_last_ : kChunkSize;
            for (std::size_t i = 0; i < made; ++i) {
                PathTrie& node = *chunks_[c][i];
                CTCDECODE_UNPOISON(&node, sizeof(PathTrie));
                detach_children(node);
            }
        }
    }

    PathTrie* acquire() {
        if (!free_.empty()) {
            PathTrie* node = free_.back();
            free_.pop_back();
            CTCDECODE_UNPOISON(node, sizeof(PathTrie));
            return node;
        }
        if (chunks_.empty() || used_in_last_ == kChunkSize) {
            chunks_.push_back(std::make_unique<std::optional<PathTrie>[]>(kChunkSize));
            used_in_last_ = 0;
        }
        return &chunks_.back()[used_in_last_++].emplace(*this);
    }

    void release(PathTrie* node) {
        node->children_.clear();  // a whole subtree goes back with its top
        free_.push_back(node);
        CTCDECODE_POISON(node, sizeof(PathTrie));
    }

    // The storage destroys every node itself; children must not hand their nodes back then.
    static void detach_children(PathTrie& node) {
        for (Child& child : node.children_) {
            (void)child.second.release();
        }
    }

  private:
    static constexpr std::size_t kChunkSize = 64;
    std::vector<std::unique_ptr<std::optional<PathTrie>[]>> chunks_;
    std::size_t used_in_last_ = 0;
    std::vector<PathTrie*> free_;
};

void PathTrie::NodeRelease::operator()(PathTrie* node) const {
    node->store_->release(node);
}

PathTrie::PathTrie(NodeStore& store) : store_(&store) {}

PathTrie::PathTrie() : PathTrie(std::make_unique<NodeStore>()) {}

PathTrie::PathTrie(std::unique_ptr<NodeStore> own_store)
    : own_store_(std::move(own_store)), store_(own_store_.get()) {}

PathTrie::~PathTrie() {
    if (own_store_) {
        NodeStore::detach_children(*this);  // the storage destroys the nodes without recursion
    }
}

PathTrie* PathTrie::get_path_trie(int new_char, int new_timestep, float cur_log_prob_c, bool /*reset*/) {
    for (Child& entry : children_) {
        if (entry.first != new_char) {
            continue;
        }
        PathTrie* child = entry.second.get();
        if (cur_log_prob_c > child->log_prob_c) {
            child->timestep = new_timestep;
            child->log_prob_c = cur_log_prob_c;
        }
        if (!child->exists_) {
            child->revive();
        }
        return child;
    }
    ChildPtr child(store_->acquire());
    child->become_child(this, new_char, new_timestep, cur_log_prob_c);
    PathTrie* made = child.get();
    if (children_.capacity() == 0) {
        children_.reserve(kFirstChildren);
    }
    children_.emplace_back(new_char, std::move(child));
    return made;
}

void PathTrie::become_child(PathTrie* parent_node, int new_char, int new_timestep, float cur_log_prob_c) {
    log_prob_b_prev = kNoLogProb;
    log_prob_nb_prev = kNoLogProb;
    log_prob_b_cur = kNoLogProb;
    log_prob_nb_cur = kNoLogProb;
    log_prob_c = cur_log_prob_c;
    score = kNoLogProb;
    approx_ctc = kNoLogProb;
    character = new_char;
    timestep = new_timestep;
    parent = parent_node;
    exists_ = true;
}

void PathTrie::revive() {
    exists_ = true;
    log_prob_b_prev = kNoLogProb;
    log_prob_nb_prev = kNoLogProb;
    log_prob_b_cur = kNoLogProb;
    log_prob_nb_cur = kNoLogProb;
}

void PathTrie::get_path_vec(std::vector<int>& output, std::vector<int>& timesteps) const {
    get_path_vec(output, timesteps, ROOT_, std::numeric_limits<std::size_t>::max());
}

void PathTrie::get_path_vec(std::vector<int>& output, std::vector<int>& timesteps, int stop,
                            std::size_t max_steps) const {
    std::size_t depth = 0;
    for (const PathTrie* node = this; node->character != stop && node->character != ROOT_;
         node = node->parent) {
        ++depth;
    }
    const std::size_t wanted = output.size() + std::min(depth, max_steps);
    output.reserve(wanted);
    timesteps.reserve(timesteps.size() + std::min(depth, max_steps));
    for (const PathTrie* node = this;
         node->character != stop && node->character != ROOT_ && output.size() < max_steps;
         node = node->parent) {
        output.push_back(node->character);
        timesteps.push_back(node->timestep);
    }
    std::reverse(output.begin(), output.end());
    std::reverse(timesteps.begin(), timesteps.end());
}

void PathTrie::iterate_to_vec(std::vector<PathTrie*>& output) {
    // Iterative pre-order walk: a trie can be as deep as the sequence is long.
    std::vector<PathTrie*> pending{this};
    while (!pending.empty()) {
        PathTrie* node = pending.back();
        pending.pop_back();
        if (node->exists_) {
            node->log_prob_b_prev = node->log_prob_b_cur;
            node->log_prob_nb_prev = node->log_prob_nb_cur;
            node->log_prob_b_cur = kNoLogProb;
            node->log_prob_nb_cur = kNoLogProb;
            node->score = log_sum_exp(node->log_prob_b_prev, node->log_prob_nb_prev);
            output.push_back(node);
        }
        for (auto it = node->children_.rbegin(); it != node->children_.rend(); ++it) {
            pending.push_back(it->second.get());
        }
    }
}

void PathTrie::remove() {
    PathTrie* node = this;
    node->exists_ = false;
    // Walk up instead of recursing: a chain of dead ancestors can be as long as the sequence.
    while (node->children_.empty() && node->parent != nullptr) {
        PathTrie* up = node->parent;
        up->erase_child(node);  // destroys node
        if (up->exists_ || !up->children_.empty()) {
            return;
        }
        node = up;
    }
}

void PathTrie::erase_child(const PathTrie* child) {
    auto it = std::find_if(children_.begin(), children_.end(),
                           [child](const Child& entry) { return entry.second.get() == child; });
    if (it != children_.end()) {
        children_.erase(it);
    }
}

}  // namespace ctcdecode
