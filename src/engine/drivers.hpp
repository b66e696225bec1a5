#pragma once
// The whole-game drivers behind the module's three functions (lib.cpp), and the context they run in.
#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "config.hpp"
#include "gumbel.hpp"
#include "simulation.hpp"

namespace zelmor_self_play {

// The context of one call: borrowed Python objects (owned by the call's argument list), settings, id.
// The network's queue is passed to each driver: the test match asks two networks through one pipe.
using PolicyEntry = std::vector<std::pair<uint32_t, float>>;  // (tile, share) per root child

struct Runtime {
    PyObject* result_queue;
    PyObject* pipe;
    Config config;
    int32_t id;

    QueuePipeExchange exchange(PyObject* inference_queue) const { return {id, config.rep, inference_queue, pipe}; }
    // The tree search of one self-play action, a Gumbel search when `gumbel_root` is given, with the
    // settings' constants and this action's budget and noise. Fails with a text when an evaluation fails or
    // every score is NaN; the statistics already backed up stay.
    std::optional<std::string> search(QueuePipeExchange& network, Node& root, const Game& game, GumbelRoot* gumbel_root,
                                      uint32_t simulations, bool root_noise);
    std::variant<uint32_t, std::string> best_action(QueuePipeExchange& network, const Game& game);

    uint8_t training_game(PyObject* inference_queue);        // 0: played and posted; 1: abandoned after a failed search
    uint8_t test_against_random(PyObject* inference_queue);  // 0: played and posted; 1: abandoned
    // Player 0's payoff on the full board, or the failure's text after the error line has been printed.
    std::variant<float, std::string> test_game(PyObject* model_queue, PyObject* baseline_queue);
};

// Text output shared with Python's own buffered stdout: flushes Python's first, then writes and flushes,
// so lines neither get lost nor overtake what Python printed before.
void write_stdout(const std::string& text);

}  // namespace zelmor_self_play
