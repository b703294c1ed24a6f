// Attribute reads on the hot path, as Python's generic attribute lookup does
// them but without its per-call work.
//
// For a class whose attribute lookup is the generic one, what the class
// contributes to `obj.name` is fixed until the class or a base changes, which
// changes its version tag; so the class part of the lookup is done once per
// (class, version) and only the instance's own values are consulted per call.
// A dictionary lookup can run Python code (a str subclass key with its own
// __eq__), which can change the class or the instance's __dict__: whatever a
// lookup needs afterwards is held by a strong reference before it starts.
#pragma once

#include "module/private_api.hpp"
#include "module/ref.hpp"

namespace log_main {

// The shared key layout an index into it was last worked out for. Layouts only
// grow, so an index stays right while the layout is the same object of the same
// size; changed() says whether it must be worked out again, and records `keys`.
struct LayoutSeen {
    const void* keys = nullptr;
    Py_ssize_t size = -1;

    bool changed(const void* now) {
        const Py_ssize_t n = priv::shared_keys_size(now);
        if (now == keys && n == size) return false;
        keys = now;
        size = n;
        return true;
    }
};

// The class-level part of `obj.name` for one class at one version.
struct ClassLookup {
    PyTypeObject* type = nullptr;
    unsigned int version = 0;
    PyObject* found = nullptr;  // borrowed from the class dict while the version holds
    // Where the name sits in the class's shared attribute layout (-1: absent),
    // for instances that keep their attributes inline.
    LayoutSeen seen;
    Py_ssize_t index = -1;

    bool hit(PyTypeObject* tp) const { return tp == type && version != 0 && tp->tp_version_tag == version; }

    // Records the class-level lookup of `name` on tp; returns what was found.
    PyObject* learn(PyTypeObject* tp, PyObject* name);

    // The instance's own value of `name` when it keeps its attributes inline:
    // 1 with *value borrowed (null: the instance has no such attribute), 0 when
    // its attributes are kept any other way. Reading the layout runs no code.
    int inline_value(PyObject* self, PyObject* name, PyObject** value) {
        const void* keys = nullptr;
        PyObject* const* values = priv::inline_values(self, &keys);
        if (!values) return 0;
        if (seen.changed(keys)) index = priv::shared_keys_index(keys, name);
        *value = index >= 0 ? values[index] : nullptr;
        return 1;
    }
};

// The instance's own value for name: 1 found (new reference), 0 absent, -1 error,
// -2 when the instance has no dictionary to look in. The dictionary is held for
// the lookup, as Python's own attribute lookup holds it.
inline int instance_value(PyObject* self, PyObject* name, Ref& value) {
    PyObject** dictptr = _PyObject_GetDictPtr(self);
    if (!dictptr) return -2;
    if (!*dictptr) return 0;
    Ref dict = Ref::borrow(*dictptr);
    return PyDict_GetItemRef(dict.get(), name, value.out());
}

// self.<name> for an attribute the class does not define (like _logger).
inline Ref read_instance_attr(PyObject* self, PyObject* name, ClassLookup& cache) {
    PyTypeObject* tp = Py_TYPE(self);
    if (cache.hit(tp) || (cache.learn(tp, name) == nullptr && cache.hit(tp))) {
        if (!cache.found) {
            PyObject* inline_found = nullptr;  // borrowed from the instance
            if (cache.inline_value(self, name, &inline_found)) {
                if (inline_found) return Ref::borrow(inline_found);
            } else {
                Ref value;
                int rc = instance_value(self, name, value);
                if (rc > 0) return value;
                if (rc == -1) return Ref();
            }
        }
    }
    return Ref::steal(PyObject_GetAttr(self, name));
}

}  // namespace log_main
