// _GetLogger: serves a name the logging manager already knows. By default it
// works on a private child logger (name + "." + a random UUID); with rehandler
// it takes the existing logger over: it writes a record of every handler the
// logger carries, detaches those its own handlers replace, and stacks itself
// on the module's earlier logger object of that name.
#include "acquisition/common.hpp"
#include "acquisition/kept_handlers.hpp"

#include <cstring>
#include "module/callables.hpp"

namespace log_main {

static int isinstance_of(PyObject* obj, PyObject* cls) { return PyObject_IsInstance(obj, cls); }

// The handler classes the capture distinguishes, read afresh from logging.
struct HandlerClasses {
    Ref timed, rotating, file, stream;
    int load() {
        Ref handlers_mod = global_attr(S.logging, S.handlers);
        if (!handlers_mod) return -1;
        timed = Ref::steal(PyObject_GetAttr(handlers_mod.get(), S.TimedRotatingFileHandler));
        if (!timed) return -1;
        rotating = Ref::steal(PyObject_GetAttr(handlers_mod.get(), S.RotatingFileHandler));
        if (!rotating) return -1;
        file = global_attr(S.logging, S.FileHandler);
        if (!file) return -1;
        stream = global_attr(S.logging, S.StreamHandler);
        return stream ? 0 : -1;
    }
};

// options[key] = handler.<key>
static int copy_attr(PyObject* options, PyObject* handler, PyObject* key) {
    Ref value = Ref::steal(PyObject_GetAttr(handler, key));
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
    Ref mode = Ref::steal(PyObject_GetAttr(handler, S.mode));
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
    Ref seconds = Ref::steal(PyObject_GetAttr(handler, S.interval));
    if (!seconds) return Ref();
    Ref when = Ref::steal(PyObject_GetAttr(handler, S.when));
    if (!when) return Ref();
    long unit = 0;
    if (PyUnicode_Check(when.get())) {
        const char* w = PyUnicode_AsUTF8(when.get());
        if (!w) return Ref();
        if (!strcmp(w, "S")) unit = 1;
        else if (!strcmp(w, "M")) unit = 60;
        else if (!strcmp(w, "H")) unit = 3600;
        else if (!strcmp(w, "D") || !strcmp(w, "MIDNIGHT")) unit = 86400;
        else if (w[0] == 'W' && w[1] >= '0' && w[1] <= '6' && w[2] == '\0') unit = 604800;
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

    Ref filename = Ref::steal(PyObject_GetAttr(handler, S.baseFilename));
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

static Ref handler_record(PyObject* handler, PyObject* hid, HandlerClasses& classes) {
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

// Whether the capture takes this handler off the logger.
static int replaces(PyObject* self, PyObject* handler, HandlerClasses& classes) {
    int is_file_kind = 0;
    for (PyObject* cls : {classes.timed.get(), classes.rotating.get(), classes.file.get()}) {
        int is = isinstance_of(handler, cls);
        if (is < 0) return -1;
        if (is) {
            is_file_kind = 1;
            break;
        }
    }
    if (is_file_kind) {
        Ref file = Ref::steal(PyObject_GetAttr(self, S.file));
        if (!file) return -1;
        int truth = PyObject_IsTrue(file.get());
        if (truth < 0) return -1;
        if (truth) {
            Ref rehandler = Ref::steal(PyObject_GetAttr(self, S.rehandler));
            if (!rehandler) return -1;
            truth = PyObject_IsTrue(rehandler.get());
            if (truth != 0) return truth;
        }
    }
    int is_stream = isinstance_of(handler, classes.stream.get());
    if (is_stream <= 0) return is_stream;
    Ref console = Ref::steal(PyObject_GetAttr(self, S.console));
    if (!console) return -1;
    return PyObject_IsTrue(console.get());
}

// An Exception from the call is discarded (1 returned); others propagate (-1).
static int call_swallowing(Ref result) { return result ? 0 : swallow_exception(); }

// handler.close(), then self._logger.removeHandler(handler).
static int detach(PyObject* self, PyObject* handler) {
    int rc = call_swallowing(call_method(handler, S.close, {}));
    if (rc != 0) return rc < 0 ? -1 : 0;
    Ref logger = Ref::steal(PyObject_GetAttr(self, S._logger));
    if (!logger) return -1;
    return call_swallowing(call_method(logger.get(), S.removeHandler, {handler})) < 0 ? -1 : 0;
}

// Stores the capture entry under the top layer index and pushes self.
static int register_capture(PyObject* self, PyObject* records, PyObject* ids, PyObject* captured) {
    Ref name = Ref::steal(PyObject_GetAttr(self, S.name));
    if (!name) return -1;
    Ref loggers = global(S._LOGGERS);
    if (!loggers) return -1;
    Ref absent = Ref::steal(PyDict_New());
    if (!absent || PyDict_SetItem(absent.get(), M.int_0, M.int_0) < 0) return -1;
    Ref layers = call_method(loggers.get(), S.get, {name.get(), absent.get()});
    if (!layers) return -1;
    Ref keys = call_method(layers.get(), S.keys, {});
    if (!keys) return -1;
    Ref index = Ref::steal(PyObject_CallOneArg(M.b_max, keys.get()));
    if (!index) return -1;

    Ref captures = global(S._CAPTURES);
    if (!captures) return -1;
    Ref fresh = Ref::steal(PyDict_New());
    if (!fresh || !call_method(captures.get(), S.setdefault, {name.get(), fresh.get()})) return -1;
    Ref entry = Ref::steal(PyDict_New());
    if (!entry || PyDict_SetItem(entry.get(), S.handlers, records) < 0 ||
        PyDict_SetItem(entry.get(), S.handler_ids, ids) < 0)
        return -1;
    Ref update = Ref::steal(PyDict_New());
    if (!update || PyDict_SetItem(update.get(), index.get(), entry.get()) < 0) return -1;
    captures = global(S._CAPTURES);
    if (!captures) return -1;
    Ref by_index = Ref::steal(PyObject_GetItem(captures.get(), name.get()));
    if (!by_index) return -1;
    Ref replaced;
    if (PyDict_CheckExact(by_index.get())) {
        PyObject* old = nullptr;
        if (PyDict_GetItemRef(by_index.get(), index.get(), &old) < 0) return -1;
        replaced = Ref::steal(old);
    }
    if (!call_method(by_index.get(), S.update, {update.get()})) return -1;
    release_captured_handlers(replaced.get());
    if (keep_captured_handlers(entry.get(), captured) < 0) return -1;

    int above = PyObject_RichCompareBool(index.get(), M.int_0, Py_GT);
    if (above <= 0) return above;
    loggers = global(S._LOGGERS);
    if (!loggers) return -1;
    Ref stack = Ref::steal(PyObject_GetItem(loggers.get(), name.get()));
    if (!stack) return -1;
    Ref previous = Ref::steal(PyObject_GetItem(stack.get(), index.get()));
    if (!previous || !call_method(previous.get(), S.disable, {})) return -1;
    Ref next = Ref::steal(PyNumber_Add(index.get(), M.int_1));
    if (!next) return -1;
    loggers = global(S._LOGGERS);
    if (!loggers) return -1;
    stack = Ref::steal(PyObject_GetItem(loggers.get(), name.get()));
    if (!stack) return -1;
    return PyObject_SetItem(stack.get(), next.get(), self);
}

static int capture_handlers(PyObject* self, PyObject* logger) {
    Ref current = Ref::steal(PyObject_GetAttr(logger, S.handlers));
    if (!current) return -1;
    Ref snapshot = Ref::steal(PySequence_GetSlice(current.get(), 0, PY_SSIZE_T_MAX));
    if (!snapshot) return -1;
    Ref records = Ref::steal(PyList_New(0));
    Ref ids = Ref::steal(PyList_New(0));
    if (!records || !ids) return -1;
    HandlerClasses classes;
    Ref it = Ref::steal(PyObject_GetIter(snapshot.get()));
    if (!it) return -1;
    while (Ref handler = Ref::steal(PyIter_Next(it.get()))) {
        Ref hid = Ref::steal(PyObject_CallOneArg(M.b_id, handler.get()));
        if (!hid || PyList_Append(ids.get(), hid.get()) < 0) return -1;
        if (!classes.timed && classes.load() < 0) return -1;
        Ref record = handler_record(handler.get(), hid.get(), classes);
        if (!record || PyList_Append(records.get(), record.get()) < 0) return -1;
        int detaching = replaces(self, handler.get(), classes);
        if (detaching < 0) return -1;
        if (detaching && detach(self, handler.get()) < 0) return -1;
    }
    if (PyErr_Occurred()) return -1;
    return register_capture(self, records.get(), ids.get(), snapshot.get());
}

static PyObject* captures_logger_body(Function*, PyObject* const* a) {
    PyObject* self = a[0];
    {
        Ref logger = logger_of(self);
        if (!logger || PyObject_SetAttr(self, S._logger, logger.get()) < 0) return nullptr;
    }
    Ref logger = Ref::steal(PyObject_GetAttr(self, S._logger));
    if (!logger) return nullptr;
    Ref current = Ref::steal(PyObject_GetAttr(logger.get(), S.handlers));
    if (!current) return nullptr;
    int carries = PyObject_IsTrue(current.get());
    if (carries < 0) return nullptr;
    if (carries && capture_handlers(self, logger.get()) < 0) return nullptr;
    if (prepare_logger(self) < 0) return nullptr;
    Py_RETURN_NONE;
}

static PyObject* get_logger_init_body(Function* f, PyObject* const* a) {
    PyObject* self = a[0];
    PyObject* name = a[1];
    PyObject* level = a[2];
    PyObject* file = a[3];
    PyObject* handler_type = a[4];
    PyObject* console = a[5];
    PyObject* rehandler = a[6];
    PyObject* options = a[7];

    Ref parent = super_of(f, self);
    if (!parent || !call_method(parent.get(), S.__init__, {})) return nullptr;

    int take_over = PyObject_IsTrue(rehandler);
    if (take_over < 0) return nullptr;
    Ref own_name;
    if (take_over) {
        own_name = Ref::borrow(name);
    } else {
        Ref uuid4 = global_attr(S.uuid, S.uuid4);
        if (!uuid4) return nullptr;
        Ref id = Ref::steal(PyObject_CallNoArgs(uuid4.get()));
        if (!id) return nullptr;
        Ref text = Ref::steal(PyObject_Str(id.get()));
        if (!text) return nullptr;
        own_name = Ref::steal(PyUnicode_FromFormat("%U.%U", name, text.get()));
    }
    if (!own_name || PyObject_SetAttr(self, S.name, own_name.get()) < 0) return nullptr;
    Ref path = normalised_file(file);
    if (!path || PyObject_SetAttr(self, S.file, path.get()) < 0) return nullptr;
    if (set_attrs(self, {{S.handler_type, handler_type},
                         {S.file_level, level},
                         {S.console, console},
                         {S.console_level, level},
                         {S.rehandler, rehandler},
                         {S.kwargs, options}}) < 0)
        return nullptr;
    if (call_self(self, S._captures_logger) < 0) return nullptr;
    Py_RETURN_NONE;
}

static const Param init_params[] = {
    {"self", Kind::PositionalOrKeyword, Default::Required, Check::None, nullptr},
    {"name", Kind::PositionalOrKeyword, Default::Required, Check::Str, "str"},
    {"level", Kind::PositionalOrKeyword, Default::LoggingDebug, Check::Int, "int"},
    {"file", Kind::PositionalOrKeyword, Default::None, Check::StrOrNone, "Optional[str]"},
    {"handler_type", Kind::PositionalOrKeyword, Default::FileKind, Check::Str, "str"},
    {"console", Kind::PositionalOrKeyword, Default::True, Check::None, "bool"},
    {"rehandler", Kind::PositionalOrKeyword, Default::False, Check::None, "bool"},
    {"kwargs", Kind::VarKeyword, Default::Required, Check::None, nullptr},
};
static const Param self_only[] = {
    {"self", Kind::PositionalOrKeyword, Default::Required, Check::None, nullptr},
};

const FunctionSpec get_logger_init_spec = {
    "__init__", "_GetLogger.__init__", "log_main._GetLogger.__init__",
    "_GetLogger.__init__(self, unicode name: str, int level: int = logging.DEBUG, unicode file: Optional[str] = "
    "None, unicode handler_type: str = u'file', console: bool = True, rehandler: bool = False, **kwargs) -> None",
    "None", init_params, 8, get_logger_init_body, 380,
};
const FunctionSpec captures_logger_spec = {
    "_captures_logger", "_GetLogger._captures_logger", "log_main._GetLogger._captures_logger",
    "_GetLogger._captures_logger(self)", nullptr, self_only, 1, captures_logger_body, 410,
};

}  // namespace log_main
