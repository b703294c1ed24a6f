// Emission: the five level methods, _log, the join of the message parts, and
// the proof that lets a call return early when the record it would make could
// not reach any handler.
//
// Hot path, obj.debug("msg", 42): the level method is entered by vectorcall
// with self and the parts (no bound method, no message tuple); it reads
// logging.DEBUG, finds self._log through the instance and, when that is this
// module's own _log, runs its body on the parts in place. Anything else found
// there (a subclass override) is called with the message tuple as usual. The
// body reads self._logger, looks up its `log` and, unless the record is
// provably dropped (see "Dropped records"), calls it.
//
// Caches, what invalidates each, and the benchmark row that pays for it:
//  - level_cache<LEVEL> (globals.hpp): logging.<LEVEL>; the dict watcher on
//    this module's namespace and the logging module's dict. Every row.
//  - logger_lookup / log_lookup: the class-level part of self._logger and
//    self._log per (class, version tag). Every row.
//  - option_names: the keyword-name tuple of the last options dict, reused
//    while the names are the same objects. Rows with kwargs=.
//  - stock (StockLogging): that the logging module in use is unpatched where
//    a dropped record passes (classes, record factory, the functions a record
//    calls); the dict watcher on logging, time, os, os.path, threading,
//    sys.modules (and multiprocessing, asyncio when imported), and the class
//    version tags of Logger, RootLogger and LogRecord. Row "dropped DEBUG".
//  - logger_layouts / handler_layouts: where `disabled`, `_cache`, `handlers`
//    ... and a handler's `level` sit in the shared attribute layout of each
//    class, per (class, version tag, layout size). Row "dropped DEBUG".
//  - thread_registered (per thread): this thread is in threading's table, so
//    naming it creates nothing. Row "dropped DEBUG".
#include <cstring>

#include "module/callables.hpp"
#include "module/globals.hpp"
#include "module/small_stack.hpp"
#include "module/with_lock.hpp"

namespace log_main {

// ---------------------------------------------------------------------------
// The message text

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

// Parts whose str() runs no code of anyone's and cannot fail: exact str,
// float, None, True, False, and exact ints of machine size (a long int's str
// fails past the interpreter's digit limit). Turning them into text can be
// left out or put off unseen.
static bool inert_part(PyObject* part) {
    return PyUnicode_CheckExact(part) ||
           (PyLong_CheckExact(part) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(part))) ||
           part == Py_None || part == Py_True || part == Py_False || PyFloat_CheckExact(part);
}

static bool inert_parts(PyObject* const* parts, Py_ssize_t nparts) {
    for (Py_ssize_t i = 0; i < nparts; ++i)
        if (!inert_part(parts[i])) return false;
    return true;
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
    Ref joined = Ref::steal(PyUnicode_New(total, maxchar));
    if (!joined) return Ref();
    char* out = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(joined.get()));
    for (Py_ssize_t i = 0; i < nparts; ++i) {
        if (i) *out++ = ' ';
        memcpy(out, text[i], static_cast<size_t>(length[i]));
        out += length[i];
    }
    return joined;
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
        return !text || PyUnicode_CheckExact(text.get()) ? std::move(text)
                                                         : Ref::steal(PyUnicode_FromObject(text.get()));
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
// instance dictionary is consulted per call. A dictionary lookup can run
// Python code (a str subclass key with its own __eq__), which can change the
// class or the instance's __dict__: whatever the lookup needs afterwards is
// held by a strong reference before it starts.

// The shared key layout an index into it was last worked out for. Layouts only
// grow, so an index stays right while the layout is the same object of the same
// size; changed() says whether it must be worked out again, and records `keys`.
struct LayoutSeen {
    const void* keys = nullptr;
    Py_ssize_t size = -1;

    bool changed(const void* now) {
        const Py_ssize_t n = priv::shared_keys_size(now);
        if (now == keys && n == size) return false;
        keys = now;
        size = n;
        return true;
    }
};

struct ClassLookup {
    PyTypeObject* type = nullptr;
    unsigned int version = 0;
    PyObject* found = nullptr;  // borrowed from the class dict while the version holds
    // Where the name sits in the class's shared attribute layout (-1: absent),
    // for instances that keep their attributes inline.
    LayoutSeen seen;
    Py_ssize_t index = -1;

    bool hit(PyTypeObject* tp) const { return tp == type && version != 0 && tp->tp_version_tag == version; }

    // Records the class-level lookup of `name` on tp; returns what was found.
    PyObject* learn(PyTypeObject* tp, PyObject* name) {
        type = nullptr;
        seen = LayoutSeen();
        if (tp->tp_getattro != PyObject_GenericGetAttr || !PyUnstable_Type_AssignVersionTag(tp)) return nullptr;
        const unsigned int before = tp->tp_version_tag;
        PyObject* descr = _PyType_Lookup(tp, name);
        if (tp->tp_version_tag != before) return nullptr;
        type = tp;
        version = before;
        found = descr;
        return descr;
    }

    // The instance's own value of `name` when it keeps its attributes inline:
    // 1 with *value borrowed (null: the instance has no such attribute), 0 when
    // its attributes are kept any other way. Reading the layout runs no code.
    int inline_value(PyObject* self, PyObject* name, PyObject** value) {
        const void* keys = nullptr;
        PyObject* const* values = priv::inline_values(self, &keys);
        if (!values) return 0;
        if (seen.changed(keys)) index = priv::shared_keys_index(keys, name);
        *value = index >= 0 ? values[index] : nullptr;
        return 1;
    }
};

// The instance's own value for name: 1 found (new reference), 0 absent, -1 error,
// -2 when the instance has no dictionary to look in. The dictionary is held for
// the lookup, as Python's own attribute lookup holds it.
static int instance_value(PyObject* self, PyObject* name, Ref& value) {
    PyObject** dictptr = _PyObject_GetDictPtr(self);
    if (!dictptr) return -2;
    if (!*dictptr) return 0;
    Ref dict = Ref::borrow(*dictptr);
    return PyDict_GetItemRef(dict.get(), name, value.out());
}

// self.<name> for an attribute the class does not define (like _logger).
static Ref read_instance_attr(PyObject* self, PyObject* name, ClassLookup& cache) {
    PyTypeObject* tp = Py_TYPE(self);
    if (cache.hit(tp) || (cache.learn(tp, name) == nullptr && cache.hit(tp))) {
        if (!cache.found) {
            PyObject* inline_found = nullptr;  // borrowed from the instance
            if (cache.inline_value(self, name, &inline_found)) {
                if (inline_found) return Ref::borrow(inline_found);
            } else {
                Ref value;
                int rc = instance_value(self, name, value);
                if (rc > 0) return value;
                if (rc == -1) return Ref();
            }
        }
    }
    return Ref::steal(PyObject_GetAttr(self, name));
}

static ClassLookup logger_lookup;

// ---------------------------------------------------------------------------
// Dropped records
//
// The record of `logger.log(level, text, *args, **kwargs)` is built only to be
// dropped at every handler when the logger sits at DEBUG and the handlers
// above it. Following logging's own code (CPython 3.13, logging/__init__.py),
// the call has no effect anyone can observe when all of this holds; then it
// is not made:
//  - `log` found on the logger is Logger.log itself (l. 1574), reached through
//    a class that is exactly logging's Logger or RootLogger, whose methods on
//    the way (isEnabledFor 1764, _log 1640, findCaller 1591, makeRecord 1625,
//    handle 1666, filter 841, callHandlers 1720) are logging's own and not
//    shadowed on the instance; the level is an exact int (1583).
//  - isEnabledFor (1764): `disabled` is a bool; `_cache` is a dict of exact
//    int keys; on a hit its value decides; on a miss the real isEnabledFor
//    fills it, as the plain call would. Not enabled: nothing happens.
//  - handle (1674): the logger has no filters (Filterer.filter, 841).
//  - callHandlers (1720): along the propagation chain, at least one handler
//    (else lastResort or the one-time warning acts, 1741), and every handler's
//    `level` is a plain exact int above the level (1737).
//  - the record itself runs nothing of anyone's: logging's default factory
//    (406, 1631) and LogRecord.__init__ (291) with the functions it calls as
//    shipped (time.time_ns, os.getpid, os.path.basename/splitext, getLevelName,
//    threading.current_thread for a thread threading already knows,
//    multiprocessing's current_process, asyncio's current task of an exact
//    Task); `args` is not a lone element whose Mapping test could run code
//    (304); the options are only exc_info / stack_info / stacklevel / extra
//    with values that run nothing (1650-1664), stack_info false (1611).
//  - no profile, trace or audit hook that would see the calls (findCaller's
//    sys._getframe is audited).

// The logging module in use, checked as shipped where a dropped record passes.
struct StockLogging {
    uint64_t epoch = 0;  // watcher epoch the check was made at
    bool usable = false;
    Ref module, logger_type, root_type, record_type, log_function;
    unsigned int logger_version = 0, root_version = 0, record_version = 0;
    bool log_threads = false;
    Ref threads_active;    // threading._active, when records name threads
    Ref get_running_loop;  // asyncio's, when records name tasks and asyncio is imported
    Ref current_task;
    PyTypeObject* task_type = nullptr;
};
// Made once and never destroyed: a static destructor would release its
// references after the interpreter has gone.
static StockLogging& stock = *new StockLogging;

// Names of the methods a dropped record passes through, and their qualnames
// in logging as shipped.
struct StockMethod {
    PyObject* Names::* name;
    const char* qualname;
};
static constexpr StockMethod kLoggerMethods[] = {
    {&Names::log, "Logger.log"},
    {&Names::isEnabledFor, "Logger.isEnabledFor"},
    {&Names::_log, "Logger._log"},
    {&Names::findCaller, "Logger.findCaller"},
    {&Names::makeRecord, "Logger.makeRecord"},
    {&Names::handle, "Logger.handle"},
    {&Names::filter, "Filterer.filter"},
    {&Names::callHandlers, "Logger.callHandlers"},
};
constexpr int kMethodCount = sizeof kLoggerMethods / sizeof kLoggerMethods[0];
// Instance attributes read by the dropped path; the classes must not define them.
static constexpr PyObject* Names::* kLoggerAttrs[] = {&Names::disabled, &Names::filters,   &Names::handlers,
                                                      &Names::_cache,   &Names::propagate, &Names::parent};
enum LoggerAttr { kDisabled, kFilters, kHandlers, kCache, kPropagate, kParent, kAttrCount };

// dict[name] as a new reference, or empty (no exception) when absent or on error.
static Ref dict_item(PyObject* dict, const char* name) {
    Ref value;
    if (PyDict_GetItemStringRef(dict, name, value.out()) < 0) PyErr_Clear();
    return value;
}

// A Python function with this qualname whose code comes from the file of
// `file`'s module: `file` is that module's __file__, or "<frozen NAME>" for a
// module the interpreter keeps frozen.
static bool shipped_function(PyObject* f, PyObject* file, const char* qualname) {
    if (!f || !PyFunction_Check(f) || !file) return false;
    PyObject* code = PyFunction_GET_CODE(f);
    PyObject* qn = reinterpret_cast<PyFunctionObject*>(f)->func_qualname;
    const bool same = PyUnicode_Check(qn) && PyUnicode_CompareWithASCIIString(qn, qualname) == 0 &&
                      PyUnicode_Compare(reinterpret_cast<PyCodeObject*>(code)->co_filename, file) == 0;
    PyErr_Clear();
    return same;
}

// A function of a C module with this name.
static bool builtin_function(PyObject* f, const char* name) {
    return f && PyCFunction_Check(f) && strcmp(reinterpret_cast<PyCFunctionObject*>(f)->m_ml->ml_name, name) == 0;
}

// The module a module dict names, watched; empty when it is not a plain module.
static Ref watched_module(PyObject* dict, const char* name) {
    Ref mod = dict_item(dict, name);
    if (!mod || !PyModule_CheckExact(mod.get()) || !watch_dict(PyModule_GetDict(mod.get()))) return Ref();
    return mod;
}

// Where a module's functions say their code comes from (see shipped_function):
// its __file__, or "<frozen NAME>" for a module the interpreter keeps frozen.
// Reads the module's dict only (nothing it finds is called).
static Ref module_file(PyObject* mod) {
    PyObject* dict = PyModule_GetDict(mod);
    Ref name = dict_item(dict, "__name__");
    Ref loader = dict_item(dict, "__loader__");
    if (!name || !PyUnicode_CheckExact(name.get())) return Ref();
    if (loader && PyType_Check(loader.get()) &&
        strcmp(reinterpret_cast<PyTypeObject*>(loader.get())->tp_name, "FrozenImporter") == 0) {
        Ref text = Ref::steal(PyUnicode_FromFormat("<frozen %U>", name.get()));
        if (!text) PyErr_Clear();
        return text;
    }
    Ref file = dict_item(dict, "__file__");
    return file && PyUnicode_CheckExact(file.get()) ? std::move(file) : Ref();
}

static bool stock_class(PyObject* cls, PyObject* file, unsigned int* version, bool methods) {
    if (!cls || !PyType_Check(cls) || Py_TYPE(cls) != &PyType_Type) return false;
    PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(cls);
    if (tp->tp_getattro != PyObject_GenericGetAttr || !PyUnstable_Type_AssignVersionTag(tp)) return false;
    *version = tp->tp_version_tag;
    if (methods) {
        for (const StockMethod& m : kLoggerMethods)
            if (!shipped_function(_PyType_Lookup(tp, S.*m.name), file, m.qualname)) return false;
        for (PyObject* Names::* attr : kLoggerAttrs)
            if (_PyType_Lookup(tp, S.*attr)) return false;
    }
    return tp->tp_version_tag == *version;
}

// Checks the logging module in use and what a record calls; stores the result
// with the epoch it was made at. Never raises.
static void check_stock_logging() {
    const uint64_t epoch = watched_epoch();
    StockLogging fresh;
    fresh.epoch = epoch;
    Ref mod = global(S.logging);
    PyErr_Clear();
    if (!mod || !PyModule_CheckExact(mod.get()) || !watch_dict(M.ns)) {
        std::swap(stock, fresh);
        return;
    }
    PyObject* ld = PyModule_GetDict(mod.get());
    Ref file_ref = module_file(mod.get());
    PyObject* file = file_ref.get();
    bool ok = file && watch_dict(ld);
    if (ok) {
        fresh.module = Ref::borrow(mod.get());
        fresh.logger_type = dict_item(ld, "Logger");
        fresh.root_type = dict_item(ld, "RootLogger");
        fresh.record_type = dict_item(ld, "LogRecord");
        Ref factory = dict_item(ld, "_logRecordFactory");
        ok = stock_class(fresh.logger_type.get(), file, &fresh.logger_version, true) &&
             stock_class(fresh.root_type.get(), file, &fresh.root_version, true) &&
             stock_class(fresh.record_type.get(), file, &fresh.record_version, false) && factory &&
             factory.get() == fresh.record_type.get();
    }
    if (ok) {
        PyTypeObject* record = reinterpret_cast<PyTypeObject*>(fresh.record_type.get());
        Ref root_base =
            Ref::borrow(reinterpret_cast<PyObject*>(reinterpret_cast<PyTypeObject*>(fresh.root_type.get())->tp_base));
        Ref init_name = Ref::steal(PyUnicode_FromString("__init__"));
        ok = init_name && shipped_function(_PyType_Lookup(record, init_name.get()), file, "LogRecord.__init__") &&
             record->tp_new == PyBaseObject_Type.tp_new && record->tp_setattro == PyObject_GenericSetAttr &&
             root_base.get() == fresh.logger_type.get();
        fresh.log_function =
            Ref::borrow(_PyType_Lookup(reinterpret_cast<PyTypeObject*>(fresh.logger_type.get()), S.log));
        ok = ok && shipped_function(dict_item(ld, "getLevelName").get(), file, "getLevelName") &&
             shipped_function(dict_item(ld, "currentframe").get(), file, "<lambda>") &&
             shipped_function(dict_item(ld, "_is_internal_frame").get(), file, "_is_internal_frame");
    }
    // What LogRecord.__init__ calls, through logging's own globals.
    Ref time_mod, os_mod, path_mod, threading_mod, sys_mod;
    if (ok) {
        time_mod = watched_module(ld, "time");
        os_mod = watched_module(ld, "os");
        path_mod = os_mod ? watched_module(PyModule_GetDict(os_mod.get()), "path") : Ref();
        threading_mod = watched_module(ld, "threading");
        sys_mod = watched_module(ld, "sys");
        ok = time_mod && os_mod && path_mod && threading_mod && sys_mod;
    }
    if (ok) {
        Ref path_file_ref = module_file(path_mod.get());
        Ref threading_file_ref = module_file(threading_mod.get());
        PyObject* path_file = path_file_ref.get();
        PyObject* threading_file = threading_file_ref.get();
        PyObject* td = PyModule_GetDict(threading_mod.get());
        ok = builtin_function(dict_item(PyModule_GetDict(time_mod.get()), "time_ns").get(), "time_ns") &&
             builtin_function(dict_item(PyModule_GetDict(os_mod.get()), "getpid").get(), "getpid") &&
             builtin_function(dict_item(PyModule_GetDict(sys_mod.get()), "_getframe").get(), "_getframe") &&
             path_file && threading_file &&
             shipped_function(dict_item(PyModule_GetDict(path_mod.get()), "basename").get(), path_file, "basename") &&
             shipped_function(dict_item(PyModule_GetDict(path_mod.get()), "splitext").get(), path_file, "splitext") &&
             builtin_function(dict_item(td, "get_ident").get(), "get_ident") &&
             shipped_function(dict_item(td, "current_thread").get(), threading_file, "current_thread");
        Ref log_threads = dict_item(ld, "logThreads");
        fresh.log_threads = log_threads && PyObject_IsTrue(log_threads.get()) == 1;
        if (fresh.log_threads) {
            fresh.threads_active = dict_item(td, "_active");
            ok = ok && fresh.threads_active && PyDict_CheckExact(fresh.threads_active.get());
        }
        PyErr_Clear();
    }
    if (ok) {
        // multiprocessing and asyncio are consulted only when imported.
        Ref modules = Ref::borrow(PySys_GetObject("modules"));
        ok = modules && PyDict_CheckExact(modules.get()) && watch_dict(modules.get());
        Ref flag = ok ? dict_item(ld, "logMultiprocessing") : Ref();
        if (ok && flag && PyObject_IsTrue(flag.get()) == 1) {
            Ref mp = dict_item(modules.get(), "multiprocessing");
            if (mp && mp.get() != Py_None) {
                Ref process =
                    PyModule_CheckExact(mp.get()) ? watched_module(PyModule_GetDict(mp.get()), "process") : Ref();
                Ref process_file_ref = process ? module_file(process.get()) : Ref();
                PyObject* process_file = process_file_ref.get();
                ok = process_file && watch_dict(PyModule_GetDict(mp.get())) &&
                     shipped_function(dict_item(PyModule_GetDict(mp.get()), "current_process").get(), process_file,
                                      "current_process");
            }
        }
        flag = ok ? dict_item(ld, "logAsyncioTasks") : Ref();
        if (ok && flag && PyObject_IsTrue(flag.get()) == 1) {
            Ref aio = dict_item(modules.get(), "asyncio");
            if (aio && aio.get() != Py_None) {
                ok = PyModule_CheckExact(aio.get()) && watch_dict(PyModule_GetDict(aio.get()));
                PyObject* ad = ok ? PyModule_GetDict(aio.get()) : nullptr;
                if (ok) {
                    fresh.get_running_loop = dict_item(ad, "_get_running_loop");
                    fresh.current_task = dict_item(ad, "current_task");
                    Ref task = dict_item(ad, "Task");
                    ok = builtin_function(fresh.get_running_loop.get(), "_get_running_loop") &&
                         builtin_function(fresh.current_task.get(), "current_task") && task &&
                         PyType_Check(task.get()) &&
                         (reinterpret_cast<PyTypeObject*>(task.get())->tp_flags & Py_TPFLAGS_IMMUTABLETYPE);
                    // The C Task (immutable, its get_name runs nothing of anyone's); kept
                    // alive by asyncio, whose dict is watched.
                    if (ok) fresh.task_type = reinterpret_cast<PyTypeObject*>(task.get());
                }
            }
        }
        PyErr_Clear();
    }
    fresh.usable = ok;
    PyErr_Clear();
    std::swap(stock, fresh);  // the old state is dropped last, with `fresh`
}

static bool stock_is_current() {
    if (stock.epoch != watched_epoch()) check_stock_logging();
    if (!stock.usable) return false;
    auto same = [](const Ref& cls, unsigned int version) {
        return reinterpret_cast<PyTypeObject*>(cls.get())->tp_version_tag == version;
    };
    if (!same(stock.logger_type, stock.logger_version) || !same(stock.root_type, stock.root_version) ||
        !same(stock.record_type, stock.record_version)) {
        check_stock_logging();
        return stock.usable;
    }
    return true;
}

// Where the attributes the dropped path reads sit in a class's shared layout.
struct Layout {
    PyTypeObject* type = nullptr;  // compared with its version tag, never dereferenced stale
    unsigned int version = 0;
    LayoutSeen seen;
    Py_ssize_t attr[kAttrCount];
    Py_ssize_t shadows[kMethodCount];  // layout indexes of the method names present
    int nshadows = 0;
};
static Layout logger_layouts[2];  // Logger, RootLogger

struct HandlerLayout {
    PyTypeObject* type = nullptr;
    unsigned int version = 0;
    LayoutSeen seen;
    Py_ssize_t level = -1;
};
static HandlerLayout handler_layouts[8];

// The attribute values of a logger of a stock class, with its layout; null
// when the logger does not keep them in its class's shared layout.
static PyObject* const* logger_values(PyObject* logger, const Layout** layout_out) {
    PyTypeObject* tp = Py_TYPE(logger);
    int which;
    if (reinterpret_cast<PyObject*>(tp) == stock.logger_type.get())
        which = 0;
    else if (reinterpret_cast<PyObject*>(tp) == stock.root_type.get())
        which = 1;
    else
        return nullptr;
    const void* keys = nullptr;
    PyObject* const* values = priv::inline_values(logger, &keys);
    if (!values) return nullptr;
    Layout& l = logger_layouts[which];
    if (l.seen.changed(keys) || l.type != tp || l.version != tp->tp_version_tag) {
        l.type = tp;
        l.version = tp->tp_version_tag;
        for (int i = 0; i < kAttrCount; ++i) l.attr[i] = priv::shared_keys_index(keys, S.*kLoggerAttrs[i]);
        l.nshadows = 0;
        for (const StockMethod& m : kLoggerMethods) {
            const Py_ssize_t at = priv::shared_keys_index(keys, S.*m.name);
            if (at >= 0) l.shadows[l.nshadows++] = at;
        }
    }
    for (int i = 0; i < l.nshadows; ++i)
        if (values[l.shadows[i]]) return nullptr;  // a method shadowed on the instance
    *layout_out = &l;
    return values;
}

static PyObject* value_at(PyObject* const* values, Py_ssize_t index) { return index >= 0 ? values[index] : nullptr; }

// a < b for exact ints (no code runs in either way of comparing them).
static bool int_below(PyObject* a, PyObject* b) {
    if (PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(a)) &&
        PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(b)))
        return PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(a)) <
               PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(b));
    const int below = PyObject_RichCompareBool(a, b, Py_LT);
    if (below < 0) PyErr_Clear();
    return below == 1;
}

// A handler's `level` when Python reads it as a plain instance attribute, else null.
static PyObject* plain_handler_level(PyObject* handler) {
    PyTypeObject* tp = Py_TYPE(handler);
    const void* keys = nullptr;
    PyObject* const* values = priv::inline_values(handler, &keys);
    if (!values) return nullptr;
    HandlerLayout& h = handler_layouts[(reinterpret_cast<uintptr_t>(tp) >> 4) % 8];
    if (h.seen.changed(keys) || h.type != tp || h.version != tp->tp_version_tag || h.version == 0) {
        // The class must leave `level` to the instance: generic lookup, no
        // class attribute (a descriptor or a default) of that name.
        h.type = nullptr;
        if (tp->tp_getattro != PyObject_GenericGetAttr || !PyUnstable_Type_AssignVersionTag(tp)) return nullptr;
        const unsigned int before = tp->tp_version_tag;
        if (_PyType_Lookup(tp, S.level)) return nullptr;
        if (tp->tp_version_tag == before) {
            h.type = tp;
            h.version = tp->tp_version_tag;
            h.level = priv::shared_keys_index(keys, S.level);
        } else {
            h.seen = LayoutSeen();
        }
        // The class lookup can run code (a key of the class's own with an __eq__) that
        // changes what the caller holds: this call is made; the next one uses the layout.
        return nullptr;
    }
    return value_at(values, h.level);
}

// threading.current_thread() on a thread threading does not know yet creates
// a dummy thread object; once the thread is in threading's table it creates
// nothing. The answer holds for the life of the thread, which the unique id
// of its thread state names.
static uint64_t registered_threads[4];
static unsigned next_registered = 0;

static bool thread_is_registered(PyThreadState* ts) {
    for (uint64_t id : registered_threads)
        if (id == ts->id) return true;
    Ref ident = Ref::steal(PyLong_FromUnsignedLong(PyThread_get_thread_ident()));
    if (!ident) return PyErr_Clear(), false;
    Ref active = Ref::borrow(stock.threads_active.get());  // the lookup can run code that refreshes `stock`
    Ref entry;
    const int found = PyDict_GetItemRef(active.get(), ident.get(), entry.out());
    if (found < 0) PyErr_Clear();
    if (found <= 0) return false;
    registered_threads[next_registered++ % 4] = ts->id;
    return true;
}

// asyncio names the current task of a record; that runs nothing of anyone's
// when no loop runs in this thread or the task is an exact Task.
static bool task_is_plain() {
    Ref running_loop = Ref::borrow(stock.get_running_loop.get());
    Ref current_task = Ref::borrow(stock.current_task.get());
    Ref loop = Ref::steal(PyObject_CallNoArgs(running_loop.get()));
    if (!loop) return PyErr_Clear(), false;
    if (loop.get() == Py_None) return true;
    Ref task = Ref::steal(PyObject_CallOneArg(current_task.get(), loop.get()));
    if (!task) return PyErr_Clear(), false;
    return task.get() == Py_None || Py_IS_TYPE(task.get(), stock.task_type);
}

// A value whose truth test, comparison or copying runs nothing of anyone's.
static bool inert_option_value(PyObject* v) { return v == Py_None || PyBool_Check(v) || PyLong_CheckExact(v); }

// The options of the call, as Logger._log takes them, run nothing of anyone's
// and do not ask for a stack.
static bool options_are_inert(PyObject* args, PyObject* kwargs) {
    if (args != Py_None && PyTuple_GET_SIZE(args) == 1) {
        PyObject* only = PyTuple_GET_ITEM(args, 0);
        // LogRecord tests a lone argument for being a Mapping.
        if (!(PyUnicode_CheckExact(only) || PyLong_CheckExact(only) || PyFloat_CheckExact(only) || only == Py_None ||
              PyBool_Check(only)))
            return false;
    }
    if (kwargs == Py_None) return true;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) return false;
        if (PyUnicode_CompareWithASCIIString(key, "exc_info") == 0) {
            if (!inert_option_value(value) && !PyTuple_CheckExact(value)) return false;
        } else if (PyUnicode_CompareWithASCIIString(key, "stack_info") == 0) {
            if (!inert_option_value(value) || value == Py_True || (PyLong_CheckExact(value) && PyObject_IsTrue(value)))
                return false;
        } else if (PyUnicode_CompareWithASCIIString(key, "stacklevel") == 0) {
            if (!PyLong_CheckExact(value)) return false;
        } else if (PyUnicode_CompareWithASCIIString(key, "extra") == 0) {
            if (value == Py_None) continue;
            if (!PyDict_CheckExact(value)) return false;
            Py_ssize_t epos = 0;
            PyObject *ekey, *evalue;
            while (PyDict_Next(value, &epos, &ekey, &evalue))
                if (!PyUnicode_CheckExact(ekey)) return false;
        } else {
            return false;
        }
    }
    return true;
}

// Whether logger.isEnabledFor(level) is true, read as it reads it: 1 yes,
// 0 no, -2 when the answer cannot be had without running code the plain call
// might not run, -1 error (from the real isEnabledFor).
static PyObject* cache_checked = nullptr;  // compared only, with its version
static uint64_t cache_checked_version = 0;

static int enabled_for(PyObject* logger, PyObject* const* values, const Layout& l, PyObject* level) {
    PyObject* disabled = value_at(values, l.attr[kDisabled]);
    if (disabled == Py_True) return 0;
    if (disabled != Py_False) return -2;
    PyObject* cache = value_at(values, l.attr[kCache]);
    if (!cache || !PyDict_CheckExact(cache)) return -2;
    const uint64_t version = priv::dict_version(cache);
    if (cache != cache_checked || version != cache_checked_version) {
        // Looking an int up among exact int keys runs no code.
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(cache, &pos, &key, &value))
            if (!PyLong_CheckExact(key)) return -2;
        cache_checked = cache;
        cache_checked_version = version;
    }
    Ref cached;
    if (PyDict_GetItemRef(cache, level, cached.out()) < 0) return -1;
    if (cached) {
        return cached.get() == Py_True ? 1 : cached.get() == Py_False ? 0 : -2;
    }
    // A miss: the real isEnabledFor computes the answer and fills the cache
    // under logging's lock, as the plain call would.
    ExitHold held;
    if (held.logging_lock() < 0) return -1;
    Ref answer = call_method(logger, S.isEnabledFor, {level});
    if (!answer) return -1;
    return answer.get() == Py_True ? 2 : answer.get() == Py_False ? 0 : -2;
}

// What a record would meet outside the logger: the level, the options, the
// thread, the task, profile, trace and audit hooks. May run code (a lookup in
// threading's table, asyncio's current task), so it comes before anything of
// the logger is read.
static bool environment_allows_skip(PyObject* level, PyObject* args, PyObject* kwargs) {
    if (!PyLong_CheckExact(level)) return false;
    PyThreadState* ts = PyThreadState_GET();
    if (ts->c_profilefunc || ts->c_tracefunc || priv::audit_hooks_installed(ts)) return false;
    if (!options_are_inert(args, kwargs)) return false;
    if (stock.log_threads && !thread_is_registered(ts)) return false;
    if (stock.get_running_loop && !task_is_plain()) return false;
    return stock_is_current();  // what those lookups ran may have changed logging
}

// 1 when the call logger.log(level, <text>, *args, **kwargs) provably has no
// effect; 0 when it must be made; -1 with an exception set when a step the
// plain call would have taken failed. `values` and `layout` are the logger's
// (logger_values), which also proves that `log` is Logger.log itself.
static int record_is_dropped(PyObject* logger, PyObject* const* values, const Layout* layout, PyObject* level) {
    PyObject* filters = value_at(values, layout->attr[kFilters]);
    PyObject* handlers = value_at(values, layout->attr[kHandlers]);
    if (!filters || !PyList_CheckExact(filters) || PyList_GET_SIZE(filters) != 0 || !handlers ||
        !PyList_CheckExact(handlers))
        return 0;
    const int enabled = enabled_for(logger, values, *layout, level);
    if (enabled <= 0) return enabled == -2 ? 0 : enabled == 0 ? 1 : -1;
    if (enabled == 2) {
        // The real isEnabledFor ran: read everything again.
        if (!stock_is_current() || !(values = logger_values(logger, &layout))) return 0;
        filters = value_at(values, layout->attr[kFilters]);
        if (!filters || !PyList_CheckExact(filters) || PyList_GET_SIZE(filters) != 0) return 0;
    }
    // callHandlers: every handler along the chain keeps the record out.
    Py_ssize_t found = 0;
    for (int depth = 0; depth < 64; ++depth) {
        handlers = value_at(values, layout->attr[kHandlers]);
        if (!handlers || !PyList_CheckExact(handlers)) return 0;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(handlers); ++i) {
            PyObject* hlevel = plain_handler_level(PyList_GET_ITEM(handlers, i));
            if (!hlevel || !PyLong_CheckExact(hlevel)) return 0;
            ++found;
            if (!int_below(level, hlevel)) return 0;
        }
        PyObject* propagate = value_at(values, layout->attr[kPropagate]);
        if (propagate == Py_False) return found > 0;
        if (propagate != Py_True) {
            if (!propagate || !PyLong_CheckExact(propagate)) return 0;
            if (PyObject_IsTrue(propagate) == 0) return found > 0;  // an exact int: no code runs
        }
        PyObject* parent = value_at(values, layout->attr[kParent]);
        if (parent == Py_None) return found > 0;
        if (!parent || !(values = logger_values(parent, &layout))) return 0;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// The call of Logger.log

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

// While finalising: the locks the call could wait on, taken first with a
// bounded wait (see ExitHold): logging's module lock (isEnabledFor fills its
// cache under it) and the lock of every handler along the propagation chain,
// or of the last resort when there is none. A lock held by a stopped thread
// raises, and the record is dropped instead of the call waiting for good.
static int hold_record_locks(PyObject* logger, ExitHold& held) {
    if (held.logging_lock() < 0) return -1;
    bool any = false;
    Ref current = Ref::borrow(logger);
    for (int depth = 0; depth < 256 && current.get() != Py_None; ++depth) {
        Ref handlers;
        if (PyObject_GetOptionalAttr(current.get(), S.handlers, handlers.out()) < 0) return -1;
        if (!handlers) break;
        Ref it = Ref::steal(PyObject_GetIter(handlers.get()));
        if (!it) return -1;
        while (Ref handler = Ref::steal(PyIter_Next(it.get()))) {
            any = true;
            if (held.handler_lock(handler.get()) < 0) return -1;
        }
        if (PyErr_Occurred()) return -1;
        Ref propagate = get_attr(current, S.propagate);
        const int goes_on = propagate ? PyObject_IsTrue(propagate.get()) : -1;
        if (goes_on <= 0) {
            if (goes_on < 0) return -1;
            break;
        }
        Ref parent;
        if (PyObject_GetOptionalAttr(current.get(), S.parent, parent.out()) < 0) return -1;
        if (!parent) break;
        current = std::move(parent);
    }
    if (any) return 0;
    Ref last_resort = global_attr(S.logging, S.lastResort);
    if (!last_resort) return -1;
    return last_resort.get() == Py_None ? 0 : held.handler_lock(last_resort.get());
}

// The message text and the call: the parts are joined before the logger is
// read again, unless every part is inert, in which case the join is put off
// until it is known to be needed (no one can tell when it happened).
static Ref call_log(PyObject* self, PyObject* level, PyObject* const* parts, Py_ssize_t nparts, PyObject* args,
                    PyObject* kwargs) {
    Ref text;
    const bool deferred = inert_parts(parts, nparts);
    if (!deferred && !(text = join_parts(parts, nparts))) return Ref();
    Ref logger = read_instance_attr(self, S._logger, logger_lookup);  // read again for the call
    if (!logger) return Ref();

    // As `log(..., *args, **kwargs)` does: the method is looked up first, then
    // the arguments are unpacked, into references of our own (the lookup or
    // the call may change the caller's tuple and dict).
    // For a logger of logging's own classes that keeps its attributes inline
    // and does not shadow `log`, the lookup finds Logger.log, unbound; read
    // so, it runs no code.
    Ref method;
    int unbound = 1;
    const Layout* layout = nullptr;
    PyObject* const* values = nullptr;
    if (stock_is_current() && environment_allows_skip(level, args, kwargs))
        values = logger_values(logger.get(), &layout);
    if (values) {
        method = Ref::borrow(stock.log_function.get());
    } else {
        unbound = _PyObject_GetMethod(logger.get(), S.log, method.out());
        if (!method) return Ref();
    }
    if (values) {
        const int dropped = record_is_dropped(logger.get(), values, layout, level);
        if (dropped < 0) return Ref();
        if (dropped) return Ref::borrow(Py_None);
    }
    if (deferred && !(text = join_parts(parts, nparts))) return Ref();
    ExitHold held;
    if (Py_IsFinalizing() && hold_record_locks(logger.get(), held) < 0) return Ref();

    const Py_ssize_t nextra = args == Py_None ? 0 : PyTuple_GET_SIZE(args);
    const Py_ssize_t nkw = kwargs == Py_None ? 0 : PyDict_GET_SIZE(kwargs);
    RefStack<16> stack;
    // Slot 0 stays free for PY_VECTORCALL_ARGUMENTS_OFFSET.
    if (!stack.reserve(static_cast<size_t>(1 + 3 + nextra + nkw))) return Ref();
    stack.push(Py_None);
    if (unbound) stack.push(logger.get());
    stack.push(level);
    stack.push(text.get());
    for (Py_ssize_t i = 0; i < nextra; ++i) stack.push(PyTuple_GET_ITEM(args, i));
    const size_t nargs = stack.size() - 1;
    if (kwargs == Py_None)
        return Ref::steal(
            PyObject_Vectorcall(method.get(), stack.data() + 1, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));

    Py_ssize_t pos = 0, k = 0;
    PyObject *key, *value;
    bool keys_are_strings = true;
    while (k < nkw && PyDict_Next(kwargs, &pos, &key, &value)) {
        keys_are_strings = keys_are_strings && PyUnicode_Check(key);
        stack.push(value);
        ++k;
    }
    Ref kwnames = keys_are_strings && k == nkw ? option_names(kwargs, nkw) : Ref();
    if (!kwnames) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "keywords must be strings");
        return Ref();
    }
    return Ref::steal(
        PyObject_Vectorcall(method.get(), stack.data() + 1, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
}

static PyObject* emit(PyObject* self, PyObject* level, PyObject* const* parts, Py_ssize_t nparts, PyObject* args,
                      PyObject* kwargs) {
    Ref logger = read_instance_attr(self, S._logger, logger_lookup);
    if (!logger) return nullptr;
    int live = PyObject_IsTrue(logger.get());
    if (live <= 0) return live < 0 ? nullptr : Py_NewRef(Py_None);
    logger = Ref();

    // Building and emitting never raise an Exception to the caller; the
    // caller's handled exception is untouched because nothing is handled here.
    Ref result = call_log(self, level, parts, nparts, args, kwargs);
    if (!result && swallow_exception() < 0) return nullptr;
    Py_RETURN_NONE;
}

static PyObject* log_body(Function*, PyObject* const* a) {
    PyObject* message = a[2];
    return emit(a[0], a[1], &PyTuple_GET_ITEM(message, 0), PyTuple_GET_SIZE(message), a[3], a[4]);
}

// ---------------------------------------------------------------------------
// Level methods

// self._log through the instance, as generic attribute lookup finds it, for
// a class whose `_log` is this module's function (a non-data descriptor): the
// instance's own `_log` if it has one, else the function, unbound. Returns 1
// with *found set (a new reference), 0 when the shortcut does not apply, -1
// on error. The class's function is held before the instance's dictionary is
// searched: the search can run code that replaces or deletes it.
static ClassLookup log_lookup;

static int find_log_method(PyObject* self, Ref& found, int* unbound) {
    PyTypeObject* tp = Py_TYPE(self);
    if (!log_lookup.hit(tp) && !(log_lookup.learn(tp, S._log), log_lookup.hit(tp))) return 0;
    if (!log_lookup.found || !is_function_of(log_lookup.found, &log_spec)) return 0;
    PyObject* own = nullptr;
    if (log_lookup.inline_value(self, S._log, &own)) {
        *unbound = own == nullptr;
        found = Ref::borrow(own ? own : log_lookup.found);
        return 1;
    }
    Ref from_class = Ref::borrow(log_lookup.found);
    Ref from_instance;
    int rc = instance_value(self, S._log, from_instance);
    if (rc == -2) return 0;
    if (rc < 0) return -1;
    *unbound = rc == 0;
    found = rc ? std::move(from_instance) : std::move(from_class);
    return 1;
}

// The shared body of debug/info/warning/error/critical. `message` is the
// collected tuple when the caller already has one, else null (the parts are
// then parts[0..nparts)).
static PyObject* level_call(PyObject* level_name, AttrCache& cache, PyObject* self, PyObject* const* parts,
                            Py_ssize_t nparts, PyObject* message, PyObject* args, PyObject* kwargs) {
    // As in `self._log(logging.INFO, ...)`: the callable first, then the level.
    Ref method;
    int unbound = 0;
    const int shortcut = find_log_method(self, method, &unbound);
    if (shortcut < 0) return nullptr;
    if (shortcut == 0) {
        unbound = _PyObject_GetMethod(self, S._log, method.out());
        if (!method) return nullptr;
    }
    PyObject* found = method.get();
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
    Ref result = unbound
                     ? Ref::steal(PyObject_Vectorcall(found, stack + 1, 5 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr))
                     : Ref::steal(PyObject_Vectorcall(found, stack + 2, 4 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!result) return nullptr;
    Py_RETURN_NONE;
}

template <PyObject* Names::* LevelName>
AttrCache level_cache;

template <PyObject* Names::* LevelName>
static PyObject* level_body(Function*, PyObject* const* a) {
    PyObject* message = a[1];
    return level_call(S.*LevelName, level_cache<LevelName>, a[0], &PyTuple_GET_ITEM(message, 0),
                      PyTuple_GET_SIZE(message), message, a[2], a[3]);
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
template <PyObject* Names::* LevelName>
static PyObject* level_entry(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* options[2] = {Py_None, Py_None};  // args, kwargs
    if (nargs == 0 || (kwnames && !take_options(kwnames, args + nargs, options)))
        return function_vectorcall(callable, args, nargsf, kwnames);
    PyObject* result =
        level_call(S.*LevelName, level_cache<LevelName>, args[0], args + 1, nargs - 1, nullptr, options[0], options[1]);
    if (!result) add_traceback(reinterpret_cast<Function*>(callable));
    return result;
}

// ---------------------------------------------------------------------------
// Tables

static const Param log_params[] = {
    kSelf,
    {"level", Kind::PositionalOrKeyword, Default::Required, Check::Int, "int"},
    {"message", Kind::PositionalOrKeyword, Default::Required, Check::Tuple, "Tuple[Any, ...]"},
    {"args", Kind::PositionalOrKeyword, Default::None, Check::TupleOrNone, "Optional[Tuple[Any, ...]]"},
    {"kwargs", Kind::PositionalOrKeyword, Default::None, Check::DictOrNone, "Optional[Dict[str, Any]]"},
};
static const Param level_params[] = {
    kSelf,
    {"message", Kind::VarPositional, Default::Required, Check::None, "Any"},
    {"args", Kind::KeywordOnly, Default::None, Check::TupleOrNone, "Optional[Tuple[Any, ...]]"},
    {"kwargs", Kind::KeywordOnly, Default::None, Check::DictOrNone, "Optional[Dict[str, Any]]"},
};

const FunctionSpec log_spec = {
    .name = "_log",
    .qualname = "_LogBase._log",
    .traceback_name = "log_main._LogBase._log",
    .doc = "_LogBase._log(self, int level: int, tuple message: Tuple[Any, ...], tuple args: Optional[Tuple[Any, "
           "...]] = None, dict kwargs: Optional[Dict[str, Any]] = None) -> None",
    .return_annotation = "None",
    .params = log_params,
    .body = log_body,
    .line = 240,
};

// debug, info, warning, error and critical: one table each, the same but for
// the level constant their body reads and their entry point.
#define LOG_MAIN_LEVEL_SPEC(var, method, LEVEL, line_number)                                              \
    const FunctionSpec var = {                                                                            \
        .name = #method,                                                                                  \
        .qualname = "_LogBase." #method,                                                                  \
        .traceback_name = "log_main._LogBase." #method,                                                   \
        .doc = "_LogBase." #method "(self, *message: Any, tuple args: Optional[Tuple[Any, ...]] = None, " \
               "dict kwargs: Optional[Dict[str, Any]] = None) -> None",                                   \
        .return_annotation = "None",                                                                      \
        .params = level_params,                                                                           \
        .body = level_body<&Names::LEVEL>,                                                                \
        .line = line_number,                                                                              \
        .entry = level_entry<&Names::LEVEL>,                                                              \
    };
LOG_MAIN_LEVEL_SPEC(debug_spec, debug, DEBUG, 262)
LOG_MAIN_LEVEL_SPEC(info_spec, info, INFO, 266)
LOG_MAIN_LEVEL_SPEC(warning_spec, warning, WARNING, 270)
LOG_MAIN_LEVEL_SPEC(error_spec, error, ERROR, 274)
LOG_MAIN_LEVEL_SPEC(critical_spec, critical, CRITICAL, 278)
#undef LOG_MAIN_LEVEL_SPEC

}  // namespace log_main
