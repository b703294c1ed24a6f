// Owning handle for PyObject*.
//
// Rules, written once:
//  * A Ref owns exactly one strong reference, or nothing (null).
//  * Ref::steal(p) adopts a new reference (the result of most C API calls);
//    a null p means "the call failed and an exception is set".
//  * Ref::borrow(p) takes a new strong reference to a borrowed pointer.
//  * release() hands the reference back to C API code that steals it
//    (return values of slot functions, PyTuple_SET_ITEM, ...).
//  * out() receives the new reference of a C API call that returns it
//    through a PyObject** (PyDict_GetItemRef, PyObject_GetOptionalAttr, ...).
//  * Refs are move-only; the destructor drops what is still owned.
//  * Borrowed pointers are plain PyObject* and never outlive their owner.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace log_main {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref borrow(PyObject* p) noexcept { return Ref(Py_XNewRef(p)); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    void reset(PyObject* stolen = nullptr) noexcept {
        PyObject* old = p_;
        p_ = stolen;
        Py_XDECREF(old);
    }
    // Drops what is held and lends the slot to a call that stores a new
    // reference (or null) in it.
    PyObject** out() noexcept {
        reset();
        return &p_;
    }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// Saves the raised exception for the length of a scope and puts it back at the
// end. Used where cleanup must call Python code.
class SavedError {
public:
    SavedError() noexcept : exc_(PyErr_GetRaisedException()) {}
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;
    ~SavedError() {
        if (exc_) PyErr_SetRaisedException(exc_);
    }

private:
    PyObject* exc_;
};

}  // namespace log_main
