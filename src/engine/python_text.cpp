#include "python_text.hpp"

#include <cstdio>
#include <optional>

#include "interface_text.hpp"

namespace zelmor_self_play {
namespace {

// UTF-8 of a str object; on failure (lone surrogates) a marker instead of an error.
std::string utf8(PyObject* str) {
    Py_ssize_t size = 0;
    const char* data = str ? PyUnicode_AsUTF8AndSize(str, &size) : nullptr;
    if (!data) {
        PyErr_Clear();
        return text::kUnprintable;
    }
    return std::string(data, static_cast<size_t>(size));
}

std::string repr(PyObject* object) {
    PyRef text = PyRef::steal(PyObject_Repr(object));
    return utf8(text.get());
}

std::string traceback_text(PyObject* traceback) {
    PyRef io = PyRef::steal(PyImport_ImportModule("io"));
    PyRef buffer = io ? PyRef::steal(PyObject_CallMethod(io.get(), "StringIO", nullptr)) : PyRef();
    if (!buffer || PyTraceBack_Print(traceback, buffer.get()) < 0) {
        PyErr_Clear();
        return text::kTracebackUnavailable;
    }
    PyRef text = PyRef::steal(PyObject_CallMethod(buffer.get(), "getvalue", nullptr));
    return utf8(text.get());
}

}  // namespace

PyRef fetch_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    PyRef exception = PyRef::steal(PyErr_GetRaisedException());
#else
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value && traceback) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    PyRef exception = PyRef::steal(value);
#endif
    if (exception) return exception;
    PyErr_SetString(PyExc_SystemError, text::kNoExceptionSet);
    return fetch_exception();
}

std::string type_name(PyObject* object) {
#if PY_VERSION_HEX >= 0x030B0000
    PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(object)));
    if (name) return utf8(name.get());
    PyErr_Clear();
#endif
    return Py_TYPE(object)->tp_name;
}

std::string exception_display(PyObject* exception) {
    PyRef shown = PyRef::steal(PyObject_Str(exception));
    std::string message = shown ? utf8(shown.get()) : text::kStrFailed;
    if (!shown) PyErr_Clear();
    return type_name(exception) + ": " + message;
}

std::string exception_debug(PyObject* exception) {
    PyRef traceback = PyRef::steal(PyException_GetTraceback(exception));
    std::optional<std::string> quoted_traceback;
    if (traceback && traceback.get() != Py_None) quoted_traceback = debug_quote(traceback_text(traceback.get()));
    return text::exception_debug(repr(reinterpret_cast<PyObject*>(Py_TYPE(exception))), repr(exception),
                                 quoted_traceback);
}

std::string debug_quote(const std::string& text) {
    std::string out = "\"";
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\0': out += "\\0"; break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    char escaped[12];
                    std::snprintf(escaped, sizeof escaped, "\\u{%x}", c);
                    out += escaped;
                } else {
                    out += ch;
                }
        }
    }
    return out + "\"";
}

}  // namespace zelmor_self_play
