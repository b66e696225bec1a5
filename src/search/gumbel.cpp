// The Gumbel root search's rules (see gumbel.hpp). Every loop here walks a node's children once, in child
// order, in 32-bit floats, so a search stays reproducible given the network's outputs and random draws.
#include "gumbel.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "fatal_error.hpp"
#include "rng.hpp"

namespace zelmor_self_play {

namespace {

constexpr float kMinusInfinity = -std::numeric_limits<float>::infinity();

float child_q(const Node& child) { return child.value_sum / static_cast<float>(child.visits); }

uint32_t most_visits(const Node& node) {
    uint32_t most = 0;
    for (const Node& child : node) most = std::max(most, child.visits);
    return most;
}

// A standard Gumbel draw from 23 random bits, never at either end of (0, 1).
float gumbel_draw(Rng& rng) {
    const float u = (static_cast<float>(rng.next_u32() >> 9) + 0.5f) * 0x1p-23f;
    return -std::log(-std::log(u));
}

}  // namespace

std::vector<uint32_t> considered_visits(uint32_t k, uint32_t simulations) {
    std::vector<uint32_t> sequence;
    sequence.reserve(simulations);
    if (k <= 1) {
        for (uint32_t s = 0; s < simulations; ++s) sequence.push_back(s);
        return sequence;
    }
    const uint32_t phases = static_cast<uint32_t>(std::ceil(std::log2(static_cast<double>(k))));
    std::vector<uint32_t> visits(k, 0);
    uint32_t remaining = k;
    while (sequence.size() < simulations) {
        const uint32_t rounds = std::max<uint32_t>(1, simulations / (phases * remaining));
        for (uint32_t r = 0; r < rounds && sequence.size() < simulations; ++r)
            for (uint32_t i = 0; i < remaining && sequence.size() < simulations; ++i) sequence.push_back(visits[i]++);
        remaining = std::max<uint32_t>(2, remaining / 2);
    }
    return sequence;
}

void start_gumbel_root(const Node& root, const GumbelSettings& settings, uint32_t simulations, bool noise,
                       GumbelRoot& state) {
    state.score.clear();
    state.start_visits.clear();
    Rng& rng = thread_rng();
    for (const Node& child : root) {
        const float logit = std::log(child.prior);
        state.score.push_back(noise ? gumbel_draw(rng) + logit : logit);
        state.start_visits.push_back(child.visits);
    }
    state.considered = considered_visits(std::min(settings.actions, root.child_count), simulations);
}

float mixed_value(const Node& node) {
    uint32_t visits = 0;
    float weighted_q = 0.0f, visited_prior = 0.0f;
    for (const Node& child : node) {
        if (child.visits == 0) continue;
        visits += child.visits;
        weighted_q = weighted_q + child.prior * child_q(child);
        visited_prior = visited_prior + child.prior;
    }
    if (visits == 0) return node.value;
    const float n = static_cast<float>(visits);
    const float visited_mean = weighted_q / visited_prior;
    return (node.value + n * visited_mean) / (1.0f + n);
}

void completed_q_logits(const Node& node, const GumbelSettings& settings, std::vector<float>& out) {
    out.clear();
    const float unvisited = mixed_value(node);
    const float scale = (settings.c_visit + static_cast<float>(most_visits(node))) * settings.c_scale;
    for (const Node& child : node) out.push_back(scale * (child.visits > 0 ? child_q(child) : unvisited));
}

void improved_policy(const Node& node, const GumbelSettings& settings, std::vector<float>& out) {
    completed_q_logits(node, settings, out);
    for (uint32_t i = 0; i < node.child_count; ++i) out[i] = std::log(node.children[i].prior) + out[i];
    softmax(out);
}

std::optional<uint32_t> select_gumbel_root(const Node& root, const GumbelRoot& state, const GumbelSettings& settings,
                                           uint32_t simulation) {
    thread_local std::vector<float> sigma;
    completed_q_logits(root, settings, sigma);
    const uint32_t wanted = state.considered.at(simulation);
    // The table always leaves a child with the visit count due this step; should none have a number for a
    // score there, every child competes, and with no number anywhere (values that are not numbers) the
    // search fails as PUCT does.
    std::optional<uint32_t> chosen, any;
    float best = kMinusInfinity, best_any = kMinusInfinity;
    for (uint32_t i = 0; i < root.child_count; ++i) {
        const float score = state.score[i] + sigma[i];
        if (score > best_any) best_any = score, any = i;
        if (root.children[i].visits - state.start_visits[i] == wanted && score > best) best = score, chosen = i;
    }
    return chosen ? chosen : any;
}

std::optional<uint32_t> select_by_improved_policy(const Node& node, const GumbelSettings& settings) {
    thread_local std::vector<float> policy;
    improved_policy(node, settings, policy);
    uint32_t visits = 0;
    for (const Node& child : node) visits += child.visits;
    const float total = 1.0f + static_cast<float>(visits);
    std::optional<uint32_t> chosen;
    float best = kMinusInfinity;
    for (uint32_t i = 0; i < node.child_count; ++i) {
        const float score = policy[i] - static_cast<float>(node.children[i].visits) / total;
        if (score > best) best = score, chosen = i;  // NaN never compares
    }
    return chosen;
}

uint32_t gumbel_action(const Node& root, const GumbelRoot& state, const GumbelSettings& settings) {
    if (root.is_leaf()) throw zelmor::FatalError("a search without children has no action");
    thread_local std::vector<float> sigma;
    completed_q_logits(root, settings, sigma);
    uint32_t most = 0;
    for (uint32_t i = 0; i < root.child_count; ++i)
        most = std::max(most, root.children[i].visits - state.start_visits[i]);
    uint32_t chosen = root.child_count;
    float best = kMinusInfinity;
    for (uint32_t i = 0; i < root.child_count; ++i) {
        if (root.children[i].visits - state.start_visits[i] != most) continue;
        const float score = state.score[i] + sigma[i];
        if (chosen == root.child_count || score > best) best = score, chosen = i;
    }
    return root.children[chosen].action;
}

}  // namespace zelmor_self_play
