#pragma once
// The settings of one call, read from the caller's object attribute by attribute.
#include <Python.h>

#include <array>
#include <cstdint>
#include <variant>

#include "py_ref.hpp"
#include "search.hpp"

namespace zelmor_self_play {

// The settings of one call, read from the caller's settings object. The eight required fields have no
// defaults and no range checks: the users of each take the value as it stands.
struct Config {
    uint32_t dim = 0;
    uint32_t rep = 0;  // 1: planes first, 2: planes last; anything else fails at the first evaluation
    uint32_t sims_per_move = 0;
    uint32_t sample_moves = 0;  // actions numbered below this are sampled, later ones greedy
    float c_base = 0;
    float c_init = 0;
    float dirichlet_alpha = 0;
    float exploration_fraction = 0;
    // Optional: read only where the settings object has the attribute, so an object without them searches
    // as before, PUCT with Dirichlet noise and visit counts as the policy target.
    RootSearch root_search = RootSearch::puct;
    GumbelSettings gumbel;
    bool first_play_parent = false;  // "first_play": "zero" (false) or "parent"
    // Playout cap randomization: an action gets the full search with this chance, otherwise a fast one of
    // fast_sims simulations whose policy is not a training target. At 1 no chance is drawn at all, so the
    // generator's sequence, and with it every game, stays what it was without the option.
    float full_search_share = 1.0f;  // in (0, 1]
    uint32_t fast_sims = 8;          // at least 1
};

// The settings object's attribute names, in the order they are read: the four integers, then the floats.
inline constexpr std::array<const char*, 8> kConfigFields = {
    "dim", "rep", "sims_per_move", "sample_moves", "c_base", "c_init", "dirichlet_alpha", "exploration_fraction",
};

// The optional attributes, read after those by the driver that searches: the root search, the Gumbel
// search's constants, PUCT's first-play value and the share of full searches.
inline constexpr std::array<const char*, 7> kSearchFields = {
    "root_search", "gumbel_actions", "c_visit", "c_scale", "first_play", "full_search_share", "fast_sims",
};

// The Config, or the Python exception of the first field that could not be read: the attribute's own
// error, or TypeError "failed to extract field Config.<name>" caused by the conversion's error. A missing
// optional attribute (AttributeError) leaves its default; a bad one fails like a bad field.
std::variant<Config, PyRef> read_config(PyObject* settings, bool search_settings);

}  // namespace zelmor_self_play
