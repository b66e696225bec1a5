#pragma once
// Monte Carlo tree search and the game drivers behind the module's three functions. The network lives in
// Python: every leaf is sent through the caller's inference queue and answered on the caller's pipe. All
// search arithmetic is in 32-bit floats, evaluated in the written order (the build forbids fused
// multiply-add), so a search is reproducible bit for bit given the same replies and random draws.
#include <Python.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "game.hpp"
#include "py_ref.hpp"

namespace zelmor_self_play {

using zelmor::Game;

// The settings of one call, read from the caller's settings object. No defaults, no range checks: the
// users of each field take the value as it stands.
struct Config {
    uint32_t dim = 0;
    uint32_t rep = 0;  // 1: planes first, 2: planes last; anything else fails at the first evaluation
    uint32_t sims_per_move = 0;
    uint32_t sample_moves = 0;  // actions numbered below this are sampled, later ones greedy
    float c_base = 0;
    float c_init = 0;
    float dirichlet_alpha = 0;
    float exploration_fraction = 0;
};

// One position of the search tree. Children live in one block allocated when the node is expanded, in an
// order drawn at random then; every walk over them (selection, noise, the policy record, greedy choices)
// uses that order, so ties break differently from node to node and game to game.
struct Node {
    std::unique_ptr<Node[]> children;
    uint32_t child_count = 0;
    uint32_t action = 0;  // the tile that leads from the parent here
    uint32_t player = 0;  // the player to move here, written at expansion
    uint32_t visits = 0;
    float value_sum = 0;
    float prior = 0;

    bool is_leaf() const { return child_count == 0; }
    Node* begin() const { return children.get(); }
    Node* end() const { return children.get() + child_count; }
    Node* child(uint32_t action) const;  // nullptr when there is none
};

// A Python exception raised while talking to the network: an ordinary result that the drivers act on.
struct EvalError {
    PyRef exception;           // the normalised exception object, with its traceback
    std::string display() const;  // "TypeError: message"
    std::string debug() const;    // "PyErr { type: <class ...>, value: ..., traceback: ... }"
};

// Values by absolute player, or the exception that prevented them.
using Evaluation = std::variant<std::vector<float>, EvalError>;

// The context of one call: borrowed Python objects (owned by the call's argument list), settings, id.
struct Runtime {
    PyObject* result_queue;
    PyObject* inference_queue;  // re-pointed per move by test_game
    PyObject* pipe;
    Config config;
    int32_t id;

    // Scores a finished game, or asks the network and expands `node` with one child per tile whose
    // masked prior is positive.
    Evaluation evaluate(Node& node, const Game& game);

    uint8_t training_game();  // 0: played and posted; 1: abandoned after a failed search
    std::variant<uint32_t, std::string> best_action(const Game& game);
    uint8_t test_against_random();  // 0: played and posted; 1: abandoned
    std::variant<float, std::string> test_game(PyObject* model_queue, PyObject* baseline_queue);
};

std::vector<float> softmax(std::vector<float> x);
std::vector<float> masked_softmax(const std::vector<float>& logits, const std::vector<uint32_t>& legal);

// The tree search of one action. Fails with a text when an evaluation fails or every score is NaN; the
// statistics already backed up stay.
std::optional<std::string> search(Runtime& runtime, Node& root, const Game& game);
float exploration_factor(const Node& node, const Config& config);
float ucb_score(float exploration, const Node& child);
std::optional<uint32_t> select_child(const Node& node, const Config& config);  // index into the children
void add_root_noise(Node& root, const Config& config);
void backup(const std::vector<Node*>& path, const std::vector<float>& values);
Node advance_root(Node&& root, uint32_t action);  // the played child; the rest of the tree is released

// Text output shared with Python's own buffered stdout: flushes Python's first, then writes and flushes,
// so lines neither get lost nor overtake what Python printed before.
void write_stdout(const std::string& text);

}  // namespace zelmor_self_play
