// The CPython module `zelmor_self_play`: three functions, each playing one whole game for a Python driver
// that owns the network, the queues and the pipes. Each entry point parses its arguments the way the
// interpreter would, reads the settings, runs a driver and turns every failure into a Python exception:
// fatal errors (broken preconditions, an unreadable settings object) become PanicException, which derives
// from BaseException so that an ordinary `except Exception` cannot swallow them.
#include <Python.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

#include "config.hpp"
#include "fatal_error.hpp"
#include "python_text.hpp"
#include "simulation.hpp"

namespace zelmor_self_play {
namespace {

// Created on first use, once per process, and kept for its life.
PyObject* panic_exception_class() {
    static PyObject* cls = PyErr_NewExceptionWithDoc(
        "zelmor_self_play.PanicException",
        "A fatal error inside the engine: a broken precondition or invariant, or unreadable settings.",
        PyExc_BaseException, nullptr);
    return cls;
}

// Sets PanicException(message). A failure while doing so leaves no sound way to report anything.
void raise_panic(const std::string& message) noexcept {
    try {
        PyObject* cls = panic_exception_class();
        if (!cls) throw PythonErrorSet{};
        PyRef text = PyRef::checked(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
        PyErr_SetObject(cls, text.get());
    } catch (...) {
        std::fputs("uncaught panic at ffi boundary\n", stderr);
        std::abort();
    }
}

// Runs one entry point: no C++ exception crosses into the interpreter, and NULL always comes with an
// exception set.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const PythonErrorSet&) {
        if (!PyErr_Occurred()) raise_panic("a Python call failed without setting an exception");
    } catch (const std::bad_alloc&) {
        raise_panic("memory allocation failed");
    } catch (const std::exception& error) {
        raise_panic(error.what());
    } catch (...) {
        raise_panic("unknown fatal error");
    }
    return nullptr;
}

template <size_t N>
struct Signature {
    const char* function;
    std::array<const char*, N> parameters;
};

std::string quoted_list(const std::vector<std::string>& names) {
    std::string text;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) text += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        text += "'" + names[i] + "'";
    }
    return text;
}

[[noreturn]] void argument_error(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
    throw PythonErrorSet{};
}

// Every parameter required, each by position or keyword; the interpreter's messages for every misuse.
template <size_t N>
std::array<PyObject*, N> parse_arguments(const Signature<N>& signature, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
    const std::string name = signature.function;
    std::array<PyObject*, N> bound{};
    if (nargs > static_cast<Py_ssize_t>(N))
        argument_error(name + "() takes " + std::to_string(N) + " positional arguments but " + std::to_string(nargs) +
                       (nargs == 1 ? " was" : " were") + " given");
    for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];

    const Py_ssize_t keyword_count = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        size_t position = N;
        for (size_t p = 0; p < N && position == N; ++p)
            if (PyUnicode_CompareWithASCIIString(keyword, signature.parameters[p]) == 0) position = p;
        if (position == N) {
            // Formatted from the str object itself: a keyword need not be encodable.
            PyRef message = PyRef::checked(
                PyUnicode_FromFormat("%s() got an unexpected keyword argument '%U'", signature.function, keyword));
            PyErr_SetObject(PyExc_TypeError, message.get());
            throw PythonErrorSet{};
        }
        if (bound[position])
            argument_error(name + "() got multiple values for argument '" + signature.parameters[position] + "'");
        bound[position] = args[nargs + k];
    }

    std::vector<std::string> missing;
    for (size_t p = 0; p < N; ++p)
        if (!bound[p]) missing.emplace_back(signature.parameters[p]);
    if (!missing.empty())
        argument_error(name + "() missing " + std::to_string(missing.size()) + " required positional argument" +
                       (missing.size() == 1 ? "" : "s") + ": " + quoted_list(missing));
    return bound;
}

// A signed 32-bit id; a value of the wrong kind is reported as "argument 'id': ..." carrying the
// original error's cause, an out-of-range integer as the OverflowError itself.
int32_t convert_id(PyObject* value) {
    const long wide = PyLong_AsLong(value);
    if (wide == -1 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PythonErrorSet{};
        PyRef cause = fetch_exception();  // the conversion's own error
        PyRef message = PyRef::checked(PyUnicode_FromFormat("argument 'id': %S", cause.get()));
        PyRef error = PyRef::checked(PyObject_CallOneArg(PyExc_TypeError, message.get()));
        if (PyObject* original_cause = PyException_GetCause(cause.get()))  // new reference, stolen below
            PyException_SetCause(error.get(), original_cause);
        PyErr_SetObject(PyExc_TypeError, error.get());
        throw PythonErrorSet{};
    }
    if (wide < INT32_MIN || wide > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        throw PythonErrorSet{};
    }
    return static_cast<int32_t>(wide);
}

Config read_config_or_panic(PyObject* settings) {
    auto read = read_config(settings);
    if (auto* error = std::get_if<PyRef>(&read))
        throw zelmor::FatalError("called `Result::unwrap()` on an `Err` value: " + exception_debug(error->get()));
    return std::get<Config>(read);
}

// The call's own strong references to its arguments, released when the call ends however it ends.
template <size_t N>
std::array<PyRef, N> hold(const std::array<PyObject*, N>& objects) {
    std::array<PyRef, N> held;
    for (size_t i = 0; i < N; ++i) held[i] = PyRef::borrow(objects[i]);
    return held;
}

PyObject* play_training_game(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Signature<5> signature{"play_training_game",
                                            {"id", "config", "result_queue", "inference_queue", "pipe"}};
        const auto arguments = parse_arguments(signature, args, nargs, kwnames);
        const int32_t id = convert_id(arguments[0]);
        const auto held = hold(arguments);
        Runtime runtime{held[2].get(), held[3].get(), held[4].get(), read_config_or_panic(held[1].get()), id};
        return PyLong_FromLong(runtime.training_game());
    });
}

PyObject* play_test_game(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Signature<6> signature{
            "play_test_game", {"id", "config", "result_queue", "model_queue", "baseline_queue", "pipe"}};
        const auto arguments = parse_arguments(signature, args, nargs, kwnames);
        const int32_t id = convert_id(arguments[0]);
        const auto held = hold(arguments);
        Runtime runtime{held[2].get(), held[3].get(), held[5].get(), read_config_or_panic(held[1].get()), id};
        auto outcome = runtime.test_game(held[3].get(), held[4].get());
        if (auto* failure = std::get_if<std::string>(&outcome)) {
            PyErr_SetString(PyExc_Exception, debug_quote(*failure).c_str());
            return nullptr;
        }
        return PyFloat_FromDouble(std::get<float>(outcome));
    });
}

PyObject* play_test_against_random(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Signature<5> signature{"play_test_against_random",
                                            {"id", "config", "result_queue", "inference_queue", "pipe"}};
        const auto arguments = parse_arguments(signature, args, nargs, kwnames);
        const int32_t id = convert_id(arguments[0]);
        const auto held = hold(arguments);
        Runtime runtime{held[2].get(), held[3].get(), held[4].get(), read_config_or_panic(held[1].get()), id};
        return PyLong_FromLong(runtime.test_against_random());
    });
}

PyMethodDef methods[] = {
    {"play_training_game", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(play_training_game)),
     METH_FASTCALL | METH_KEYWORDS,
     "play_training_game(id, config, result_queue, inference_queue, pipe)\n--\n\n"
     "Works with Pytorch model to generate self-play data"},
    {"play_test_game", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(play_test_game)),
     METH_FASTCALL | METH_KEYWORDS, "play_test_game(id, config, result_queue, model_queue, baseline_queue, pipe)\n--\n\n"},
    {"play_test_against_random", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(play_test_against_random)),
     METH_FASTCALL | METH_KEYWORDS, "play_test_against_random(id, config, result_queue, inference_queue, pipe)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// m_size 0 rather than -1: the interpreter then calls the init function again on re-import instead of
// cloning the module, which lets it hand back the one module object.
PyModuleDef module_definition = {PyModuleDef_HEAD_INIT, "zelmor_self_play", "", 0, methods,
                                 nullptr, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace zelmor_self_play

PyMODINIT_FUNC PyInit_zelmor_self_play() {
    static PyObject* module = nullptr;
    static int64_t interpreter = -1;
    const int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter != -1 && current != interpreter) {
        PyErr_SetString(PyExc_ImportError, "zelmor_self_play supports only one interpreter per process");
        return nullptr;
    }
    if (!module) {
        module = PyModule_Create(&zelmor_self_play::module_definition);
        if (!module) return nullptr;
        interpreter = current;
    }
    Py_INCREF(module);
    return module;
}
