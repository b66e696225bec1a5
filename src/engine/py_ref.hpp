#pragma once
// Ownership of Python references. Every object the module creates or keeps is held by a PyRef, so each
// path out of a function, exceptions included, releases exactly what it owns. Requires the GIL.
#include <Python.h>

#include <utility>

namespace zelmor_self_play {

// Thrown when a Python C-API call has failed and left its exception set; the entry point returns NULL
// with that exception still pending.
struct PythonErrorSet {};

class PyRef {
public:
    PyRef() = default;
    static PyRef steal(PyObject* object) { return PyRef(object); }
    static PyRef borrow(PyObject* object) {
        Py_XINCREF(object);
        return PyRef(object);
    }
    // Steals a new reference returned by the C API; a NULL result means the call failed.
    static PyRef checked(PyObject* object) {
        if (!object) throw PythonErrorSet{};
        return PyRef(object);
    }

    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(object_);
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { Py_XDECREF(object_); }

    PyObject* get() const { return object_; }
    PyObject* release() { return std::exchange(object_, nullptr); }
    explicit operator bool() const { return object_ != nullptr; }

private:
    explicit PyRef(PyObject* object) : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace zelmor_self_play
