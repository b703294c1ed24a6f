// OsprelLog(...): the entry point. Under the module lock it sends a name the
// logging manager knows to _GetLogger, and any other to _SetLogger, which it
// registers as layer 1 of the name.
#include "logger/logging_lookup.hpp"
#include "module/callables.hpp"
#include "module/with_lock.hpp"

namespace log_main {

static PyObject* build_logger_object(PyObject* name, PyObject* const* a) {
    PyObject* level = a[2];
    PyObject* file = a[3];
    PyObject* handler_type = a[4];
    PyObject* console = a[5];
    PyObject* rehandler = a[6];
    PyObject* options = a[7];

    Ref known = logger_dict();
    if (!known) return nullptr;
    int present = PySequence_Contains(known.get(), name);
    if (present < 0) return nullptr;
    if (present) {
        Ref capture_class = global(S._GetLogger);
        if (!capture_class) return nullptr;
        PyObject* args[] = {name, level, file, handler_type, console, rehandler};
        return PyObject_VectorcallDict(capture_class.get(), args, 6, options);
    }
    Ref setup_class = global(S._SetLogger);
    if (!setup_class) return nullptr;
    PyObject* args[] = {name, level, file, handler_type, console};
    Ref instance = Ref::steal(PyObject_VectorcallDict(setup_class.get(), args, 5, options));
    if (!instance) return nullptr;

    // _LOGGERS.update({name: {1: instance}}); return _LOGGERS[name][1]
    Ref layers = Ref::steal(PyDict_New());
    Ref entry = Ref::steal(PyDict_New());
    if (!layers || !entry || PyDict_SetItem(layers.get(), M.int_1, instance.get()) < 0 ||
        PyDict_SetItem(entry.get(), name, layers.get()) < 0)
        return nullptr;
    if (!call_method(global(S._LOGGERS), S.update, {entry.get()})) return nullptr;
    return get_item(get_item(global(S._LOGGERS), name), M.int_1).release();
}

static PyObject* factory_body(Function*, PyObject* const* a) {
    PyObject* name = a[1];
    if (name == Py_None || PyUnicode_GET_LENGTH(name) == 0) name = S.root;
    return with_module_lock([&] { return build_logger_object(name, a); });
}

static const Param factory_params[] = {
    {"cls", Kind::PositionalOrKeyword, Default::Required, Check::None, nullptr},
    {"name", Kind::PositionalOrKeyword, Default::Required, Check::StrOrNone, "Optional[str]"},
    {"level", Kind::PositionalOrKeyword, Default::LoggingDebug, Check::Int, "int"},
    {"file", Kind::PositionalOrKeyword, Default::None, Check::StrOrNone, "Optional[str]"},
    {"handler_type", Kind::PositionalOrKeyword, Default::FileKind, Check::Str, "str"},
    {"console", Kind::PositionalOrKeyword, Default::True, Check::None, "bool"},
    {"rehandler", Kind::PositionalOrKeyword, Default::False, Check::None, "bool"},
    {"kwargs", Kind::VarKeyword, Default::Required, Check::None, nullptr},
};

const FunctionSpec factory_new_spec = {
    .name = "__new__",
    .qualname = "OsprelLog.__new__",
    .traceback_name = "log_main.OsprelLog.__new__",
    .doc = "OsprelLog.__new__(cls, unicode name: Optional[str], int level: int = logging.DEBUG, unicode file: "
           "Optional[str] = None, unicode handler_type: str = u'file', console: bool = True, rehandler: bool = "
           "False, **kwargs) -> '_LogBase'",
    .return_annotation = "'_LogBase'",
    .params = factory_params,
    .body = factory_body,
    .line = 300,
};

}  // namespace log_main
