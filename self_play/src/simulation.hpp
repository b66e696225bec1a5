#pragma once
// The engine's side of the network exchange and the game drivers behind the module's three functions. The
// network lives in Python: every position is sent through the caller's inference queue and answered on the
// caller's pipe. The tree search itself (search.hpp) knows nothing of Python.
#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "channel_fast_path.hpp"
#include "py_ref.hpp"
#include "search.hpp"

namespace zelmor_self_play {

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

// A Python exception raised while talking to the network: an ordinary result that the drivers act on.
struct EvalError {
    PyRef exception;              // the normalised exception object, with its traceback
    std::string display() const;  // "TypeError: message"
    std::string debug() const;    // "PyErr { type: <class ...>, value: ..., traceback: ... }"
};

// Values by absolute player, or the exception that prevented them.
using Evaluation = std::variant<std::vector<float>, EvalError>;

// The network behind one inference queue and the worker's pipe: per position, one `put` of (id, planes as
// nested lists of bools) and one `recv` of (policy logits, value logits). Borrows both objects. The
// toolkit's shared-memory channel is met with bytes and floats instead (channel_fast_path.hpp).
class QueuePipeExchange final : public Evaluator {
public:
    QueuePipeExchange(int32_t id, uint32_t rep, PyObject* queue, PyObject* pipe);

    bool evaluate(std::span<const Game* const> positions, std::span<NetworkOutput> outputs) override;
    // Why the last evaluate returned false.
    EvalError take_error() { return std::move(error_); }

private:
    bool ask(const Game& game, NetworkOutput& output);
    // 1: not for the channel (nothing done); otherwise as ask.
    int ask_channel(const Game& game, NetworkOutput& output);

    const zelmor_channel::FastPath* channel_;  // when both objects are the channel's own
    int32_t id_;
    uint32_t rep_;
    PyObject* queue_;
    PyObject* pipe_;
    EvalError error_;
};

// Scores a finished game, or asks the network and expands `node` with one child per tile whose masked
// prior is positive.
Evaluation evaluate(QueuePipeExchange& exchange, Node& node, const Game& game);

// The context of one call: borrowed Python objects (owned by the call's argument list), settings, id.
struct Runtime {
    PyObject* result_queue;
    PyObject* inference_queue;
    PyObject* pipe;
    Config config;
    int32_t id;

    QueuePipeExchange exchange(PyObject* queue) const { return {id, config.rep, queue, pipe}; }
    // The tree search of one self-play action. Fails with a text when an evaluation fails or every score is
    // NaN; the statistics already backed up stay.
    std::optional<std::string> search(QueuePipeExchange& network, Node& root, const Game& game);

    uint8_t training_game();  // 0: played and posted; 1: abandoned after a failed search
    std::variant<uint32_t, std::string> best_action(QueuePipeExchange& network, const Game& game);
    uint8_t test_against_random();  // 0: played and posted; 1: abandoned
    std::variant<float, std::string> test_game(PyObject* model_queue, PyObject* baseline_queue);
};

// Text output shared with Python's own buffered stdout: flushes Python's first, then writes and flushes,
// so lines neither get lost nor overtake what Python printed before.
void write_stdout(const std::string& text);

}  // namespace zelmor_self_play
