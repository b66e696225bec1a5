#pragma once
// The engine's side of the network exchange. The network lives in Python: every position is sent through
// the caller's inference queue and answered on the caller's pipe. The tree search itself (search.hpp)
// knows nothing of Python; the drivers (drivers.hpp) use this exchange for it and for their greedy players.
#include <Python.h>

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "channel_fast_path.hpp"
#include "py_ref.hpp"
#include "search.hpp"

namespace zelmor_self_play {

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

}  // namespace zelmor_self_play
