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

// Visit counts per tile, uint32 (G, dim * dim), of one search per game, all in lockstep.
nb::ndarray<nb::numpy, uint32_t> search_games(const std::vector<const Game*>& games, nb::handle network,
                                              uint32_t simulations, float c_base, float c_init) {
    if (games.empty()) throw nb::value_error("no game to search");
    const uint32_t dim = games.front()->dim();
    for (const Game* game : games)
        if (game->dim() != dim) throw nb::value_error("the games of one search must share a board side");

    std::unique_ptr<Evaluator> owned;
    Evaluator* evaluator;
    if (nb::isinstance<zelmor_self_play::RandomPlayout>(network)) {
        evaluator = nb::inst_ptr<zelmor_self_play::RandomPlayout>(network);
    } else if (PyCallable_Check(network.ptr())) {
        owned = std::make_unique<PythonNetwork>(nb::borrow<nb::callable>(network), dim);
        evaluator = owned.get();
    } else {
        throw nb::type_error("evaluate must be a callable or a RandomPlayout");
    }

    std::vector<Node> trees(games.size());
    std::vector<Node*> roots;
    for (Node& tree : trees) roots.push_back(&tree);
    const zelmor_self_play::SearchSettings settings{simulations, c_base, c_init, false, 0.0f, 0.0f};
    if (zelmor_self_play::search(*evaluator, roots, games, settings) == zelmor_self_play::SearchFailure::all_scores_nan)
        throw nb::value_error("every selection score is NaN: the network's values are not numbers");

    const size_t cells = size_t{dim} * dim;
    uint32_t* visits = new uint32_t[games.size() * cells]();
    nb::capsule owner(visits, [](void* p) noexcept { delete[] static_cast<uint32_t*>(p); });
    for (size_t g = 0; g < games.size(); ++g)
        for (const Node& child : trees[g]) visits[g * cells + child.action] = child.visits;
    return nb::ndarray<nb::numpy, uint32_t>(visits, {games.size(), cells}, owner);
}

}  // namespace

void bind_search(nb::module_& m) {
    nb::class_<zelmor_self_play::RandomPlayout>(m, "RandomPlayout",
                                                "A stand-in network for the search: uniform priors over the legal "
                                                "tiles, and the payoff of one random game to the end as the value.")
        .def(nb::init<>());

    m.def("search_games", &search_games, nb::arg("games"), nb::arg("evaluate"), nb::arg("simulations"),
          nb::arg("c_base"), nb::arg("c_init"),
          "Visit counts uint32 (G, dim * dim) of one tree search per game, run in lockstep: each round sends one\n"
          "leaf of every search to `evaluate` in one batch. evaluate(planes bool (B, 5, dim, dim)) returns\n"
          "(policy logits float32 (B, dim * dim), value logits float32 (B, 4)), both relative to the player to\n"
          "act, or is a RandomPlayout. No root noise. A finished game gets no visits.");
}
