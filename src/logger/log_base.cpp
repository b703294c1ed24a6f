// _LogBase: the state of a logger object, emission through _log and the five
// level methods, the level setters, disable and enable.
//
// Hot path, obj.info("started", 3): the level method is entered by vectorcall
// with self and the parts (no bound method, no message tuple); it reads
// logging.INFO, finds self._log through the instance and, when that is this
// module's own _log, runs its body on the parts in place. Anything else found
// there (a subclass override) is called with the message tuple as usual.
#include <cstring>

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
// Emission

// Writes the decimal digits of v at the end of buf; returns the first digit.
static char* format_decimal(long long v, char* end) {
    unsigned long long u = v < 0 ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
    char* p = end;
    do {
        *--p = static_cast<char>('0' + u % 10);
        u /= 10;
    } while (u);
    if (v < 0) *--p = '-';
    return p;
}

// The common case joined straight into the result, with no str() objects and
// no tuple: parts that are exact str of one-byte kind, exact int of machine
// size, None, True, False or exact float (whose text is made by float's own
// str, C code). Returns an empty Ref without an exception when a part does
// not qualify.
static Ref join_simple_parts(PyObject* const* parts, Py_ssize_t nparts) {
    constexpr Py_ssize_t kMaxFast = 16;
    if (nparts > kMaxFast) return Ref();
    char digits[kMaxFast][24];
    Ref floats[kMaxFast];
    const char* text[kMaxFast];
    Py_ssize_t length[kMaxFast];
    Py_ssize_t total = nparts - 1;
    Py_UCS4 maxchar = 0x7f;
    for (Py_ssize_t i = 0; i < nparts; ++i) {
        PyObject* part = parts[i];
        PyObject* as_text = part;
        if (PyLong_CheckExact(part)) {
            int overflow = 0;
            long long v = PyLong_AsLongLongAndOverflow(part, &overflow);
            if (overflow) return Ref();
            char* end = digits[i] + sizeof digits[i];
            text[i] = format_decimal(v, end);
            length[i] = end - text[i];
            total += length[i];
            continue;
        }
        if (part == Py_None || part == Py_True || part == Py_False) {
            const char* word = part == Py_None ? "None" : part == Py_True ? "True" : "False";
            text[i] = word;
            length[i] = static_cast<Py_ssize_t>(strlen(word));
            total += length[i];
            continue;
        }
        if (PyFloat_CheckExact(part)) {
            floats[i] = Ref::steal(PyObject_Str(part));
            if (!floats[i]) return Ref();
            as_text = floats[i].get();
        } else if (!PyUnicode_CheckExact(part)) {
            return Ref();
        }
        if (PyUnicode_KIND(as_text) != PyUnicode_1BYTE_KIND) return Ref();
        text[i] = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(as_text));
        length[i] = PyUnicode_GET_LENGTH(as_text);
        if (PyUnicode_MAX_CHAR_VALUE(as_text) > maxchar) maxchar = 0xff;
        total += length[i];
    }
    PyObject* joined = PyUnicode_New(total, maxchar);
    if (!joined) return Ref();
    char* out = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(joined));
    for (Py_ssize_t i = 0; i < nparts; ++i) {
        if (i) *out++ = ' ';
        memcpy(out, text[i], static_cast<size_t>(length[i]));
        out += length[i];
    }
    return Ref::steal(joined);
}

// The parts joined by single spaces, each turned into text by str(); a lone
// exact str is used as it is.
static Ref join_parts(PyObject* const* parts, Py_ssize_t nparts) {
    if (nparts == 0) return Ref::borrow(S.empty);
    if (nparts == 1 && PyUnicode_CheckExact(parts[0])) return Ref::borrow(parts[0]);
    Ref joined = join_simple_parts(parts, nparts);
    if (joined || PyErr_Occurred()) return joined;
    if (nparts == 1) {
        // As a join of one item: the text of a str subclass comes out as an exact str.
        Ref text = Ref::steal(PyObject_Str(parts[0]));
        return !text || PyUnicode_CheckExact(text.get()) ? std::move(text) : Ref::steal(PyUnicode_FromObject(text.get()));
    }
    Ref texts = Ref::steal(PyTuple_New(nparts));
    if (!texts) return Ref();
    for (Py_ssize_t i = 0; i < nparts; ++i) {
        PyObject* text = PyObject_Str(parts[i]);
        if (!text) return Ref();
        PyTuple_SET_ITEM(texts.get(), i, text);
    }
    return Ref::steal(PyUnicode_Join(S.space, texts.get()));
}

// ---------------------------------------------------------------------------
// Attribute reads on the hot path
//
// `self._logger` and `self._log` are read as Python reads them. For a class
// whose attribute lookup is the generic one, what the class contributes is
// fixed until the class or a base changes, which changes its version tag; so
// the class part of the lookup is done once per (class, version) and only the
// instance dictionary is consulted per call.

struct ClassLookup {
    PyTypeObject* type = nullptr;
    unsigned int version = 0;
    PyObject* found = nullptr;  // borrowed from the class dict while the version holds

    bool hit(PyTypeObject* tp) const { return tp == type && version != 0 && tp->tp_version_tag == version; }

    // Records the class-level lookup of `name` on tp; returns what was found.
    PyObject* learn(PyTypeObject* tp, PyObject* name) {
        type = nullptr;
        if (tp->tp_getattro != PyObject_GenericGetAttr || !PyUnstable_Type_AssignVersionTag(tp)) return nullptr;
        const unsigned int before = tp->tp_version_tag;
        PyObject* descr = _PyType_Lookup(tp, name);
        if (tp->tp_version_tag != before) return nullptr;
        type = tp;
        version = before;
        found = descr;
        return descr;
    }
};

// The instance's own value for name: 1 found (new reference), 0 absent, -1 error,
// -2 when the instance has no dictionary to look in.
static int instance_value(PyObject* self, PyObject* name, PyObject** value) {
    PyObject** dictptr = _PyObject_GetDictPtr(self);
    if (!dictptr) return -2;
    if (!*dictptr) return 0;
    return PyDict_GetItemRef(*dictptr, name, value);
}

// self.<name> for an attribute the class does not define (like _logger).
static Ref read_instance_attr(PyObject* self, PyObject* name, ClassLookup& cache) {
    PyTypeObject* tp = Py_TYPE(self);
    if (cache.hit(tp) || (cache.learn(tp, name) == nullptr && cache.hit(tp))) {
        if (!cache.found) {
            PyObject* value = nullptr;
            int rc = instance_value(self, name, &value);
            if (rc > 0) return Ref::steal(value);
            if (rc == -1) return Ref();
        }
    }
    return Ref::steal(PyObject_GetAttr(self, name));
}



static ClassLookup logger_lookup;

// The keyword names of an options dict, as a tuple. Callers tend to pass the
// same option names call after call, so the last tuple is reused when the
// names are the same objects in the same order.
static Ref option_names(PyObject* kwargs, Py_ssize_t nkw) {
    static PyObject* last = nullptr;
    if (last && PyTuple_GET_SIZE(last) == nkw) {
        Py_ssize_t pos = 0, k = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value) && PyTuple_GET_ITEM(last, k) == key) ++k;
        if (k == nkw) return Ref::borrow(last);
    }
    Ref names = Ref::steal(PyTuple_New(nkw));
    if (!names) return Ref();
    Py_ssize_t pos = 0, k = 0;
    PyObject *key, *value;
    while (k < nkw && PyDict_Next(kwargs, &pos, &key, &value)) PyTuple_SET_ITEM(names.get(), k++, Py_NewRef(key));
    Py_XSETREF(last, Py_NewRef(names.get()));
    return names;
}

// self._logger.log(level, text, *args, **kwargs)
static Ref call_log(PyObject* logger, PyObject* level, PyObject* text, PyObject* args, PyObject* kwargs) {
    const Py_ssize_t nextra = args == Py_None ? 0 : PyTuple_GET_SIZE(args);
    const Py_ssize_t total = 1 + 3 + nextra;  // offset slot, logger, level, text, args...
    PyObject* small[16];
    struct HeapStack {
        PyObject** p = nullptr;
        ~HeapStack() { PyMem_Free(p); }
    } heap;
    PyObject** stack = small;
    if (total > 16) {
        if (!(heap.p = static_cast<PyObject**>(PyMem_Malloc(static_cast<size_t>(total) * sizeof(PyObject*)))))
            return Ref::steal(PyErr_NoMemory());
        stack = heap.p;
    }
    PyObject** argv = stack + 1;
    argv[0] = logger;
    argv[1] = level;
    argv[2] = text;
    for (Py_ssize_t i = 0; i < nextra; ++i) argv[3 + i] = PyTuple_GET_ITEM(args, i);
    const size_t nargs = static_cast<size_t>(3 + nextra);
    if (kwargs == Py_None)
        return Ref::steal(PyObject_VectorcallMethod(S.log, argv, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));

    // As `log(..., **kwargs)` does: the method is looked up first, then the
    // options are unpacked, into references of our own (the lookup or the
    // call may change the caller's dict).
    PyObject* found = nullptr;
    const int unbound = _PyObject_GetMethod(logger, S.log, &found);
    if (!found) return Ref();
    Ref method = Ref::steal(found);
    const Py_ssize_t nkw = PyDict_GET_SIZE(kwargs);
    constexpr size_t kSmall = 16;
    PyObject* small_values[kSmall];
    const size_t needed = nargs + static_cast<size_t>(nkw) + 1;
    PyObject** values = needed <= kSmall ? small_values
                                         : static_cast<PyObject**>(PyMem_Malloc(needed * sizeof(PyObject*)));
    if (!values) return Ref::steal(PyErr_NoMemory());
    PyObject** call_args = values + 1;
    size_t call_nargs = 0;
    for (size_t i = unbound ? 0 : 1; i < nargs; ++i) call_args[call_nargs++] = Py_NewRef(argv[i]);
    Py_ssize_t pos = 0, k = 0;
    PyObject *key, *value;
    bool keys_are_strings = true;
    while (k < nkw && PyDict_Next(kwargs, &pos, &key, &value)) {
        keys_are_strings = keys_are_strings && PyUnicode_Check(key);
        call_args[call_nargs + k++] = Py_NewRef(value);
    }
    Ref kwnames = keys_are_strings && k == nkw ? option_names(kwargs, nkw) : Ref();
    Ref result;
    if (kwnames)
        result = Ref::steal(PyObject_Vectorcall(found, call_args, call_nargs | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                kwnames.get()));
    else if (!PyErr_Occurred())
        PyErr_SetString(PyExc_TypeError, "keywords must be strings");
    for (size_t i = 0; i < call_nargs + static_cast<size_t>(k); ++i) Py_DECREF(call_args[i]);
    if (values != small_values) PyMem_Free(values);
    return result;
}

static PyObject* emit(PyObject* self, PyObject* level, PyObject* const* parts, Py_ssize_t nparts, PyObject* args,
               PyObject* kwargs) {
    Ref logger = read_instance_attr(self, S._logger, logger_lookup);
    if (!logger) return nullptr;
    int live = PyObject_IsTrue(logger.get());
    if (live <= 0) return live < 0 ? nullptr : Py_NewRef(Py_None);

    // Building and emitting never raise an Exception to the caller; the
    // caller's handled exception is untouched because nothing is handled here.
    Ref text = join_parts(parts, nparts);
    Ref result;
    if (text) {
        logger = read_instance_attr(self, S._logger, logger_lookup);  // read again for the call
        if (logger) result = call_log(logger.get(), level, text.get(), args, kwargs);
    }
    if (!result && swallow_exception() < 0) return nullptr;
    Py_RETURN_NONE;
}

static PyObject* log_body(Function*, PyObject* const* a) {
    PyObject* message = a[2];
    return emit(a[0], a[1], &PyTuple_GET_ITEM(message, 0), PyTuple_GET_SIZE(message), a[3], a[4]);
}

// self._log through the instance, as generic attribute lookup finds it, for
// a class whose `_log` is this module's function (a non-data descriptor): the
// instance's own `_log` if it has one, else the function, unbound. Returns 1
// with *found set, 0 when the shortcut does not apply, -1 on error.
static ClassLookup log_lookup;

static int find_log_method(PyObject* self, PyObject** found, int* unbound) {
    PyTypeObject* tp = Py_TYPE(self);
    if (!log_lookup.hit(tp) && !(log_lookup.learn(tp, S._log), log_lookup.hit(tp))) return 0;
    if (!log_lookup.found || !is_function_of(log_lookup.found, &log_spec)) return 0;
    PyObject* own = nullptr;
    int rc = instance_value(self, S._log, &own);
    if (rc == -2) return 0;
    if (rc < 0) return -1;
    *unbound = rc == 0;
    *found = rc ? own : Py_NewRef(log_lookup.found);
    return 1;
}

// The shared body of debug/info/warning/error/critical. `message` is the
// collected tuple when the caller already has one, else null (the parts are
// then parts[0..nparts)).
static PyObject* level_call(PyObject* level_name, AttrCache& cache, PyObject* self, PyObject* const* parts, Py_ssize_t nparts,
                            PyObject* message, PyObject* args, PyObject* kwargs) {
    // As in `self._log(logging.INFO, ...)`: the callable first, then the level.
    PyObject* found = nullptr;
    int unbound = 0;
    const int shortcut = find_log_method(self, &found, &unbound);
    if (shortcut < 0) return nullptr;
    if (shortcut == 0) {
        unbound = _PyObject_GetMethod(self, S._log, &found);
        if (!found) return nullptr;
    }
    Ref method = Ref::steal(found);
    Ref level = logging_level(level_name, cache);
    if (!level) return nullptr;

    if (unbound && is_function_of(found, &log_spec)) {
        // Our own _log: its checks on the values we pass, then its body in place.
        Function* log_fn = reinterpret_cast<Function*>(found);
        if (!PyLong_CheckExact(level.get())) {
            // The level constant is the one value _log's checks could refuse here.
            PyObject* bound[5] = {self, level.get(), message ? message : M.empty_tuple, args, kwargs};
            if (check_types(log_fn, bound) < 0) return nullptr;
        }
        PyObject* result = emit(self, level.get(), parts, nparts, args, kwargs);
        if (!result) add_traceback(log_fn);
        return result;
    }

    Ref owned_message;
    if (!message) {
        owned_message = Ref::steal(tuple_from_array(parts, nparts));
        if (!owned_message) return nullptr;
        message = owned_message.get();
    }
    PyObject* stack[6] = {nullptr, self, level.get(), message, args, kwargs};
    Ref result = unbound ? Ref::steal(PyObject_Vectorcall(found, stack + 1, 5 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr))
                         : Ref::steal(PyObject_Vectorcall(found, stack + 2, 4 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!result) return nullptr;
    Py_RETURN_NONE;
}

template <PyObject* Names::*LevelName>
AttrCache level_cache;

template <PyObject* Names::*LevelName>
static PyObject* level_body(Function*, PyObject* const* a) {
    PyObject* message = a[1];
    return level_call(S.*LevelName, level_cache<LevelName>, a[0], &PyTuple_GET_ITEM(message, 0), PyTuple_GET_SIZE(message), message, a[2],
                      a[3]);
}

// The keywords `args=` and `kwargs=` of a level method, when they are all
// there is and pass their checks; anything else is left to the binder.
static bool take_options(PyObject* kwnames, PyObject* const* values, PyObject* options[2]) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    if (nkw > 2) return false;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        PyObject* value = values[k];
        if (key == S.args && options[0] == Py_None && (value == Py_None || PyTuple_CheckExact(value)))
            options[0] = value;
        else if (key == S.kwargs && options[1] == Py_None && (value == Py_None || PyDict_CheckExact(value)))
            options[1] = value;
        else
            return false;
    }
    return true;
}

// Entry of the level methods: the common calls, self plus positional parts
// and at most the two options by keyword, skip the binder and the message
// tuple; every other call goes through them.
template <PyObject* Names::*LevelName>
static PyObject* level_entry(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* options[2] = {Py_None, Py_None};  // args, kwargs
    if (nargs == 0 || (kwnames && !take_options(kwnames, args + nargs, options)))
        return function_vectorcall(callable, args, nargsf, kwnames);
    PyObject* result = level_call(S.*LevelName, level_cache<LevelName>, args[0], args + 1, nargs - 1, nullptr,
                                  options[0], options[1]);
    if (!result) add_traceback(reinterpret_cast<Function*>(callable));
    return result;
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
static const Param log_params[] = {
    {"self", Kind::PositionalOrKeyword, Default::Required, Check::None, nullptr},
    {"level", Kind::PositionalOrKeyword, Default::Required, Check::Int, "int"},
    {"message", Kind::PositionalOrKeyword, Default::Required, Check::Tuple, "Tuple[Any, ...]"},
    {"args", Kind::PositionalOrKeyword, Default::None, Check::TupleOrNone, "Optional[Tuple[Any, ...]]"},
    {"kwargs", Kind::PositionalOrKeyword, Default::None, Check::DictOrNone, "Optional[Dict[str, Any]]"},
};
static const Param level_params[] = {
    {"self", Kind::PositionalOrKeyword, Default::Required, Check::None, nullptr},
    {"message", Kind::VarPositional, Default::Required, Check::None, "Any"},
    {"args", Kind::KeywordOnly, Default::None, Check::TupleOrNone, "Optional[Tuple[Any, ...]]"},
    {"kwargs", Kind::KeywordOnly, Default::None, Check::DictOrNone, "Optional[Dict[str, Any]]"},
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
const FunctionSpec log_spec = {
    "_log", "_LogBase._log", "log_main._LogBase._log",
    "_LogBase._log(self, int level: int, tuple message: Tuple[Any, ...], tuple args: Optional[Tuple[Any, ...]] = "
    "None, dict kwargs: Optional[Dict[str, Any]] = None) -> None",
    "None", log_params, 5, log_body, 240,
};

#define LOG_MAIN_LEVEL_SPEC(var, method, LEVEL, line)                                                        \
    const FunctionSpec var = {                                                                              \
        #method, "_LogBase." #method, "log_main._LogBase." #method,                                         \
        "_LogBase." #method "(self, *message: Any, tuple args: Optional[Tuple[Any, ...]] = None, dict kwargs: " \
        "Optional[Dict[str, Any]] = None) -> None",                                                         \
        "None", level_params, 4, level_body<&Names::LEVEL>, line, level_entry<&Names::LEVEL>,               \
    };
LOG_MAIN_LEVEL_SPEC(debug_spec, debug, DEBUG, 262)
LOG_MAIN_LEVEL_SPEC(info_spec, info, INFO, 266)
LOG_MAIN_LEVEL_SPEC(warning_spec, warning, WARNING, 270)
LOG_MAIN_LEVEL_SPEC(error_spec, error, ERROR, 274)
LOG_MAIN_LEVEL_SPEC(critical_spec, critical, CRITICAL, 278)
#undef LOG_MAIN_LEVEL_SPEC

}  // namespace log_main
