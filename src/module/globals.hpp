// Module-wide state: the module namespace, the builtins resolved once at load,
// the interned names used on every path, and the module-global lookup rule.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "module/private_api.hpp"
#include "module/ref.hpp"

namespace log_main {

// Every name the bodies look up or set, interned once when the module loads.
// X(identifier, text)
#define LOG_MAIN_NAMES(X)                                   \
    X(logging, "logging")                                   \
    X(os, "os")                                             \
    X(uuid, "uuid")                                         \
    X(hashlib, "hashlib")                                   \
    X(colorlog, "colorlog")                                 \
    X(RotatingFileHandler, "RotatingFileHandler")           \
    X(TimedRotatingFileHandler, "TimedRotatingFileHandler") \
    X(Lock, "Lock")                                         \
    X(_fformatter, "_fformatter")                           \
    X(_cformatter, "_cformatter")                           \
    X(_colors, "_colors")                                   \
    X(_LOGGERS, "_LOGGERS")                                 \
    X(_FHANDLERS, "_FHANDLERS")                             \
    X(_CAPTURES, "_CAPTURES")                               \
    X(_LOCK, "_LOCK")                                       \
    X(_SetLogger, "_SetLogger")                             \
    X(_GetLogger, "_GetLogger")                             \
    X(_ContextFilter, "_ContextFilter")                     \
    X(_LogBase, "_LogBase")                                 \
    X(DEBUG, "DEBUG")                                       \
    X(INFO, "INFO")                                         \
    X(WARNING, "WARNING")                                   \
    X(ERROR, "ERROR")                                       \
    X(CRITICAL, "CRITICAL")                                 \
    X(Filter, "Filter")                                     \
    X(Formatter, "Formatter")                               \
    X(FileHandler, "FileHandler")                           \
    X(StreamHandler, "StreamHandler")                       \
    X(ColoredFormatter, "ColoredFormatter")                 \
    X(Logger, "Logger")                                     \
    X(manager, "manager")                                   \
    X(loggerDict, "loggerDict")                             \
    X(getLogger, "getLogger")                               \
    X(handlers, "handlers")                                 \
    X(setLevel, "setLevel")                                 \
    X(setFormatter, "setFormatter")                         \
    X(addFilter, "addFilter")                               \
    X(addHandler, "addHandler")                             \
    X(removeHandler, "removeHandler")                       \
    X(propagate, "propagate")                               \
    X(close, "close")                                       \
    X(log, "log")                                           \
    X(md5, "md5")                                           \
    X(update, "update")                                     \
    X(encoding, "encoding")                                 \
    X(hexdigest, "hexdigest")                               \
    X(path, "path")                                         \
    X(makedirs, "makedirs")                                 \
    X(dirname, "dirname")                                   \
    X(basename, "basename")                                 \
    X(join, "join")                                         \
    X(abspath, "abspath")                                   \
    X(normpath, "normpath")                                 \
    X(exist_ok, "exist_ok")                                 \
    X(uuid4, "uuid4")                                       \
    X(get, "get")                                           \
    X(keys, "keys")                                         \
    X(pop, "pop")                                           \
    X(copy, "copy")                                         \
    X(remove, "remove")                                     \
    X(setdefault, "setdefault")                             \
    X(replace, "replace")                                   \
    X(fmt, "fmt")                                           \
    X(log_colors, "log_colors")                             \
    X(namer, "namer")                                       \
    X(rotator, "rotator")                                   \
    X(filename, "filename")                                 \
    X(baseFilename, "baseFilename")                         \
    X(mode, "mode")                                         \
    X(delay, "delay")                                       \
    X(errors, "errors")                                     \
    X(maxBytes, "maxBytes")                                 \
    X(backupCount, "backupCount")                           \
    X(when, "when")                                         \
    X(interval, "interval")                                 \
    X(utc, "utc")                                           \
    X(atTime, "atTime")                                     \
    X(stream, "stream")                                     \
    X(level, "level")                                       \
    X(levelno, "levelno")                                   \
    X(filters, "filters")                                   \
    X(formatter, "formatter")                               \
    X(id, "id")                                             \
    X(type, "type")                                         \
    X(kwargs, "kwargs")                                     \
    X(args, "args")                                         \
    X(handler_ids, "handler_ids")                           \
    X(name, "name")                                         \
    X(file, "file")                                         \
    X(handler_type, "handler_type")                         \
    X(file_level, "file_level")                             \
    X(console, "console")                                   \
    X(console_level, "console_level")                       \
    X(rehandler, "rehandler")                               \
    X(_logger, "_logger")                                   \
    X(_log, "_log")                                         \
    X(disabled, "disabled")                                 \
    X(_cache, "_cache")                                     \
    X(parent, "parent")                                     \
    X(isEnabledFor, "isEnabledFor")                         \
    X(findCaller, "findCaller")                             \
    X(makeRecord, "makeRecord")                             \
    X(handle, "handle")                                     \
    X(filter, "filter")                                     \
    X(callHandlers, "callHandlers")                         \
    X(_file_handler, "_file_handler")                       \
    X(_console_handler, "_console_handler")                 \
    X(_handler_filter, "_handler_filter")                   \
    X(_logger_name, "_logger_name")                         \
    X(exc_text, "exc_text")                                 \
    X(_setup_logger, "_setup_logger")                       \
    X(_captures_logger, "_captures_logger")                 \
    X(_create_console_handler, "_create_console_handler")   \
    X(_create_file_handler, "_create_file_handler")         \
    X(disable, "disable")                                   \
    X(enable, "enable")                                     \
    X(__init__, "__init__")                                 \
    X(__enter__, "__enter__")                               \
    X(__exit__, "__exit__")                                 \
    X(acquire, "acquire")                                   \
    X(release, "release")                                   \
    X(_lock, "_lock")                                       \
    X(RLock, "RLock")                                       \
    X(lastResort, "lastResort")                             \
    X(lock, "lock")                                         \
    X(_at_fork_reinit, "_at_fork_reinit")                   \
    X(register_at_fork, "register_at_fork")                 \
    X(before, "before")                                     \
    X(after_in_parent, "after_in_parent")                   \
    X(after_in_child, "after_in_child")                     \
    X(__prepare__, "__prepare__")                           \
    X(__module__, "__module__")                             \
    X(__qualname__, "__qualname__")                         \
    X(__spec__, "__spec__")                                 \
    X(_initializing, "_initializing")                       \
    X(root, "root")                                         \
    X(file_kind, "file")                                    \
    X(rotating, "rotating")                                 \
    X(timerotating, "timerotating")                         \
    X(utf_8, "utf-8")                                       \
    X(mode_a, "a")                                          \
    X(midnight, "midnight")                                 \
    X(space, " ")                                           \
    X(dot_log, ".log")                                      \
    X(empty, "")                                            \
    X(log_main_name, "log_main")

struct Names {
#define LOG_MAIN_DECLARE_NAME(ident, text) PyObject* ident;
    LOG_MAIN_NAMES(LOG_MAIN_DECLARE_NAME)
#undef LOG_MAIN_DECLARE_NAME
};

// Interned names; valid once the module's exec step has interned them, for the
// life of the process.
extern Names S;

// Module state shared by every body.
struct ModuleState {
    PyObject* module = nullptr;    // the one module object (owned)
    PyObject* ns = nullptr;        // its namespace dict (borrowed from module)
    PyObject* builtins = nullptr;  // the builtins module (owned)
    // Builtins resolved once at load; later rebinding in builtins has no effect.
    PyObject* b_super = nullptr;
    PyObject* b_ValueError = nullptr;
    PyObject* b_max = nullptr;
    PyObject* b_id = nullptr;
    // Small constants.
    PyObject* int_0 = nullptr;
    PyObject* int_1 = nullptr;
    PyObject* int_9999 = nullptr;
    PyObject* int_104857600 = nullptr;
    PyObject* int_100 = nullptr;
    PyObject* int_365 = nullptr;
    PyObject* empty_tuple = nullptr;
    // Keyword-name tuples of the calls made with keyword arguments.
    PyObject* kw_exist_ok = nullptr;        // ("exist_ok",)
    PyObject* kw_fmt = nullptr;             // ("fmt",)
    PyObject* kw_fmt_log_colors = nullptr;  // ("fmt", "log_colors")
};

extern ModuleState M;

int names_init();

// Module-global lookup: namespace dict, then builtins, else NameError.
// Returns a new reference or null with an exception set.
Ref global(PyObject* name);

// global(module_name) followed by one attribute fetch.
Ref global_attr(PyObject* module_name, PyObject* attr);

// TypeError "Expected %s, got %.200s" unless `value` is exactly of `type` or None.
int raise_expected_type(PyObject* value, const char* type_name);
inline int expect_type(PyObject* value, PyTypeObject* type, const char* type_name) {
    return value == Py_None || Py_IS_TYPE(value, type) ? 0 : raise_expected_type(value, type_name);
}

// Steps that carry an error along. Each takes what earlier steps produced; a
// null input means such a step failed with an exception set, and the result
// is then null too, with that exception left as it is:
//
//   Ref join = get_attr(global_attr(S.os, S.path), S.join);  // os.path.join
//
// Nesting orders the steps; operands side by side do not. The operands of one
// C++ call are evaluated in no fixed order and each is evaluated even when
// another failed, so an argument that runs code goes after a test of the
// callable: `if (!f || !call(f, {get_attr(self, S.name).get()}))`.
// obj.name = value. The object's __dict__, when it has one, is held across the
// store: a key of it whose __eq__ runs during the insertion may replace
// obj.__dict__, and the insertion must not go on in a freed dict.
int set_attr(PyObject* obj, PyObject* name, PyObject* value);
inline Ref get_attr(PyObject* obj, PyObject* name) { return Ref::steal(obj ? PyObject_GetAttr(obj, name) : nullptr); }
inline Ref get_attr(const Ref& obj, PyObject* name) { return get_attr(obj.get(), name); }

// obj[key]
inline Ref get_item(PyObject* obj, PyObject* key) {
    return Ref::steal(obj && key ? PyObject_GetItem(obj, key) : nullptr);
}
inline Ref get_item(const Ref& obj, PyObject* key) { return get_item(obj.get(), key); }

// callable(*args), at most seven arguments.
Ref call(PyObject* callable, std::initializer_list<PyObject*> args);
inline Ref call(const Ref& callable, std::initializer_list<PyObject*> args) { return call(callable.get(), args); }

// obj.name(*args) without making a bound method, at most seven arguments.
Ref call_method(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args);
inline Ref call_method(const Ref& obj, PyObject* name, std::initializer_list<PyObject*> args) {
    return call_method(obj.get(), name, args);
}

// callable(**options): keyword arguments only, from a dict.
inline Ref call_with_options(PyObject* callable, PyObject* options) {
    return Ref::steal(callable && options ? PyObject_VectorcallDict(callable, nullptr, 0, options) : nullptr);
}
inline Ref call_with_options(const Ref& callable, PyObject* options) {
    return call_with_options(callable.get(), options);
}

// With an exception pending: discards it and returns 1 when it is an
// Exception; otherwise leaves it pending and returns -1 (KeyboardInterrupt,
// SystemExit and other BaseExceptions always propagate).
int swallow_exception();

// raise ValueError(text), with the ValueError resolved at load.
void raise_value_error(PyObject* text);

// Concatenates str objects and UTF-8 literals (messages with non-ASCII text,
// which PyUnicode_FromFormat refuses in its format string).
struct TextPiece {
    TextPiece(const char* utf8) : literal(utf8) {}
    TextPiece(PyObject* str) : object(str) {}
    const char* literal = nullptr;
    PyObject* object = nullptr;
};
Ref concat_text(std::initializer_list<TextPiece> pieces);

// A new tuple of n borrowed items.
PyObject* tuple_from_array(PyObject* const* items, Py_ssize_t n);

// `logging.<name>` as the level methods read it at every call (and likewise
// `hashlib.md5`). The value is cached while neither the module namespace nor
// the module's dict changes (dict watchers bump an epoch on any change) and the
// module is still a plain module, so a rebinding of `logging` or of a level
// constant is seen on the very next call.
struct AttrCache {
    uint64_t epoch = 0;
    PyObject* module = nullptr;  // owned; its class can change without its dict
    PyObject* value = nullptr;   // owned
};
Ref cached_global_attr(PyObject* module_name, PyObject* name, AttrCache& cache);
inline Ref logging_level(PyObject* name, AttrCache& cache) { return cached_global_attr(S.logging, name, cache); }
int watchers_init();

// The dict watcher behind these caches, for other caches of module-level
// state: the epoch moves on every change of a watched dict; watch_dict()
// starts watching one (false when no watcher slot was available).
uint64_t watched_epoch();
bool watch_dict(PyObject* dict);

}  // namespace log_main
