// The early return of a dropped call: when the record of
// `logger.log(level, text, *args, **kwargs)` would be made only to be dropped
// at every handler, the call is not made. That is allowed only when no caller,
// subclass, handler, filter, record factory, profiler, mock or other thread
// could tell the difference. Following logging's own code (CPython 3.13, 3.14
// and 3.15; what differs between them is listed after the conditions), the call
// is skipped when all of this holds, checked in this order:
//
//  D1  Everything the full call would run is logging's and Python's own, as
//      shipped: every name in kRows below (the globals and builtins the
//      functions load, the attributes they read on modules, classes and
//      instances) is as shipped. Functions are accepted only as the running
//      interpreter ships them (the fingerprint of their code, defaults and
//      keyword defaults is a row of shipped_code.inc under their module and
//      qualname: a function put in logging's place before anything logged is
//      not trusted for being there first), then pinned with their code,
//      defaults and keyword defaults; other names are pinned as first checked:
//      classes by identity, with no __del__, __bool__, __len__, own attribute
//      hooks or data descriptors where the call reads and writes instance
//      values. What kRows must hold is derived from the bytecode by
//      scripts/stock-names.
//  D2  Nothing watches the call run: no profile or trace function on the
//      thread, no audit hook (currentframe's sys._getframe is audited), no
//      sys.monitoring tool with global events, nor with local events on a code
//      object the call runs.
//  D3  Logger.log, `if not isinstance(level, int)` and the lookup of `log`:
//      the level is an exact int; the logger is exactly of logging's Logger or
//      RootLogger, keeps its attributes inline, and shadows none of the
//      methods the call passes through.
//  D4  Logger.isEnabledFor, `if self.disabled` and `return self._cache[level]`:
//      `disabled` is True (nothing happens: done) or False; `_cache` is a dict
//      of exact int keys, whose value for the level is True or False. A miss
//      (the real isEnabledFor would run Python code under logging's lock)
//      makes the call.
//  D5  Logger.log, `self._log(level, msg, args, **kwargs)`: the options are
//      exact str keys among exc_info, stack_info, stacklevel and extra.
//  D6  Logger._log, `if exc_info:` and `isinstance(exc_info, BaseException)`:
//      exc_info is None, a bool, an exact int or an exact tuple.
//  D7  Logger.findCaller, `if stack_info:` and `while stacklevel > 0`:
//      stack_info is None, False or 0; stacklevel is an exact int.
//  D8  Logger.makeRecord, `for key in extra`: extra is None or a dict of
//      exact str keys.
//  D9  LogRecord.__init__, `isinstance(args[0], collections.abc.Mapping)`:
//      args is not a lone element (the ABC check runs Python code and fills
//      caches).
//  D10 LogRecord.__init__, `threading.current_thread().name` (with
//      logThreads): the thread is in threading._active (else current_thread()
//      makes a _DummyThread), and its class reads `name` through Thread's own
//      property from a plain `_name`.
//  D11 LogRecord.__init__, `mp.current_process().name` (with
//      logMultiprocessing, multiprocessing imported): the current process
//      object's class reads `name` through BaseProcess's own property.
//  D12 LogRecord.__init__, `asyncio.current_task().get_name()` (with
//      logAsyncioTasks, asyncio imported): no event loop runs in the thread,
//      or its current task is none or an exact C Task (and, on 3.13, the loop
//      hashes as object does).
//  D13 Logger.handle, `maybe_record = self.filter(record)`: the logger has no
//      filters (Filterer.filter, `for f in self.filters`).
//  D14 Logger.callHandlers, `for hdlr in c.handlers` ... `c = c.parent`:
//      along the propagation chain at least one handler is found (else
//      lastResort or the one-time warning acts), every handler's class leaves
//      `level` to the instance and its value is an exact int above the level,
//      `propagate` is a bool or an exact int, and the parents are loggers of
//      logging's classes (or None).
//
// Between versions. The functions the full call runs read the same names on
// 3.13, 3.14 and 3.15 (scripts/stock-names derives the same list from each;
// only the instructions spelling the reads differ), so kRows has no row of its
// own for any version. What differs:
//  - D12, asyncio.current_task(): 3.13 looks the running loop up in _asyncio's
//    dict of current tasks, hashing it (a loop with a hash of its own makes the
//    call, and the check walks that dict comparing identities); 3.14 and 3.15
//    compare it by identity with the loop running in the thread and give that
//    thread's running task, so the check asks current_task() itself.
//  - D4 and D10, `self._cache[level]` and `_active[get_ident()]`: the state of
//    those dicts is remembered by the dict version on 3.13 and by a dict
//    watcher since 3.14 removed it (priv::dict_version).
//  - D2, a code object's local monitoring events: a public field on 3.13, an
//    internal one since; since 3.14 freeing a tool also clears its events and
//    callbacks, so with no tool in use none are looked for
//    (priv::monitoring_local_events).
//
// The proof runs no code of anyone's: every dict it looks into holds only
// exact str keys (or exact int keys), and nothing it reads is called. So no
// code runs between the caller's call and the early return, and a call that is
// made after all is built from the options as the caller passed them.
//
// Caches, what invalidates each, and the benchmark row that pays for it
// (row "dropped DEBUG", 9a of bench/run.py):
//  - `stock`: the result of checking kRows (a function's fingerprint is
//    computed when it is first pinned, never at a call); the dict watcher's
//    epoch (every dict the rows are read from is watched), the function
//    watcher (code, defaults or keyword defaults replaced in place), and the
//    version tags of Logger, RootLogger and LogRecord.
//  - `logger_layouts`, `handler_classes`: where the values sit in the shared
//    attribute layout of a class; class, version tag, layout and its size.
//  - `cache_seen`: that a logger's `_cache` has only exact int keys, and its
//    answer for the level last asked; the dict's identity and version.
//  - `thread_slots`: the thread object of a thread state in threading._active;
//    the version of that dict (a thread that ends leaves it, which changes it).
#include "logger/dropped.hpp"
#include "logger/fingerprint.hpp"
#include "logger/stock.hpp"

#include <cstring>

#include "module/fast_attr.hpp"
#include "module/globals.hpp"

namespace log_main {

// ---------------------------------------------------------------------------
// Limits

// Loggers walked along a propagation chain. Dotted names nest a few levels
// deep; a longer chain (or a cycle of parents) makes the call.
constexpr int kMaxChainDepth = 64;
// Handler classes whose `level` slot is remembered at once. A program has a
// handful; a ninth evicts the oldest, which is then worked out again (it is
// never a reason to stop returning early).
constexpr int kHandlerClassWays = 8;
// Threads whose entry in threading._active is remembered at once. Threads that
// log in turn beyond that look their entry up again (a dict lookup of an int).
constexpr int kThreadSlots = 4;
#if PY_VERSION_HEX < 0x030E0000
// Event loops looked through in asyncio's table of current tasks (one per
// thread running a loop). More make the call.
constexpr Py_ssize_t kMaxRunningLoops = 8;
#endif

// ---------------------------------------------------------------------------
// D1: the table of checked names
//
// Each row names what the full call reads (the owner: a module, or instances
// of a class) and what it must be. scripts/stock-names derives the list from
// the bytecode and fails when a row is missing or not needed.

enum class Owner : uint8_t {
    none,
    logging,
    os,
    posixpath,
    genericpath,
    sys,
    time,
    threading,
    builtins,
    multiprocessing,           // when imported
    multiprocessing__process,  // when multiprocessing is imported
    asyncio,                   // when imported
    logging__Logger,
    logging__RootLogger,
    logging__LogRecord,
    threading__Thread,
    multiprocessing__process__BaseProcess,
    handler,  // the class of each handler, checked at each call (D14)
    count
};
constexpr int kOwners = static_cast<int>(Owner::count);

enum Flag : uint8_t { kLogThreads, kLogMultiprocessing, kLogProcesses, kLogAsyncioTasks, kFlags };

using Row = TableRow<Owner>;

// In an order where each owner is resolved before its names are read.
static constexpr Row kRows[] = {
    // logging's globals (LogRecord.__init__, findCaller, _is_internal_frame, getLevelName, ...)
    ROW(logging, "os", Module, AS(os)),
    ROW(logging, "sys", Module, AS(sys)),
    ROW(logging, "time", Module, AS(time)),
    ROW(logging, "threading", Module, AS(threading)),
    ROW(logging, "LogRecord", Class, AS(logging__LogRecord)),
    ROW(logging, "_logRecordFactory", Same, AS(logging__LogRecord)),
    ROW(logging, "_is_internal_frame", Function, AS(logging)),
    ROW(logging, "currentframe", Function, AS(logging), "<lambda>"),
    ROW(logging, "getLevelName", Function, AS(logging)),
    ROW(logging, "_levelToName", IntKeys),
    ROW(logging, "_nameToLevel", StrKeys),
    ROW(logging, "_srcfile", Text),
    ROW(logging, "_startTime", Number),
    ROW(logging, "logThreads", Flag, kLogThreads),
    ROW(logging, "logMultiprocessing", Flag, kLogMultiprocessing),
    ROW(logging, "logProcesses", Flag, kLogProcesses),
    ROW(logging, "logAsyncioTasks", Flag, kLogAsyncioTasks),
    // The methods a logger passes the call through, and what they read on it.
    ROW(logging__Logger, "log", Method),
    ROW(logging__Logger, "isEnabledFor", Method),
    ROW(logging__Logger, "_log", Method),
    ROW(logging__Logger, "findCaller", Method),
    ROW(logging__Logger, "makeRecord", Method),
    ROW(logging__Logger, "handle", Method),
    ROW(logging__Logger, "filter", Method, 0, "Filterer.filter"),
    ROW(logging__Logger, "callHandlers", Method),
    ROW(logging__Logger, "disabled", Own),
    ROW(logging__Logger, "_cache", Own),
    ROW(logging__Logger, "filters", Own),
    ROW(logging__Logger, "handlers", Own),
    ROW(logging__Logger, "name", Own),
    ROW(logging__Logger, "parent", Own),
    ROW(logging__Logger, "propagate", Own),
    ROW(logging__RootLogger, "log", Method),  // and every other Logger row, for RootLogger
    // The record: made by its class (with object's __new__), written by LogRecord.__init__, read
    // by callHandlers and makeRecord.
    ROW(logging__LogRecord, "__init__", Method),
    ROW(logging__LogRecord, "__dict__", InstanceDict),
    ROW(logging__LogRecord, "name", Own),
    ROW(logging__LogRecord, "msg", Own),
    ROW(logging__LogRecord, "args", Own),
    ROW(logging__LogRecord, "levelname", Own),
    ROW(logging__LogRecord, "levelno", Own),
    ROW(logging__LogRecord, "pathname", Own),
    ROW(logging__LogRecord, "filename", Own),
    ROW(logging__LogRecord, "module", Own),
    ROW(logging__LogRecord, "exc_info", Own),
    ROW(logging__LogRecord, "exc_text", Own),
    ROW(logging__LogRecord, "stack_info", Own),
    ROW(logging__LogRecord, "lineno", Own),
    ROW(logging__LogRecord, "funcName", Own),
    ROW(logging__LogRecord, "created", Own),
    ROW(logging__LogRecord, "msecs", Own),
    ROW(logging__LogRecord, "relativeCreated", Own),
    ROW(logging__LogRecord, "thread", Own),
    ROW(logging__LogRecord, "threadName", Own),
    ROW(logging__LogRecord, "processName", Own),
    ROW(logging__LogRecord, "process", Own),
    ROW(logging__LogRecord, "taskName", Own),
    // os and os.path (basename, splitext, normcase and what they call)
    ROW(os, "path", Module, AS(posixpath)),
    ROW(os, "fspath", Builtin),
    ROW(os, "getpid", Builtin),
    ROW(posixpath, "os", Module, AS(os)),
    ROW(posixpath, "genericpath", Module, AS(genericpath)),
    ROW(posixpath, "basename", Function, AS(posixpath)),
    ROW(posixpath, "splitext", Function, AS(posixpath)),
    ROW(posixpath, "normcase", Function, AS(posixpath)),
    ROW(posixpath, "_get_sep", Function, AS(posixpath)),
    ROW(genericpath, "_splitext", Function, AS(genericpath)),
    ROW(sys, "_getframe", Builtin),
    ROW(sys, "exc_info", Builtin),
    ROW(time, "time_ns", Builtin),
    // threading (D10)
    ROW(threading, "get_ident", Builtin),
    ROW(threading, "current_thread", Function, AS(threading)),
    ROW(threading, "_active", IntKeys),
    ROW(threading__Thread, "name", Property),
    ROW(threading__Thread, "_name", Own),
    ROW(threading__Thread, "_initialized", Plain),
    // multiprocessing (D11) and asyncio (D12), when imported
    ROW(sys, "modules", Modules),
    ROW(multiprocessing, "current_process", Function, AS(multiprocessing__process)),
    ROW(multiprocessing__process__BaseProcess, "name", Property),
    ROW(multiprocessing__process__BaseProcess, "_name", Own),
    ROW(multiprocessing__process, "_current_process", Process),
    ROW(asyncio, "current_task", Builtin),
    // The builtins the functions load, shadowed by none of their modules.
    ROW(builtins, "isinstance", Builtin),
    ROW(builtins, "hasattr", Builtin),
    ROW(builtins, "len", Builtin),
    ROW(builtins, "max", Builtin),
    ROW(builtins, "int", Builtin),
    ROW(builtins, "tuple", Builtin),
    ROW(builtins, "bytes", Builtin),
    ROW(builtins, "BaseException", Builtin),
    ROW(builtins, "Exception", Builtin),
    ROW(builtins, "KeyError", Builtin),
    // The handlers' classes, checked at each call (D14).
    ROW(handler, "level", Own),
};
#undef ROW
#undef AS
constexpr int kRowCount = sizeof kRows / sizeof kRows[0];

// Owners that are looked at only when the module is imported.
static bool optional_owner(Owner o) {
    return o == Owner::multiprocessing || o == Owner::multiprocessing__process ||
           o == Owner::multiprocessing__process__BaseProcess || o == Owner::asyncio;
}

// Classes found in a module's namespace rather than through a row: the classes
// whose methods and instances the call uses.
struct Anchor {
    Owner owner, module;
    const char* name;
};
static constexpr Anchor kAnchors[] = {
    {Owner::logging__Logger, Owner::logging, "Logger"},
    {Owner::logging__RootLogger, Owner::logging, "RootLogger"},
    {Owner::threading__Thread, Owner::threading, "Thread"},
    {Owner::multiprocessing__process__BaseProcess, Owner::multiprocessing__process, "BaseProcess"},
};

static Pin row_pins[kRowCount];
static Pin getter_pins[kRowCount];  // the getters of Property rows
static PyObject* anchor_pins[sizeof kAnchors / sizeof kAnchors[0]];
// What current_task() reads in _asyncio (D12): the running loop, the C Task
// class and, on 3.13, the table of current tasks by loop (3.14 keeps the
// running task in the thread state instead).
static const char* const kAsyncioNames[] = {"_get_running_loop", "Task",
#if PY_VERSION_HEX < 0x030E0000
                                            "_current_tasks"
#endif
};
constexpr int kAsyncioPins = sizeof kAsyncioNames / sizeof kAsyncioNames[0];
static PyObject* asyncio_pins[kAsyncioPins];
static PyObject* asyncio_current_task = nullptr;  // the pinned current_task (the asyncio row)

// Classes whose changes are watched through their version tags: the anchors
// and the record class.
constexpr int kClasses = sizeof kAnchors / sizeof kAnchors[0] + 1;

// The outcome of the last check of kRows.
struct Stock {
    uint64_t epoch = 0;             // the dict watcher's epoch it was made at
    uint64_t function_changes = 0;  // the function watcher's count it was made at
    bool usable = false;
    PyTypeObject* logger_type = nullptr;  // pinned: never freed
    PyTypeObject* root_type = nullptr;
    PyTypeObject* record_type = nullptr;
    // The classes pinned so far, with their version tags when checked: a change
    // of any of them (or of a base) checks again, whatever the outcome was.
    PyTypeObject* classes[kClasses] = {};
    unsigned int versions[kClasses] = {};
    int nclasses = 0;
    bool flags[kFlags] = {};
    PyCodeObject* codes[kMaxCodes];  // the code objects the full call runs (pinned)
    int ncodes = 0;
    PyObject* threads_active = nullptr;  // threading._active, when records name threads
    PyObject* thread_name = nullptr;  // Thread.name, its getter, and where the property keeps it
    PyObject* thread_name_get = nullptr;
    PyObject* const* thread_name_slot = nullptr;
    PyObject* process = nullptr;  // the current process object, when records name it
    PyObject* process_name = nullptr;
    PyObject* process_name_get = nullptr;
    PyObject* const* process_name_slot = nullptr;
    bool asyncio = false;  // records name the task
};
static Stock stock;

// Counts changes of a function's code, defaults or keyword defaults (no dict
// changes for those). Creation and destruction of functions are left at once.
static uint64_t function_changes = 0;
static int function_watcher = -1;

static int on_function_event(PyFunction_WatchEvent event, PyFunctionObject*, PyObject*) {
    if (event == PyFunction_EVENT_MODIFY_CODE || event == PyFunction_EVENT_MODIFY_DEFAULTS ||
        event == PyFunction_EVENT_MODIFY_KWDEFAULTS)
        ++function_changes;
    return 0;
}

// ---------------------------------------------------------------------------
// Checking the rows (when a watched dict, a function or a class changed)

// dict[name] (borrowed, kept alive by the watched dict until the next check),
// in a dict of exact str keys: the lookup runs no code.
static PyObject* item(PyObject* dict, const char* name) {
    PyObject* key = PyUnicode_InternFromString(name);
    if (!key) return PyErr_Clear(), nullptr;
    PyObject* value = PyDict_GetItemWithError(dict, key);
    Py_DECREF(key);
    if (!value) PyErr_Clear();
    return value;
}

// Whether a function's globals are the namespace of the module they name
// (`__name__` in sys.modules): shipped code run in a copy of its module's
// namespace, whose globals may differ, is not the shipped function.
static bool own_module_namespace(PyObject* globals) {
    PyObject* name = item(globals, "__name__");
    PyObject* modules = PyImport_GetModuleDict();
    if (!name || !PyUnicode_CheckExact(name) || !modules || !PyDict_CheckExact(modules) ||
        !priv::dict_has_str_keys(modules))
        return false;
    PyObject* module = PyDict_GetItemWithError(modules, name);  // exact str keys: compares str only
    if (!module) return PyErr_Clear(), false;
    return PyModule_CheckExact(module) && PyModule_GetDict(module) == globals;
}

// A module namespace the proof reads from: watched, and of exact str keys.
static bool readable_dict(PyObject* dict) {
    return dict && PyDict_CheckExact(dict) && priv::dict_has_str_keys(dict) && watch_dict(dict);
}

// A class whose instances run no code where the call makes, tests or reads
// them: its metaclass is type, attribute access is the generic one, it has no
// __del__, no truth test of its own, and every dict along its MRO has exact str
// keys (so looking a name up in the class runs no code).
static bool plain_class(PyTypeObject* tp) {
    if (Py_TYPE(tp) != &PyType_Type || tp->tp_getattro != PyObject_GenericGetAttr ||
        tp->tp_setattro != PyObject_GenericSetAttr || tp->tp_finalize || tp->tp_del)
        return false;
    if ((tp->tp_as_number && tp->tp_as_number->nb_bool) || (tp->tp_as_mapping && tp->tp_as_mapping->mp_length) ||
        (tp->tp_as_sequence && tp->tp_as_sequence->sq_length))
        return false;
    PyObject* mro = tp->tp_mro;
    if (!mro || !PyTuple_CheckExact(mro)) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        Ref dict = Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))));
        if (!dict || !PyDict_CheckExact(dict.get()) || !priv::dict_has_str_keys(dict.get())) return false;
    }
    return PyUnstable_Type_AssignVersionTag(tp);
}

static PyObject* lookup(PyObject* cls, const char* name) {
    PyObject* key = PyUnicode_InternFromString(name);
    if (!key) return PyErr_Clear(), nullptr;
    PyObject* found = _PyType_Lookup(reinterpret_cast<PyTypeObject*>(cls), key);
    Py_DECREF(key);
    return found;
}

// The qualname as shipped: the row's, or `name` itself or ending in ".name".
static bool qualname_is(PyObject* f, const char* name, const char* qualname) {
    PyObject* qn = reinterpret_cast<PyFunctionObject*>(f)->func_qualname;
    if (!PyUnicode_CheckExact(qn)) return false;
    if (qualname) return PyUnicode_CompareWithASCIIString(qn, qualname) == 0;
    if (PyUnicode_CompareWithASCIIString(qn, name) == 0) return true;
    Ref dotted = Ref::steal(PyUnicode_FromFormat(".%s", name));
    if (!dotted) return PyErr_Clear(), false;
    return PyUnicode_Tailmatch(qn, dotted.get(), 0, PY_SSIZE_T_MAX, 1) == 1;
}

// A Python function as shipped: pinned, with its code and defaults, when it
// has the row's qualname, its globals are the namespace of the module they
// name, and its fingerprint (code, defaults and keyword defaults) is one the running
// interpreter ships under its module and qualname (shipped_function(),
// fingerprint.hpp). The fingerprint is computed here, once; later: the same
// function with the same code and defaults. Its code object is added to
// `codes` (at most kMaxCodes), for the monitoring check.
static bool pin_function(PyObject* f, const char* name, const char* qualname, Pin& pin, PyCodeObject** codes,
                         int* ncodes) {
    if (!f || !PyFunction_Check(f)) return false;
    auto* fn = reinterpret_cast<PyFunctionObject*>(f);
    if (!pin.value) {
        if (!PyDict_CheckExact(fn->func_globals) || !priv::dict_has_str_keys(fn->func_globals)) return false;
        if (!own_module_namespace(fn->func_globals) || !qualname_is(f, name, qualname)) return false;
        if (!shipped_function(f)) return false;
        pin.value = Py_NewRef(f);
        pin.code = Py_NewRef(fn->func_code);
        pin.defaults = Py_XNewRef(fn->func_defaults);
        pin.kwdefaults = Py_XNewRef(fn->func_kwdefaults);
    }
    if (f != pin.value || fn->func_code != pin.code || fn->func_defaults != pin.defaults ||
        fn->func_kwdefaults != pin.kwdefaults)
        return false;
    if (*ncodes == kMaxCodes) return false;
    PyCodeObject* code = reinterpret_cast<PyCodeObject*>(pin.code);
    for (int i = 0; i < *ncodes; ++i)
        if (codes[i] == code) return true;
    codes[(*ncodes)++] = code;
    return true;
}

static bool pinned_function(PyObject* f, const Row& row, Pin& pin) {
    return pin_function(f, row.name, row.qualname, pin, stock.codes, &stock.ncodes);
}

// The object as first seen (pinned); later the same object.
static bool pinned(PyObject* value, Pin& pin) {
    if (!value) return false;
    if (!pin.value) pin.value = Py_NewRef(value);
    return value == pin.value;
}

// An exact dict whose keys all pass `check`.
static bool exact_keys(PyObject* dict, bool (*check)(PyObject*)) {
    if (!dict || !PyDict_CheckExact(dict)) return false;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value))
        if (!check(key)) return false;
    return true;
}
static bool exact_int(PyObject* o) { return PyLong_CheckExact(o); }
static bool exact_str(PyObject* o) { return PyUnicode_CheckExact(o); }

// What the checking of the rows has resolved: each owner's namespace (a module
// dict) or class.
struct Owners {
    PyObject* of[kOwners] = {};

    PyObject*& operator[](Owner o) { return of[static_cast<int>(o)]; }
};

static PyObject* resolve_anchor(Owners& owners, Owner o) {
    for (size_t i = 0; i < sizeof kAnchors / sizeof kAnchors[0]; ++i) {
        const Anchor& a = kAnchors[i];
        if (a.owner != o) continue;
        PyObject* ns = owners[a.module];
        if (!ns) return nullptr;
        if (!anchor_pins[i]) {
            PyObject* cls = item(ns, a.name);
            if (!cls || !PyType_Check(cls)) return nullptr;
            anchor_pins[i] = Py_NewRef(cls);
        }
        return owners[o] = anchor_pins[i];
    }
    return nullptr;
}

// The class reads `name` through the property `prop` from the instance's own
// `_name` (D10, D11), and for a thread `_initialized` with no descriptor.
static bool reads_name_plainly(PyTypeObject* tp, PyObject* prop, bool thread) {
    if (!plain_class(tp) || lookup(reinterpret_cast<PyObject*>(tp), "name") != prop ||
        lookup(reinterpret_cast<PyObject*>(tp), "_name"))
        return false;
    PyObject* initialized = thread ? lookup(reinterpret_cast<PyObject*>(tp), "_initialized") : nullptr;
    return !initialized || !Py_TYPE(initialized)->tp_descr_get;
}

// Checks one row against what the owner holds now.
static bool check_row(int index, Owners& owners) {
    const Row& row = kRows[index];
    Pin& pin = row_pins[index];
    if (row.owner == Owner::handler) return true;  // per handler class, at each call (D14)
    PyObject* ns = owners[row.owner];
    if (!ns && !(ns = resolve_anchor(owners, row.owner))) return optional_owner(row.owner);
    const bool on_class = PyType_Check(ns);
    if (on_class && !plain_class(reinterpret_cast<PyTypeObject*>(ns))) return false;  // before any lookup in it
    PyObject* value = on_class ? lookup(ns, row.name) : item(ns, row.name);
    const Owner target = static_cast<Owner>(row.arg);
    switch (row.must) {
        case Must::Module: {
            if (!value || !PyModule_CheckExact(value) || !pinned(value, pin)) return false;
            PyObject* dict = PyModule_GetDict(value);
            if (owners[target] && owners[target] != dict) return false;
            owners[target] = dict;
            return readable_dict(dict);
        }
        case Must::Function:
        case Must::Method: {
            if (!pinned_function(value, row, pin)) return false;
            PyObject* globals = reinterpret_cast<PyFunctionObject*>(value)->func_globals;
            if (row.must == Must::Function) {
                if (owners[target] && owners[target] != globals) return false;
                owners[target] = globals;
                if (!readable_dict(globals)) return false;
            }
            if (row.owner == Owner::logging__RootLogger) {
                // RootLogger adds nothing to the Logger rows.
                PyObject* logger = owners[Owner::logging__Logger];
                if (!logger || reinterpret_cast<PyTypeObject*>(ns)->tp_base != reinterpret_cast<PyTypeObject*>(logger))
                    return false;
                for (int i = 0; i < kRowCount; ++i) {
                    if (kRows[i].owner != Owner::logging__Logger) continue;
                    PyObject* on_root = lookup(ns, kRows[i].name);
                    if (kRows[i].must == Must::Own ? on_root != nullptr : on_root != row_pins[i].value) return false;
                }
            }
            return true;
        }
        case Must::Builtin:
            if (!value || !(PyCFunction_CheckExact(value) ||
                            (PyType_Check(value) &&
                             !(reinterpret_cast<PyTypeObject*>(value)->tp_flags & Py_TPFLAGS_HEAPTYPE))))
                return false;
            if (row.owner == Owner::builtins) {
                // Not shadowed by a global of a module whose functions load it.
                for (Owner reader : {Owner::logging, Owner::posixpath, Owner::genericpath, Owner::threading,
                                     Owner::multiprocessing__process})
                    if (owners[reader] && item(owners[reader], row.name)) return false;
            }
            return pinned(value, pin);
        case Must::Class: {
            if (!value || !PyType_Check(value) || !pinned(value, pin)) return false;
            owners[target] = value;
            return plain_class(reinterpret_cast<PyTypeObject*>(value)) &&
                   reinterpret_cast<PyTypeObject*>(value)->tp_new == PyBaseObject_Type.tp_new;
        }
        case Must::Same:
            return value && value == owners[target];
        case Must::Property:
            if (!value || !Py_IS_TYPE(value, &PyProperty_Type) || !pinned(value, pin)) return false;
            {
                // The getter, pinned as a function of the owner's module.
                Row getter = row;
                getter.qualname = nullptr;
                if (!pinned_function(*priv::property_getter_slot(value), getter, getter_pins[index])) return false;
                if (row.owner == Owner::threading__Thread) {
                    stock.thread_name = value;
                    stock.thread_name_get = getter_pins[index].value;
                    stock.thread_name_slot = priv::property_getter_slot(value);
                } else {
                    stock.process_name = value;
                    stock.process_name_get = getter_pins[index].value;
                    stock.process_name_slot = priv::property_getter_slot(value);
                }
            }
            return plain_class(reinterpret_cast<PyTypeObject*>(ns));
        case Must::Own:
            return on_class && !value && plain_class(reinterpret_cast<PyTypeObject*>(ns));
        case Must::Plain:
            return on_class && (!value || !Py_TYPE(value)->tp_descr_get) && plain_class(reinterpret_cast<PyTypeObject*>(ns));
        case Must::InstanceDict:
            return value && Py_IS_TYPE(value, &PyGetSetDescr_Type);
        case Must::Flag:
            if (!value || !(PyBool_Check(value) || PyLong_CheckExact(value))) return false;
            stock.flags[row.arg] = PyObject_IsTrue(value) == 1;  // an exact int: no code runs
            return true;
        case Must::Text:
            return value && (value == Py_None || PyUnicode_CheckExact(value));
        case Must::Number:
            return value && (PyLong_CheckExact(value) || PyFloat_CheckExact(value));
        case Must::IntKeys:
            if (!exact_keys(value, exact_int) || !watch_dict(value)) return false;
            if (row.owner == Owner::threading) stock.threads_active = value;
            return true;
        case Must::StrKeys:
            return exact_keys(value, exact_str) && watch_dict(value);
        case Must::Modules: {
            if (!value || !readable_dict(value)) return false;
            struct Optional {
                Flag flag;
                const char* name;
                Owner owner;
            };
            for (const Optional& o : {Optional{kLogMultiprocessing, "multiprocessing", Owner::multiprocessing},
                                      Optional{kLogAsyncioTasks, "asyncio", Owner::asyncio}}) {
                if (!stock.flags[o.flag]) continue;
                PyObject* mod = item(value, o.name);
                if (!mod || mod == Py_None) continue;  // sys.modules.get(...) gives nothing
                if (!PyModule_CheckExact(mod) || !readable_dict(PyModule_GetDict(mod))) return false;
                owners[o.owner] = PyModule_GetDict(mod);
                if (o.owner == Owner::asyncio) stock.asyncio = true;
            }
            return true;
        }
        case Must::Process:
            if (!value) return false;
            stock.process = value;
            return stock.process_name != nullptr;
        default:  // the traceback table's kinds
            return false;
    }
    return false;
}

// asyncio's C internals behind current_task() (D12, kAsyncioNames).
static bool check_asyncio() {
    if (!stock.asyncio) return true;
    PyObject* current_task = nullptr;
    for (int i = 0; i < kRowCount; ++i)
        if (kRows[i].owner == Owner::asyncio) current_task = row_pins[i].value;
    if (!current_task || !PyCFunction_CheckExact(current_task)) return false;
    PyObject* c_module = PyCFunction_GET_SELF(current_task);
    if (!c_module || !PyModule_CheckExact(c_module)) return false;
    PyObject* dict = PyModule_GetDict(c_module);
    if (!readable_dict(dict)) return false;
    for (int i = 0; i < kAsyncioPins; ++i) {
        PyObject* value = item(dict, kAsyncioNames[i]);
        if (!value) return false;
        if (!asyncio_pins[i]) asyncio_pins[i] = Py_NewRef(value);
        if (value != asyncio_pins[i]) return false;
    }
    asyncio_current_task = current_task;
#if PY_VERSION_HEX < 0x030E0000
    if (!PyDict_CheckExact(asyncio_pins[2])) return false;
#endif
    return PyCFunction_CheckExact(asyncio_pins[0]) && (PyCFunction_GET_FLAGS(asyncio_pins[0]) & METH_NOARGS) &&
           PyType_Check(asyncio_pins[1]) &&
           (reinterpret_cast<PyTypeObject*>(asyncio_pins[1])->tp_flags & Py_TPFLAGS_IMMUTABLETYPE);
}

// The pinned classes and their version tags, for stock_is_current().
static void note_classes() {
    PyObject* record = nullptr;
    for (int i = 0; i < kRowCount; ++i)
        if (kRows[i].must == Must::Class) record = row_pins[i].value;
    int n = 0;
    for (PyObject* cls : anchor_pins)
        if (cls) stock.classes[n++] = reinterpret_cast<PyTypeObject*>(cls);
    if (record) stock.classes[n++] = reinterpret_cast<PyTypeObject*>(record);
    stock.nclasses = n;
    for (int i = 0; i < n; ++i) {
        PyTypeObject* tp = stock.classes[i];
        // A class out of version tags (changed too often) cannot be watched: no early return.
        if (!PyUnstable_Type_AssignVersionTag(tp)) stock.usable = false;
        stock.versions[i] = tp->tp_version_tag;
    }
}

// Checks every row and records the outcome with the epoch it was made at.
// Runs no code; never raises.
static void check_rows() {
    if (function_watcher < 0) {
        function_watcher = PyFunction_AddWatcher(on_function_event);
        if (function_watcher < 0) PyErr_Clear();
    }
    if (function_watcher < 0 || !watch_dict(M.ns)) return;
    Owners owners;
    PyObject* logging_module = PyDict_GetItemWithError(M.ns, S.logging);  // the name _log reads it by
    if (!logging_module) return PyErr_Clear();
    if (!PyModule_CheckExact(logging_module) || !readable_dict(PyModule_GetDict(logging_module))) return;
    owners[Owner::logging] = PyModule_GetDict(logging_module);
    owners[Owner::builtins] = PyModule_GetDict(M.builtins);
    if (!readable_dict(owners[Owner::builtins])) return;
    for (int i = 0; i < kRowCount; ++i)
        if (!check_row(i, owners)) return;
    if (!check_asyncio()) return;
    stock.logger_type = reinterpret_cast<PyTypeObject*>(owners[Owner::logging__Logger]);
    stock.root_type = reinterpret_cast<PyTypeObject*>(owners[Owner::logging__RootLogger]);
    stock.record_type = reinterpret_cast<PyTypeObject*>(owners[Owner::logging__LogRecord]);
    if (!stock.logger_type || !stock.root_type || !stock.record_type) return;
    for (PyTypeObject* tp : {stock.logger_type, stock.root_type, stock.record_type})
        if (!plain_class(tp)) return;
    if (stock.flags[kLogThreads] && (!stock.threads_active || !stock.thread_name)) return;
    stock.usable = true;
}

static void check_stock() {
    stock = Stock();
    stock.epoch = watched_epoch();
    stock.function_changes = function_changes;
    check_rows();
    note_classes();
}

static bool stock_is_current() {
    // Differences or-ed together: one branch for the lot.
    uint64_t changed = (stock.epoch ^ watched_epoch()) | (stock.function_changes ^ function_changes);
    for (int i = 0; i < stock.nclasses; ++i) changed |= stock.classes[i]->tp_version_tag ^ stock.versions[i];
    if (changed) check_stock();
    return stock.usable;
}

// ---------------------------------------------------------------------------
// D2: watchers

static bool unwatched(PyThreadState* ts) {
    if (ts->c_profilefunc || ts->c_tracefunc || priv::audit_hooks_installed(ts) || priv::monitoring_global_events(ts))
        return false;
    return !priv::monitoring_local_events(ts, stock.codes, stock.ncodes);
}

// ---------------------------------------------------------------------------
// D3: the logger, and where its attributes sit

// Logger instance values the proof reads, in kRows' order of Own rows.
enum LoggerAttr { kDisabled, kCache, kFilters, kHandlers, kName, kParent, kPropagate, kAttrCount };
static constexpr PyObject* Names::* kLoggerAttrs[kAttrCount] = {
    &Names::disabled, &Names::_cache, &Names::filters, &Names::handlers, &Names::name, &Names::parent, &Names::propagate};
// Methods the call passes through: an instance value of that name shadows one.
static constexpr PyObject* Names::* kLoggerMethods[] = {&Names::log,        &Names::isEnabledFor, &Names::_log,
                                                        &Names::findCaller, &Names::makeRecord,   &Names::handle,
                                                        &Names::filter,     &Names::callHandlers};
constexpr int kMethodCount = sizeof kLoggerMethods / sizeof kLoggerMethods[0];

struct LoggerLayout {
    PyTypeObject* type = nullptr;  // compared with its version tag, never dereferenced stale
    unsigned int version = 0;
    LayoutSeen seen;
    Py_ssize_t attr[kAttrCount];
    Py_ssize_t shadows[kMethodCount];  // layout indexes of the method names present
    int nshadows = 0;
};
static LoggerLayout logger_layouts[2];  // Logger, RootLogger

// The attribute values of a logger of logging's classes, with its layout; null
// when the logger does not keep them in its class's shared layout or shadows a
// method.
static PyObject* const* logger_values(PyObject* logger, const LoggerLayout** layout_out) {
    PyTypeObject* tp = Py_TYPE(logger);
    const int which = tp == stock.logger_type ? 0 : tp == stock.root_type ? 1 : -1;
    if (which < 0) return nullptr;
    const void* keys = nullptr;
    PyObject* const* values = priv::inline_values(logger, &keys);
    if (!values) return nullptr;
    LoggerLayout& l = logger_layouts[which];
    if (l.seen.changed(keys) || l.type != tp || l.version != tp->tp_version_tag) {
        l.type = tp;
        l.version = tp->tp_version_tag;
        for (int i = 0; i < kAttrCount; ++i) l.attr[i] = priv::shared_keys_index(keys, S.*kLoggerAttrs[i]);
        l.nshadows = 0;
        for (PyObject* Names::* m : kLoggerMethods) {
            const Py_ssize_t at = priv::shared_keys_index(keys, S.*m);
            if (at >= 0) l.shadows[l.nshadows++] = at;
        }
    }
    for (int i = 0; i < l.nshadows; ++i)
        if (values[l.shadows[i]]) return nullptr;
    *layout_out = &l;
    return values;
}

static PyObject* value_at(PyObject* const* values, Py_ssize_t index) { return index >= 0 ? values[index] : nullptr; }

// ---------------------------------------------------------------------------
// D4: isEnabledFor

enum class Enabled {
    No,         // isEnabledFor gives False: the call does nothing
    Yes,        // isEnabledFor gives True from the cache: a record would be made
    Undecided,  // a miss, or values the proof does not read: make the call
};

// The state of a `_cache` last checked (compared only, with its version), and
// the answer it gave for one level: while the dict is unchanged, so is its
// value for that level.
struct CacheSeen {
    PyObject* cache = nullptr;
    uint64_t version = 0;
    bool answered = false;
    Py_ssize_t level = 0;  // the compact value of the level asked
    Enabled answer = Enabled::Undecided;
};
static CacheSeen cache_seen;

static Enabled enabled_for(PyObject* const* values, const LoggerLayout& l, PyObject* level) {
    PyObject* disabled = value_at(values, l.attr[kDisabled]);
    if (disabled == Py_True) return Enabled::No;
    if (disabled != Py_False) return Enabled::Undecided;
    PyObject* cache = value_at(values, l.attr[kCache]);
    if (!cache || !PyDict_CheckExact(cache)) return Enabled::Undecided;
    const uint64_t version = priv::dict_version(cache);
    CacheSeen& seen = cache_seen;
    if (cache != seen.cache || version != seen.version) {
        // Looking an int up among exact int keys runs no code.
        if (!exact_keys(cache, exact_int)) return Enabled::Undecided;
        seen = {cache, version};
    }
    auto* as_long = reinterpret_cast<PyLongObject*>(level);
    const bool compact = PyUnstable_Long_IsCompact(as_long);
    const Py_ssize_t key = compact ? PyUnstable_Long_CompactValue(as_long) : 0;
    if (compact && seen.answered && seen.level == key) return seen.answer;
    PyObject* cached = PyDict_GetItemWithError(cache, level);  // cannot fail: exact int keys
    const Enabled answer = cached == Py_True ? Enabled::Yes : cached == Py_False ? Enabled::No : Enabled::Undecided;
    if (compact) {
        seen.answered = true;
        seen.level = key;
        seen.answer = answer;
    }
    return answer;
}

// ---------------------------------------------------------------------------
// D5 to D9: the options

static bool str_is(PyObject* s, const char* text) { return PyUnicode_CompareWithASCIIString(s, text) == 0; }

static bool options_run_nothing(PyObject* args, PyObject* kwargs) {
    if ((args != Py_None && !PyTuple_CheckExact(args)) || (kwargs != Py_None && !PyDict_CheckExact(kwargs)))
        return false;
    if (kwargs != Py_None) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!PyUnicode_CheckExact(key)) return false;  // D5
            if (str_is(key, "exc_info")) {                 // D6
                if (!(value == Py_None || PyBool_Check(value) || PyLong_CheckExact(value) || PyTuple_CheckExact(value)))
                    return false;
            } else if (str_is(key, "stack_info")) {  // D7
                const bool zero = PyLong_CheckExact(value) && PyObject_IsTrue(value) == 0;  // no code runs
                if (!(value == Py_None || value == Py_False || zero)) return false;
            } else if (str_is(key, "stacklevel")) {  // D7
                if (!PyLong_CheckExact(value)) return false;
            } else if (str_is(key, "extra")) {  // D8
                if (value != Py_None && !exact_keys(value, exact_str)) return false;
            } else {
                return false;  // D5
            }
        }
    }
    // D9: a lone element is tested for being a Mapping.
    return args == Py_None || PyTuple_GET_SIZE(args) != 1;
}

// ---------------------------------------------------------------------------
// D10 to D12: what the record names

// A class that reads `name` plainly (reads_name_plainly), remembered per class and version.
struct NameReader {
    PyTypeObject* type = nullptr;
    unsigned int version = 0;

    bool holds(PyTypeObject* tp) const { return tp == type && tp->tp_version_tag == version; }
};

// The object's `name` runs only the pinned getter, which reads `_name` from
// the instance's inline values or a dict of exact str keys.
static bool plain_name(PyObject* obj, PyObject* prop, PyObject* const* getter_slot, PyObject* getter, NameReader& seen,
                       bool thread) {
    PyTypeObject* tp = Py_TYPE(obj);
    if (*getter_slot != getter) return false;  // property.__init__ called again
    if (!seen.holds(tp)) {
        if (!reads_name_plainly(tp, prop, thread)) return false;
        seen = {tp, tp->tp_version_tag};
    }
    const void* keys = nullptr;
    if (priv::inline_values(obj, &keys)) return true;
    PyObject** dictptr = _PyObject_GetDictPtr(obj);
    return dictptr && *dictptr && PyDict_CheckExact(*dictptr) && priv::dict_has_str_keys(*dictptr);
}

// A thread state's entry in threading._active, remembered while that dict is
// unchanged: a thread that ends leaves it, which changes it.
struct ThreadSlot {
    uint64_t ts_id = 0;
    PyObject* active = nullptr;  // compared only
    uint64_t active_tag = 0;
    PyObject* thread = nullptr;  // borrowed from the dict while its tag holds
};
static ThreadSlot thread_slots[kThreadSlots];
static unsigned next_thread_slot = 0;
static NameReader thread_class_seen, process_class_seen;

static bool thread_named_plainly(PyThreadState* ts) {  // D10
    PyObject* active = stock.threads_active;
    const uint64_t tag = priv::dict_version(active);
    PyObject* thread = nullptr;
    for (const ThreadSlot& s : thread_slots)
        if (s.ts_id == ts->id && s.active_tag == tag && s.active == active) {
            thread = s.thread;
            break;
        }
    if (!thread) {
        if (!exact_keys(active, exact_int)) return false;  // the lookup then compares ints only
        Ref ident = Ref::steal(PyLong_FromUnsignedLong(PyThread_get_thread_ident()));
        if (!ident) return PyErr_Clear(), false;  // the check's own allocation failed
        thread = PyDict_GetItemWithError(active, ident.get());
        if (!thread) return false;  // current_thread() would make a dummy thread
        thread_slots[next_thread_slot++ % kThreadSlots] = {ts->id, active, priv::dict_version(active), thread};
    }
    return plain_name(thread, stock.thread_name, stock.thread_name_slot, stock.thread_name_get, thread_class_seen,
                      true);
}

static bool process_named_plainly() {  // D11
    return plain_name(stock.process, stock.process_name, stock.process_name_slot, stock.process_name_get,
                      process_class_seen, false);
}

static bool task_named_plainly() {  // D12
    PyObject* get_loop = asyncio_pins[0];
    PyObject* loop = PyCFunction_GET_FUNCTION(get_loop)(PyCFunction_GET_SELF(get_loop), nullptr);
    if (!loop) return PyErr_Clear(), false;  // raised by the call just made
    Ref held = Ref::steal(loop);
    if (loop == Py_None) return true;  // current_task() raises RuntimeError, which LogRecord catches
    PyTypeObject* task_type = reinterpret_cast<PyTypeObject*>(asyncio_pins[1]);
#if PY_VERSION_HEX < 0x030E0000
    // 3.13: current_task() looks the loop up in the table of current tasks.
    if (Py_TYPE(loop)->tp_hash != PyBaseObject_Type.tp_hash) return false;
    PyObject* tasks = asyncio_pins[2];
    if (PyDict_GET_SIZE(tasks) > kMaxRunningLoops) return false;
    Py_ssize_t pos = 0;
    PyObject *key, *task = nullptr, *value;
    while (PyDict_Next(tasks, &pos, &key, &value)) {
        // Every loop in the table hashes by identity: finding this one compares nothing.
        if (Py_TYPE(key)->tp_hash != PyBaseObject_Type.tp_hash) return false;
        if (key == loop) task = value;
    }
    return !task || Py_IS_TYPE(task, task_type);
#else
    // 3.14: current_task() finds the loop running in this thread (compared by
    // identity) and gives the thread's running task; asked with no argument it
    // parses nothing, hashes nothing and calls nothing.
    PyObject* task = PyObject_Vectorcall(asyncio_current_task, nullptr, 0, nullptr);
    if (!task) return PyErr_Clear(), false;  // raised by the call just made
    Ref task_held = Ref::steal(task);
    return task == Py_None || Py_IS_TYPE(task, task_type);
#endif
}

// ---------------------------------------------------------------------------
// D14: the handlers

// Where `level` sits in the shared layout of a handler class that leaves it
// to the instance: a small associative cache, one entry per class.
struct HandlerClass {
    PyTypeObject* type = nullptr;  // compared with its version tag, never dereferenced stale
    unsigned int version = 0;
    const void* keys = nullptr;
    Py_ssize_t size = -1;
    Py_ssize_t level = -1;
};
static HandlerClass handler_classes[kHandlerClassWays];
static unsigned next_handler_class = 0;

// A handler's `level` when Python reads it as a plain instance value, else null.
static PyObject* plain_handler_level(PyObject* handler) {
    PyTypeObject* tp = Py_TYPE(handler);
    const void* keys = nullptr;
    PyObject* const* values = priv::inline_values(handler, &keys);
    if (!values) return nullptr;
    const Py_ssize_t size = priv::shared_keys_size(keys);
    for (const HandlerClass& h : handler_classes)
        if (h.type == tp && h.version == tp->tp_version_tag && h.keys == keys && h.size == size)
            return value_at(values, h.level);
    // The class must leave `level` to the instance: generic lookup, no class
    // attribute of that name. With exact str keys along the MRO the lookup
    // runs no code.
    if (!plain_class(tp) || _PyType_Lookup(tp, S.level)) return nullptr;
    HandlerClass& h = handler_classes[next_handler_class++ % kHandlerClassWays];
    h = {tp, tp->tp_version_tag, keys, size, priv::shared_keys_index(keys, S.level)};
    return value_at(values, h.level);
}

// a < b for exact ints (no code runs in either way of comparing them).
static bool int_below(PyObject* a, PyObject* b) {
    if (PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(a)) &&
        PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(b)))
        return PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(a)) <
               PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(b));
    const int below = PyObject_RichCompareBool(a, b, Py_LT);  // exact ints: cannot fail
    return below == 1;
}

static bool no_handler_takes(PyObject* const* values, const LoggerLayout* layout, PyObject* level) {
    Py_ssize_t found = 0;
    for (int depth = 0; depth < kMaxChainDepth; ++depth) {
        PyObject* handlers = value_at(values, layout->attr[kHandlers]);
        if (!handlers || !PyList_CheckExact(handlers)) return false;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(handlers); ++i) {
            PyObject* hlevel = plain_handler_level(PyList_GET_ITEM(handlers, i));
            if (!hlevel || !PyLong_CheckExact(hlevel) || !int_below(level, hlevel)) return false;
            ++found;
        }
        PyObject* propagate = value_at(values, layout->attr[kPropagate]);
        if (propagate == Py_False) return found > 0;
        if (propagate != Py_True) {
            if (!propagate || !PyLong_CheckExact(propagate)) return false;
            if (PyObject_IsTrue(propagate) == 0) return found > 0;  // an exact int: no code runs
        }
        PyObject* parent = value_at(values, layout->attr[kParent]);
        if (parent == Py_None) return found > 0;
        if (!parent || !(values = logger_values(parent, &layout))) return false;
    }
    return false;
}

// ---------------------------------------------------------------------------
// The proof, in the order of the conditions

Verdict dropped_call(PyObject* logger, PyObject* level, PyObject* args, PyObject* kwargs) {
    if (!stock_is_current()) return Verdict::Call;  // D1
    PyThreadState* ts = PyThreadState_GET();
    if (!unwatched(ts)) return Verdict::Call;  // D2
    if (!PyLong_CheckExact(level)) return Verdict::Call;  // D3
    const LoggerLayout* layout = nullptr;
    PyObject* const* values = logger_values(logger, &layout);
    if (!values) return Verdict::Call;
    switch (enabled_for(values, *layout, level)) {  // D4
        case Enabled::No:
            return Verdict::Dropped;
        case Enabled::Undecided:
            return Verdict::Call;
        case Enabled::Yes:
            break;
    }
    if (!options_run_nothing(args, kwargs)) return Verdict::Call;  // D5 to D9
    if (stock.flags[kLogThreads] && !thread_named_plainly(ts)) return Verdict::Call;  // D10
    if (stock.process && stock.flags[kLogMultiprocessing] && !process_named_plainly()) return Verdict::Call;  // D11
    if (stock.asyncio && !task_named_plainly()) return Verdict::Call;  // D12
    PyObject* filters = value_at(values, layout->attr[kFilters]);  // D13
    if (!filters || !PyList_CheckExact(filters) || PyList_GET_SIZE(filters) != 0) return Verdict::Call;
    return no_handler_takes(values, layout, level) ? Verdict::Dropped : Verdict::Made;  // D14
}

// ---------------------------------------------------------------------------
// What the written path (written.cpp) reuses

namespace rows {

bool plain_class(PyTypeObject* tp) { return log_main::plain_class(tp); }
PyObject* item(PyObject* dict, const char* name) { return log_main::item(dict, name); }
PyObject* lookup(PyObject* cls, const char* name) { return log_main::lookup(cls, name); }
bool readable_dict(PyObject* dict) { return log_main::readable_dict(dict); }
bool pinned(PyObject* value, Pin& pin) { return log_main::pinned(value, pin); }
bool pin_function(PyObject* f, const char* name, const char* qualname, Pin& pin, PyCodeObject** codes, int* ncodes) {
    return log_main::pin_function(f, name, qualname, pin, codes, ncodes);
}
uint64_t function_changes() { return log_main::function_changes; }
bool watch_functions() {
    if (function_watcher < 0) {
        function_watcher = PyFunction_AddWatcher(on_function_event);
        if (function_watcher < 0) PyErr_Clear();
    }
    return function_watcher >= 0;
}

bool view_logger(PyObject* logger, LoggerView& out) {
    const LoggerLayout* layout = nullptr;
    PyObject* const* values = logger_values(logger, &layout);
    if (!values) return false;
    out = {value_at(values, layout->attr[kName]), value_at(values, layout->attr[kHandlers]),
           value_at(values, layout->attr[kPropagate]), value_at(values, layout->attr[kParent])};
    return true;
}

PyObject* handler_level(PyObject* handler) { return plain_handler_level(handler); }
bool int_below(PyObject* a, PyObject* b) { return log_main::int_below(a, b); }

}  // namespace rows

}  // namespace log_main
