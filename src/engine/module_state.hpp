#pragma once
// The Python objects the module makes once and keeps for the life of the process: the class of fatal
// errors and the interned names it looks up on the caller's objects. The module allows one interpreter
// per process, so one state serves every call.
#include <Python.h>

#include <array>

#include "config.hpp"

namespace zelmor_self_play {

struct ModuleState {
    PyObject* panic_class;  // PanicException, derived from BaseException so that `except Exception` misses it
    PyObject* put;          // the method of the inference and result queues
    PyObject* recv;         // the method of the pipe
    std::array<PyObject*, kConfigFields.size()> config_fields;  // the settings' attribute names, in field order
    std::array<PyObject*, kSearchFields.size()> search_fields;  // the optional ones, likewise
};

// Made on first use, under the interpreter lock. When making it fails, the Python error is left set,
// PythonErrorSet is thrown, nothing is kept, and the next use tries again.
const ModuleState& module_state();

}  // namespace zelmor_self_play
