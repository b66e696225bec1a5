// The PUCT tree search shared by the self-play engine and the toolkit's search player. The hot loop of
// self-play: one game copy per simulation and one network answer per new leaf, nothing else allocated on the
// way down the tree.
#include "search.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <utility>

#include "fatal_error.hpp"
#include "gumbel.hpp"
#include "rng.hpp"

namespace zelmor_self_play {

using zelmor::FatalError;

// The search as first written, where the root never counted its visits and a node held the values of the
// player to move in it rather than of the player who chose it. Built only for bench/search_strength.py,
// which measures what the two changes bring.
#ifdef ZELMOR_UNMENDED_SEARCH
constexpr bool kUnmended = true;
#else
constexpr bool kUnmended = false;
#endif

Node* Node::child(uint32_t tile) const {
    for (Node* c = begin(); c != end(); ++c)
        if (c->action == tile) return c;
    return nullptr;
}

namespace {

// Children for every legal tile with a positive prior (`priors[k]` is the prior of `legal[k]`, tiles
// ascending), in a random order that every later walk follows.
void add_children(Node& node, std::span<const uint32_t> legal, std::span<const float> priors) {
    uint32_t count = 0;
    for (float p : priors) count += p > 0.0f;
    node.children = count ? std::make_unique<Node[]>(count) : nullptr;
    node.child_count = count;
    uint32_t k = 0;
    for (size_t i = 0; i < legal.size(); ++i) {
        if (!(priors[i] > 0.0f)) continue;
        node.children[k].action = legal[i];
        node.children[k].prior = priors[i];
        ++k;
    }
    Rng& rng = thread_rng();
    for (uint32_t i = count; i > 1; --i) std::swap(node.children[i - 1], node.children[rng.below(i)]);
}

// One search's state between rounds: the path of the simulation in flight and its copy of the position.
struct Descent {
    Game scratch;
    std::vector<Node*> path;
};

}  // namespace

std::vector<float> expand(Node& node, const Game& game, NetworkOutput&& output) {
    // Kept from leaf to leaf: a search expands thousands of leaves on its thread.
    thread_local std::vector<uint32_t> legal;
    thread_local std::vector<float> priors;
    legal.clear();
    game.legal_set().for_each([](uint32_t tile) { legal.push_back(tile); });
    masked_softmax(output.policy_logits, legal, priors);
    const uint32_t player = game.current_player();
    std::vector<float> values = std::move(output.value_logits);
    softmax(values);
    if (player > values.size())
        throw FatalError("the network gave " + std::to_string(values.size()) + " value logits, too few for player " +
                         std::to_string(player) + " to act");
    // Entry 0 is the player to act: turn the relative order into absolute player numbers.
    if (!values.empty()) std::rotate(values.begin(), values.end() - player, values.end());
    node.player = player;
    if (player < values.size()) node.value = values[player];
    add_children(node, legal, priors);
    return values;
}

void softmax(std::span<float> x) {
    if (x.empty()) return;
    float m = -std::numeric_limits<float>::infinity();
    for (float v : x) m = std::fmax(m, v);  // NaN entries never become the maximum
    float sum = -0.0f;
    for (float& v : x) {
        v = std::exp(v - m);
        sum += v;
    }
    for (float& v : x) v = v / sum;
}

void masked_softmax(const std::vector<float>& logits, std::span<const uint32_t> legal, std::vector<float>& out) {
    out.clear();
    for (uint32_t tile : legal) {
        if (tile >= logits.size())
            throw FatalError("the network gave " + std::to_string(logits.size()) +
                             " policy logits, too few for legal tile " + std::to_string(tile));
        out.push_back(logits[tile]);
    }
    softmax(out);
}

float exploration_factor(const Node& node, float c_base, float c_init) {
    const float n = static_cast<float>(node.visits);
    float t = c_base + n;
    t = t + 1.0f;
    t = t / c_base;
    const float log_t = std::log(t);
    return std::sqrt(n) * (c_init + log_t);
}

float ucb_score(float exploration, const Node& child, float unvisited_q) {
    const float n = static_cast<float>(child.visits);
    const float q = child.visits > 0 ? child.value_sum / n : unvisited_q;
    const float u = exploration / (n + 1.0f);
    const float weighted = child.prior * u;
    return q + weighted;
}

namespace {

// The mean value of the visited children for the player choosing among them, else the network's.
float parent_mean(const Node& node) {
    uint32_t visits = 0;
    float sum = 0.0f;
    for (const Node& child : node) {
        visits += child.visits;
        sum = sum + child.value_sum;
    }
    return visits > 0 ? sum / static_cast<float>(visits) : node.value;
}

}  // namespace

std::optional<uint32_t> select_child(const Node& node, float c_base, float c_init, bool first_play_parent) {
    const float exploration = exploration_factor(node, c_base, c_init);
    const float unvisited_q = first_play_parent ? parent_mean(node) : 0.0f;
    float best = -std::numeric_limits<float>::infinity();
    std::optional<uint32_t> chosen;
    for (uint32_t i = 0; i < node.child_count; ++i) {
        const float score = ucb_score(exploration, node.children[i], unvisited_q);
        if (score >= best) {  // later ties win; NaN never compares
            best = score;
            chosen = i;
        }
    }
    return chosen;
}

void add_root_noise(Node& root, float dirichlet_alpha, float exploration_fraction) {
    if (!(dirichlet_alpha > 0.0f)) throw FatalError("Noise should be generated ok: AlphaTooSmall");
    std::gamma_distribution<float> gamma(dirichlet_alpha, 1.0f);
    Rng& rng = thread_rng();
    std::vector<float> draws(root.child_count);
    float sum = 0.0f;
    for (float& g : draws) {
        g = gamma(rng);
        sum += g;
    }
    const float inverse = 1.0f / sum;
    const float keep = 1.0f - exploration_fraction;
    for (uint32_t k = 0; k < root.child_count; ++k) {
        Node& child = root.children[k];
        const float noise = exploration_fraction * (draws[k] * inverse);
        const float kept = keep * child.prior;
        child.prior = noise + kept;
    }
}

void backup(std::span<Node* const> path, const std::vector<float>& values) {
    for (size_t i = 1; i < path.size(); ++i) {
        const uint32_t chooser = kUnmended ? path[i]->player : path[i - 1]->player;
        if (chooser >= values.size())
            throw FatalError("a value vector of " + std::to_string(values.size()) + " entries has none for player " +
                             std::to_string(chooser));
        Node* node = path[i];
        node->visits += 1;
        node->value_sum = values[chooser] + node->value_sum;
    }
}

Node advance_root(Node&& root, uint32_t action) {
    Node* played = root.child(action);
    if (!played) throw FatalError("Child should have corresponding action");
    return std::move(*played);
}

SearchFailure search(Evaluator& evaluator, std::span<Node* const> roots, std::span<const Game* const> positions,
                     const SearchSettings& settings, std::span<GumbelRoot> gumbel_roots) {
    const bool gumbel = settings.root_search == RootSearch::gumbel;
    if (gumbel && gumbel_roots.size() != roots.size())
        throw FatalError("a Gumbel search needs one root state per root");
    const size_t count = roots.size();
    std::vector<const Game*> asked;
    std::vector<size_t> asker;  // which search each position in `asked` belongs to
    std::vector<NetworkOutput> outputs;
    asked.reserve(count);
    asker.reserve(count);

    // Roots without children are evaluated first; their values are not backed up anywhere.
    for (size_t i = 0; i < count; ++i) {
        if (!roots[i]->is_leaf() || positions[i]->is_terminal()) continue;
        asked.push_back(positions[i]);
        asker.push_back(i);
    }
    if (!asked.empty()) {
        outputs.resize(asked.size());
        if (!evaluator.evaluate(asked, outputs)) return SearchFailure::root_evaluation;
        for (size_t k = 0; k < asked.size(); ++k) expand(*roots[asker[k]], *asked[k], std::move(outputs[k]));
    }
    if (gumbel) {
        for (size_t i = 0; i < count; ++i)
            start_gumbel_root(*roots[i], settings.gumbel, settings.simulations, settings.root_noise, gumbel_roots[i]);
    } else if (settings.root_noise) {
        for (Node* root : roots)
            if (root->child_count >= 2) add_root_noise(*root, settings.dirichlet_alpha, settings.exploration_fraction);
    }

    std::vector<Descent> descents;
    descents.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        descents.push_back({*positions[i], {}});
        descents.back().path.reserve(256);
    }
    for (uint32_t simulation = 0; simulation < settings.simulations; ++simulation) {
        asked.clear();
        asker.clear();
        for (size_t i = 0; i < count; ++i) {
            Descent& descent = descents[i];
            descent.scratch.assign_position(*positions[i]);
            descent.path.assign(1, roots[i]);
            if (!kUnmended) roots[i]->visits += 1;
            Node* node = roots[i];
            while (!node->is_leaf()) {
                const std::optional<uint32_t> chosen =
                    !gumbel ? select_child(*node, settings.c_base, settings.c_init, settings.first_play_parent)
                    : node == roots[i] ? select_gumbel_root(*node, gumbel_roots[i], settings.gumbel, simulation)
                                       : select_by_improved_policy(*node, settings.gumbel);
                if (!chosen) return SearchFailure::all_scores_nan;
                node = &node->children[*chosen];
                descent.scratch.apply(node->action);  // a rejection cannot happen with a consistent tree
                descent.path.push_back(node);
            }
            if (descent.scratch.is_terminal()) {
                const auto payoff = descent.scratch.get_payoff();
                backup(descent.path, std::vector<float>(payoff.begin(), payoff.end()));
            } else {
                asked.push_back(&descent.scratch);
                asker.push_back(i);
            }
        }
        if (asked.empty()) continue;
        // Emptied, not replaced: the policy buffers keep their room from one simulation to the next.
        outputs.resize(asked.size());
        for (NetworkOutput& output : outputs) {
            output.policy_logits.clear();
            output.value_logits.clear();
        }
        if (!evaluator.evaluate(asked, outputs)) return SearchFailure::leaf_evaluation;
        for (size_t k = 0; k < asked.size(); ++k) {
            Descent& descent = descents[asker[k]];
            backup(descent.path, expand(*descent.path.back(), descent.scratch, std::move(outputs[k])));
        }
    }
    return SearchFailure::none;
}

}  // namespace zelmor_self_play
