// The three whole-game drivers behind the module's functions: the self-play training game (search for
// every action of every player, one record posted at the end) and the two greedy test matches.
#include "drivers.hpp"

#include <cstdio>

#include "fatal_error.hpp"
#include "gumbel.hpp"
#include "interface_text.hpp"
#include "module_state.hpp"
#include "python_text.hpp"
#include "rng.hpp"

namespace zelmor_self_play {

using zelmor::FatalError;

namespace {

// Uniform in [0, 1), from 23 random bits.
float uniform_draw() { return static_cast<float>(thread_rng().next_u32() >> 9) * 0x1p-23f; }

// Temperature-1 sampling over the root's visit counts.
uint32_t sampled_action(const Node& root) {
    uint32_t total = 0;
    for (const Node& child : root) total += child.visits;
    const float t = static_cast<float>(total);
    float r;
    do {
        r = uniform_draw();
    } while (r >= 1.0f);
    float cumulative = 0.0f;
    for (const Node& child : root) {
        cumulative = cumulative + static_cast<float>(child.visits) / t;
        if (cumulative > r) return child.action;
    }
    return root.end()[-1].action;  // rounding, or no visits at all
}

uint32_t greedy_action(const Node& root) {
    const Node* best = root.begin();
    for (const Node& child : root)
        if (child.visits >= best->visits) best = &child;  // the last of equal counts wins
    return best->action;
}

void post(PyObject* queue, PyRef record) {
    // The collector's trouble is not the game's: whatever put raises is dropped.
    PyRef result = PyRef::steal(PyObject_CallMethodOneArg(queue, module_state().put, record.get()));
    if (!result) PyErr_Clear();
}

PyRef training_record(int32_t id, const std::vector<zelmor::Action>& history, const std::vector<PolicyEntry>& policies,
                      const std::array<float, 4>& payoff) {
    PyRef history_list = PyRef::checked(PyList_New(static_cast<Py_ssize_t>(history.size())));
    for (size_t i = 0; i < history.size(); ++i)
        PyList_SET_ITEM(history_list.get(), i,
                        PyRef::checked(Py_BuildValue("(II)", history[i].player, history[i].tile)).release());
    PyRef policy_list = PyRef::checked(PyList_New(static_cast<Py_ssize_t>(policies.size())));
    for (size_t i = 0; i < policies.size(); ++i) {
        PyRef entry = PyRef::checked(PyList_New(static_cast<Py_ssize_t>(policies[i].size())));
        for (size_t k = 0; k < policies[i].size(); ++k) {
            const auto [tile, p] = policies[i][k];
            PyList_SET_ITEM(entry.get(), k, PyRef::checked(Py_BuildValue("(Id)", tile, double{p})).release());
        }
        PyList_SET_ITEM(policy_list.get(), i, entry.release());
    }
    PyRef payoff_list = PyRef::checked(
        Py_BuildValue("[dddd]", double{payoff[0]}, double{payoff[1]}, double{payoff[2]}, double{payoff[3]}));
    return PyRef::checked(Py_BuildValue("(i(OOO))", id, history_list.get(), policy_list.get(), payoff_list.get()));
}

}  // namespace

void write_stdout(const std::string& text) {
    PyObject* python_stdout = PySys_GetObject("stdout");  // borrowed
    if (python_stdout && python_stdout != Py_None) {
        PyRef flushed = PyRef::steal(PyObject_CallMethod(python_stdout, "flush", nullptr));
        if (!flushed) PyErr_Clear();
    }
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

std::optional<std::string> Runtime::search(QueuePipeExchange& network, Node& root, const Game& game,
                                           GumbelRoot* gumbel_root, uint32_t simulations, bool root_noise) {
    const SearchSettings settings{.simulations = simulations,
                                  .c_base = config.c_base,
                                  .c_init = config.c_init,
                                  .root_noise = root_noise,
                                  .dirichlet_alpha = config.dirichlet_alpha,
                                  .exploration_fraction = config.exploration_fraction,
                                  .root_search = config.root_search,
                                  .gumbel = config.gumbel,
                                  .first_play_parent = config.first_play_parent};
    Node* roots[] = {&root};
    const Game* positions[] = {&game};
    const std::span<GumbelRoot> gumbel_roots = gumbel_root ? std::span(gumbel_root, 1) : std::span<GumbelRoot>();
    switch (zelmor_self_play::search(network, roots, positions, settings, gumbel_roots)) {
        case SearchFailure::none: return std::nullopt;
        case SearchFailure::root_evaluation: return text::kRootEvaluationFailed + network.take_error().display();
        case SearchFailure::leaf_evaluation: return network.take_error().display();
        case SearchFailure::all_scores_nan: break;
    }
    return text::kAllScoresNan;
}

uint8_t Runtime::training_game(PyObject* inference_queue) {
    QueuePipeExchange network = exchange(inference_queue);  // looks for the channel once per game
    Game game(config.dim);
    Node root;
    std::vector<PolicyEntry> policies;
    // The Gumbel search explores by its draws where PUCT samples its action (the first sample_moves
    // actions), acts by its survivor, and records its improved policy instead of the visit shares.
    const bool gumbel = config.root_search == RootSearch::gumbel;
    GumbelRoot gumbel_root;
    std::vector<float> shares;
    while (!game.is_terminal()) {
        const bool exploring = policies.size() + 1 < config.sample_moves;  // counted with this action's entry
        const bool full = config.full_search_share >= 1.0f || uniform_draw() < config.full_search_share;
        // A fast PUCT search goes without Dirichlet noise: its visits are not a target, so the noise would only
        // weaken the action. A fast Gumbel search keeps its draws while exploring, since they choose the
        // action there as PUCT's sampling does; only its budget shrinks.
        const bool root_noise = gumbel ? exploring : full;
        if (search(network, root, game, gumbel ? &gumbel_root : nullptr, full ? config.sims_per_move : config.fast_sims,
                   root_noise))
            return 1;

        // A fast search's entry stays empty: the action is kept for the replay and the value target, the
        // policy loss skips it.
        PolicyEntry& entry = policies.emplace_back();
        if (full) {
            entry.reserve(root.child_count);
            if (gumbel) {
                improved_policy(root, config.gumbel, shares);
                for (uint32_t k = 0; k < root.child_count; ++k) entry.emplace_back(root.children[k].action, shares[k]);
            } else {
                uint32_t total = 0;
                for (const Node& child : root) total += child.visits;
                for (const Node& child : root)
                    entry.emplace_back(child.action, static_cast<float>(child.visits) / static_cast<float>(total));
            }
        }
        if (root.is_leaf()) throw FatalError(text::kEmptyVisitDistribution);

        const uint32_t tile = gumbel      ? gumbel_action(root, gumbel_root, config.gumbel)
                              : exploring ? sampled_action(root)
                                          : greedy_action(root);
        game.apply(tile);  // the tile is a child of the root, hence legal
        root = advance_root(std::move(root), tile);
    }
    root = Node{};  // the tree is done with before the record is built
    post(result_queue, training_record(id, game.history(), policies, game.get_payoff()));
    return 0;
}

std::variant<uint32_t, std::string> Runtime::best_action(QueuePipeExchange& network, const Game& game) {
    Node node;
    Evaluation evaluation = evaluate(network, node, game);
    if (auto* error = std::get_if<EvalError>(&evaluation)) return text::kRootEvaluationFailed + error->debug();
    // Covering an illegal tile would corrupt the board and the decision would come round for ever.
    if (node.is_leaf() && !game.is_terminal()) return std::string(text::kNoPositivePrior);
    uint32_t best = 0;
    float best_prior = 0.0f;
    for (const Node& child : node) {
        if (child.prior > best_prior) {  // the first of equal priors wins
            best = child.action;
            best_prior = child.prior;
        }
    }
    return best;
}

uint8_t Runtime::test_against_random(PyObject* inference_queue) {
    QueuePipeExchange network = exchange(inference_queue);
    Game game(config.dim);
    while (!game.is_terminal()) {
        uint32_t tile;
        if (game.current_player() != 0) {
            const std::vector<uint32_t> legal = game.get_legal_tiles();
            if (legal.empty()) throw FatalError(text::kEmptyRange);
            tile = legal[thread_rng().below(static_cast<uint32_t>(legal.size()))];
        } else {
            auto decision = best_action(network, game);
            if (auto* failure = std::get_if<std::string>(&decision)) {
                write_stdout(text::error_line(debug_quote(*failure)));
                return 1;
            }
            tile = std::get<uint32_t>(decision);
        }
        game.apply(tile);
    }
    post(result_queue, PyRef::checked(Py_BuildValue("(id)", id, double{game.get_payoff()[0]})));
    return 0;
}

std::variant<float, std::string> Runtime::test_game(PyObject* model_queue, PyObject* baseline_queue) {
    constexpr uint32_t kMatchDim = 20;  // matches between networks always use the full board
    QueuePipeExchange model = exchange(model_queue), baseline = exchange(baseline_queue);
    Game game(kMatchDim);
    while (!game.is_terminal()) {
        auto decision = best_action(game.current_player() == 0 ? model : baseline, game);
        if (auto* failure = std::get_if<std::string>(&decision)) {
            write_stdout(text::error_line(debug_quote(*failure)));
            return std::string(text::kMctsFailed);
        }
        game.apply(std::get<uint32_t>(decision));
    }
    write_stdout(text::kFinishedGame + game.board().render());
    return game.get_payoff()[0];
}

}  // namespace zelmor_self_play
