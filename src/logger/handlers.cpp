// Handler construction: the name filter _ContextFilter, the coloured console
// handler and the three kinds of file handler, with the namer that moves the
// ".log" suffix behind the date of a time-rotated file.
#include "module/callables.hpp"
#include "module/globals.hpp"

namespace log_main {

// ---------------------------------------------------------------------------
// _ContextFilter

static PyObject* filter_init_body(Function* f, PyObject* const* a) {
    PyObject* self = a[0];
    Ref parent = super_of(f, self);
    if (!parent || !call_method(parent.get(), S.__init__, {})) return nullptr;
    if (set_attr(self, S._logger_name, a[1]) < 0) return nullptr;
    Py_RETURN_NONE;
}

// Stamps the record with the object's name. The filter runs on each of the
// module's handlers just before that handler formats the record, so it is also
// where a traceback text that another handler cached on the record with colour
// codes in it (colorlog 6.10 and later colour tracebacks) is dropped: each
// handler then renders the traceback itself, coloured on the console and plain
// in the file. A plain cached text, or none, is left as it is.
static PyObject* filter_body(Function*, PyObject* const* a) {
    Ref name = get_attr(a[0], S._logger_name);
    if (!name || set_attr(a[1], S.name, name.get()) < 0) return nullptr;
    Ref text;
    int found = PyObject_GetOptionalAttr(a[1], S.exc_text, text.out());
    if (found < 0) return nullptr;
    if (found && PyUnicode_Check(text.get())) {
        Py_ssize_t at = PyUnicode_FindChar(text.get(), 0x1b, 0, PyUnicode_GET_LENGTH(text.get()), 1);
        if (at == -2 || (at >= 0 && set_attr(a[1], S.exc_text, Py_None) < 0)) return nullptr;
    }
    Py_RETURN_TRUE;
}

// ---------------------------------------------------------------------------
// Console handler

// self.<handler_attr>.<method>(self.<value_attr>)
static int handler_call_attr(PyObject* self, PyObject* handler_attr, PyObject* method, PyObject* value_attr) {
    Ref bound = get_attr(get_attr(self, handler_attr), method);
    if (!bound) return -1;
    return call(bound, {get_attr(self, value_attr).get()}) ? 0 : -1;
}

// self._logger.addHandler(self.<handler_attr>), then its filter.
static int attach(PyObject* self, PyObject* handler_attr) {
    if (handler_call_attr(self, handler_attr, S.addFilter, S._handler_filter) < 0) return -1;
    return handler_call_attr(self, S._logger, S.addHandler, handler_attr);
}

// self.<handler_attr>.setFormatter(<module>.<cls>(fmt=<fmt>[, log_colors=<colors>])),
// every name a module global read at this use.
static int set_formatter(PyObject* self, PyObject* handler_attr, PyObject* module, PyObject* cls, PyObject* fmt_name,
                         PyObject* colors_name) {
    Ref setter = get_attr(get_attr(self, handler_attr), S.setFormatter);
    if (!setter) return -1;
    Ref formatter_class = global_attr(module, cls);
    if (!formatter_class) return -1;
    Ref fmt = global(fmt_name);
    if (!fmt) return -1;
    Ref colors = colors_name ? global(colors_name) : Ref();
    if (colors_name && !colors) return -1;
    PyObject* fargs[] = {fmt.get(), colors.get()};
    Ref formatter =
        Ref::steal(PyObject_Vectorcall(formatter_class.get(), fargs, 0, colors_name ? M.kw_fmt_log_colors : M.kw_fmt));
    return call(setter, {formatter.get()}) ? 0 : -1;
}

static int truth_of(PyObject* self, PyObject* attr) {
    Ref value = get_attr(self, attr);
    return value ? PyObject_IsTrue(value.get()) : -1;
}

static PyObject* console_handler_body(Function*, PyObject* const* a) {
    PyObject* self = a[0];
    int wanted = truth_of(self, S.console);
    if (wanted <= 0) return wanted < 0 ? nullptr : Py_NewRef(Py_None);

    Ref handler = call(global_attr(S.colorlog, S.StreamHandler), {});
    if (!handler || set_attr(self, S._console_handler, handler.get()) < 0) return nullptr;
    if (handler_call_attr(self, S._console_handler, S.setLevel, S.console_level) < 0) return nullptr;

    // colorlog.ColoredFormatter(fmt=_cformatter, log_colors=_colors)
    if (set_formatter(self, S._console_handler, S.colorlog, S.ColoredFormatter, S._cformatter, S._colors) < 0)
        return nullptr;

    if (attach(self, S._console_handler) < 0) return nullptr;
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// File handler

// options[key] = self.kwargs.get(key, fallback), self.kwargs read afresh.
static int take_option(PyObject* self, PyObject* options, PyObject* key, PyObject* fallback) {
    Ref value = call_method(get_attr(self, S.kwargs), S.get, {key, fallback});
    return value ? PyDict_SetItem(options, key, value.get()) : -1;
}

// Is self.handler_type == kind? The attribute is read for each test.
static int kind_is(PyObject* self, PyObject* kind) {
    Ref value = get_attr(self, S.handler_type);
    if (!value) return -1;
    Ref eq = Ref::steal(PyObject_RichCompare(value.get(), kind, Py_EQ));
    return eq ? PyObject_IsTrue(eq.get()) : -1;
}

static Py_NO_INLINE int unknown_kind(PyObject* self) {
    Ref kind = get_attr(self, S.handler_type);
    if (!kind) return -1;
    Ref shown = PyUnicode_CheckExact(kind.get()) ? std::move(kind) : Ref::steal(PyObject_Format(kind.get(), S.empty));
    if (!shown) return -1;
    Ref text = concat_text({shown.get(), " 不是有效的处理器类型，可选值 [file, rotating, timerotating]"});
    if (text) raise_value_error(text.get());
    return -1;
}

// Builds the file handler of self.handler_type and stores it in _file_handler.
static int make_file_handler(PyObject* self, PyObject* options) {
    Ref handler_class;
    int is;
    if ((is = kind_is(self, S.file_kind)) < 0) return -1;
    if (is) {
        if (take_option(self, options, S.mode, S.mode_a) < 0) return -1;
        handler_class = global_attr(S.logging, S.FileHandler);
    } else {
        if ((is = kind_is(self, S.rotating)) < 0) return -1;
        if (is) {
            if (take_option(self, options, S.mode, S.mode_a) < 0 ||
                take_option(self, options, S.maxBytes, M.int_104857600) < 0 ||
                take_option(self, options, S.backupCount, M.int_100) < 0)
                return -1;
            handler_class = global(S.RotatingFileHandler);
        } else {
            if ((is = kind_is(self, S.timerotating)) < 0) return -1;
            if (!is) return unknown_kind(self);
            if (take_option(self, options, S.when, S.midnight) < 0 ||
                take_option(self, options, S.interval, M.int_1) < 0 ||
                take_option(self, options, S.backupCount, M.int_365) < 0)
                return -1;
            Ref handler = call_with_options(global(S.TimedRotatingFileHandler), options);
            if (!handler || set_attr(self, S._file_handler, handler.get()) < 0) return -1;
            // A new namer for each handler.
            Ref namer = make_function(&namer_spec, false);
            if (!namer) return -1;
            Ref stored = get_attr(self, S._file_handler);
            return stored ? set_attr(stored.get(), S.namer, namer.get()) : -1;
        }
    }
    Ref handler = call_with_options(handler_class, options);
    if (!handler) return -1;
    return set_attr(self, S._file_handler, handler.get());
}

static PyObject* file_handler_body(Function*, PyObject* const* a) {
    PyObject* self = a[0];
    int wanted = truth_of(self, S.file);
    if (wanted <= 0) return wanted < 0 ? nullptr : Py_NewRef(Py_None);

    // os.makedirs(os.path.dirname(self.file), exist_ok=True)
    {
        Ref makedirs = global_attr(S.os, S.makedirs);
        if (!makedirs) return nullptr;
        Ref dirname = get_attr(global_attr(S.os, S.path), S.dirname);
        if (!dirname) return nullptr;
        Ref directory = call(dirname, {get_attr(self, S.file).get()});
        if (!directory) return nullptr;
        PyObject* margs[] = {directory.get(), Py_True};
        if (!Ref::steal(PyObject_Vectorcall(makedirs.get(), margs, 1, M.kw_exist_ok))) return nullptr;
    }

    Ref options = Ref::steal(PyDict_New());
    if (!options) return nullptr;
    {
        Ref file = get_attr(self, S.file);
        if (!file || PyDict_SetItem(options.get(), S.filename, file.get()) < 0) return nullptr;
    }
    if (take_option(self, options.get(), S.encoding, S.utf_8) < 0) return nullptr;
    if (make_file_handler(self, options.get()) < 0) return nullptr;

    if (handler_call_attr(self, S._file_handler, S.setLevel, S.file_level) < 0) return nullptr;
    // logging.Formatter(fmt=_fformatter)
    if (set_formatter(self, S._file_handler, S.logging, S.Formatter, S._fformatter, nullptr) < 0) return nullptr;
    if (attach(self, S._file_handler) < 0) return nullptr;

    // _FHANDLERS.update({self.file: self.handler_type}), the last step.
    Ref update = global_attr(S._FHANDLERS, S.update);
    if (!update) return nullptr;
    Ref file = get_attr(self, S.file);
    if (!file) return nullptr;
    Ref kind = get_attr(self, S.handler_type);
    if (!kind) return nullptr;
    Ref entry = Ref::steal(PyDict_New());
    if (!entry || PyDict_SetItem(entry.get(), file.get(), kind.get()) < 0) return nullptr;
    if (!call(update, {entry.get()})) return nullptr;
    Py_RETURN_NONE;
}

// The namer of time-rotated files: "app.log.2024-05-01" -> "app.2024-05-01.log".
// Only the file name is rewritten; a directory whose name holds ".log" stays.
static PyObject* namer_body(Function*, PyObject* const* a) {
    Ref os_path = global_attr(S.os, S.path);
    Ref directory = call_method(os_path, S.dirname, {a[0]});
    if (!directory) return nullptr;
    Ref stripped = call_method(call_method(os_path, S.basename, {a[0]}), S.replace, {S.dot_log, S.empty});
    if (!stripped) return nullptr;
    Ref renamed = Ref::steal(PyNumber_Add(stripped.get(), S.dot_log));
    return call_method(os_path, S.join, {directory.get(), renamed.get()}).release();
}

// ---------------------------------------------------------------------------
// Tables

static const Param filter_init_params[] = {
    kSelf,
    {"logger_name", Kind::PositionalOrKeyword, Default::Required, Check::Str, "str"},
};
static const Param filter_params[] = {
    kSelf,
    {"record", Kind::PositionalOrKeyword, Default::Required, Check::None, "logging.LogRecord"},
};
static const Param namer_params[] = {
    {"name", Kind::PositionalOrKeyword, Default::Required, Check::None, nullptr},
};

const FunctionSpec context_filter_init_spec = {
    .name = "__init__",
    .qualname = "_ContextFilter.__init__",
    .traceback_name = "log_main._ContextFilter.__init__",
    .doc = "_ContextFilter.__init__(self, unicode logger_name: str)",
    .params = filter_init_params,
    .body = filter_init_body,
    .line = 60,
};
const FunctionSpec context_filter_filter_spec = {
    .name = "filter",
    .qualname = "_ContextFilter.filter",
    .traceback_name = "log_main._ContextFilter.filter",
    .doc = "_ContextFilter.filter(self, record: logging.LogRecord) -> bool",
    .return_annotation = "bool",
    .params = filter_params,
    .body = filter_body,
    .line = 64,
};
const FunctionSpec create_console_handler_spec = {
    .name = "_create_console_handler",
    .qualname = "_LogBase._create_console_handler",
    .traceback_name = "log_main._LogBase._create_console_handler",
    .doc = "_LogBase._create_console_handler(self) -> None",
    .return_annotation = "None",
    .params = kSelfOnly,
    .body = console_handler_body,
    .line = 134,
};
const FunctionSpec create_file_handler_spec = {
    .name = "_create_file_handler",
    .qualname = "_LogBase._create_file_handler",
    .traceback_name = "log_main._LogBase._create_file_handler",
    .doc = "_LogBase._create_file_handler(self) -> None",
    .return_annotation = "None",
    .params = kSelfOnly,
    .body = file_handler_body,
    .line = 146,
};
const FunctionSpec namer_spec = {
    .name = "lambda",
    .qualname = "_LogBase._create_file_handler.<locals>.<lambda>",
    .traceback_name = "log_main._LogBase._create_file_handler.lambda",
    .params = namer_params,
    .body = namer_body,
    .line = 180,
};

}  // namespace log_main
