// The reading side of the capture registry (layout in capture.hpp), as close()
// uses it: the entry's ids, the sweep of handlers added since the take-over,
// the rebuilding of the handlers it took off, and dropping the entry.
#include "capture/capture.hpp"
#include "capture/kept_handlers.hpp"
#include "module/with_lock.hpp"

namespace log_main {

// handler.close(); an Exception from it is discarded. While finalising, a
// handler lock that a stopped thread holds raises instead.
static int close_quietly(PyObject* handler) {
    ExitHold held;
    if (held.handler_lock(handler) < 0) return -1;
    return call_method(handler, S.close, {}) || swallow_exception() > 0 ? 0 : -1;
}

// `_CAPTURES[name][key]` when `name in _CAPTURES and key in _CAPTURES[name]`;
// null when absent (no exception) or on error (exception set).
static Ref listed_capture_entry(PyObject* name, PyObject* key) {
    Ref captures = global(S._CAPTURES);
    if (!captures) return Ref();
    int has = PySequence_Contains(captures.get(), name);
    if (has <= 0) return Ref();
    Ref layers = get_item(captures, name);
    if (!layers) return Ref();
    has = PySequence_Contains(layers.get(), key);
    if (has <= 0) return Ref();
    return get_item(layers, key);
}

// `_CAPTURES.get(name)`, then its `.get(key)`, each tested for truth; null
// when either is falsy (no exception) or on error (exception set).
static Ref truthy_capture_entry(PyObject* name, PyObject* key) {
    Ref layers = call_method(global(S._CAPTURES), S.get, {name});
    if (!layers) return Ref();
    int truth = PyObject_IsTrue(layers.get());
    if (truth <= 0) return Ref();
    Ref entry = call_method(layers, S.get, {key});
    if (!entry) return Ref();
    truth = PyObject_IsTrue(entry.get());
    if (truth <= 0) return Ref();
    return entry;
}

Ref saved_handler_ids(PyObject* name, PyObject* key) {
    Ref entry = listed_capture_entry(name, key);
    if (!entry) return PyErr_Occurred() ? Ref() : Ref::steal(PyList_New(0));
    Ref empty = Ref::steal(PyList_New(0));
    Ref copy = call_method(call_method(entry, S.get, {S.handler_ids, empty.get()}), S.copy, {});
    if (!copy || expect_type(copy.get(), &PyList_Type, "list") < 0) return Ref();
    return copy;
}

int sweep(PyObject* logger, PyObject* handler_ids) {
    Ref current = get_attr(logger, S.handlers);
    if (!current) return -1;
    Ref snapshot = Ref::steal(PySequence_GetSlice(current.get(), 0, PY_SSIZE_T_MAX));
    if (!snapshot) return -1;
    Ref it = Ref::steal(PyObject_GetIter(snapshot.get()));
    if (!it) return -1;
    while (Ref handler = Ref::steal(PyIter_Next(it.get()))) {
        Ref hid = call(M.b_id, {handler.get()});  // the builtin id() found at load
        if (!hid) return -1;
        int listed = PySequence_Contains(handler_ids, hid.get());
        if (listed < 0) return -1;
        if (listed) {
            if (!call_method(handler_ids, S.remove, {hid.get()})) return -1;
            continue;
        }
        if (!call_method(logger, S.removeHandler, {handler.get()})) return -1;
        if (close_quietly(handler.get()) < 0) return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// The record's keyword arguments as a new dict, as `**mapping` would take them.
static Ref record_options(PyObject* options) {
    if (PyDict_CheckExact(options)) return Ref::steal(PyDict_Copy(options));
    if (options == Py_None || !PyObject_HasAttrWithError(options, S.keys)) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_TypeError, "argument after ** must be a mapping, not %.200s", Py_TYPE(options)->tp_name);
        return Ref();
    }
    return call(reinterpret_cast<PyObject*>(&PyDict_Type), {options});
}

// A record has no place for a rotating handler's namer and rotator; they are
// taken from the original handler, which the module kept.
static int copy_rotation_hooks(PyObject* original, PyObject* handler) {
    for (PyObject* hook : {S.namer, S.rotator}) {
        Ref value;
        int found = PyObject_GetOptionalAttr(original, hook, value.out());
        if (found < 0) return -1;
        if (!found || value.get() == Py_None) continue;
        int settable = PyObject_HasAttrWithError(handler, hook);
        if (settable < 0) return -1;
        if (settable && set_attr(handler, hook, value.get()) < 0) return -1;
    }
    return 0;
}

// Rebuilds one handler from its record and attaches it to the logger.
static int rebuild(PyObject* logger, PyObject* record, PyObject* original) {
    Ref handler_class = get_item(record, S.type);
    if (!handler_class) return -1;
    Ref raw_options = get_item(record, S.kwargs);
    if (!raw_options) return -1;
    Ref options = record_options(raw_options.get());
    if (!options) return -1;
    Ref handler = call_with_options(handler_class.get(), options.get());
    if (!handler) return -1;
    if (original && copy_rotation_hooks(original, handler.get()) < 0) return -1;

    // handler.setLevel(record["level"]): the method first, then the value.
    Ref set_level = get_attr(handler, S.setLevel);
    if (!set_level || !call(set_level, {get_item(record, S.level).get()})) return -1;
    Ref filters = get_item(record, S.filters);
    if (!filters) return -1;
    Ref it = Ref::steal(PyObject_GetIter(filters.get()));
    if (!it) return -1;
    while (Ref log_filter = Ref::steal(PyIter_Next(it.get())))
        if (!call_method(handler, S.addFilter, {log_filter.get()})) return -1;
    if (PyErr_Occurred()) return -1;
    Ref set_formatter = get_attr(handler, S.setFormatter);
    if (!set_formatter || !call(set_formatter, {get_item(record, S.formatter).get()})) return -1;
    return call_method(logger, S.addHandler, {handler.get()}) ? 0 : -1;
}

int restore_handlers(PyObject* logger, PyObject* name, PyObject* key, PyObject* handler_ids) {
    Ref config = Ref::steal(PyList_New(0));
    if (!config) return -1;
    Ref entry = truthy_capture_entry(name, key);
    if (entry) {
        Ref fallback = Ref::steal(PyList_New(0));
        config = call_method(entry, S.get, {S.handlers, fallback.get()});
        if (!config || expect_type(config.get(), &PyList_Type, "list") < 0) return -1;
    } else if (PyErr_Occurred()) {
        return -1;
    }
    if (config.get() == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' object is not iterable");
        return -1;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(config.get()); ++i) {
        Ref record = Ref::borrow(PyList_GET_ITEM(config.get(), i));
        Ref rid = call_method(record, S.get, {S.id});
        if (!rid) return -1;
        int listed = PySequence_Contains(handler_ids, rid.get());
        if (listed < 0) return -1;
        if (listed && rebuild(logger, record.get(), kept_handler(entry.get(), rid.get()).get()) < 0) return -1;
    }
    return 0;
}

int drop_capture(PyObject* name, PyObject* key, bool only_if_present) {
    Ref captures = global(S._CAPTURES);
    Ref layers = call_method(captures, S.get, {name});
    if (!layers) return -1;
    int truth = PyObject_IsTrue(layers.get());
    if (truth <= 0) return truth;
    layers = get_item(captures, name);
    Ref popped = only_if_present ? call_method(layers, S.pop, {key, Py_None}) : call_method(layers, S.pop, {key});
    if (!popped) return -1;
    release_captured_handlers(popped.get());
    layers = get_item(captures, name);
    if (!layers) return -1;
    truth = PyObject_IsTrue(layers.get());
    if (truth < 0) return -1;
    if (!truth && !call_method(captures.get(), S.pop, {name})) return -1;
    return 0;
}

}  // namespace log_main
