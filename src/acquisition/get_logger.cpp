// _GetLogger: serves a name the logging manager already knows. By default it
// works on a private child logger (name + "." + a random UUID); with rehandler
// it takes the existing logger over: it writes a record of every handler the
// logger carries, detaches those its own handlers replace, and stacks itself
// on the module's earlier logger object of that name.
#include "acquisition/construction.hpp"
#include "logger/logging_lookup.hpp"
#include "capture/capture.hpp"
#include "module/callables.hpp"
#include "module/with_lock.hpp"

namespace log_main {

static int isinstance_of(PyObject* obj, PyObject* cls) { return PyObject_IsInstance(obj, cls); }

// bool(self.<attr>): 1, 0, or -1 with an exception set.
static int truth_of(PyObject* self, PyObject* attr) {
    Ref value = get_attr(self, attr);
    return value ? PyObject_IsTrue(value.get()) : -1;
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
        int truth = truth_of(self, S.file);
        if (truth < 0) return -1;
        if (truth && (truth = truth_of(self, S.rehandler)) != 0) return truth;
    }
    int is_stream = isinstance_of(handler, classes.stream.get());
    if (is_stream <= 0) return is_stream;
    return truth_of(self, S.console);
}

// An Exception from the call is discarded (1 returned); others propagate (-1).
static int call_swallowing(Ref result) { return result ? 0 : swallow_exception(); }

// handler.close(), then self._logger.removeHandler(handler). While finalising,
// a handler lock that a stopped thread holds raises.
static int detach(PyObject* self, PyObject* handler) {
    int rc;
    {
        ExitHold held;
        if (held.handler_lock(handler) < 0) return -1;
        rc = call_swallowing(call_method(handler, S.close, {}));
    }
    if (rc != 0) return rc < 0 ? -1 : 0;
    Ref logger = get_attr(self, S._logger);
    if (!logger) return -1;
    return call_swallowing(call_method(logger, S.removeHandler, {handler})) < 0 ? -1 : 0;
}

// Stores the capture entry under the name's top layer index and, when the
// name has layers, stacks self on top of them (the layer below is disabled).
static int register_capture(PyObject* self, PyObject* records, PyObject* ids, PyObject* captured) {
    // index = max(_LOGGERS.get(self.name, {0: 0}).keys())
    Ref name = get_attr(self, S.name);
    if (!name) return -1;
    Ref loggers = global(S._LOGGERS);
    if (!loggers) return -1;
    Ref absent = Ref::steal(PyDict_New());
    if (!absent || PyDict_SetItem(absent.get(), M.int_0, M.int_0) < 0) return -1;
    Ref keys = call_method(call_method(loggers, S.get, {name.get(), absent.get()}), S.keys, {});
    Ref index = call(M.b_max, {keys.get()});
    if (!index) return -1;
    if (store_capture_entry(name.get(), index.get(), records, ids, captured) < 0) return -1;

    int above = PyObject_RichCompareBool(index.get(), M.int_0, Py_GT);
    if (above <= 0) return above;
    // _LOGGERS[name][index].disable(); _LOGGERS[name][index + 1] = self
    Ref previous = get_item(get_item(global(S._LOGGERS), name.get()), index.get());
    if (!call_method(previous, S.disable, {})) return -1;
    Ref next = Ref::steal(PyNumber_Add(index.get(), M.int_1));
    if (!next) return -1;
    Ref stack = get_item(global(S._LOGGERS), name.get());
    return stack ? PyObject_SetItem(stack.get(), next.get(), self) : -1;
}

static int capture_handlers(PyObject* self, PyObject* logger) {
    Ref current = get_attr(logger, S.handlers);
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
        Ref hid = call(M.b_id, {handler.get()});
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
        if (!logger || set_attr(self, S._logger, logger.get()) < 0) return nullptr;
    }
    Ref logger = get_attr(self, S._logger);
    Ref current = get_attr(logger, S.handlers);
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
        Ref id = call(global_attr(S.uuid, S.uuid4), {});
        if (!id) return nullptr;
        Ref text = Ref::steal(PyObject_Str(id.get()));
        if (!text) return nullptr;
        own_name = Ref::steal(PyUnicode_FromFormat("%U.%U", name, text.get()));
    }
    if (!own_name || set_attr(self, S.name, own_name.get()) < 0) return nullptr;
    Ref path = normalised_file(file);
    if (!path || set_attr(self, S.file, path.get()) < 0) return nullptr;
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
    kSelf,
    {"name", Kind::PositionalOrKeyword, Default::Required, Check::Str, "str"},
    {"level", Kind::PositionalOrKeyword, Default::LoggingDebug, Check::Int, "int"},
    {"file", Kind::PositionalOrKeyword, Default::None, Check::StrOrNone, "Optional[str]"},
    {"handler_type", Kind::PositionalOrKeyword, Default::FileKind, Check::Str, "str"},
    {"console", Kind::PositionalOrKeyword, Default::True, Check::None, "bool"},
    {"rehandler", Kind::PositionalOrKeyword, Default::False, Check::None, "bool"},
    {"kwargs", Kind::VarKeyword, Default::Required, Check::None, nullptr},
};

const FunctionSpec get_logger_init_spec = {
    .name = "__init__",
    .qualname = "_GetLogger.__init__",
    .traceback_name = "log_main._GetLogger.__init__",
    .doc = "_GetLogger.__init__(self, unicode name: str, int level: int = logging.DEBUG, unicode file: "
           "Optional[str] = None, unicode handler_type: str = u'file', console: bool = True, rehandler: bool = "
           "False, **kwargs) -> None",
    .return_annotation = "None",
    .params = init_params,
    .body = get_logger_init_body,
    .line = 380,
};
const FunctionSpec captures_logger_spec = {
    .name = "_captures_logger",
    .qualname = "_GetLogger._captures_logger",
    .traceback_name = "log_main._GetLogger._captures_logger",
    .doc = "_GetLogger._captures_logger(self)",
    .params = kSelfOnly,
    .body = captures_logger_body,
    .line = 410,
};

}  // namespace log_main
