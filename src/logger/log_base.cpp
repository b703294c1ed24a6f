// _LogBase: the state of a logger object, the level setters, disable and
// enable. Emission (_log and the five level methods) is in emission.cpp.
#include "module/callables.hpp"
#include "module/globals.hpp"

namespace log_main {

// ---------------------------------------------------------------------------
// __init__, disable, enable, level setters

// logging.DEBUG is read twice on purpose, once by each assignment that names
// it: the assignments in between can run code (a property or __setattr__ of a
// subclass) that rebinds it, and the second read must see that.
static PyObject* init_body(Function*, PyObject* const* a) {
    PyObject* self = a[0];
    if (set_attr(self, S.name, Py_None) < 0 || set_attr(self, S.file, Py_None) < 0 ||
        set_attr(self, S.handler_type, Py_None) < 0)
        return nullptr;
    Ref debug = global_attr(S.logging, S.DEBUG);
    if (!debug || set_attr(self, S.file_level, debug.get()) < 0) return nullptr;
    if (set_attr(self, S.console, Py_True) < 0) return nullptr;
    debug = global_attr(S.logging, S.DEBUG);
    if (!debug || set_attr(self, S.console_level, debug.get()) < 0) return nullptr;
    Ref options = Ref::steal(PyDict_New());
    if (!options || set_attr(self, S.kwargs, options.get()) < 0) return nullptr;
    if (set_attr(self, S._logger, Py_None) < 0 || set_attr(self, S._file_handler, Py_None) < 0 ||
        set_attr(self, S._console_handler, Py_None) < 0 ||
        set_attr(self, S._handler_filter, Py_None) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

static PyObject* disable_body(Function*, PyObject* const* a) {
    if (set_attr(a[0], S._logger, Py_None) < 0) return nullptr;
    Py_RETURN_NONE;
}

static PyObject* enable_body(Function*, PyObject* const* a) {
    if (set_attr(a[0], S._logger, a[1]) < 0) return nullptr;
    Py_RETURN_NONE;
}

// self.<level_attr> = level; then self.<handler_attr>.setLevel(level) when set.
// The handler attribute is read twice on purpose, for the test and for the
// call, as `if self._h: self._h.setLevel(level)` reads it: the truth test can
// run code that replaces it.
static PyObject* set_handler_level(PyObject* self, PyObject* level, PyObject* level_attr, PyObject* handler_attr) {
    if (set_attr(self, level_attr, level) < 0) return nullptr;
    Ref handler = get_attr(self, handler_attr);
    if (!handler) return nullptr;
    int truth = PyObject_IsTrue(handler.get());
    if (truth < 0) return nullptr;
    if (truth) {
        handler = get_attr(self, handler_attr);
        if (!call_method(handler, S.setLevel, {level})) return nullptr;
    }
    Py_RETURN_NONE;
}

static PyObject* set_console_level_body(Function*, PyObject* const* a) {
    return set_handler_level(a[0], a[1], S.console_level, S._console_handler);
}

static PyObject* set_file_level_body(Function*, PyObject* const* a) {
    return set_handler_level(a[0], a[1], S.file_level, S._file_handler);
}

// ---------------------------------------------------------------------------
// Tables

static const Param enable_params[] = {
    kSelf,
    {"value", Kind::PositionalOrKeyword, Default::Required, Check::None, "logging.Logger"},
};
static const Param level_setter_params[] = {
    kSelf,
    {"level", Kind::PositionalOrKeyword, Default::Required, Check::Int, "int"},
};

const FunctionSpec log_base_init_spec = {
    .name = "__init__",
    .qualname = "_LogBase.__init__",
    .traceback_name = "log_main._LogBase.__init__",
    .doc = "_LogBase.__init__(self)",
    .params = kSelfOnly,
    .body = init_body,
    .line = 120,
};
const FunctionSpec disable_spec = {
    .name = "disable",
    .qualname = "_LogBase.disable",
    .traceback_name = "log_main._LogBase.disable",
    .doc = "_LogBase.disable(self) -> None",
    .return_annotation = "None",
    .params = kSelfOnly,
    .body = disable_body,
    .line = 200,
};
const FunctionSpec enable_spec = {
    .name = "enable",
    .qualname = "_LogBase.enable",
    .traceback_name = "log_main._LogBase.enable",
    .doc = "_LogBase.enable(self, value: logging.Logger) -> None",
    .return_annotation = "None",
    .params = enable_params,
    .body = enable_body,
    .line = 204,
};
const FunctionSpec set_console_level_spec = {
    .name = "set_console_level",
    .qualname = "_LogBase.set_console_level",
    .traceback_name = "log_main._LogBase.set_console_level",
    .doc = "_LogBase.set_console_level(self, int level: int) -> None",
    .return_annotation = "None",
    .params = level_setter_params,
    .body = set_console_level_body,
    .line = 230,
};
const FunctionSpec set_file_level_spec = {
    .name = "set_file_level",
    .qualname = "_LogBase.set_file_level",
    .traceback_name = "log_main._LogBase.set_file_level",
    .doc = "_LogBase.set_file_level(self, int level: int) -> None",
    .return_annotation = "None",
    .params = level_setter_params,
    .body = set_file_level_body,
    .line = 235,
};

}  // namespace log_main
