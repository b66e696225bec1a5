#include "python_text.hpp"

#include <cstdio>

namespace zelmor_self_play {
namespace {

// UTF-8 of a str object; on failure (lone surrogates) a marker instead of an error.
std::string utf8(PyObject* text) {
    Py_ssize_t size = 0;
    const char* data = text ? PyUnicode_AsUTF8AndSize(text, &size) : nullptr;
    if (!data) {
        PyErr_Clear();
        return "<unprintable>";
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
        return "<traceback unavailable>";
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
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
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
    PyRef text = PyRef::steal(PyObject_Str(exception));
    std::string message = text ? utf8(text.get()) : "<exception str() failed>";
    if (!text) PyErr_Clear();
    return type_name(exception) + ": " + message;
}

std::string exception_debug(PyObject* exception) {
    PyRef traceback = PyRef::steal(PyException_GetTraceback(exception));
    const std::string traceback_field =
        traceback && traceback.get() != Py_None ? "Some(" + debug_quote(traceback_text(traceback.get())) + ")" : "None";
    return "PyErr { type: " + repr(reinterpret_cast<PyObject*>(Py_TYPE(exception))) + ", value: " + repr(exception) +
           ", traceback: " + traceback_field + " }";
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
