// The rules library for Python users: replaying and checking stored games, analysis, pictures and tests.
// Unlike the library's own Game::apply, the bound apply() refuses an illegal tile and leaves the game
// unchanged, so a Python game is always a position reachable by legal play.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/array.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <algorithm>
#include <memory>
#include <optional>

#include "fatal_error.hpp"
#include "game.hpp"
#include "heuristic.hpp"

namespace nb = nanobind;
using namespace zelmor;

void bind_search(nb::module_& m);  // search_binding.cpp

namespace {

using BoolArray = nb::ndarray<nb::numpy, bool>;
using ByteArray = nb::ndarray<nb::numpy, uint8_t>;

// The value of an integer argument (int, bool, numpy integers: anything with __index__), or nullopt when
// it does not fit in 64 bits, which every range below rejects. Anything else raises Python's TypeError.
std::optional<int64_t> integer_value(nb::handle value) {
    PyObject* index = PyNumber_Index(value.ptr());
    if (!index) throw nb::python_error();
    int overflow = 0;
    const long long result = PyLong_AsLongLongAndOverflow(index, &overflow);
    Py_DECREF(index);
    if (overflow) return std::nullopt;
    return result;
}

// The integer `value` when it lies in first..last; otherwise ValueError "<what> <value> <complaint>".
uint32_t in_range(nb::handle value, int64_t first, int64_t last, const char* what, const std::string& complaint) {
    const auto number = integer_value(value);
    if (!number || *number < first || *number > last)
        throw nb::value_error((std::string(what) + " " + nb::str(value).c_str() + " " + complaint).c_str());
    return static_cast<uint32_t>(*number);
}

uint32_t checked_dim(nb::handle dim) {
    return in_range(dim, kMinDim, kMaxDim, "board side",
                    "is not in " + std::to_string(kMinDim) + ".." + std::to_string(kMaxDim));
}

uint32_t checked_player(nb::handle player) { return in_range(player, 0, 3, "player", "is not in 0..3"); }

uint32_t checked_tile(const Game& game, nb::handle tile) {
    const std::string side = std::to_string(game.dim());
    return in_range(tile, 0, game.board().cell_count() - 1, "tile", "is off the " + side + " x " + side + " board");
}

// Hands a heap buffer to numpy, which frees it with the array.
template <class T, class Array>
Array owned_array(std::unique_ptr<T[]> data, std::initializer_list<size_t> shape) {
    T* raw = data.release();
    nb::capsule owner(raw, [](void* p) noexcept { delete[] static_cast<T*>(p); });
    return Array(raw, shape, owner);
}

BoolArray encode(const Game& game, bool channels_last) {
    const size_t dim = game.dim(), n = 5 * dim * dim;
    auto bytes = std::make_unique<bool[]>(n);
    game.get_game_state(channels_last, reinterpret_cast<uint8_t*>(bytes.get()));
    return channels_last ? owned_array<bool, BoolArray>(std::move(bytes), {dim, dim, 5})
                         : owned_array<bool, BoolArray>(std::move(bytes), {5, dim, dim});
}

// Applies one legal action; an illegal one raises ValueError with the rules' text, game unchanged.
void apply_legal(Game& game, nb::handle tile_value) {
    const uint32_t tile = checked_tile(game, tile_value);
    if (!game.legal_set().contains(tile))
        throw nb::value_error(
            ("Invalid move - Player " + std::to_string(game.current_player()) + ", Tile " + std::to_string(tile))
                .c_str());
    game.apply(tile);
}

// One (player, tile) entry of a history, each as its Python object and its value (nullopt beyond 64 bits).
struct HistoryEntry {
    nb::object pair;  // owns player and tile when the entry was not a list or tuple itself
    nb::handle player, tile;
    std::optional<int64_t> player_value, tile_value;
};

// TypeError naming the entry when it is not a pair of integers.
HistoryEntry history_entry(nb::handle entry, size_t i) {
    const auto not_a_pair = [&] {
        return nb::type_error(
            ("history entry " + std::to_string(i) + " is not a (player, tile) pair of integers").c_str());
    };
    nb::object pair = nb::steal(PySequence_Fast(entry.ptr(), ""));
    if (!pair.is_valid()) {
        PyErr_Clear();
        throw not_a_pair();
    }
    if (PySequence_Fast_GET_SIZE(pair.ptr()) != 2) throw not_a_pair();
    HistoryEntry result{pair, PySequence_Fast_GET_ITEM(pair.ptr(), 0), PySequence_Fast_GET_ITEM(pair.ptr(), 1), {}, {}};
    if (!PyIndex_Check(result.player.ptr()) || !PyIndex_Check(result.tile.ptr())) throw not_a_pair();
    result.player_value = integer_value(result.player);
    result.tile_value = integer_value(result.tile);
    return result;
}

BoolArray encode_history(nb::handle history, nb::handle dim_value, bool channels_last) {
    Game game(checked_dim(dim_value));
    nb::object entries =
        nb::steal(PySequence_Fast(history.ptr(), "history must be a sequence of (player, tile) pairs"));
    if (!entries.is_valid()) throw nb::python_error();
    const size_t dim = game.dim(), plane = 5 * dim * dim, cells = game.board().cell_count();
    const size_t steps = static_cast<size_t>(PySequence_Fast_GET_SIZE(entries.ptr()));
    // Every legal action covers an empty cell, so a history longer than the board fails before its end:
    // one encoding per cell is all the buffer ever needs, however long the input.
    const size_t capacity = std::min(steps, cells);
    auto bytes = std::make_unique<bool[]>(capacity * plane);
    for (size_t i = 0; i < steps; ++i) {
        const HistoryEntry entry = history_entry(PySequence_Fast_GET_ITEM(entries.ptr(), i), i);
        const std::string where = "history entry " + std::to_string(i) + ": ";
        if (entry.player_value != int64_t{game.current_player()})
            throw nb::value_error((where + "player " + nb::str(entry.player).c_str() + " is not the player to act (" +
                                   std::to_string(game.current_player()) + ")")
                                      .c_str());
        const auto tile = entry.tile_value;
        if (i >= capacity || !tile || *tile < 0 || *tile >= int64_t(cells) ||
            !game.legal_set().contains(static_cast<uint32_t>(*tile)))
            throw nb::value_error((where + "tile " + nb::str(entry.tile).c_str() + " is not legal").c_str());
        game.get_game_state(channels_last, reinterpret_cast<uint8_t*>(bytes.get() + i * plane));
        game.apply(static_cast<uint32_t>(*tile));
    }
    return channels_last ? owned_array<bool, BoolArray>(std::move(bytes), {steps, dim, dim, 5})
                         : owned_array<bool, BoolArray>(std::move(bytes), {steps, 5, dim, dim});
}

nb::list shape_to_list(const Shape& shape) {
    nb::list rows;
    for (const auto& row : shape) {
        nb::list cells;
        for (bool filled : row) cells.append(filled);
        rows.append(cells);
    }
    return rows;
}

}  // namespace

NB_MODULE(_rules, m) {
    m.doc() = "Rules of Zelmor: pieces, board bookkeeping, move generation, turn flow and encoding.";
    nb::register_exception_translator([](const std::exception_ptr& p, void*) {
        try {
            std::rethrow_exception(p);
        } catch (const FatalError& e) {
            PyErr_SetString(PyExc_ValueError, e.what());
        }
    });

    nb::class_<PieceVariant>(m, "PieceVariant")
        .def_ro("offsets", &PieceVariant::offsets)
        .def_ro("mask", &PieceVariant::mask)
        .def_ro("width", &PieceVariant::width)
        .def_prop_ro("shape", [](const PieceVariant& v) { return shape_to_list(v.shape); })
        .def("__repr__", [](const PieceVariant& v) {
            return "PieceVariant(width=" + std::to_string(v.width) +
                   ", offsets=" + nb::repr(nb::cast(v.offsets)).c_str() + ")";
        });

    nb::class_<Piece>(m, "Piece")
        .def_ro("piece_id", &Piece::piece_id)
        .def_ro("size", &Piece::size)
        .def_ro("variants", &Piece::variants)
        .def_prop_ro("shape", [](const Piece& p) { return shape_to_list(p.shape); })
        .def("__repr__", [](const Piece& p) {
            return "Piece(piece_id=" + std::to_string(p.piece_id) + ", size=" + std::to_string(p.size) +
                   ", variants=" + std::to_string(p.variants.size()) + ")";
        });

    m.def(
        "pieces", [](nb::handle dim) { return Catalogue::for_dim(checked_dim(dim)).pieces; }, nb::arg("dim") = 20,
        nb::sig("def pieces(dim: int = 20) -> list[Piece]"),
        "The 21 catalogue pieces with their orientations laid out for a board of side `dim`.");

    m.def("encode_history", &encode_history, nb::arg("history"), nb::arg("dim"), nb::arg("channels_last") = false,
          nb::sig("def encode_history(history: collections.abc.Sequence[tuple[int, int]], dim: int, "
                  "channels_last: bool = False) -> numpy.typing.NDArray[numpy.bool_]"),
          "Network inputs before each action of a game replayed from a new board.\n\n"
          "history: sequence of (player, tile) pairs. Returns bool array (T, 5, dim, dim), or (T, dim, dim, 5)\n"
          "when channels_last. Raises ValueError naming the first pair that is not a legal action of the\n"
          "player to act.");

    nb::class_<Game>(m, "Game")
        .def(
            "__init__", [](Game* g, nb::handle dim) { new (g) Game(checked_dim(dim)); }, nb::arg("dim") = 20,
            nb::sig("def __init__(self, dim: int = 20) -> None"))
        .def_prop_ro("dim", &Game::dim)
        .def_prop_ro("current_player", &Game::current_player)
        .def_prop_ro("finished", [](const Game& g) { return g.finished(); })
        .def_prop_ro("last_sizes", [](const Game& g) { return g.last_sizes(); })
        .def_prop_ro("turn_tiles", &Game::turn_tiles, "Tiles taken so far in the piece being laid.")
        .def_prop_ro("history",
                     [](const Game& g) {
                         std::vector<std::pair<uint32_t, uint32_t>> pairs;
                         for (const Action& a : g.history()) pairs.emplace_back(a.player, a.tile);
                         return pairs;
                     })
        .def("legal_tiles", &Game::get_legal_tiles, "Tiles the player to act may take next, ascending.")
        .def(
            "tile_moves",
            [](const Game& g) {
                nb::dict map;
                const auto& moves = g.tile_moves().moves();
                g.legal_set().for_each([&](uint32_t t) {
                    nb::set covering;
                    for (const Move& mv : moves)
                        if (mv.covers(t)) covering.add(nb::make_tuple(mv.piece_index, mv.variant_index, mv.origin));
                    map[nb::int_(t)] = covering;
                });
                return map;
            },
            "dict tile -> set of (piece_index, variant_index, origin) still possible through that tile.")
        .def(
            "corners",
            [](const Game& g, nb::handle player) {
                std::vector<uint32_t> cells;
                g.board().corners(checked_player(player)).for_each([&](uint32_t c) { cells.push_back(c); });
                return cells;
            },
            nb::arg("player"), nb::sig("def corners(self, player: int) -> list[int]"),
            "The player's corner cells, ascending: where its next piece may touch its own.")
        .def(
            "remaining_pieces",
            [](const Game& g, nb::handle player) {
                const uint32_t p = checked_player(player);
                std::vector<uint32_t> ids;
                for (uint32_t i = 0; i < g.board().remaining_count(p); ++i)
                    ids.push_back(g.board().remaining_piece(p, i).piece_id);
                return ids;
            },
            nb::arg("player"), nb::sig("def remaining_pieces(self, player: int) -> list[int]"),
            "Piece ids the player has not placed, in list order (a move's piece_index is a position here).")
        .def(
            "cells",
            [](const Game& g) {
                const size_t dim = g.dim();
                auto bytes = std::make_unique<uint8_t[]>(dim * dim);
                for (uint32_t t = 0; t < dim * dim; ++t) bytes[t] = g.board().cell(t);
                return owned_array<uint8_t, ByteArray>(std::move(bytes), {dim, dim});
            },
            "Raw cell bytes, uint8 (dim, dim): owner in bits 0-3, player p's blocked bit at 4 + p.")
        .def("apply", &apply_legal, nb::arg("tile"), nb::sig("def apply(self, tile: int) -> None"),
             "Take one tile for the player to act; ValueError if no legal move covers it.")
        .def("is_terminal", &Game::is_terminal)
        .def("scores", [](const Game& g) { return g.board().get_scores(g.last_sizes()); })
        .def("payoff", &Game::get_payoff)
        .def("state", &encode, nb::arg("channels_last") = false,
             "Network input: bool (5, dim, dim), or (dim, dim, 5) when channels_last.")
        .def("render", [](const Game& g) { return g.board().render(); })
        .def("check_consistency", &Game::check_consistency,
             "Raise ValueError naming the first broken invariant of the position.")
        .def("copy", [](const Game& g) { return Game(g); })
        .def("__copy__", [](const Game& g) { return Game(g); })
        .def(
            "__deepcopy__", [](const Game& g, nb::handle) { return Game(g); }, nb::arg("memo"))
        .def("__repr__", [](const Game& g) {
            return "Game(dim=" + std::to_string(g.dim()) + ", current_player=" + std::to_string(g.current_player()) +
                   ", actions=" + std::to_string(g.history().size()) + (g.is_terminal() ? ", terminal)" : ")");
        });

    m.def("heuristic_tiles", &heuristic_tiles, nb::arg("game"),
          "The heuristic player's equally good tiles, ascending: the legal tiles that can still become the\n"
          "largest piece placeable this turn, nearest the centre. Empty when the game is over.");

    bind_search(m);
}
