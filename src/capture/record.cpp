// The writing side of the capture registry (layout in capture.hpp): a record
// per handler, and the entry stored with its handlers kept alive.
#include <cstring>

#include "capture/capture.hpp"
#include "capture/kept_handlers.hpp"

namespace log_main {

static int isinstance_of(PyObject* obj, PyObject* cls) { return PyObject_IsInstance(obj, cls); }

int HandlerClasses::load() {
    Ref handlers_mod = global_attr(S.logging, S.handlers);
    if (!(timed = get_attr(handlers_mod, S.TimedRotatingFileHandler))) return -1;
    if (!(rotating = get_attr(handlers_mod, S.RotatingFileHandler))) return -1;
    if (!(file = global_attr(S.logging, S.FileHandler))) return -1;
    return (stream = global_attr(S.logging, S.StreamHandler)) ? 0 : -1;
}

// options[key] = handler.<key>
static int copy_attr(PyObject* options, PyObject* handler, PyObject* key) {
    Ref value = get_attr(handler, key);
    return value ? PyDict_SetItem(options, key, value.get()) : -1;
}

static int copy_attrs(PyObject* options, PyObject* handler, std::initializer_list<PyObject*> keys) {
    for (PyObject* key : keys)
        if (copy_attr(options, handler, key) < 0) return -1;
    return 0;
}

// A rebuilt handler must append, never truncate or refuse an existing file:
// a mode starting with "w" or "x" is recorded with "a" in its place.
static int copy_mode(PyObject* options, PyObject* handler) {
    Ref mode = get_attr(handler, S.mode);
    if (!mode) return -1;
    if (PyUnicode_Check(mode.get()) && PyUnicode_GET_LENGTH(mode.get()) > 0) {
        Py_UCS4 first = PyUnicode_READ_CHAR(mode.get(), 0);
        if (first == 'w' || first == 'x') {
            Ref rest = Ref::steal(PyUnicode_Substring(mode.get(), 1, PyUnicode_GET_LENGTH(mode.get())));
            if (!rest) return -1;
            mode = Ref::steal(PyUnicode_Concat(S.mode_a, rest.get()));
            if (!mode) return -1;
        }
    }
    return PyDict_SetItem(options, S.mode, mode.get());
}

// The constructor's `interval` from the handler's, which is in seconds.
static Ref constructor_interval(PyObject* handler) {
    Ref seconds = get_attr(handler, S.interval);
    if (!seconds) return Ref();
    Ref when = get_attr(handler, S.when);
    if (!when) return Ref();
    long unit = 0;
    if (PyUnicode_Check(when.get())) {
        const char* w = PyUnicode_AsUTF8(when.get());
        if (!w) return Ref();
        if (!strcmp(w, "S"))
            unit = 1;
        else if (!strcmp(w, "M"))
            unit = 60;
        else if (!strcmp(w, "H"))
            unit = 3600;
        else if (!strcmp(w, "D") || !strcmp(w, "MIDNIGHT"))
            unit = 86400;
        else if (w[0] == 'W' && w[1] >= '0' && w[1] <= '6' && w[2] == '\0')
            unit = 604800;
    }
    if (unit == 0) return seconds;
    Ref divisor = Ref::steal(PyLong_FromLong(unit));
    if (!divisor) return Ref();
    Ref remainder = Ref::steal(PyNumber_Remainder(seconds.get(), divisor.get()));
    if (!remainder) return Ref();
    int exact = PyObject_RichCompareBool(remainder.get(), M.int_0, Py_EQ);
    if (exact < 0) return Ref();
    if (!exact) return Ref::steal(PyNumber_TrueDivide(seconds.get(), divisor.get()));
    Ref units = Ref::steal(PyNumber_FloorDivide(seconds.get(), divisor.get()));
    return units ? Ref::steal(PyNumber_Long(units.get())) : Ref();
}

// The keyword arguments that rebuild `handler`, by the first class it is an
// instance of; null without error for classes the capture cannot rebuild.
static Ref constructor_options(PyObject* handler, HandlerClasses& classes) {
    int timed = isinstance_of(handler, classes.timed.get());
    if (timed < 0) return Ref();
    int rotating = timed ? 0 : isinstance_of(handler, classes.rotating.get());
    if (rotating < 0) return Ref();
    int plain_file = timed || rotating ? 0 : isinstance_of(handler, classes.file.get());
    if (plain_file < 0) return Ref();
    int stream = timed || rotating || plain_file ? 0 : isinstance_of(handler, classes.stream.get());
    if (stream < 0) return Ref();
    if (!(timed || rotating || plain_file || stream)) return Ref();

    Ref options = Ref::steal(PyDict_New());
    if (!options) return Ref();
    PyObject* o = options.get();
    if (stream) return copy_attr(o, handler, S.stream) < 0 ? Ref() : std::move(options);

    Ref filename = get_attr(handler, S.baseFilename);
    if (!filename || PyDict_SetItem(o, S.filename, filename.get()) < 0) return Ref();
    if (timed) {
        if (copy_attrs(o, handler, {S.encoding, S.delay, S.errors, S.when}) < 0) return Ref();
        Ref interval = constructor_interval(handler);
        if (!interval || PyDict_SetItem(o, S.interval, interval.get()) < 0) return Ref();
        if (copy_attrs(o, handler, {S.backupCount, S.utc, S.atTime}) < 0) return Ref();
        return options;
    }
    if (copy_mode(o, handler) < 0 || copy_attrs(o, handler, {S.encoding, S.delay, S.errors}) < 0) return Ref();
    if (rotating && copy_attrs(o, handler, {S.maxBytes, S.backupCount}) < 0) return Ref();
    return options;
}

Ref handler_record(PyObject* handler, PyObject* hid, HandlerClasses& classes) {
    Ref record = Ref::steal(PyDict_New());
    if (!record) return Ref();
    if (PyDict_SetItem(record.get(), S.id, hid) < 0 ||
        PyDict_SetItem(record.get(), S.type, reinterpret_cast<PyObject*>(Py_TYPE(handler))) < 0)
        return Ref();
    if (copy_attrs(record.get(), handler, {S.level, S.name, S.filters, S.formatter}) < 0) return Ref();
    Ref options = constructor_options(handler, classes);
    if (options) {
        if (PyDict_SetItem(record.get(), S.kwargs, options.get()) < 0) return Ref();
    } else if (PyErr_Occurred()) {
        return Ref();
    }
    return record;
}

int store_capture_entry(PyObject* name, PyObject* key, PyObject* records, PyObject* ids, PyObject* captured) {
    Ref captures = global(S._CAPTURES);
    if (!captures) return -1;
    Ref fresh = Ref::steal(PyDict_New());
    if (!fresh || !call_method(captures, S.setdefault, {name, fresh.get()})) return -1;
    Ref entry = Ref::steal(PyDict_New());
    if (!entry || PyDict_SetItem(entry.get(), S.handlers, records) < 0 ||
        PyDict_SetItem(entry.get(), S.handler_ids, ids) < 0)
        return -1;
    Ref update = Ref::steal(PyDict_New());
    if (!update || PyDict_SetItem(update.get(), key, entry.get()) < 0) return -1;
    Ref by_key = get_item(global(S._CAPTURES), name);
    if (!by_key) return -1;
    Ref replaced;
    if (PyDict_CheckExact(by_key.get()) && PyDict_GetItemRef(by_key.get(), key, replaced.out()) < 0) return -1;
    if (!call_method(by_key.get(), S.update, {update.get()})) return -1;
    release_captured_handlers(replaced.get());
    return keep_captured_handlers(entry.get(), captured);
}

}  // namespace log_main
