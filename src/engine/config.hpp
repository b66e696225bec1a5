#pragma once
// The settings of one call, read from the caller's object attribute by attribute.
#include <Python.h>

#include <array>
#include <cstdint>
#include <variant>

#include "py_ref.hpp"

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

// The settings object's attribute names, in the order they are read: the four integers, then the floats.
inline constexpr std::array<const char*, 8> kConfigFields = {
    "dim", "rep", "sims_per_move", "sample_moves", "c_base", "c_init", "dirichlet_alpha", "exploration_fraction",
};

// The Config, or the Python exception of the first field that could not be read: the attribute's own
// error, or TypeError "failed to extract field Config.<name>" caused by the conversion's error.
std::variant<Config, PyRef> read_config(PyObject* settings);

}  // namespace zelmor_self_play
