// _LogBase: the state of a logger object, the level setters, disable and
// enable. Emission (_log and the five level methods) is in emission.cpp.
#include "module/callables.hpp"
#include "module/globals.hpp"

namespace log_main {

// ---------------------------------------------------------------------------
// __init__, disable, enable, level setters

static PyObject* init_body(Function*, PyObject* const* a) {
    PyObject* self = a[0];
    if (PyObject_SetAttr(self, S.name, Py_None) < 0 || PyObject_SetAttr(self, S.file, Py_None) < 0 ||
        PyObject_SetAttr(self, S.handler_type, Py_None) < 0)
        return nullptr;
    Ref debug = global_attr(S.logging, S.DEBUG);
    if (!debug || PyObject_SetAttr(self, S.file_level, debug.get()) < 0) return nullptr;
    if (PyObject_SetAttr(self, S.console, Py_True) < 0) return nullptr;
    debug = global_attr(S.logging, S.DEBUG);
    if (!debug || PyObject_SetAttr(self, S.console_level, debug.get()) < 0) return nullptr;
    Ref options = Ref::steal(PyDict_New());
    if (!options || PyObject_SetAttr(self, S.kwargs, options.get()) < 0) return nullptr;
    if (PyObject_SetAttr(self, S._logger, Py_None) < 0 || PyObject_SetAttr(self, S._file_handler, Py_None) < 0 ||
        PyObject_SetAttr(self, S._console_handler, Py_None) < 0 || PyObject_SetAttr(self, S._handler_filter, Py_None) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

static PyObject* disable_body(Function*, PyObject* const* a) {
    if (PyObject_SetAttr(a[0], S._logger, Py_None) < 0) return nullptr;
    Py_RETURN_NONE;
}

static PyObject* enable_body(Function*, PyObject* const* a) {
    if (PyObject_SetAttr(a[0], S._logger, a[1]) < 0) return nullptr;
    Py_RETURN_NONE;
}

// self.<level_attr> = level; then self.<handler_attr>.setLevel(level) when set.
static PyObject* set_handler_level(PyObject* self, PyObject* level, PyObject* level_attr, PyObject* handler_attr) {
    if (PyObject_SetAttr(self, level_attr, level) < 0) return nullptr;
    Ref handler = Ref::steal(PyObject_GetAttr(self, handler_attr));
    if (!handler) return nullptr;
    int truth = PyObject_IsTrue(handler.get());
    if (truth < 0) return nullptr;
    if (truth) {
        handler = Ref::steal(PyObject_GetAttr(self, handler_attr));
        if (!handler || !call_method(handler.get(), S.setLevel, {level})) return nullptr;
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

static const Param self_only[] = {
    {"self", Kind::PositionalOrKeyword, Default::Required, Check::None, nullptr},
};
static const Param enable_params[] = {
    {"self", Kind::PositionalOrKeyword, Default::Required, Check::None, nullptr},
    {"value", Kind::PositionalOrKeyword, Default::Required, Check::None, "logging.Logger"},
};
static const Param level_setter_params[] = {
    {"self", Kind::PositionalOrKeyword, Default::Required, Check::None, nullptr},
    {"level", Kind::PositionalOrKeyword, Default::Required, Check::Int, "int"},
};
const FunctionSpec log_base_init_spec = {
    "__init__", "_LogBase.__init__", "log_main._LogBase.__init__", "_LogBase.__init__(self)", nullptr,
    self_only, 1, init_body, 120,
};
const FunctionSpec disable_spec = {
    "disable", "_LogBase.disable", "log_main._LogBase.disable", "_LogBase.disable(self) -> None", "None",
    self_only, 1, disable_body, 200,
};
const FunctionSpec enable_spec = {
    "enable", "_LogBase.enable", "log_main._LogBase.enable",
    "_LogBase.enable(self, value: logging.Logger) -> None", "None", enable_params, 2, enable_body, 204,
};
const FunctionSpec set_console_level_spec = {
    "set_console_level", "_LogBase.set_console_level", "log_main._LogBase.set_console_level",
    "_LogBase.set_console_level(self, int level: int) -> None", "None", level_setter_params, 2,
    set_console_level_body, 230,
};
const FunctionSpec set_file_level_spec = {
    "set_file_level", "_LogBase.set_file_level", "log_main._LogBase.set_file_level",
    "_LogBase.set_file_level(self, int level: int) -> None", "None", level_setter_params, 2,
    set_file_level_body, 235,
};

}  // namespace log_main
