// Arrays sized at run time that live on the C stack when small: N items in
// place, PyMem beyond. The build has no exceptions, so reserve() reports
// failure (MemoryError set) instead of throwing.
#pragma once

#include <cstddef>

#include "module/ref.hpp"

namespace log_main {

// Room for up to N items of a trivial type T in place, more on the heap.
// reserve() is called once, before the first use; items are not initialised.
template <class T, size_t N>
class SmallStack {
public:
    SmallStack() = default;
    SmallStack(const SmallStack&) = delete;
    SmallStack& operator=(const SmallStack&) = delete;
    ~SmallStack() {
        if (items_ != small_) PyMem_Free(items_);
    }
    // Room for n items; false with MemoryError set.
    bool reserve(size_t n) {
        if (n <= N) return true;
        if (n > static_cast<size_t>(PY_SSIZE_T_MAX) / sizeof(T) ||
            !(items_ = static_cast<T*>(PyMem_Malloc(n * sizeof(T))))) {
            items_ = small_;
            PyErr_NoMemory();
            return false;
        }
        return true;
    }
    T* data() { return items_; }
    T& operator[](size_t i) { return items_[i]; }

private:
    T small_[N];
    T* items_ = small_;
};

// Owned references pushed in order onto a SmallStack; dropped with it.
template <size_t N>
class RefStack {
public:
    // Room for n items; false with MemoryError set.
    bool reserve(size_t n) { return items_.reserve(n); }
    void push(PyObject* borrowed) { items_[used_++] = Py_NewRef(borrowed); }
    PyObject** data() { return items_.data(); }
    size_t size() const { return used_; }
    ~RefStack() {
        for (size_t i = 0; i < used_; ++i) Py_DECREF(items_[i]);
    }

private:
    SmallStack<PyObject*, N> items_;
    size_t used_ = 0;
};

}  // namespace log_main
