// close(): unwinds the top layer of a logger name. It takes off and closes the
// handlers that the layer's capture entry does not list, rebuilds from their
// records the listed handlers that were taken off since, pops the layer and
// hands the logger back to the layer below.
//
// A name without layers (a default-mode object, a second close(), a take-over
// of a logger the module never registered) is not an error: the capture entry
// left under key 0 by such a take-over, if any, is restored and dropped.
#include "acquisition/common.hpp"
#include "acquisition/kept_handlers.hpp"
#include "module/callables.hpp"
#include "module/globals.hpp"
#include "module/with_lock.hpp"

namespace log_main {

// The builtins resolved at load, called as the body's own `id(x)` and `max(x)`.
static Ref builtin_call(PyObject* builtin, PyObject* arg) { return Ref::steal(PyObject_CallOneArg(builtin, arg)); }

// handler.close(); an Exception from it is discarded.
static int close_quietly(PyObject* handler) {
    return call_method(handler, S.close, {}) || swallow_exception() > 0 ? 0 : -1;
}

// `_CAPTURES[name][key]` when `name in _CAPTURES and key in _CAPTURES[name]`;
// null when absent (no exception) or on error (exception set).
static Ref listed_capture_entry(PyObject* name, PyObject* key) {
    Ref captures = global(S._CAPTURES);
    if (!captures) return Ref();
    int has = PySequence_Contains(captures.get(), name);
    if (has <= 0) return Ref();
    Ref layers = Ref::steal(PyObject_GetItem(captures.get(), name));
    if (!layers) return Ref();
    has = PySequence_Contains(layers.get(), key);
    if (has <= 0) return Ref();
    return Ref::steal(PyObject_GetItem(layers.get(), key));
}

// `_CAPTURES.get(name)`, then its `.get(key)`, each tested for truth; null
// when either is falsy (no exception) or on error (exception set).
static Ref truthy_capture_entry(PyObject* name, PyObject* key) {
    Ref captures = global(S._CAPTURES);
    if (!captures) return Ref();
    Ref layers = call_method(captures.get(), S.get, {name});
    if (!layers) return Ref();
    int truth = PyObject_IsTrue(layers.get());
    if (truth <= 0) return Ref();
    Ref entry = call_method(layers.get(), S.get, {key});
    if (!entry) return Ref();
    truth = PyObject_IsTrue(entry.get());
    if (truth <= 0) return Ref();
    return entry;
}

// The working list of handler ids saved for the layer (a copy), or [].
static Ref saved_handler_ids(PyObject* name, PyObject* key) {
    Ref entry = listed_capture_entry(name, key);
    if (!entry) return PyErr_Occurred() ? Ref() : Ref::steal(PyList_New(0));
    Ref empty = Ref::steal(PyList_New(0));
    if (!empty) return Ref();
    Ref ids = call_method(entry.get(), S.get, {S.handler_ids, empty.get()});
    if (!ids) return Ref();
    Ref copy = call_method(ids.get(), S.copy, {});
    if (!copy || expect_type(copy.get(), &PyList_Type, "list") < 0) return Ref();
    return copy;
}

// Removes and closes every handler whose id is not (or no longer) listed;
// each listed id is consumed once.
static int sweep(PyObject* logger, PyObject* handler_ids) {
    Ref current = Ref::steal(PyObject_GetAttr(logger, S.handlers));
    if (!current) return -1;
    Ref snapshot = Ref::steal(PySequence_GetSlice(current.get(), 0, PY_SSIZE_T_MAX));
    if (!snapshot) return -1;
    Ref it = Ref::steal(PyObject_GetIter(snapshot.get()));
    if (!it) return -1;
    while (Ref handler = Ref::steal(PyIter_Next(it.get()))) {
        Ref hid = builtin_call(M.b_id, handler.get());
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
    return Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), options));
}

// Rebuilds one handler from its record and attaches it to the logger.
// A record has no place for a rotating handler's namer and rotator; they are
// taken from the original handler, which the module kept.
static int copy_rotation_hooks(PyObject* original, PyObject* handler) {
    for (PyObject* hook : {S.namer, S.rotator}) {
        PyObject* value = nullptr;
        int found = PyObject_GetOptionalAttr(original, hook, &value);
        if (found < 0) return -1;
        Ref owned = Ref::steal(value);
        if (!found || value == Py_None) continue;
        int settable = PyObject_HasAttrWithError(handler, hook);
        if (settable < 0) return -1;
        if (settable && PyObject_SetAttr(handler, hook, value) < 0) return -1;
    }
    return 0;
}

static int rebuild(PyObject* logger, PyObject* record, PyObject* original) {
    Ref handler_class = Ref::steal(PyObject_GetItem(record, S.type));
    if (!handler_class) return -1;
    Ref raw_options = Ref::steal(PyObject_GetItem(record, S.kwargs));
    if (!raw_options) return -1;
    Ref options = record_options(raw_options.get());
    if (!options) return -1;
    Ref handler = call_with_options(handler_class.get(), options.get());
    if (!handler) return -1;
    if (original && copy_rotation_hooks(original, handler.get()) < 0) return -1;

    // handler.setLevel(record["level"]): the method first, then the value.
    Ref set_level = Ref::steal(PyObject_GetAttr(handler.get(), S.setLevel));
    Ref level = set_level ? Ref::steal(PyObject_GetItem(record, S.level)) : Ref();
    if (!level || !Ref::steal(PyObject_CallOneArg(set_level.get(), level.get()))) return -1;
    Ref filters = Ref::steal(PyObject_GetItem(record, S.filters));
    if (!filters) return -1;
    Ref it = Ref::steal(PyObject_GetIter(filters.get()));
    if (!it) return -1;
    while (Ref log_filter = Ref::steal(PyIter_Next(it.get())))
        if (!call_method(handler.get(), S.addFilter, {log_filter.get()})) return -1;
    if (PyErr_Occurred()) return -1;
    Ref set_formatter = Ref::steal(PyObject_GetAttr(handler.get(), S.setFormatter));
    Ref formatter = set_formatter ? Ref::steal(PyObject_GetItem(record, S.formatter)) : Ref();
    if (!formatter || !Ref::steal(PyObject_CallOneArg(set_formatter.get(), formatter.get()))) return -1;
    return call_method(logger, S.addHandler, {handler.get()}) ? 0 : -1;
}

// Rebuilds, in record order, the handlers whose ids the sweep left over.
static int restore_handlers(PyObject* logger, PyObject* name, PyObject* key, PyObject* handler_ids) {
    Ref config = Ref::steal(PyList_New(0));
    if (!config) return -1;
    Ref entry = truthy_capture_entry(name, key);
    if (entry) {
        Ref fallback = Ref::steal(PyList_New(0));
        if (!fallback) return -1;
        config = call_method(entry.get(), S.get, {S.handlers, fallback.get()});
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
        Ref rid = call_method(record.get(), S.get, {S.id});
        if (!rid) return -1;
        int listed = PySequence_Contains(handler_ids, rid.get());
        if (listed < 0) return -1;
        if (listed && rebuild(logger, record.get(), kept_handler(entry.get(), rid.get()).get()) < 0) return -1;
    }
    return 0;
}

// _CAPTURES[name].pop(key); then _CAPTURES.pop(name) once it is empty.
static int drop_capture(PyObject* name, PyObject* key, bool only_if_present) {
    Ref captures = global(S._CAPTURES);
    if (!captures) return -1;
    Ref layers = call_method(captures.get(), S.get, {name});
    if (!layers) return -1;
    int truth = PyObject_IsTrue(layers.get());
    if (truth <= 0) return truth;
    layers = Ref::steal(PyObject_GetItem(captures.get(), name));
    if (!layers) return -1;
    Ref popped = only_if_present ? call_method(layers.get(), S.pop, {key, Py_None})
                                 : call_method(layers.get(), S.pop, {key});
    if (!popped) return -1;
    release_captured_handlers(popped.get());
    layers = Ref::steal(PyObject_GetItem(captures.get(), name));
    if (!layers) return -1;
    truth = PyObject_IsTrue(layers.get());
    if (truth < 0) return -1;
    if (!truth && !call_method(captures.get(), S.pop, {name})) return -1;
    return 0;
}

// Every step reads self.name and the module global _LOGGERS afresh, as the
// body's own expressions do.
static PyObject* unwind_top_layer(PyObject* self, PyObject* logger) {
    auto name = [self] { return Ref::steal(PyObject_GetAttr(self, S.name)); };
    auto layers_of = [](PyObject* of) -> Ref {  // _LOGGERS[of]
        Ref loggers = global(S._LOGGERS);
        return loggers ? Ref::steal(PyObject_GetItem(loggers.get(), of)) : Ref();
    };

    // index = max(_LOGGERS.get(self.name, {9999: 0}).keys())
    Ref absent = Ref::steal(PyDict_New());
    if (!absent || PyDict_SetItem(absent.get(), M.int_9999, M.int_0) < 0) return nullptr;
    Ref loggers = global(S._LOGGERS);
    Ref own = loggers ? name() : Ref();
    Ref layers = own ? call_method(loggers.get(), S.get, {own.get(), absent.get()}) : Ref();
    if (!layers) return nullptr;
    const bool registered = layers.get() != absent.get();
    Ref keys = call_method(layers.get(), S.keys, {});
    if (!keys) return nullptr;
    Ref index = builtin_call(M.b_max, keys.get());
    if (!index) return nullptr;
    // Layer k keeps its capture entry under k - 1; a name without layers, under 0.
    Ref key = registered ? Ref::steal(PyNumber_Subtract(index.get(), M.int_1)) : Ref::borrow(M.int_0);
    if (!key) return nullptr;

    Ref handler_ids = (own = name()) ? saved_handler_ids(own.get(), key.get()) : Ref();
    if (!handler_ids) return nullptr;
    if (sweep(logger, handler_ids.get()) < 0) return nullptr;
    if (!(own = name()) || restore_handlers(logger, own.get(), key.get(), handler_ids.get()) < 0) return nullptr;

    if (!registered) {
        if (!call_method(self, S.disable, {})) return nullptr;
        if (!(own = name()) || drop_capture(own.get(), M.int_0, true) < 0) return nullptr;
        Py_RETURN_NONE;
    }

    int above = PyObject_RichCompareBool(index.get(), M.int_0, Py_GT);
    if (above < 0) return nullptr;
    if (above) {
        Ref stack = (own = name()) ? layers_of(own.get()) : Ref();
        if (!stack) return nullptr;
        Ref top = call_method(stack.get(), S.pop, {index.get()});
        if (!top || !call_method(top.get(), S.disable, {})) return nullptr;
    }
    above = PyObject_RichCompareBool(index.get(), M.int_1, Py_GT);
    if (above < 0) return nullptr;
    if (above) {
        Ref stack = (own = name()) ? layers_of(own.get()) : Ref();
        if (!stack) return nullptr;
        Ref below = Ref::steal(PyObject_GetItem(stack.get(), key.get()));
        if (!below || !call_method(below.get(), S.enable, {logger})) return nullptr;
    }
    loggers = global(S._LOGGERS);
    own = loggers ? name() : Ref();
    Ref remaining = own ? call_method(loggers.get(), S.get, {own.get()}) : Ref();
    if (!remaining) return nullptr;
    int truth = PyObject_IsTrue(remaining.get());
    if (truth < 0) return nullptr;
    if (!truth) {
        loggers = global(S._LOGGERS);
        own = loggers ? name() : Ref();
        if (!own || !call_method(loggers.get(), S.pop, {own.get()})) return nullptr;
    }
    if (!(own = name()) || drop_capture(own.get(), key.get(), false) < 0) return nullptr;
    Py_RETURN_NONE;
}

static PyObject* close_body(Function*, PyObject* const* a) {
    PyObject* self = a[0];
    Ref logger = logger_of(self);  // outside the lock
    if (!logger) return nullptr;
    return with_module_lock([&] { return unwind_top_layer(self, logger.get()); });
}

static const Param self_only[] = {
    {"self", Kind::PositionalOrKeyword, Default::Required, Check::None, nullptr},
};

const FunctionSpec close_spec = {
    "close", "_LogBase.close", "log_main._LogBase.close", "_LogBase.close(self) -> None", "None",
    self_only, 1, close_body, 210,
};

}  // namespace log_main
