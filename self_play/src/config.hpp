#pragma once
// Reading the settings of one call from the caller's object, attribute by attribute.
#include <Python.h>

#include <variant>

#include "py_ref.hpp"
#include "simulation.hpp"

namespace zelmor_self_play {

// The Config, or the Python exception of the first field that could not be read: the attribute's own
// error, or TypeError "failed to extract field Config.<name>" caused by the conversion's error.
std::variant<Config, PyRef> read_config(PyObject* settings);

}  // namespace zelmor_self_play
