#pragma once
// The PUCT tree search, free of Python: the self-play engine runs it with the network behind the caller's
// queue and pipe, and the toolkit's search player runs the same code with an in-process batched network
// or a random-playout value. All search arithmetic is in 32-bit floats, evaluated in the written order
// (the build forbids fused multiply-add), so a search is reproducible bit for bit given the same network
// outputs and random draws.
//
// Statistics follow the chooser: a child's value sum holds the values of the player who chose the action
// leading to it (the player to move at its parent), so every selection maximises the chooser's own outcome,
// also across a piece completion and at terminal leaves. The root counts one visit per simulation.
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "game.hpp"

namespace zelmor_self_play {

using zelmor::Game;

// One position of the search tree. Children live in one block allocated when the node is expanded, in an
// order drawn at random then; every walk over them (selection, noise, the policy record, greedy choices)
// uses that order, so ties break differently from node to node and game to game.
struct Node {
    std::unique_ptr<Node[]> children;
    uint32_t child_count = 0;
    uint32_t action = 0;  // the tile that leads from the parent here
    uint32_t player = 0;  // the player to move here, written at expansion
    uint32_t visits = 0;
    float value_sum = 0;  // values of the player to move at the parent; unused at the root
    float prior = 0;
    float value = 0;  // the network's value of this position for the player to move here, written at expansion

    bool is_leaf() const { return child_count == 0; }
    Node* begin() const { return children.get(); }
    Node* end() const { return children.get() + child_count; }
    Node* child(uint32_t action) const;  // nullptr when there is none
};

// How the root spends its simulations: PUCT everywhere, or the Gumbel root search (gumbel.hpp).
enum class RootSearch : uint8_t { puct, gumbel };

struct GumbelSettings {
    uint32_t actions = 8;  // tiles the root considers, drawn by Gumbel-top-k
    float c_visit = 50.0f;
    float c_scale = 1.0f;
};

struct SearchSettings {
    uint32_t simulations = 0;
    float c_base = 0;
    float c_init = 0;
    // PUCT: Dirichlet noise mixed into the priors of a root with two or more children. Gumbel: a Gumbel
    // draw added to each root child's logit, so that the tiles considered are a sample, not the top k.
    bool root_noise = false;
    float dirichlet_alpha = 0;
    float exploration_fraction = 0;
    RootSearch root_search = RootSearch::puct;
    GumbelSettings gumbel;
    // PUCT's value of an unvisited child: 0, the worst there is, or the parent's mean value for its player
    // (its visited children's, else the network's), so that a second child is tried before the first
    // child's value has to sink below nothing.
    bool first_play_parent = false;
};

struct GumbelRoot;

// The network's raw answer for one position, both relative to the player to act: a policy logit per tile
// (at least up to the largest legal tile) and four value logits, the player to act first.
struct NetworkOutput {
    std::vector<float> policy_logits;
    std::vector<float> value_logits;
};

// The network behind a search. It is only ever asked about positions that are not terminal.
class Evaluator {
public:
    virtual ~Evaluator() = default;
    // Fills outputs[i] for positions[i]. False when the network could not answer; the evaluator keeps
    // why, for its owner to report. Fatal faults are thrown.
    virtual bool evaluate(std::span<const Game* const> positions, std::span<NetworkOutput> outputs) = 0;
};

void softmax(std::span<float> x);  // in place
// The softmax of the logits of the `legal` tiles, in their order, into `out`.
void masked_softmax(const std::vector<float>& logits, std::span<const uint32_t> legal, std::vector<float>& out);

// Expands `node` (a leaf in the non-terminal `game`) with one child per legal tile whose masked prior is
// positive, and returns the network's values by absolute player.
std::vector<float> expand(Node& node, const Game& game, NetworkOutput&& output);

enum class SearchFailure { none, root_evaluation, leaf_evaluation, all_scores_nan };

// One search per root, run in lockstep so that each round sends one leaf of every search to the network
// in one batch: roots[i] stands for positions[i]. The first failure ends every search; the statistics
// already backed up stay. A Gumbel search needs gumbel_roots[i] for roots[i], which the search fills and
// which the caller reads its action from.
SearchFailure search(Evaluator& evaluator, std::span<Node* const> roots, std::span<const Game* const> positions,
                     const SearchSettings& settings, std::span<GumbelRoot> gumbel_roots = {});

float exploration_factor(const Node& node, float c_base, float c_init);
float ucb_score(float exploration, const Node& child, float unvisited_q = 0.0f);
// An index into the children; `first_play_parent` as in SearchSettings.
std::optional<uint32_t> select_child(const Node& node, float c_base, float c_init, bool first_play_parent = false);
void add_root_noise(Node& root, float dirichlet_alpha, float exploration_fraction);
// `path` runs from the root to the leaf, root first; every node below the root gains a visit and the value
// of the player to move at its parent.
void backup(std::span<Node* const> path, const std::vector<float>& values);
Node advance_root(Node&& root, uint32_t action);  // the played child; the rest of the tree is released

}  // namespace zelmor_self_play
