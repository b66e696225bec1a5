// The engine's tree search for Python users: the search player of matches and analysis, batched across
// the games a match plays at once so that one network call serves every search in flight. The same C++
// search as self-play runs here; only the network exchange differs (an in-process callable instead of
// the worker's queue and pipe), and no root noise is mixed in.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/vector.h>

#include <memory>
#include <string>
#include <vector>

#include "gumbel.hpp"
#include "playout.hpp"
#include "search.hpp"

namespace nb = nanobind;
using zelmor::Game;
using zelmor_self_play::Evaluator;
using zelmor_self_play::NetworkOutput;
using zelmor_self_play::Node;

namespace {

using FloatMatrix = nb::ndarray<const float, nb::ndim<2>, nb::c_contig, nb::device::cpu>;

// A Python callable: evaluate(planes bool (B, 5, dim, dim)) -> (policy float32 (B, dim * dim), value float32
// (B, 4)), C-contiguous numpy arrays, both relative to the player to act. Its exceptions propagate.
class PythonNetwork final : public Evaluator {
public:
    PythonNetwork(nb::callable evaluate, uint32_t dim) : evaluate_(std::move(evaluate)), dim_(dim) {}

    bool evaluate(std::span<const Game* const> positions, std::span<NetworkOutput> outputs) override {
        const size_t batch = positions.size(), cells = size_t{dim_} * dim_, plane = 5 * cells;
        bool* bytes = new bool[batch * plane];
        nb::capsule owner(bytes, [](void* p) noexcept { delete[] static_cast<bool*>(p); });
        for (size_t i = 0; i < batch; ++i)
            positions[i]->get_game_state(false, reinterpret_cast<uint8_t*>(bytes + i * plane));
        nb::ndarray<nb::numpy, bool> planes(bytes, {batch, 5, dim_, dim_}, owner);

        nb::tuple answer = nb::cast<nb::tuple>(evaluate_(planes));
        const auto policy = nb::cast<FloatMatrix>(answer[0]);
        const auto value = nb::cast<FloatMatrix>(answer[1]);
        if (policy.shape(0) != batch || policy.shape(1) != cells || value.shape(0) != batch || value.shape(1) != 4)
            throw nb::value_error("the network's answer does not have the shapes (B, dim * dim) and (B, 4)");
        for (size_t i = 0; i < batch; ++i) {
            outputs[i].policy_logits.assign(policy.data() + i * cells, policy.data() + (i + 1) * cells);
            outputs[i].value_logits.assign(value.data() + i * 4, value.data() + (i + 1) * 4);
        }
        return true;
    }

private:
    nb::callable evaluate_;
    uint32_t dim_;
};

// The games' shared board side; refuses an empty list and mixed sides.
uint32_t board_side(const std::vector<const Game*>& games) {
    if (games.empty()) throw nb::value_error("no game to search");
    const uint32_t dim = games.front()->dim();
    for (const Game* game : games)
        if (game->dim() != dim) throw nb::value_error("the games of one search must share a board side");
    return dim;
}

// The evaluator behind `network`: the RandomPlayout itself, or a PythonNetwork kept alive by `owned`.
Evaluator& evaluator_of(nb::handle network, uint32_t dim, std::unique_ptr<Evaluator>& owned) {
    if (nb::isinstance<zelmor_self_play::RandomPlayout>(network))
        return *nb::inst_ptr<zelmor_self_play::RandomPlayout>(network);
    if (!PyCallable_Check(network.ptr())) throw nb::type_error("evaluate must be a callable or a RandomPlayout");
    owned = std::make_unique<PythonNetwork>(nb::borrow<nb::callable>(network), dim);
    return *owned;
}

void run_search(Evaluator& evaluator, std::vector<Node>& trees, const std::vector<const Game*>& games,
                const zelmor_self_play::SearchSettings& settings,
                std::span<zelmor_self_play::GumbelRoot> gumbel_roots) {
    std::vector<Node*> roots;
    for (Node& tree : trees) roots.push_back(&tree);
    if (zelmor_self_play::search(evaluator, roots, games, settings, gumbel_roots) ==
        zelmor_self_play::SearchFailure::all_scores_nan)
        throw nb::value_error("every selection score is NaN: the network's values are not numbers");
}

template <class T>
nb::ndarray<nb::numpy, T> owned_array(T* data, std::initializer_list<size_t> shape) {
    nb::capsule owner(data, [](void* p) noexcept { delete[] static_cast<T*>(p); });
    return nb::ndarray<nb::numpy, T>(data, shape, owner);
}

// Visit counts per tile, uint32 (G, dim * dim), of one search per game, all in lockstep.
nb::ndarray<nb::numpy, uint32_t> search_games(const std::vector<const Game*>& games, nb::handle network,
                                              uint32_t simulations, float c_base, float c_init,
                                              bool first_play_parent) {
    const uint32_t dim = board_side(games);
    std::unique_ptr<Evaluator> owned;
    Evaluator& evaluator = evaluator_of(network, dim, owned);
    std::vector<Node> trees(games.size());
    zelmor_self_play::SearchSettings settings;
    settings.simulations = simulations;
    settings.c_base = c_base;
    settings.c_init = c_init;
    settings.first_play_parent = first_play_parent;
    run_search(evaluator, trees, games, settings, {});

    const size_t cells = size_t{dim} * dim;
    uint32_t* visits = new uint32_t[games.size() * cells]();
    for (size_t g = 0; g < games.size(); ++g)
        for (const Node& child : trees[g]) visits[g * cells + child.action] = child.visits;
    return owned_array(visits, {games.size(), cells});
}

// The Gumbel search of each game, without Gumbel draws (the tiles considered are the prior's top k): the
// improved policy per tile, float32 (G, dim * dim), and the tile each search ends on, int64 (G,), -1 for a
// finished game.
nb::tuple gumbel_search_games(const std::vector<const Game*>& games, nb::handle network, uint32_t simulations,
                              uint32_t actions, float c_visit, float c_scale) {
    if (actions == 0) throw nb::value_error("gumbel_actions must be at least 1");
    const uint32_t dim = board_side(games);
    std::unique_ptr<Evaluator> owned;
    Evaluator& evaluator = evaluator_of(network, dim, owned);
    std::vector<Node> trees(games.size());
    std::vector<zelmor_self_play::GumbelRoot> gumbel_roots(games.size());
    zelmor_self_play::SearchSettings settings;
    settings.simulations = simulations;
    settings.root_search = zelmor_self_play::RootSearch::gumbel;
    settings.gumbel = {actions, c_visit, c_scale};
    run_search(evaluator, trees, games, settings, gumbel_roots);

    const size_t cells = size_t{dim} * dim;
    float* policy = new float[games.size() * cells]();
    int64_t* chosen = new int64_t[games.size()];
    std::vector<float> shares;
    for (size_t g = 0; g < games.size(); ++g) {
        const Node& root = trees[g];
        chosen[g] = root.is_leaf() ? -1 : zelmor_self_play::gumbel_action(root, gumbel_roots[g], settings.gumbel);
        zelmor_self_play::improved_policy(root, settings.gumbel, shares);
        for (uint32_t k = 0; k < root.child_count; ++k) policy[g * cells + root.children[k].action] = shares[k];
    }
    return nb::make_tuple(owned_array(policy, {games.size(), cells}), owned_array(chosen, {games.size()}));
}

}  // namespace

void bind_search(nb::module_& m) {
    nb::class_<zelmor_self_play::RandomPlayout>(m, "RandomPlayout",
                                                "A stand-in network for the search: uniform priors over the legal "
                                                "tiles, and the payoff of one random game to the end as the value.")
        .def(nb::init<>());

    m.def("search_games", &search_games, nb::arg("games"), nb::arg("evaluate"), nb::arg("simulations"),
          nb::arg("c_base"), nb::arg("c_init"), nb::arg("first_play_parent") = false,
          "Visit counts uint32 (G, dim * dim) of one tree search per game, run in lockstep: each round sends one\n"
          "leaf of every search to `evaluate` in one batch. evaluate(planes bool (B, 5, dim, dim)) returns\n"
          "(policy logits float32 (B, dim * dim), value logits float32 (B, 4)), both relative to the player to\n"
          "act, or is a RandomPlayout. No root noise. A finished game gets no visits. first_play_parent: an\n"
          "unvisited child's value is its parent's mean value for the player choosing, not 0.");
    m.def("gumbel_search_games", &gumbel_search_games, nb::arg("games"), nb::arg("evaluate"), nb::arg("simulations"),
          nb::arg("gumbel_actions"), nb::arg("c_visit"), nb::arg("c_scale"),
          "The Gumbel root search of each game, in lockstep like search_games, without Gumbel draws: (improved\n"
          "policy float32 (G, dim * dim), zero off the root's children; the tile each search ends on, int64 (G,),\n"
          "-1 for a finished game).");
}
