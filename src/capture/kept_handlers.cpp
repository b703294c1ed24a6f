// The private table of captured handlers, keyed by the address of their
// capture entry (the entry itself is held too, so the key stays unique).
#include "capture/kept_handlers.hpp"

namespace log_main {

static PyObject* kept = nullptr;  // {address of entry: (entry, handlers)}

int keep_captured_handlers(PyObject* entry, PyObject* handlers) {
    if (!kept && !(kept = PyDict_New())) return -1;
    Ref key = Ref::steal(PyLong_FromVoidPtr(entry));
    Ref held = Ref::steal(PySequence_Tuple(handlers));
    if (!key || !held) return -1;
    Ref value = Ref::steal(PyTuple_Pack(2, entry, held.get()));
    return value ? PyDict_SetItem(kept, key.get(), value.get()) : -1;
}

void release_captured_handlers(PyObject* entry) {
    if (!kept || !entry) return;
    SavedError pending;
    Ref key = Ref::steal(PyLong_FromVoidPtr(entry));
    // The entry at this address is ours: the table holds the entry it was
    // made for, so no other object can have taken the address meanwhile.
    Ref popped;
    if (key) PyDict_Pop(kept, key.get(), popped.out());
    PyErr_Clear();
}

Ref kept_handler(PyObject* entry, PyObject* handler_id) {
    if (!kept || !entry) return Ref();
    SavedError pending;
    Ref key = Ref::steal(PyLong_FromVoidPtr(entry));
    Ref held;
    if (!key || PyDict_GetItemRef(kept, key.get(), held.out()) <= 0) {
        PyErr_Clear();
        return Ref();
    }
    if (PyTuple_GET_ITEM(held.get(), 0) != entry) return Ref();
    PyObject* handlers = PyTuple_GET_ITEM(held.get(), 1);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(handlers); ++i) {
        PyObject* handler = PyTuple_GET_ITEM(handlers, i);
        Ref id = Ref::steal(PyLong_FromVoidPtr(handler));
        if (id && PyObject_RichCompareBool(id.get(), handler_id, Py_EQ) == 1) return Ref::borrow(handler);
        PyErr_Clear();
    }
    return Ref();
}

}  // namespace log_main
