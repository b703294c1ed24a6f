// _SetLogger: sets up a logger the logging manager does not know yet, after
// checking that the name is free and that no other handler kind claims the
// log file.
#include "acquisition/construction.hpp"
#include "logger/logging_lookup.hpp"
#include "module/callables.hpp"

namespace log_main {

// The ValueError of a log file registered under another handler kind.
static Py_NO_INLINE int file_conflict_error(PyObject* file, PyObject* registered, PyObject* handler_type) {
    Ref shown_file = Ref::steal(PyObject_Str(file));
    Ref shown = Ref::steal(PyObject_Str(registered));
    if (!shown_file || !shown) return -1;
    Ref text = concat_text({"处理器冲突：日志文件 ", shown_file.get(), " 新增处理器类型 ", handler_type,
                            " 与已有处理器类型 ", shown.get(), " 冲突"});
    if (text) raise_value_error(text.get());
    return -1;
}

// ValueError when the file is registered under another handler kind. The
// registry holds normalised absolute paths, so the file is looked up by that
// form; the message shows the file as the caller wrote it.
static int check_file_conflict(PyObject* file, PyObject* key, PyObject* handler_type) {
    Ref registered = call_method(global(S._FHANDLERS), S.get, {key});
    if (!registered) return -1;
    int truth = PyObject_IsTrue(registered.get());
    if (truth <= 0) return truth;
    int differs = PyObject_RichCompareBool(handler_type, registered.get(), Py_NE);
    if (differs <= 0) return differs;
    return file_conflict_error(file, registered.get(), handler_type);
}

static PyObject* set_logger_init_body(Function* f, PyObject* const* a) {
    PyObject* self = a[0];
    PyObject* name = a[1];
    PyObject* level = a[2];
    PyObject* file = a[3];
    PyObject* handler_type = a[4];
    PyObject* console = a[5];
    PyObject* options = a[6];

    Ref parent = super_of(f, self);
    if (!parent || !call_method(parent.get(), S.__init__, {})) return nullptr;

    Ref known = logger_dict();
    if (!known) return nullptr;
    int present = PySequence_Contains(known.get(), name);
    if (present < 0) return nullptr;
    if (present) {
        Ref text = concat_text({name, " 已存在"});
        if (text) raise_value_error(text.get());
        return nullptr;
    }

    Ref path = normalised_file(file);
    if (!path) return nullptr;
    if (check_file_conflict(file, path.get() == Py_None ? file : path.get(), handler_type) < 0) return nullptr;

    int has_file = PyObject_IsTrue(file);
    if (has_file < 0) return nullptr;
    if (set_attrs(self, {{S.name, name},
                         {S.file, path.get()},
                         {S.handler_type, handler_type},
                         {S.file_level, level},
                         {S.console, has_file ? console : Py_True},
                         {S.console_level, level},
                         {S.kwargs, options}}) < 0)
        return nullptr;
    if (call_self(self, S._setup_logger) < 0) return nullptr;
    Py_RETURN_NONE;
}

static PyObject* setup_logger_body(Function*, PyObject* const* a) {
    PyObject* self = a[0];
    Ref logger = logger_of(self);
    if (!logger || set_attr(self, S._logger, logger.get()) < 0) return nullptr;
    if (prepare_logger(self) < 0) return nullptr;
    Py_RETURN_NONE;
}

static const Param init_params[] = {
    kSelf,
    {"name", Kind::PositionalOrKeyword, Default::Required, Check::Str, "str"},
    {"level", Kind::PositionalOrKeyword, Default::LoggingDebug, Check::Int, "int"},
    {"file", Kind::PositionalOrKeyword, Default::None, Check::StrOrNone, "Optional[str]"},
    {"handler_type", Kind::PositionalOrKeyword, Default::FileKind, Check::Str, "str"},
    {"console", Kind::PositionalOrKeyword, Default::True, Check::None, "bool"},
    {"kwargs", Kind::VarKeyword, Default::Required, Check::None, nullptr},
};

const FunctionSpec set_logger_init_spec = {
    .name = "__init__",
    .qualname = "_SetLogger.__init__",
    .traceback_name = "log_main._SetLogger.__init__",
    .doc = "_SetLogger.__init__(self, unicode name: str, int level: int = logging.DEBUG, unicode file: "
           "Optional[str] = None, unicode handler_type: str = u'file', console: bool = True, **kwargs) -> None",
    .return_annotation = "None",
    .params = init_params,
    .body = set_logger_init_body,
    .line = 330,
};
const FunctionSpec setup_logger_spec = {
    .name = "_setup_logger",
    .qualname = "_SetLogger._setup_logger",
    .traceback_name = "log_main._SetLogger._setup_logger",
    .doc = "_SetLogger._setup_logger(self)",
    .params = kSelfOnly,
    .body = setup_logger_body,
    .line = 360,
};

}  // namespace log_main
