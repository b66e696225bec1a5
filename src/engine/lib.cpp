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
#include <vector>

#include "config.hpp"
#include "drivers.hpp"
#include "fatal_error.hpp"
#include "interface_text.hpp"
#include "module_state.hpp"
#include "python_text.hpp"

namespace zelmor_self_play {
namespace {

// Sets PanicException(message). A failure while doing so leaves no sound way to report anything.
void raise_panic(const std::string& message) noexcept {
    try {
        PyObject* cls = module_state().panic_class;
        PyRef shown =
            PyRef::checked(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
        PyErr_SetObject(cls, shown.get());
    } catch (...) {
        std::fputs(text::kUncaughtPanic, stderr);
        std::abort();
    }
}

template <size_t N>
struct Signature {
    const char* function;
    std::array<const char*, N> parameters;
};

[[noreturn]] void argument_error(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
    throw PythonErrorSet{};
}

// Every parameter required, each by position or keyword; the interpreter's messages for every misuse.
template <size_t N>
std::array<PyObject*, N> parse_arguments(const Signature<N>& signature, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
    std::array<PyObject*, N> bound{};
    if (nargs > static_cast<Py_ssize_t>(N)) argument_error(text::too_many_positional(signature.function, N, nargs));
    for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];

    const Py_ssize_t keyword_count = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        size_t position = N;
        for (size_t p = 0; p < N && position == N; ++p)
            if (PyUnicode_CompareWithASCIIString(keyword, signature.parameters[p]) == 0) position = p;
        if (position == N) {
            // Formatted from the str object itself: a keyword need not be encodable.
            PyRef message =
                PyRef::checked(PyUnicode_FromFormat(text::kUnexpectedKeywordFormat, signature.function, keyword));
            PyErr_SetObject(PyExc_TypeError, message.get());
            throw PythonErrorSet{};
        }
        if (bound[position]) argument_error(text::multiple_values(signature.function, signature.parameters[position]));
        bound[position] = args[nargs + k];
    }

    std::vector<std::string> missing;
    for (size_t p = 0; p < N; ++p)
        if (!bound[p]) missing.emplace_back(signature.parameters[p]);
    if (!missing.empty()) argument_error(text::missing_arguments(signature.function, missing));
    return bound;
}

// A signed 32-bit id; a value of the wrong kind is reported as "argument 'id': ..." carrying the
// original error's cause, an out-of-range integer as the OverflowError itself.
int32_t convert_id(PyObject* value) {
    const long wide = PyLong_AsLong(value);
    if (wide == -1 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PythonErrorSet{};
        PyRef cause = fetch_exception();  // the conversion's own error
        PyRef message = PyRef::checked(PyUnicode_FromFormat(text::kIdArgumentFormat, cause.get()));
        PyRef error = PyRef::checked(PyObject_CallOneArg(PyExc_TypeError, message.get()));
        if (PyObject* original_cause = PyException_GetCause(cause.get()))  // new reference, stolen below
            PyException_SetCause(error.get(), original_cause);
        PyErr_SetObject(PyExc_TypeError, error.get());
        throw PythonErrorSet{};
    }
    if (wide < INT32_MIN || wide > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, text::kIntegerOutOfRange);
        throw PythonErrorSet{};
    }
    return static_cast<int32_t>(wide);
}

Config read_config_or_panic(PyObject* settings, bool searches) {
    auto read = read_config(settings, searches);
    if (auto* error = std::get_if<PyRef>(&read))
        throw zelmor::FatalError(text::kUnreadableConfig + exception_debug(error->get()));
    return std::get<Config>(read);
}

// The call's own strong references to its arguments, released when the call ends however it ends.
template <size_t N>
std::array<PyRef, N> hold(const std::array<PyObject*, N>& objects) {
    std::array<PyRef, N> held;
    for (size_t i = 0; i < N; ++i) held[i] = PyRef::borrow(objects[i]);
    return held;
}

// What tells the three functions apart: the parameters (the id and the settings first, the result queue
// third, the pipe last), the driver that plays the game with the queues between, and whether it searches
// (only then are the optional search settings read).
struct TrainingGame {
    static constexpr bool searches = true;
    static constexpr Signature<5> signature{text::kPlayTrainingGame,
                                            {"id", "config", "result_queue", "inference_queue", "pipe"}};
    static constexpr const char* doc = text::kPlayTrainingGameDoc;
    static PyRef play(Runtime& runtime, const std::array<PyRef, 5>& arguments) {
        return PyRef::checked(PyLong_FromLong(runtime.training_game(arguments[3].get())));
    }
};

struct TestGame {
    static constexpr bool searches = false;
    static constexpr Signature<6> signature{text::kPlayTestGame,
                                            {"id", "config", "result_queue", "model_queue", "baseline_queue", "pipe"}};
    static constexpr const char* doc = text::kPlayTestGameDoc;
    static PyRef play(Runtime& runtime, const std::array<PyRef, 6>& arguments) {
        auto outcome = runtime.test_game(arguments[3].get(), arguments[4].get());
        if (auto* failure = std::get_if<std::string>(&outcome)) {
            PyErr_SetString(PyExc_Exception, debug_quote(*failure).c_str());
            throw PythonErrorSet{};
        }
        return PyRef::checked(PyFloat_FromDouble(std::get<float>(outcome)));
    }
};

struct TestAgainstRandom {
    static constexpr bool searches = false;
    static constexpr Signature<5> signature{text::kPlayTestAgainstRandom,
                                            {"id", "config", "result_queue", "inference_queue", "pipe"}};
    static constexpr const char* doc = text::kPlayTestAgainstRandomDoc;
    static PyRef play(Runtime& runtime, const std::array<PyRef, 5>& arguments) {
        return PyRef::checked(PyLong_FromLong(runtime.test_against_random(arguments[3].get())));
    }
};

// Every entry point: no C++ exception crosses into the interpreter, and NULL always comes with an
// exception set. The arguments are held for the whole call, so the drivers may borrow them.
template <class Function>
PyObject* entry_point(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    try {
        const auto arguments = parse_arguments(Function::signature, args, nargs, kwnames);
        const int32_t id = convert_id(arguments[0]);
        const auto held = hold(arguments);
        Runtime runtime{held[2].get(), held.back().get(), read_config_or_panic(held[1].get(), Function::searches), id};
        return Function::play(runtime, held).release();
    } catch (const PythonErrorSet&) {
        if (!PyErr_Occurred()) raise_panic(text::kCallFailedSilently);
    } catch (const std::bad_alloc&) {
        raise_panic(text::kOutOfMemory);
    } catch (const std::exception& error) {
        raise_panic(error.what());
    } catch (...) {
        raise_panic(text::kUnknownFatalError);
    }
    return nullptr;
}

template <class Function>
constexpr PyMethodDef method() {
    return {Function::signature.function,
            reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry_point<Function>)),
            METH_FASTCALL | METH_KEYWORDS, Function::doc};
}

PyMethodDef methods[] = {
    method<TrainingGame>(),
    method<TestGame>(),
    method<TestAgainstRandom>(),
    {nullptr, nullptr, 0, nullptr},
};

// m_size 0 rather than -1: the interpreter then calls the init function again on re-import instead of
// cloning the module, which lets it hand back the one module object.
PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, text::kModuleName, "", 0, methods, nullptr, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace zelmor_self_play

PyMODINIT_FUNC PyInit_zelmor_self_play() {
    static PyObject* module = nullptr;
    static int64_t interpreter = -1;
    const int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter != -1 && current != interpreter) {
        PyErr_SetString(PyExc_ImportError, zelmor_self_play::text::kOneInterpreterOnly);
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
