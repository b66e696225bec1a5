// The engine's network exchange: a position goes out as nested lists of bools through the caller's
// inference queue and comes back as two sequences of logits from the caller's pipe. Used by the search of
// the self-play game and by the greedy players of the test matches (drivers.cpp).
#include "simulation.hpp"

#include <algorithm>
#include <optional>
#include <utility>

#include "fatal_error.hpp"
#include "interface_text.hpp"
#include "module_state.hpp"
#include "python_text.hpp"

namespace zelmor_self_play {

using zelmor::FatalError;

std::string EvalError::display() const { return exception_display(exception.get()); }
std::string EvalError::debug() const { return exception_debug(exception.get()); }

namespace {

// A new list of bools read from `count` consecutive bytes.
PyObject* bool_list(const uint8_t* bytes, uint32_t count) {
    PyObject* list = PyList_New(count);
    if (!list) throw PythonErrorSet{};
    for (uint32_t i = 0; i < count; ++i) PyList_SET_ITEM(list, i, Py_NewRef(bytes[i] ? Py_True : Py_False));
    return list;
}

// The position as nested lists: [plane][row][col], or [row][col][plane] when channels_last. Either way
// the planes' bytes are one [outer][middle][inner] block, cut into lists as they lie.
PyRef encode_request(int32_t id, const Game& game, bool channels_last) {
    const uint32_t dim = game.dim();
    uint8_t bytes[5 * zelmor::kMaxCells];
    game.get_game_state(channels_last, bytes);

    const uint32_t outer = channels_last ? dim : 5, middle = dim;
    const uint32_t inner = channels_last ? 5 : dim;
    PyRef state = PyRef::checked(PyList_New(outer));
    for (uint32_t a = 0; a < outer; ++a) {
        PyObject* rows = PyList_New(middle);
        if (!rows) throw PythonErrorSet{};
        PyList_SET_ITEM(state.get(), a, rows);
        for (uint32_t b = 0; b < middle; ++b)
            PyList_SET_ITEM(rows, b, bool_list(bytes + (a * middle + b) * inner, inner));
    }
    PyRef id_object = PyRef::checked(PyLong_FromLong(id));
    return PyRef::checked(PyTuple_Pack(2, id_object.get(), state.get()));
}

EvalError type_error(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return EvalError{fetch_exception()};
}

EvalError value_error(const std::string& message) {
    PyErr_SetString(PyExc_ValueError, message.c_str());
    return EvalError{fetch_exception()};
}

// One more number of reply item `index`, unless the item already holds as many as any honest reply can:
// a sequence may claim a small length and never end, and reading it to its end would exhaust memory.
std::optional<EvalError> append_float(PyObject* item, long index, std::vector<float>& out) {
    const size_t limit = index == 0 ? text::kMaxPolicyLogits : text::kMaxValueLogits;
    if (out.size() == limit) return value_error(text::reply_too_long(static_cast<size_t>(index), limit));
    const double value = PyFloat_CheckExact(item) ? PyFloat_AS_DOUBLE(item) : PyFloat_AsDouble(item);
    if (value == -1.0 && PyErr_Occurred()) return EvalError{fetch_exception()};
    out.push_back(static_cast<float>(value));
    return std::nullopt;
}

// Item `index` of the reply as 32-bit floats: any sequence but a string, element by element.
std::optional<EvalError> read_numbers(PyObject* reply, long index, std::vector<float>& out) {
    PyRef key = PyRef::checked(PyLong_FromLong(index));
    PyRef item = PyRef::steal(PyObject_GetItem(reply, key.get()));
    if (!item) return EvalError{fetch_exception()};
    PyObject* seq = item.get();
    if (PyUnicode_Check(seq)) return type_error(text::kStrIsNotNumbers);
    if (!PySequence_Check(seq)) return type_error(text::not_a_sequence(type_name(seq)));

    if (PyList_CheckExact(seq)) {
        out.reserve(static_cast<size_t>(PyList_GET_SIZE(seq)));
        // Re-read the size each step: a number's __float__ may change the list under us.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(seq); ++i) {
            PyRef element = PyRef::borrow(PyList_GET_ITEM(seq, i));
            if (auto error = append_float(element.get(), index, out)) return error;
        }
        return std::nullopt;
    }
    if (PyTuple_CheckExact(seq)) {
        out.reserve(static_cast<size_t>(PyTuple_GET_SIZE(seq)));
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(seq); ++i)
            if (auto error = append_float(PyTuple_GET_ITEM(seq, i), index, out)) return error;
        return std::nullopt;
    }
    // The reported length only sizes the buffer, and a sequence may claim any length: no board has more
    // cells than kMaxCells, so no honest reply needs more room in advance.
    const Py_ssize_t size = PySequence_Size(seq);
    if (size < 0)
        PyErr_Clear();
    else
        out.reserve(std::min(static_cast<size_t>(size), size_t{zelmor::kMaxCells}));
    PyRef iterator = PyRef::steal(PyObject_GetIter(seq));
    if (!iterator) return EvalError{fetch_exception()};
    while (PyRef element = PyRef::steal(PyIter_Next(iterator.get())))
        if (auto error = append_float(element.get(), index, out)) return error;
    if (PyErr_Occurred()) return EvalError{fetch_exception()};
    return std::nullopt;
}

// The channel's capsule, once its module is loaded. Only a loaded channel module can have made a channel
// object, so the module is looked up, never imported.
const zelmor_channel::FastPath* loaded_channel() {
    static const zelmor_channel::FastPath* found = nullptr;
    if (found) return found;
    PyRef module = PyRef::steal(PyImport_GetModule(PyRef::checked(PyUnicode_FromString("zelmor_lab._channel")).get()));
    if (!module) {
        PyErr_Clear();
        return nullptr;
    }
    PyRef capsule = PyRef::steal(PyObject_GetAttrString(module.get(), "_fast_path"));
    if (capsule)
        found = static_cast<const zelmor_channel::FastPath*>(
            PyCapsule_GetPointer(capsule.get(), zelmor_channel::kFastPathCapsule));
    PyErr_Clear();
    return found;
}

}  // namespace

QueuePipeExchange::QueuePipeExchange(int32_t id, uint32_t rep, PyObject* queue, PyObject* pipe)
    : channel_(nullptr), id_(id), rep_(rep), queue_(queue), pipe_(pipe) {
    const zelmor_channel::FastPath* channel = loaded_channel();
    if (channel && Py_TYPE(queue) == channel->queue_type && Py_TYPE(pipe) == channel->pipe_type) channel_ = channel;
}

bool QueuePipeExchange::evaluate(std::span<const Game* const> positions, std::span<NetworkOutput> outputs) {
    for (size_t i = 0; i < positions.size(); ++i)
        if (!ask(*positions[i], outputs[i])) return false;
    return true;
}

bool QueuePipeExchange::ask(const Game& game, NetworkOutput& output) {
    if (rep_ != 1 && rep_ != 2) throw FatalError(text::kInvalidRepresentation);
    if (channel_) {
        const int answered = ask_channel(game, output);
        if (answered != 1) return answered == 0;
    }
    PyRef request = encode_request(id_, game, rep_ == 2);
    PyRef put_result = PyRef::steal(PyObject_CallMethodOneArg(queue_, module_state().put, request.get()));
    if (!put_result) return error_ = EvalError{fetch_exception()}, false;
    PyRef reply = PyRef::steal(PyObject_CallMethodNoArgs(pipe_, module_state().recv));
    if (!reply) return error_ = EvalError{fetch_exception()}, false;
    for (auto [index, numbers] : {std::pair{0L, &output.policy_logits}, std::pair{1L, &output.value_logits}}) {
        if (auto error = read_numbers(reply.get(), index, *numbers)) {
            error_ = std::move(*error);
            return false;
        }
    }
    return true;
}

int QueuePipeExchange::ask_channel(const Game& game, NetworkOutput& output) {
    uint8_t planes[5 * zelmor::kMaxCells];
    game.get_game_state(rep_ == 2, planes);
    const int sent = channel_->put(queue_, id_, planes, game.dim(), rep_);
    if (sent == 1) return 1;
    if (sent == 0) {
        output.policy_logits.resize(game.board().cell_count());
        output.value_logits.resize(4);
        if (channel_->recv(pipe_, output.policy_logits.data(), output.value_logits.data()) == 0) return 0;
    }
    error_ = EvalError{fetch_exception()};
    return -1;
}

Evaluation evaluate(QueuePipeExchange& exchange, Node& node, const Game& game) {
    if (game.is_terminal()) {
        const auto payoff = game.get_payoff();
        return std::vector<float>(payoff.begin(), payoff.end());
    }
    const Game* position = &game;
    NetworkOutput output;
    if (!exchange.evaluate({&position, 1}, {&output, 1})) return exchange.take_error();
    return expand(node, game, std::move(output));
}

}  // namespace zelmor_self_play
