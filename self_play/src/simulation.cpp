// Leaf evaluation through the caller's network service, and the PUCT tree search of the self-play game.
// Used by the drivers (drivers.cpp); the search is the hot loop of self-play: one game copy and one
// network exchange per simulation, nothing else allocated on the way down the tree.
#include "simulation.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <utility>

#include "fatal_error.hpp"
#include "python_text.hpp"
#include "rng.hpp"

namespace zelmor_self_play {

using zelmor::FatalError;

Node* Node::child(uint32_t tile) const {
    for (Node* c = begin(); c != end(); ++c)
        if (c->action == tile) return c;
    return nullptr;
}

std::string EvalError::display() const { return exception_display(exception.get()); }
std::string EvalError::debug() const { return exception_debug(exception.get()); }

namespace {

PyObject* interned(const char* text) {
    PyObject* name = PyUnicode_InternFromString(text);
    if (!name) throw PythonErrorSet{};
    return name;
}

PyObject* put_name() {
    static PyObject* name = interned("put");
    return name;
}

PyObject* recv_name() {
    static PyObject* name = interned("recv");
    return name;
}

// A new list of bools read from `count` bytes at `bytes` with the given stride.
PyObject* bool_list(const uint8_t* bytes, uint32_t count, uint32_t stride) {
    PyObject* list = PyList_New(count);
    if (!list) throw PythonErrorSet{};
    for (uint32_t i = 0; i < count; ++i) PyList_SET_ITEM(list, i, Py_NewRef(bytes[i * stride] ? Py_True : Py_False));
    return list;
}

// The position as nested lists: [plane][row][col], or [row][col][plane] when channels_last.
PyRef encode_request(int32_t id, const Game& game, bool channels_last) {
    const uint32_t dim = game.dim(), cells = dim * dim;
    uint8_t bytes[5 * zelmor::kMaxCells];
    game.get_game_state(channels_last, bytes);

    const uint32_t outer = channels_last ? dim : 5, middle = channels_last ? dim : dim;
    const uint32_t inner = channels_last ? 5 : dim;
    PyRef state = PyRef::checked(PyList_New(outer));
    for (uint32_t a = 0; a < outer; ++a) {
        PyObject* rows = PyList_New(middle);
        if (!rows) throw PythonErrorSet{};
        PyList_SET_ITEM(state.get(), a, rows);
        for (uint32_t b = 0; b < middle; ++b) {
            const uint8_t* start = channels_last ? bytes + (a * dim + b) * 5 : bytes + a * cells + b * dim;
            PyList_SET_ITEM(rows, b, bool_list(start, inner, 1));
        }
    }
    PyRef id_object = PyRef::checked(PyLong_FromLong(id));
    return PyRef::checked(PyTuple_Pack(2, id_object.get(), state.get()));
}

std::string quoted_type(PyObject* object) {
    std::string text(1, '\'');
    text.append(type_name(object)).push_back('\'');
    return text;
}

EvalError type_error(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return EvalError{fetch_exception()};
}

std::optional<EvalError> append_float(PyObject* item, std::vector<float>& out) {
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
    if (PyUnicode_Check(seq)) return type_error("Can't extract `str` to `Vec`");
    if (!PySequence_Check(seq)) return type_error(quoted_type(seq) + " object cannot be converted to 'Sequence'");

    if (PyList_CheckExact(seq)) {
        out.reserve(static_cast<size_t>(PyList_GET_SIZE(seq)));
        // Re-read the size each step: a number's __float__ may change the list under us.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(seq); ++i) {
            PyRef element = PyRef::borrow(PyList_GET_ITEM(seq, i));
            if (auto error = append_float(element.get(), out)) return error;
        }
        return std::nullopt;
    }
    if (PyTuple_CheckExact(seq)) {
        out.reserve(static_cast<size_t>(PyTuple_GET_SIZE(seq)));
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(seq); ++i)
            if (auto error = append_float(PyTuple_GET_ITEM(seq, i), out)) return error;
        return std::nullopt;
    }
    const Py_ssize_t size = PySequence_Size(seq);
    if (size < 0)
        PyErr_Clear();  // the length only sizes the buffer
    else
        out.reserve(static_cast<size_t>(size));
    PyRef iterator = PyRef::steal(PyObject_GetIter(seq));
    if (!iterator) return EvalError{fetch_exception()};
    while (PyRef element = PyRef::steal(PyIter_Next(iterator.get())))
        if (auto error = append_float(element.get(), out)) return error;
    if (PyErr_Occurred()) return EvalError{fetch_exception()};
    return std::nullopt;
}

// Children for every tile with a positive prior, in a random order that every later walk follows.
void expand(Node& node, const std::vector<float>& priors) {
    uint32_t count = 0;
    for (float p : priors) count += p > 0.0f;
    node.children = count ? std::make_unique<Node[]>(count) : nullptr;
    node.child_count = count;
    uint32_t k = 0;
    for (uint32_t tile = 0; tile < priors.size(); ++tile) {
        if (!(priors[tile] > 0.0f)) continue;
        node.children[k].action = tile;
        node.children[k].prior = priors[tile];
        ++k;
    }
    Rng& rng = thread_rng();
    for (uint32_t i = count; i > 1; --i) std::swap(node.children[i - 1], node.children[rng.below(i)]);
}

}  // namespace

Evaluation Runtime::evaluate(Node& node, const Game& game) {
    if (game.is_terminal()) {
        const auto payoff = game.get_payoff();
        return std::vector<float>(payoff.begin(), payoff.end());
    }
    if (config.rep != 1 && config.rep != 2) throw FatalError("Invalid representation type");

    std::vector<float> policy_logits, value_logits;
    {
        PyRef request = encode_request(id, game, config.rep == 2);
        PyRef put_result = PyRef::steal(PyObject_CallMethodOneArg(inference_queue, put_name(), request.get()));
        if (!put_result) return EvalError{fetch_exception()};
        PyRef reply = PyRef::steal(PyObject_CallMethodNoArgs(pipe, recv_name()));
        if (!reply) return EvalError{fetch_exception()};
        if (auto error = read_numbers(reply.get(), 0, policy_logits)) return std::move(*error);
        if (auto error = read_numbers(reply.get(), 1, value_logits)) return std::move(*error);
    }

    const std::vector<uint32_t> legal = game.get_legal_tiles();
    const uint32_t player = game.current_player();
    const std::vector<float> priors = masked_softmax(policy_logits, legal);
    std::vector<float> values = softmax(std::move(value_logits));
    if (player > values.size())
        throw FatalError("the network gave " + std::to_string(values.size()) + " value logits, too few for player " +
                         std::to_string(player) + " to act");
    // Entry 0 is the player to act: turn the relative order into absolute player numbers.
    if (!values.empty()) std::rotate(values.begin(), values.end() - player, values.end());
    node.player = player;
    expand(node, priors);
    return values;
}

std::vector<float> softmax(std::vector<float> x) {
    if (x.empty()) return x;
    float m = -std::numeric_limits<float>::infinity();
    for (float v : x) m = std::fmax(m, v);  // NaN entries never become the maximum
    float sum = -0.0f;
    for (float& v : x) {
        v = std::exp(v - m);
        sum += v;
    }
    for (float& v : x) v = v / sum;
    return x;
}

std::vector<float> masked_softmax(const std::vector<float>& logits, const std::vector<uint32_t>& legal) {
    std::vector<float> gathered;
    gathered.reserve(legal.size());
    for (uint32_t tile : legal) {
        if (tile >= logits.size())
            throw FatalError("the network gave " + std::to_string(logits.size()) +
                             " policy logits, too few for legal tile " + std::to_string(tile));
        gathered.push_back(logits[tile]);
    }
    const std::vector<float> probabilities = softmax(std::move(gathered));
    std::vector<float> scattered(logits.size(), 0.0f);
    for (size_t k = 0; k < legal.size(); ++k) scattered[legal[k]] = probabilities[k];
    return scattered;
}

float exploration_factor(const Node& node, const Config& config) {
    const float n = static_cast<float>(node.visits);
    float t = config.c_base + n;
    t = t + 1.0f;
    t = t / config.c_base;
    const float log_t = std::log(t);
    return std::sqrt(n) * (config.c_init + log_t);
}

float ucb_score(float exploration, const Node& child) {
    const float n = static_cast<float>(child.visits);
    const float q = child.visits > 0 ? child.value_sum / n : 0.0f;
    const float u = exploration / (n + 1.0f);
    const float weighted = child.prior * u;
    return q + weighted;
}

std::optional<uint32_t> select_child(const Node& node, const Config& config) {
    const float exploration = exploration_factor(node, config);
    float best = -std::numeric_limits<float>::infinity();
    std::optional<uint32_t> chosen;
    for (uint32_t i = 0; i < node.child_count; ++i) {
        const float score = ucb_score(exploration, node.children[i]);
        if (score >= best) {  // later ties win; NaN never compares
            best = score;
            chosen = i;
        }
    }
    return chosen;
}

void add_root_noise(Node& root, const Config& config) {
    if (!(config.dirichlet_alpha > 0.0f)) throw FatalError("Noise should be generated ok: AlphaTooSmall");
    std::gamma_distribution<float> gamma(config.dirichlet_alpha, 1.0f);
    Rng& rng = thread_rng();
    std::vector<float> draws(root.child_count);
    float sum = 0.0f;
    for (float& g : draws) {
        g = gamma(rng);
        sum += g;
    }
    const float inverse = 1.0f / sum;
    const float keep = 1.0f - config.exploration_fraction;
    for (uint32_t k = 0; k < root.child_count; ++k) {
        Node& child = root.children[k];
        const float noise = config.exploration_fraction * (draws[k] * inverse);
        const float kept = keep * child.prior;
        child.prior = noise + kept;
    }
}

void backup(const std::vector<Node*>& path, const std::vector<float>& values) {
    for (Node* node : path) {
        node->visits += 1;
        if (node->player >= values.size())
            throw FatalError("a value vector of " + std::to_string(values.size()) + " entries has none for player " +
                             std::to_string(node->player));
        node->value_sum = values[node->player] + node->value_sum;
    }
}

Node advance_root(Node&& root, uint32_t action) {
    Node* played = root.child(action);
    if (!played) throw FatalError("Child should have corresponding action");
    return std::move(*played);
}

std::optional<std::string> search(Runtime& runtime, Node& root, const Game& game) {
    if (root.is_leaf()) {
        Evaluation evaluation = runtime.evaluate(root, game);
        if (auto* error = std::get_if<EvalError>(&evaluation)) return "Error evaluating root node: " + error->display();
    }
    if (root.child_count >= 2) add_root_noise(root, runtime.config);

    Game scratch = game;
    std::vector<Node*> path;
    path.reserve(256);
    for (uint32_t simulation = 0; simulation < runtime.config.sims_per_move; ++simulation) {
        scratch.assign_position(game);
        path.clear();
        Node* node = &root;
        while (!node->is_leaf()) {
            const std::optional<uint32_t> chosen = select_child(*node, runtime.config);
            if (!chosen) return "All UCB scores NaN";
            node = &node->children[*chosen];
            scratch.apply(node->action);  // a rejection cannot happen with a consistent tree; ignored
            path.push_back(node);
        }
        Evaluation evaluation = runtime.evaluate(*node, scratch);
        if (auto* error = std::get_if<EvalError>(&evaluation)) return error->display();
        backup(path, std::get<std::vector<float>>(evaluation));
    }
    return std::nullopt;
}

}  // namespace zelmor_self_play
