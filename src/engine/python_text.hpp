#pragma once
// Python exceptions taken out of the interpreter's error state, and the texts the module shows for them.
#include <Python.h>

#include <string>

#include "py_ref.hpp"

namespace zelmor_self_play {

// Takes the pending exception (normalised, traceback attached) and clears it. With none pending, a
// SystemError "attempted to fetch exception but none was set" stands in.
PyRef fetch_exception();

// "TypeError: message"
std::string exception_display(PyObject* exception);
// "PyErr { type: <class 'TypeError'>, value: TypeError('message'), traceback: None }", the traceback
// being Some("<the interpreter's traceback print-out, quoted>") when there is one.
std::string exception_debug(PyObject* exception);

std::string type_name(PyObject* object);  // the qualified name of the object's type

// The text between double quotes, with quotes, backslashes and control characters escaped.
std::string debug_quote(const std::string& text);

}  // namespace zelmor_self_play
