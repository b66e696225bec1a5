#pragma once
// The Gumbel root search, for searches of a few dozen simulations: at the root, k tiles drawn without
// replacement by Gumbel-top-k on the prior logits share the budget by Sequential Halving; below it, a
// deterministic choice by the improved policy. Its policy target, softmax(logits + sigma(completed q)) over
// every child, improves on the prior even where the visits are too few to say anything, which is what a
// visit-count target at 32 simulations cannot do (it hands the network back its own first choice).
//
// sigma(q) = (c_visit + largest child visit count) * c_scale * q, with q a share of the payoff in [0, 1] as
// the search keeps it; an unvisited child's q is the node's mixed value (its network value and its visited
// children's values, weighted by visits and priors), never 0 as in PUCT.
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "search.hpp"

namespace zelmor_self_play {

// What one root keeps from the search's start to its end. The visit counts of a kept subtree are not this
// search's: Sequential Halving counts only the visits it gave.
struct GumbelRoot {
    std::vector<float> score;            // per child, in child order: Gumbel draw (or 0) + log prior
    std::vector<uint32_t> start_visits;  // per child, the visits it had when the search began
    std::vector<uint32_t> considered;    // per simulation, the visit count the chosen root child must have
};

// The visit count that Sequential Halving gives its next root child at each of `simulations` steps with `k`
// tiles considered: every phase visits each remaining tile alike, then halves them, ceil(log2 k) phases in
// all (with k = 1 one tile takes every visit). The budget is spent exactly.
std::vector<uint32_t> considered_visits(uint32_t k, uint32_t simulations);

// Fills `state` for a root expanded and not yet searched: the scores, with a standard Gumbel draw per child
// when `noise`, and the Sequential Halving table for min(settings.actions, children) tiles.
void start_gumbel_root(const Node& root, const GumbelSettings& settings, uint32_t simulations, bool noise,
                       GumbelRoot& state);

// The node's mixed value for the player to move in it.
float mixed_value(const Node& node);
// sigma(completed q) of each child of `node`, in child order.
void completed_q_logits(const Node& node, const GumbelSettings& settings, std::vector<float>& out);
// softmax(log prior + sigma(completed q)) over the children of `node`, in child order; sums to 1.
void improved_policy(const Node& node, const GumbelSettings& settings, std::vector<float>& out);

// The root child of this search's `simulation`-th step (an index into the children).
std::optional<uint32_t> select_gumbel_root(const Node& root, const GumbelRoot& state, const GumbelSettings& settings,
                                           uint32_t simulation);
// Below the root: the child whose improved-policy share most exceeds its share of the visits.
std::optional<uint32_t> select_by_improved_policy(const Node& node, const GumbelSettings& settings);
// The tile the search ends on: among the children this search visited most, the best by score + sigma(q).
uint32_t gumbel_action(const Node& root, const GumbelRoot& state, const GumbelSettings& settings);

}  // namespace zelmor_self_play
