// Module-global lookup and the names interned at load.
#include "module/globals.hpp"

#include "module/private_api.hpp"

#include <initializer_list>

namespace log_main {

Names S;
ModuleState M;

int names_init() {
#define LOG_MAIN_INTERN_NAME(ident, text) \
    if (!S.ident && !(S.ident = PyUnicode_InternFromString(text))) return -1;
    LOG_MAIN_NAMES(LOG_MAIN_INTERN_NAME)
#undef LOG_MAIN_INTERN_NAME
    return 0;
}

Ref global(PyObject* name) {
    Ref value;
    int found = PyDict_GetItemRef(M.ns, name, value.out());
    if (found == 0) found = PyObject_GetOptionalAttr(M.builtins, name, value.out());
    if (found == 0) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return found > 0 ? std::move(value) : Ref();
}

Ref global_attr(PyObject* module_name, PyObject* name) { return get_attr(global(module_name), name); }

Py_NO_INLINE int raise_expected_type(PyObject* value, const char* type_name) {
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", type_name, Py_TYPE(value)->tp_name);
    return -1;
}

// Fills stack[1..] with the arguments, slot 0 left free so that callees may
// use PY_VECTORCALL_ARGUMENTS_OFFSET; the count, or -1 when an argument is
// null (an earlier step failed) or there are too many.
static Py_ssize_t fill_stack(PyObject* (&stack)[9], PyObject* first, std::initializer_list<PyObject*> args) {
    if (args.size() > 7) {
        PyErr_SetString(PyExc_SystemError, "too many arguments for a call from C");
        return -1;
    }
    Py_ssize_t n = 0;
    if (first) stack[1 + n++] = first;
    for (PyObject* a : args) {
        if (!a) return -1;
        stack[1 + n++] = a;
    }
    return n;
}

Ref call(PyObject* callable, std::initializer_list<PyObject*> args) {
    PyObject* stack[9] = {nullptr};
    const Py_ssize_t n = callable ? fill_stack(stack, nullptr, args) : -1;
    if (n < 0) return Ref();
    return Ref::steal(
        PyObject_Vectorcall(callable, stack + 1, static_cast<size_t>(n) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

Ref call_method(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args) {
    PyObject* stack[9] = {nullptr};
    const Py_ssize_t n = obj ? fill_stack(stack, obj, args) : -1;
    if (n < 0) return Ref();
    return Ref::steal(
        PyObject_VectorcallMethod(name, stack + 1, static_cast<size_t>(n) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

}  // namespace log_main

namespace log_main {

int swallow_exception() {
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    if (PyErr_GivenExceptionMatches(exc.get(), PyExc_Exception)) return 1;
    PyErr_SetRaisedException(exc.release());
    return -1;
}

Py_NO_INLINE void raise_value_error(PyObject* text) {
    Ref exc = Ref::steal(PyObject_CallOneArg(M.b_ValueError, text));
    if (exc) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
}

Ref concat_text(std::initializer_list<TextPiece> pieces) {
    Ref parts = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(pieces.size())));
    if (!parts) return Ref();
    Py_ssize_t i = 0;
    for (const TextPiece& piece : pieces) {
        PyObject* item = piece.literal ? PyUnicode_FromString(piece.literal) : Py_NewRef(piece.object);
        if (!item) return Ref();
        PyTuple_SET_ITEM(parts.get(), i++, item);
    }
    return Ref::steal(PyUnicode_Join(S.empty, parts.get()));
}

PyObject* tuple_from_array(PyObject* const* items, Py_ssize_t n) {
    PyObject* t = PyTuple_New(n);
    if (!t) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(t, i, Py_NewRef(items[i]));
    return t;
}

static uint64_t watch_epoch = 1;
static int watcher_id = -1;

static int on_watched_dict_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    ++watch_epoch;
    return 0;
}

int watchers_init() {
    if (watcher_id >= 0) return 0;
    watcher_id = PyDict_AddWatcher(on_watched_dict_change);
    if (watcher_id < 0) PyErr_Clear();  // no watcher slot left: every read goes the long way
    return 0;
}

uint64_t watched_epoch() { return watch_epoch; }

bool watch_dict(PyObject* dict) { return watcher_id >= 0 && PyDict_Watch(watcher_id, dict) == 0; }

Ref cached_global_attr(PyObject* module_name, PyObject* name, AttrCache& cache) {
    if (cache.epoch == watch_epoch && Py_IS_TYPE(cache.module, &PyModule_Type)) return Ref::borrow(cache.value);
    // The epoch is taken before anything is read, and each dict is watched
    // before it is read: whatever runs while the values are read or the old
    // ones are dropped (a key's __eq__, a __del__ that rebinds the constant)
    // moves it on, and the next call reads again.
    const bool watched = watch_dict(M.ns);
    const uint64_t epoch = watch_epoch;
    Ref mod = global(module_name);
    if (!mod) return Ref();
    Ref mod_dict = PyModule_CheckExact(mod.get()) ? Ref::borrow(PyModule_GetDict(mod.get())) : Ref();
    Ref value = get_attr(mod, name);
    if (!value) return Ref();
    if (!watched || !mod_dict || !watch_dict(mod_dict.get())) {
        PyErr_Clear();
        return value;
    }
    // Cache only what two dict reads explain: the module from the namespace and
    // the constant from a plain module's dict (a module type has no data
    // descriptor of that name).
    Ref in_ns, in_mod;
    if (PyDict_GetItemRef(M.ns, module_name, in_ns.out()) < 0 ||
        PyDict_GetItemRef(mod_dict.get(), name, in_mod.out()) < 0) {
        PyErr_Clear();
        return value;
    }
    if (in_ns.get() != mod.get() || in_mod.get() != value.get()) return value;
    // The old values leave the cache last, after it records what it holds.
    Ref old_value = Ref::steal(cache.value);
    Ref old_module = Ref::steal(cache.module);
    cache.value = Py_NewRef(value.get());
    cache.module = Py_NewRef(mod.get());
    cache.epoch = epoch;
    return value;
}

int set_attr(PyObject* obj, PyObject* name, PyObject* value) {
    Ref held = Ref::borrow(priv::existing_instance_dict(obj));
    return PyObject_SetAttr(obj, name, value);
}

}  // namespace log_main
