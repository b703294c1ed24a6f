// A written record made in place: when the record of
// `logger.log(level, text, *args)` goes only to logging's own file handlers
// with the module's plain file format, the line is formatted here and written
// through each handler's own stream under its own lock, with no LogRecord and
// none of the Python calls. Allowed only where no caller, subclass, handler,
// filter, record factory, profiler, mock or other thread could tell the
// difference. Following logging's own code (CPython 3.13, 3.14 and 3.15; what
// differs between them is listed after the conditions), this holds when,
// checked in this order before anything is done:
//
//  W1  The early return's proof holds up to the handlers (D1 to D13 of
//      dropped.cpp: dropped_call() gave Verdict::Made), and everything the
//      handlers run is logging's own, as shipped: every name in kRows below
//      (the methods of the handler classes, the formatter and its style, the
//      globals and builtins they load, the attributes they read) is as
//      shipped. Functions are accepted only as the interpreter ships them
//      (dropped.cpp's D1) and pinned with their code and defaults; classes by
//      identity as first checked, plain (dropped.cpp's plain_class). What
//      kRows must hold is derived from the bytecode by scripts/stock-names
//      --written, on each interpreter.
//  W2  Nothing watches the handlers run: no sys.monitoring tool with local
//      events on a code object kRows pins (the rest of D2 holds by W1).
//  W3  Logger.findCaller, `f = currentframe()` ... `f.f_back`: a Python
//      frame calls (with none, findCaller would name a frame of logging's).
//  W4  Logger.log, `self._log(level, msg, args, **kwargs)`: no options, or
//      exc_info alone, false (as none) or true with an exception being
//      handled: Logger._log's `exc_info = sys.exc_info()` (a tuple is left to
//      the full call).
//  W5  LogRecord.getMessage, `msg = msg % self.args`: args is empty, or of
//      two or more exact str, int, float, bool or None (formatting them runs
//      no code); formatting that raises makes the call.
//  W6  Logger.makeRecord, `_logRecordFactory(name, ...)` and getLevelName,
//      `_levelToName.get(level)`: the logger's name and the level's name are
//      exact str (a level without a name is "Level %s").
//  W7  Logger.callHandlers, `for hdlr in c.handlers` ... `if record.levelno
//      >= hdlr.level`: along the chain (as D14 walks it) at least one handler
//      takes the record (else lastResort acts), at most kMaxTakers do, and each
//      is exactly FileHandler, RotatingFileHandler or TimedRotatingFileHandler,
//      or StreamHandler as W12 has it, with its attributes kept plainly (no
//      instance value shadows a method).
//  W8  Handler.handle, `rv = self.filter(record)` and Filterer.filter,
//      `for f in self.filters`: the handler's filters are an exact list of the
//      module's _ContextFilter (a plain class whose `filter` is the module's
//      own, `_logger_name` the instance's own exact str, `filter` not
//      shadowed); each stamps the record's name.
//  W9  Handler.handle, `with self.lock`: the lock is exactly the C RLock.
//  W10 Handler.format, `if self.formatter`, Formatter.format, formatTime,
//      usesTime and PercentStyle._format: the formatter is exactly Formatter,
//      its `_style` exactly PercentStyle of the module's file format, no
//      defaults, no date format, converter time.localtime and the shipped
//      default_time_format and default_msec_format.
//  W11 FileHandler.emit, `if self.stream is None` and StreamHandler.emit,
//      `stream.write(msg + self.terminator)`: the stream is None (the handler's
//      own handle() then opens it, as below), or exactly TextIOWrapper over
//      BufferedWriter over FileIO, open, UTF-8 with strict errors, none of
//      write, flush or tell set on the instance; `terminator` an exact str.
//  W12 StreamHandler.emit, `msg = self.format(record)` and `stream.write(msg +
//      self.terminator)`, for the console: the handler is exactly
//      StreamHandler, its formatter colorlog's ColoredFormatter as
//      colored_known() proves it (C1 to C5 of colored.cpp: the line is
//      colored_line()'s), its stream exactly StringIO, or exactly TextIOWrapper
//      over BufferedWriter over FileIO (or over the FileIO itself, as an
//      unbuffered sys.stderr is) in UTF-8 (any error handler: a line with
//      a lone surrogate is left to the handler's own handle()), open, none of
//      write, flush or tell set on the instances; `terminator` an exact str.
//  W13 Formatter.format, `record.exc_text = self.formatException(record.exc_info)`,
//      for a record with exc_info: the traceback's formatting runs no code of
//      anyone's and reads only what is shipped. Every name the plain
//      formatting reads is as shipped (traceback_stock.cpp's table, derived
//      by scripts/traceback-names; no sys.monitoring events on its code), the
//      exceptions, their texts, linecache's entries, the limit and re's cache
//      are as traceback_inputs() (traceback_text.cpp) requires, and each
//      formatter's formatException is logging's, or colorlog's of a known
//      release (colored_exceptions_known()), not shadowed on the instance.
//
// A record with exc_info: at each handler's turn, under its lock, a cached
// text holding ESC is dropped (the module's filter does that) and the
// formatter's own formatException makes the traceback where format() would,
// the text cached for the next handlers as format() caches it on the record;
// a file handler after the console in the same call takes the console's
// coloured text with its colour codes removed instead (docs/traceback-once.md
// proves it the plain text), where traceback_inputs() finds everything the
// formatting reads as it was when the console formatted and each source file
// unchanged on disk. What changed (another thread ran) goes to the handler's
// own handle().
//
// The handlers are walked as Logger.callHandlers walks them (call_handlers()):
// each logger's `handlers` list as the loop finds it when it reaches the logger
// (a list read as its iterator reads it, its length at each step), each
// handler's `level` read at its turn, `propagate` and `parent` when the loop
// reaches them. Up to the first turn nothing runs, so the walk finds what the
// decision found; a later handler is checked again at its turn, and one the
// checks do not know (added meanwhile, its level or stream changed) gets the
// record through its own handle(). Once a handler's own code had the record,
// the later handlers get that record through their own handle() too (that
// code may have changed it).
//
// Per turn, under the handler's lock: the time text is made there, as
// formatTime makes it at that turn (the time zone may have changed while an
// earlier turn waited); RotatingFileHandler.shouldRollover (`self.stream.tell()`,
// `pos + len(msg) >= self.maxBytes`) and TimedRotatingFileHandler.shouldRollover
// (`int(time.time()) >= self.rolloverAt`) are evaluated as they are; a
// rollover that would happen, a tell() that raises, a stream that is None, or
// a line the stream's encoder would refuse (a lone surrogate) is given to the
// handler's own code with the LogRecord the full call would have made (same
// vars(), same time): `handle(record)` before its lock, `emit(record)` under
// it. The console's line is made under its lock, as emit makes it there; a
// line colored_line() cannot make (format() would raise) goes to the
// handler's own emit too. Otherwise the line is written through
// `stream.write` and flushed as StreamHandler.flush does. An error of that
// write or flush goes to the handler's handleError(record) as
// StreamHandler.emit sends it.
//
// Calls in flight. Every point where the GIL may be released (a lock's wait,
// isatty(), tell(), write(), flush(), formatException, any Python call) lets
// other threads run, and one of them may check the table again and reset it
// (a mock.patch, a fake clock) or change a handler. So nothing this call uses
// after such a point is what it read before it: what it keeps across one is
// held strongly (the takers' objects, the logger's name, logging's namespace
// and LogRecord class for makeRecord, the formatter), and the table
// (stock_is_current(), with the clock's C code), the handler's stream and
// formatter are checked again after each, before the next use; what changed
// sends the rest of the turn to the handler's own code from that point.
// The clock: time's functions are C functions of the interpreter's own image
// (interpreter_code()), their code compared with what it was when checked at
// each check of the table (a fake clock swaps the C code behind the same
// function objects, which changes no namespace).
//
// Between versions. The handlers read the same names on 3.13.0, 3.14 and 3.15
// but for one read on a branch the path leaves to the handler's own code, so
// kRows has no row of its own for any version. What differs:
//  - W11, RotatingFileHandler.shouldRollover: later 3.13 patch releases (3.13.18
//    has it), 3.14 and 3.15 catch io.UnsupportedOperation from
//    `self.stream.tell()` (a named pipe) and never roll such a stream over;
//    3.13.0 lets the error reach emit's handleError. The except clause, the
//    only reader of `io` there, runs only when tell() raises, and a tell() that
//    raises here gives the record to the handler's own handle(), which takes
//    whichever branch its version has (stock-names excludes that read, where
//    the handlers make it).
//  - W11, FileHandler.emit: the same later releases catch an error of
//    `self._open()` and report it through handleError; it runs only for a
//    stream that is None, which is the handler's own handle()'s to open.
//  - TimedRotatingFileHandler.doRollover (3.14 on) computes the next
//    rolloverAt before rotating rather than after: a rollover is the handler's
//    own.
//  - Off the path: Logger.removeHandler replaces the handler list instead of
//    changing it in place (later 3.13 releases on), 3.15 gives Formatter and
//    Filter a __repr__ and logging a module __getattr__ (read only for a name
//    its dict lacks; the rows read the dict).
//
// The checks run no code of anyone's: every dict they look into has exact str
// keys, nothing they read is called. So a call made after all sees everything
// as the caller left it.
//
// Caches, what invalidates each, and the benchmark row that pays for it
// (row "written" of bench/peers.py, console and file; file only: bench/run.py
// scenario 2):
//  - `wstock`: the result of checking kRows; the dict watcher's epoch, the
//    function watcher, the version tags of the pinned classes.
//  - the console's proof: colored.cpp's own caches (its header).
#include "logger/written.hpp"

#include <link.h>

#include <cmath>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <utility>

#include "logger/colored.hpp"
#include "logger/stock.hpp"
#include "logger/traceback_stock.hpp"
#include "logger/traceback_text.hpp"
#include "module/callables.hpp"
#include "module/globals.hpp"
#include "module/private_api.hpp"
#include "module/test_hook.hpp"

namespace log_main {
namespace {  // the table's owners are this file's own (dropped.cpp has an Owner enum of its own)

// Handlers that take one record, at most (the module's set-up has one or two).
constexpr int kMaxTakers = 8;
constexpr int kMaxChainDepth = 64;
// The module's file format.
static const char kFileFormat[] = "%(asctime)s - %(name)s - %(levelname)s - %(message)s";

// ---------------------------------------------------------------------------
// W1: the table of checked names (what the handlers read, beyond dropped.cpp's)

enum class Owner : uint8_t {
    none,
    logging,
    logging__handlers,
    time,
    builtins,
    logging__LogRecord,
    logging__StreamHandler,
    logging__FileHandler,
    logging__handlers__RotatingFileHandler,
    logging__handlers__TimedRotatingFileHandler,
    logging__Formatter,
    logging__PercentStyle,
    count
};
constexpr int kOwners = static_cast<int>(Owner::count);

using Row = TableRow<Owner>;

// What each handler class reads on itself, from Handler.handle to StreamHandler.flush: the same
// methods and values for every class but the emit it finds (`emit`: that method's qualname as
// shipped, null for StreamHandler's own).
// clang-format off
#define HANDLER_ROWS(owner, emit)                                 \
    ROW(owner, "handle", Method, 0, "Handler.handle"),            \
    ROW(owner, "filter", Method, 0, "Filterer.filter"),           \
    ROW(owner, "emit", Method, 0, emit),                          \
    ROW(owner, "format", Method, 0, "Handler.format"),            \
    ROW(owner, "flush", Method, 0, "StreamHandler.flush"),        \
    ROW(owner, "terminator", Plain),                              \
    ROW(owner, "filters", Own),                                   \
    ROW(owner, "lock", Own),                                      \
    ROW(owner, "formatter", Own),                                 \
    ROW(owner, "stream", Own)
// clang-format on

// In an order where each owner is resolved before its names are read.
static constexpr Row kRows[] = {
    // logging's globals the handlers load
    ROW(logging, "LogRecord", Class, AS(logging__LogRecord)),
    ROW(logging, "StreamHandler", Class, AS(logging__StreamHandler)),
    ROW(logging, "FileHandler", Class, AS(logging__FileHandler)),
    ROW(logging, "time", Module, AS(time)),
    ROW(logging__handlers, "logging", Module, AS(logging)),
    ROW(logging__handlers, "time", Module, AS(time)),
    ROW(time, "strftime", Builtin),
    ROW(time, "time", Builtin),
    // The handlers, and what they read on themselves: each class as it finds them
    HANDLER_ROWS(logging__FileHandler, "FileHandler.emit"),
    HANDLER_ROWS(logging__handlers__RotatingFileHandler, "BaseRotatingHandler.emit"),
    ROW(logging__handlers__RotatingFileHandler, "shouldRollover", Method),
    ROW(logging__handlers__RotatingFileHandler, "maxBytes", Own),
    HANDLER_ROWS(logging__handlers__TimedRotatingFileHandler, "BaseRotatingHandler.emit"),
    ROW(logging__handlers__TimedRotatingFileHandler, "shouldRollover", Method),
    ROW(logging__handlers__TimedRotatingFileHandler, "rolloverAt", Own),
    HANDLER_ROWS(logging__StreamHandler, nullptr),
    // The formatter and its style
    ROW(logging__Formatter, "format", Method),
    ROW(logging__Formatter, "usesTime", Method),
    ROW(logging__Formatter, "formatTime", Method),
    ROW(logging__Formatter, "formatMessage", Method),
    ROW(logging__Formatter, "converter", Plain),
    ROW(logging__Formatter, "default_time_format", Plain),
    ROW(logging__Formatter, "default_msec_format", Plain),
    ROW(logging__Formatter, "_style", Own),
    ROW(logging__Formatter, "datefmt", Own),
    ROW(logging__PercentStyle, "usesTime", Method),
    ROW(logging__PercentStyle, "format", Method),
    ROW(logging__PercentStyle, "_format", Method),
    ROW(logging__PercentStyle, "asctime_search", Plain),
    ROW(logging__PercentStyle, "_fmt", Own),
    ROW(logging__PercentStyle, "_defaults", Own),
    // The record, as the formatter reads and writes it
    ROW(logging__LogRecord, "getMessage", Method),
    ROW(logging__LogRecord, "__dict__", InstanceDict),
    ROW(logging__LogRecord, "msg", Own),
    ROW(logging__LogRecord, "args", Own),
    ROW(logging__LogRecord, "message", Own),
    ROW(logging__LogRecord, "asctime", Own),
    ROW(logging__LogRecord, "created", Own),
    ROW(logging__LogRecord, "msecs", Own),
    ROW(logging__LogRecord, "exc_info", Own),
    ROW(logging__LogRecord, "exc_text", Own),
    ROW(logging__LogRecord, "stack_info", Own),
    // The builtins the handlers load, shadowed by neither module.
    ROW(builtins, "isinstance", Builtin),
    ROW(builtins, "hasattr", Builtin),
    ROW(builtins, "int", Builtin),
    ROW(builtins, "len", Builtin),
    ROW(builtins, "str", Builtin),
};
#undef HANDLER_ROWS
#undef ROW
#undef AS
constexpr int kRowCount = sizeof kRows / sizeof kRows[0];

// Classes and modules found in a namespace rather than through a row.
struct Anchor {
    Owner owner, module;
    const char* name;
};
static constexpr Anchor kAnchors[] = {
    {Owner::logging__handlers, Owner::logging, "handlers"},
    {Owner::logging__Formatter, Owner::logging, "Formatter"},
    {Owner::logging__PercentStyle, Owner::logging, "PercentStyle"},
    {Owner::logging__handlers__RotatingFileHandler, Owner::logging__handlers, "RotatingFileHandler"},
    {Owner::logging__handlers__TimedRotatingFileHandler, Owner::logging__handlers, "TimedRotatingFileHandler"},
};
constexpr int kAnchorCount = sizeof kAnchors / sizeof kAnchors[0];

static Pin row_pins[kRowCount];
static Pin anchor_pins[kAnchorCount];

// The clock and calendar functions the handlers call, in time's namespace:
// LogRecord.__init__'s time.time_ns(), TimedRotatingFileHandler.shouldRollover's
// time.time(), formatTime's converter time.localtime and time.strftime.
enum Clock : uint8_t { kTimeNs, kTime, kLocaltime, kStrftime, kClocks };
static const char* const kClockNames[kClocks] = {"time_ns", "time", "localtime", "strftime"};

// The kinds of file handler, in the order of the handler owners.
enum HandlerKind : uint8_t { kFile, kRotating, kTimed, kConsole, kKinds };

// Classes watched through their version tags (any change of one or of a base
// checks again).
constexpr Owner kWatchedClasses[] = {
    Owner::logging__LogRecord,    Owner::logging__StreamHandler, Owner::logging__FileHandler,
    Owner::logging__handlers__RotatingFileHandler, Owner::logging__handlers__TimedRotatingFileHandler,
    Owner::logging__Formatter,    Owner::logging__PercentStyle,
};
constexpr int kClasses = sizeof kWatchedClasses / sizeof kWatchedClasses[0];

struct Stock {
    uint64_t epoch = 0;
    uint64_t function_changes = 0;
    bool usable = false;
    PyTypeObject* classes[kClasses] = {};
    unsigned int versions[kClasses] = {};
    PyTypeObject* handler_types[kKinds] = {};
    PyTypeObject* formatter_type = nullptr;
    PyTypeObject* style_type = nullptr;
    PyObject* record_class = nullptr;
    PyObject* localtime = nullptr;     // time.localtime, the converter as shipped
    PyTypeObject* rlock_type = nullptr;  // threading's C RLock
    PyTypeObject* text_type = nullptr;   // io's TextIOWrapper, BufferedWriter, FileIO
    PyTypeObject* buffered_type = nullptr;
    PyTypeObject* fileio_type = nullptr;
    PyTypeObject* stringio_type = nullptr;  // io's StringIO, a console's other stream
    PyObject* logging_dict = nullptr;
    PyCodeObject* codes[kMaxCodes];
    int ncodes = 0;
    PyObject* clocks[kClocks] = {};           // time's functions the handlers call (borrowed: pinned rows,
    PyCFunction clock_code[kClocks] = {};     // time's dict), and the C code each ran when checked
};
static Stock wstock;

// Names read per call, interned once.
struct WNames {
    PyObject *filters, *lock, *formatter, *stream, *terminator, *maxBytes, *rolloverAt, *_style, *datefmt,
        *converter, *default_time_format, *default_msec_format, *asctime_search, *_fmt, *_defaults, *filter,
        *_logger_name, *write, *flush, *tell, *encoding, *errors, *buffer, *raw, *closed, *handle, *handleError,
        *created, *msecs, *relativeCreated, *message, *asctime, *name, *_levelToName, *_srcfile, *_startTime,
        *emit, *format, *shouldRollover, *dash, *exc_info, *exc_text, *formatException, *newline;
};
static WNames W;

static bool intern_names() {
    if (W.filters) return true;
    const char* texts[] = {"filters", "lock", "formatter", "stream", "terminator", "maxBytes", "rolloverAt", "_style",
                           "datefmt", "converter", "default_time_format", "default_msec_format", "asctime_search",
                           "_fmt", "_defaults", "filter", "_logger_name", "write", "flush", "tell", "encoding",
                           "errors", "buffer", "raw", "closed", "handle", "handleError", "created", "msecs",
                           "relativeCreated", "message", "asctime", "name", "_levelToName", "_srcfile", "_startTime",
                           "emit", "format", "shouldRollover", " - ", "exc_info", "exc_text", "formatException", "\n"};
    constexpr size_t n = sizeof texts / sizeof texts[0];
    static_assert(n == sizeof(WNames) / sizeof(PyObject*));
    PyObject* made[n];
    for (size_t i = 0; i < n; ++i)
        if (!(made[i] = PyUnicode_InternFromString(texts[i]))) return PyErr_Clear(), false;
    std::memcpy(&W, made, sizeof made);  // process lifetime, like S
    return true;
}

struct Owners {
    PyObject* of[kOwners] = {};
    PyObject*& operator[](Owner o) { return of[static_cast<int>(o)]; }
};

static PyObject* resolve_anchor(Owners& owners, Owner o) {
    for (int i = 0; i < kAnchorCount; ++i) {
        const Anchor& a = kAnchors[i];
        if (a.owner != o) continue;
        PyObject* ns = owners[a.module];
        if (!ns) return nullptr;
        PyObject* value = rows::item(ns, a.name);
        if (!value || !rows::pinned(value, anchor_pins[i])) return nullptr;
        if (PyModule_CheckExact(value)) {
            PyObject* dict = PyModule_GetDict(value);
            return rows::readable_dict(dict) ? (owners[o] = dict) : nullptr;
        }
        if (!PyType_Check(value) || !rows::plain_class(reinterpret_cast<PyTypeObject*>(value))) return nullptr;
        return owners[o] = value;
    }
    return nullptr;
}

// A C function by the name it was defined with.
static bool c_function_named(PyObject* f, const char* name) {
    return PyCFunction_CheckExact(f) && strcmp(reinterpret_cast<PyCFunctionObject*>(f)->m_ml->ml_name, name) == 0;
}

// The loaded object (the executable or a shared library) whose loaded
// segments hold `address`, named by its program headers (a non-PIE
// executable's load base is 0); null when none holds it.
static const void* image_of(const void* address) {
    struct Search {
        uintptr_t address;
        const void* image;
    } search{reinterpret_cast<uintptr_t>(address), nullptr};
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* data) {
            auto* s = static_cast<Search*>(data);
            for (int i = 0; i < info->dlpi_phnum; ++i) {
                const ElfW(Phdr)& ph = info->dlpi_phdr[i];
                const uintptr_t start = info->dlpi_addr + ph.p_vaddr;
                if (ph.p_type == PT_LOAD && s->address >= start && s->address < start + ph.p_memsz) {
                    s->image = info->dlpi_phdr;
                    return 1;
                }
            }
            return 0;
        },
        &search);
    return search.image;
}

// C code of the interpreter's own image (the executable or libpython), where
// its time module lives: not a function of another extension under the same
// name, nor code a fake clock swapped in behind the same function object (it
// replaces the method table's pointer in place, so no dict changes).
static bool interpreter_code(PyCFunction code) {
    static const void* const interpreter = image_of(reinterpret_cast<const void*>(&PyTime_Time));
    return interpreter && code && image_of(reinterpret_cast<const void*>(code)) == interpreter;
}

static bool check_row(int index, Owners& owners) {
    const Row& row = kRows[index];
    Pin& pin = row_pins[index];
    PyObject* ns = owners[row.owner];
    if (!ns && !(ns = resolve_anchor(owners, row.owner))) return false;
    const bool on_class = PyType_Check(ns);
    if (on_class && !rows::plain_class(reinterpret_cast<PyTypeObject*>(ns))) return false;
    PyObject* value = on_class ? rows::lookup(ns, row.name) : rows::item(ns, row.name);
    const Owner target = static_cast<Owner>(row.arg);
    switch (row.must) {
        case Must::Module: {
            if (!value || !PyModule_CheckExact(value) || !rows::pinned(value, pin)) return false;
            PyObject* dict = PyModule_GetDict(value);
            if (owners[target] && owners[target] != dict) return false;
            owners[target] = dict;
            return rows::readable_dict(dict);
        }
        case Must::Builtin:
            // The C function or type of that name (the line is made here as
            // time.strftime and the others would make it).
            if (!value || !(c_function_named(value, row.name) ||
                            (PyType_Check(value) &&
                             !(reinterpret_cast<PyTypeObject*>(value)->tp_flags & Py_TPFLAGS_HEAPTYPE) &&
                             strcmp(reinterpret_cast<PyTypeObject*>(value)->tp_name, row.name) == 0)))
                return false;
            if (row.owner == Owner::builtins)
                for (Owner reader : {Owner::logging, Owner::logging__handlers})
                    if (!owners[reader] || rows::item(owners[reader], row.name)) return false;
            return rows::pinned(value, pin);
        case Must::Class:
            if (!value || !PyType_Check(value) || !rows::pinned(value, pin)) return false;
            owners[target] = value;
            return rows::plain_class(reinterpret_cast<PyTypeObject*>(value)) &&
                   reinterpret_cast<PyTypeObject*>(value)->tp_new == PyBaseObject_Type.tp_new;
        case Must::Method:
            return rows::pin_function(value, row.name, row.qualname, pin, wstock.codes, &wstock.ncodes);
        case Must::Own:
            return on_class && !value;
        case Must::Plain:
            return on_class && (!value || !Py_TYPE(value)->tp_descr_get);
        case Must::InstanceDict:
            return value && Py_IS_TYPE(value, &PyGetSetDescr_Type);
        default:  // the kinds only the dropped call's table has
            return false;
    }
}

// A C type found in a module namespace, that nothing can change, by its C name.
static PyTypeObject* fixed_type(PyObject* ns, const char* name, const char* c_name) {
    PyObject* value = ns ? rows::item(ns, name) : nullptr;
    if (!value || !PyType_Check(value)) return nullptr;
    PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(value);
    return (tp->tp_flags & Py_TPFLAGS_IMMUTABLETYPE) && strcmp(tp->tp_name, c_name) == 0 ? tp : nullptr;
}

static void check_rows() {
    if (!intern_names()) return;
    PyObject* logging_module = PyDict_GetItemWithError(M.ns, S.logging);
    if (!logging_module) return PyErr_Clear();
    if (!PyModule_CheckExact(logging_module) || !rows::readable_dict(PyModule_GetDict(logging_module))) return;
    Owners owners;
    owners[Owner::logging] = PyModule_GetDict(logging_module);
    owners[Owner::builtins] = PyModule_GetDict(M.builtins);
    if (!rows::readable_dict(owners[Owner::builtins])) return;
    if (!resolve_anchor(owners, Owner::logging__handlers)) return;
    for (int i = 0; i < kRowCount; ++i)
        if (!check_row(i, owners)) return;
    auto cls = [&](Owner o) { return reinterpret_cast<PyTypeObject*>(owners[o]); };
    wstock.handler_types[kFile] = cls(Owner::logging__FileHandler);
    wstock.handler_types[kRotating] = cls(Owner::logging__handlers__RotatingFileHandler);
    wstock.handler_types[kTimed] = cls(Owner::logging__handlers__TimedRotatingFileHandler);
    wstock.handler_types[kConsole] = cls(Owner::logging__StreamHandler);
    wstock.formatter_type = cls(Owner::logging__Formatter);
    wstock.style_type = cls(Owner::logging__PercentStyle);
    wstock.record_class = owners[Owner::logging__LogRecord];
    for (int i = 0; i < kClasses; ++i) wstock.classes[i] = cls(kWatchedClasses[i]);
    // The values the handlers' objects are compared with: time.localtime (the
    // converter as shipped), threading's C RLock, io's C classes.
    for (int i = 0; i < kClocks; ++i) {
        PyObject* fn = rows::item(owners[Owner::time], kClockNames[i]);
        if (!fn || !c_function_named(fn, kClockNames[i]) || !interpreter_code(PyCFunction_GET_FUNCTION(fn))) return;
        wstock.clocks[i] = fn;
        wstock.clock_code[i] = PyCFunction_GET_FUNCTION(fn);
    }
    wstock.localtime = wstock.clocks[kLocaltime];
    for (const char* module : {"threading", "io"}) {
        PyObject* mod = rows::item(owners[Owner::logging], module);
        if (!mod || !PyModule_CheckExact(mod) || !rows::readable_dict(PyModule_GetDict(mod))) return;
        PyObject* dict = PyModule_GetDict(mod);
        if (module[0] == 't') {
            wstock.rlock_type = fixed_type(dict, "_CRLock", "_thread.RLock");
        } else {
            wstock.text_type = fixed_type(dict, "TextIOWrapper", "_io.TextIOWrapper");
            wstock.buffered_type = fixed_type(dict, "BufferedWriter", "_io.BufferedWriter");
            wstock.fileio_type = fixed_type(dict, "FileIO", "_io.FileIO");
            wstock.stringio_type = fixed_type(dict, "StringIO", "_io.StringIO");
        }
    }
    if (!wstock.rlock_type || !wstock.text_type || !wstock.buffered_type || !wstock.fileio_type ||
        !wstock.stringio_type)
        return;
    wstock.logging_dict = owners[Owner::logging];
    wstock.usable = true;
}

static void check_stock() {
    wstock = Stock();
    wstock.epoch = watched_epoch();
    wstock.function_changes = rows::function_changes();
    check_rows();
    for (int i = 0; i < kClasses; ++i) {
        PyTypeObject* tp = wstock.classes[i];
        if (tp && !PyUnstable_Type_AssignVersionTag(tp)) wstock.usable = false;
        wstock.versions[i] = tp ? tp->tp_version_tag : 0;
    }
}

// Whether the table holds now. Called before each use of wstock after any
// point where the GIL may have been released (another thread may have
// checked again meanwhile, and found the table changed).
static bool stock_is_current() {
    bool same = wstock.epoch == watched_epoch() && wstock.function_changes == rows::function_changes();
    for (int i = 0; same && i < kClasses; ++i)
        same = !wstock.classes[i] || wstock.classes[i]->tp_version_tag == wstock.versions[i];
    if (!same) check_stock();
    if (!wstock.usable) return false;
    // The clock's code, as checked (a fake clock swaps it in place).
    for (int i = 0; i < kClocks; ++i)
        if (PyCFunction_GET_FUNCTION(wstock.clocks[i]) != wstock.clock_code[i]) return false;
    return true;
}

// ---------------------------------------------------------------------------
// Reading an object's own values without running code

// Where a name sits in a class's shared key layout, remembered per (class,
// version tag, layout, layout size, name): a small direct-mapped table.
struct IndexEntry {
    PyTypeObject* type;  // compared only
    unsigned int version;
    const void* keys;
    Py_ssize_t size;
    PyObject* name;  // one of W's, interned for good
    Py_ssize_t index;
};
constexpr size_t kIndexSets = 256;  // two entries a set, the older one replaced
static IndexEntry index_cache[kIndexSets][2];

static Py_ssize_t layout_index(PyTypeObject* tp, const void* keys, PyObject* name) {
    const Py_ssize_t size = priv::shared_keys_size(keys);
    uintptr_t h = reinterpret_cast<uintptr_t>(keys) ^ (reinterpret_cast<uintptr_t>(name) * 0x9E3779B97F4A7C15ull);
    h ^= h >> 29;
    IndexEntry* set = index_cache[h % kIndexSets];
    const unsigned int version = tp->tp_version_tag;
    for (int way = 0; way < 2; ++way) {
        const IndexEntry& e = set[way];
        if (version && e.type == tp && e.version == version && e.keys == keys && e.size == size && e.name == name) {
            if (way) std::swap(set[0], set[1]);  // the most recent first
            return set[0].index;
        }
    }
    const Py_ssize_t at = priv::shared_keys_index(keys, name);
    if (version) {
        set[1] = set[0];
        set[0] = {tp, version, keys, size, name, at};
    }
    return at;
}

// The instance's own value of `name` (borrowed, null when absent): true when
// it could be read, from its inline values or a dict of exact str keys.
static bool own_value(PyObject* obj, PyObject* name, PyObject** out) {
    const void* keys = nullptr;
    PyObject* const* values = priv::inline_values(obj, &keys);
    if (values) {
        const Py_ssize_t at = layout_index(Py_TYPE(obj), keys, name);
        *out = at >= 0 ? values[at] : nullptr;
        return true;
    }
    PyObject** dictptr = _PyObject_GetDictPtr(obj);
    if (!dictptr) return false;
    PyObject* dict = *dictptr;
    if (!dict) return *out = nullptr, true;
    if (!PyDict_CheckExact(dict) || !priv::dict_has_str_keys(dict)) return false;
    *out = PyDict_GetItemWithError(dict, name);  // exact str keys: compares str only
    return true;
}

// What `obj.name` gives for a Plain row: the instance's own value, else the class's.
static PyObject* plain_value(PyObject* obj, PyObject* name) {
    PyObject* value = nullptr;
    if (!own_value(obj, name, &value)) return nullptr;
    return value ? value : _PyType_Lookup(Py_TYPE(obj), name);
}

static bool ascii_is(PyObject* s, const char* text) {
    return s && PyUnicode_CheckExact(s) && PyUnicode_CompareWithASCIIString(s, text) == 0;
}

// ---------------------------------------------------------------------------
// W7 to W11: the handlers that take the record

// What the proof read of a handler, borrowed while nothing runs, held once
// the handlers' turns begin (code of logging's runs in them).
struct Taker {
    PyObject* handler;
    HandlerKind kind;
    PyObject* filters;  // the _logger_name of each filter is read at its turn
    PyObject* lock;
    PyObject* terminator;
    PyObject* limit;   // maxBytes or rolloverAt
    PyObject* stream;  // as checked (W11), or None
    Ref held[6];

    void hold() {
        PyObject* objects[] = {handler, filters, lock, terminator, limit, stream};
        for (int i = 0; i < 6; ++i) held[i] = Ref::borrow(objects[i]);
    }
};

static int kind_of(PyTypeObject* tp) {
    for (int k = 0; k < kKinds; ++k)
        if (tp == wstock.handler_types[k]) return k;
    return -1;
}

// W8: a filter of the module's _ContextFilter, its name as it would stamp it.
// The class that passed last is remembered with its version tag.
static PyTypeObject* filter_class_seen = nullptr;  // compared only
static unsigned int filter_class_version = 0;

static PyObject* context_filter_name(PyObject* f) {
    PyTypeObject* tp = Py_TYPE(f);
    if (!(tp == filter_class_seen && tp->tp_version_tag == filter_class_version && filter_class_version)) {
        if (!rows::plain_class(tp)) return nullptr;
        PyObject* method = _PyType_Lookup(tp, W.filter);
        if (!method || !is_function_of(method, &context_filter_filter_spec) || _PyType_Lookup(tp, W._logger_name))
            return nullptr;
        filter_class_seen = tp;
        filter_class_version = tp->tp_version_tag;
    }
    PyObject *shadow = nullptr, *name = nullptr;
    if (!own_value(f, W.filter, &shadow) || shadow || !own_value(f, W._logger_name, &name)) return nullptr;
    return name && PyUnicode_CheckExact(name) ? name : nullptr;
}

static bool filters_known(PyObject* filters) {
    if (!filters || !PyList_CheckExact(filters)) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(filters); ++i)
        if (!context_filter_name(PyList_GET_ITEM(filters, i))) return false;
    return true;
}

// W10: the formatter gives the module's file line.
static bool formatter_known(PyObject* formatter) {
    if (!formatter || !Py_IS_TYPE(formatter, wstock.formatter_type)) return false;
    PyObject *style = nullptr, *datefmt = nullptr;
    if (!own_value(formatter, W._style, &style) || !own_value(formatter, W.datefmt, &datefmt)) return false;
    if (!style || !Py_IS_TYPE(style, wstock.style_type)) return false;
    if (datefmt != Py_None && !(datefmt && PyUnicode_CheckExact(datefmt) && PyUnicode_GET_LENGTH(datefmt) == 0))
        return false;
    if (plain_value(formatter, W.converter) != wstock.localtime ||
        !ascii_is(plain_value(formatter, W.default_time_format), "%Y-%m-%d %H:%M:%S") ||
        !ascii_is(plain_value(formatter, W.default_msec_format), "%s,%03d"))
        return false;
    PyObject *fmt = nullptr, *defaults = nullptr;
    if (!own_value(style, W._fmt, &fmt) || !own_value(style, W._defaults, &defaults)) return false;
    if (defaults != Py_None || !ascii_is(fmt, kFileFormat)) return false;
    // usesTime(): `self._fmt.find(self.asctime_search) >= 0`
    PyObject* search = plain_value(style, W.asctime_search);
    return search && PyUnicode_CheckExact(search) &&
           PyUnicode_Find(fmt, search, 0, PyUnicode_GET_LENGTH(fmt), 1) >= 0;
}

// An io object whose write, flush and tell are its class's: none is set on
// the instance (its own dict holds `mode` and `name`, which io sets).
static bool methods_unset(PyObject* obj) {
    PyObject** dictptr = _PyObject_GetDictPtr(obj);
    if (!dictptr || !*dictptr) return true;
    PyObject* dict = *dictptr;
    if (!PyDict_CheckExact(dict) || !priv::dict_has_str_keys(dict)) return false;
    for (PyObject* name : {W.write, W.flush, W.tell})
        if (PyDict_GetItemWithError(dict, name)) return false;  // exact str keys: compares str only
    return true;
}

// Whether a stream of io's own classes (W11, W12) is open: `closed` is a
// getter of the C class, down to FileIO's flag.
static bool stream_open(PyObject* stream) {
    Ref closed = Ref::steal(PyObject_GetAttr(stream, W.closed));
    if (!closed) return PyErr_Clear(), false;
    return closed.get() == Py_False;
}

// W11: a stream whose write, tell and flush are the C ones of a plain file,
// down to the file descriptor; UTF-8 with strict errors. W12 (`console`): the
// same in UTF-8 with any error handler (a line it would have to handle is
// left to the handler's own handle()), or an exact StringIO.
static bool stream_known(PyObject* stream, bool console = false) {
    if (console && Py_IS_TYPE(stream, wstock.stringio_type)) return methods_unset(stream) && stream_open(stream);
    if (!Py_IS_TYPE(stream, wstock.text_type) || !methods_unset(stream)) return false;
    // Members of the C classes (data descriptors): reading them runs no code.
    Ref buffer = Ref::steal(PyObject_GetAttr(stream, W.buffer));
    if (!buffer) return PyErr_Clear(), false;
    // The console's may be the FileIO itself (sys.stderr and sys.stdout unbuffered, `python -u`).
    const bool unbuffered = console && Py_IS_TYPE(buffer.get(), wstock.fileio_type);
    if (!unbuffered && !Py_IS_TYPE(buffer.get(), wstock.buffered_type)) return false;
    Ref raw = unbuffered ? Ref::borrow(buffer.get()) : Ref::steal(PyObject_GetAttr(buffer.get(), W.raw));
    if (!raw || !Py_IS_TYPE(raw.get(), wstock.fileio_type)) return PyErr_Clear(), false;
    if (!methods_unset(buffer.get()) || !methods_unset(raw.get())) return false;
    Ref encoding = Ref::steal(PyObject_GetAttr(stream, W.encoding));
    Ref errors = Ref::steal(PyObject_GetAttr(stream, W.errors));
    if (!encoding || !errors) return PyErr_Clear(), false;
    if (!(ascii_is(encoding.get(), "utf-8") || ascii_is(encoding.get(), "UTF-8") || ascii_is(encoding.get(), "utf8")) ||
        !(console ? PyUnicode_CheckExact(errors.get()) : ascii_is(errors.get(), "strict")))
        return false;
    return stream_open(stream);
}

// The stream before any effect: 1 known (W11), 0 None (the handler's own
// handle() opens it), -1 anything else.
static int stream_state(PyObject* handler, HandlerKind kind, PyObject** stream) {
    if (!own_value(handler, W.stream, stream) || !*stream) return -1;
    if (*stream == Py_None) return kind == kConsole ? -1 : 0;  // emit's `None.write` is the handler's to report
    return stream_known(*stream, kind == kConsole) ? 1 : -1;
}

// At the handler's turn: the stream checked before, still there (only
// logging's own code and C code ran since, which change a stream only by
// replacing it) and, under the lock, still open (another thread may have
// closed it without the lock).
static bool stream_unchanged(const Taker& t, bool locked = false) {
    PyObject* now = nullptr;
    return t.stream != Py_None && own_value(t.handler, W.stream, &now) && now == t.stream &&
           (!locked || stream_open(now));
}

static bool taker_known(PyObject* handler, Taker& t, bool exc) {
    PyTypeObject* tp = Py_TYPE(handler);
    const int kind = kind_of(tp);
    // The console (W12): colored_known(handler, formatter) here, before any
    // effect, and again under its lock right before colored_line() at its turn.
    if (kind < 0) return false;
    t.handler = handler;
    t.kind = static_cast<HandlerKind>(kind);
    // No instance value shadows a method the record passes through.
    for (PyObject* name : {W.handle, W.filter, W.emit, W.format, W.flush, W.shouldRollover}) {
        PyObject* shadow = nullptr;
        if (!own_value(handler, name, &shadow) || shadow) return false;
    }
    PyObject *formatter = nullptr, *limit = nullptr;
    if (!own_value(handler, W.filters, &t.filters) || !own_value(handler, W.lock, &t.lock) ||
        !own_value(handler, W.formatter, &formatter))
        return false;
    if (!filters_known(t.filters) || !t.lock || !Py_IS_TYPE(t.lock, wstock.rlock_type) ||
        !(t.kind == kConsole ? colored_known(handler, formatter) : formatter_known(formatter)))
        return false;
    // W13: the formatter's own formatException, known.
    if (exc) {
        PyObject* shadow = nullptr;
        if (!own_value(formatter, W.formatException, &shadow) || shadow ||
            (t.kind == kConsole && !colored_exceptions_known(formatter)))
            return false;
    }
    t.terminator = plain_value(handler, W.terminator);
    if (!t.terminator || !PyUnicode_CheckExact(t.terminator)) return false;
    if (t.kind == kRotating || t.kind == kTimed) {
        if (!own_value(handler, t.kind == kRotating ? W.maxBytes : W.rolloverAt, &limit) || !limit ||
            !PyLong_CheckExact(limit))
            return false;
    }
    t.limit = limit;
    return stream_state(handler, t.kind, &t.stream) >= 0;
}

// ---------------------------------------------------------------------------
// The record's line

// A level's name as getLevelName gives it: _levelToName's exact str, or
// "Level %s" for a level without one; null when the name is anything else.
static Ref level_name(PyObject* level) {
    PyObject* names = PyDict_GetItemWithError(wstock.logging_dict, W._levelToName);  // exact int keys (D1)
    if (!names || !PyDict_CheckExact(names)) return Ref();
    PyObject* name = PyDict_GetItemWithError(names, level);
    if (name) return PyUnicode_CheckExact(name) ? Ref::borrow(name) : Ref();
    if (PyErr_Occurred()) return PyErr_Clear(), Ref();
    Ref text = Ref::steal(PyUnicode_FromFormat("Level %S", level));
    if (!text) PyErr_Clear();
    return text;
}

// W5: getMessage's `msg % self.args` runs no code of anyone's.
static bool args_inert(PyObject* args) {
    if (args == Py_None) return true;
    const Py_ssize_t n = PyTuple_GET_SIZE(args);
    if (n == 1) return false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* a = PyTuple_GET_ITEM(args, i);
        if (!(PyUnicode_CheckExact(a) || PyLong_CheckExact(a) || PyFloat_CheckExact(a) || a == Py_None ||
              PyBool_Check(a)))
            return false;
    }
    return true;
}

// What LogRecord.__init__ and Formatter.formatTime make of one time_ns()
// value: `created`, `msecs` and the asctime text.
struct Stamp {
    PyTime_t ns;
    double created;
    double msecs;
};

static Stamp stamp_of(PyTime_t ns) {
    Stamp s{ns, static_cast<double>(ns) / 1e9, 0.0};
    // (ct % 1_000_000_000) // 1_000_000 + 0.0, Python's floor division and modulo
    PyTime_t rem = ns % 1000000000;
    if (rem < 0) rem += 1000000000;
    s.msecs = static_cast<double>(rem / 1000000);
    PyTime_t whole = ns / 1000000000;
    if (ns % 1000000000 < 0) --whole;
    // int(self.created) != ct // 1_000_000_000: the conversion rounded up
    if (s.msecs == 999.0 && static_cast<PyTime_t>(std::trunc(s.created)) != whole) s.msecs = 0.0;
    return s;
}

// formatTime: time.strftime(default_time_format, time.localtime(created)) and
// "%s,%03d" % (s, msecs). Null (no exception) when localtime fails.
static Ref asctime_of(const Stamp& s) {
    const double floor_secs = std::floor(s.created);  // localtime's ROUND_FLOOR
    if (!(floor_secs >= -9.2e18 && floor_secs <= 9.2e18)) return Ref();
    const time_t when = static_cast<time_t>(floor_secs);
    struct tm tm;
    errno = 0;
    if (!localtime_r(&when, &tm)) return Ref();
    char text[96];
    const size_t n = strftime(text, 64, "%Y-%m-%d %H:%M:%S", &tm);
    if (n == 0) return Ref();
    const int m = snprintf(text + n, sizeof text - n, ",%03d", static_cast<int>(s.msecs));
    Ref out = Ref::steal(PyUnicode_DecodeASCII(text, static_cast<Py_ssize_t>(n) + m, nullptr));
    if (!out) PyErr_Clear();
    return out;
}

// parts joined, one allocation.
static Ref concat(PyObject* const* parts, int n) {
    Py_ssize_t length = 0;
    Py_UCS4 maxchar = 0;
    for (int i = 0; i < n; ++i) {
        length += PyUnicode_GET_LENGTH(parts[i]);
        const Py_UCS4 c = PyUnicode_MAX_CHAR_VALUE(parts[i]);
        if (c > maxchar) maxchar = c;
    }
    Ref out = Ref::steal(PyUnicode_New(length, maxchar));
    if (!out) return out;
    Py_ssize_t at = 0;
    for (int i = 0; i < n; ++i) {
        const Py_ssize_t len = PyUnicode_GET_LENGTH(parts[i]);
        if (len && PyUnicode_CopyCharacters(out.get(), at, parts[i], 0, len) < 0) return Ref();
        at += len;
    }
    return out;
}

// Whether a UTF-8 encoder with strict errors would refuse the text (a lone surrogate).
static bool has_surrogate(PyObject* s) {
    const int kind = PyUnicode_KIND(s);
    if (kind == PyUnicode_1BYTE_KIND) return false;
    const void* data = PyUnicode_DATA(s);
    for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(s); i < n; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c >= 0xD800 && c <= 0xDFFF) return true;
    }
    return false;
}

// ---------------------------------------------------------------------------
// The record, made when a handler's own code needs it

struct Call {
    PyObject* logger;
    PyObject* level;
    PyObject* text;
    PyObject* args;
    Ref logger_name;
    // What makeRecord reads, held from the decision on (another thread may
    // check the table again, and reset it, while this call waits).
    Ref logging_dict, record_class;
    Stamp stamp;
    Ref record;
    bool formatted = false;  // a handler formatted it: it has `message` and `asctime`
    Ref message, asctime;
    // W13: the record's exc_info (type, value, traceback), null without one;
    // exc_text as the handlers so far left it (null: None); the console's
    // coloured text, and what its formatting read, for a file handler after it.
    Ref exc_info;
    Ref exc_text;
    Ref coloured;
    TracebackInputs inputs;
};

// Records whose file line took the console's traceback text without the colour
// codes instead of formatting it again (for the tests, through the probe).
static long long tracebacks_once = 0;

static int set(PyObject* record, PyObject* name, PyObject* value) { return set_attr(record, name, value); }

// self.<name>(*args), the arguments after a free slot (PY_VECTORCALL_ARGUMENTS_OFFSET lets the
// callee use it).
static Ref call_method_of(PyObject* name, std::initializer_list<PyObject*> self_and_args) {
    PyObject* stack[6] = {};
    size_t n = 0;
    for (PyObject* arg : self_and_args) stack[1 + n++] = arg;
    return Ref::steal(PyObject_VectorcallMethod(name, stack + 1, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// The LogRecord the full call would have made, as it stands after the
// handlers before this one: Logger._log's findCaller and makeRecord, the time
// of this call, the name the filters so far stamped.
static PyObject* record_of(Call& c, PyObject* name) {
    if (!c.record) {
        Ref fn, lno, func, sinfo = Ref::borrow(Py_None);
        PyObject* srcfile = PyDict_GetItemWithError(c.logging_dict.get(), W._srcfile);  // exact str or None (D1)
        if (srcfile && srcfile != Py_None && PyUnicode_GET_LENGTH(srcfile) > 0) {
            Ref found = call_method_of(S.findCaller, {c.logger, Py_False, M.int_1});
            if (!found) return nullptr;
            if (!PyTuple_CheckExact(found.get()) || PyTuple_GET_SIZE(found.get()) != 4) {
                PyErr_SetString(PyExc_ValueError, "not enough values to unpack");
                return nullptr;
            }
            fn = Ref::borrow(PyTuple_GET_ITEM(found.get(), 0));
            lno = Ref::borrow(PyTuple_GET_ITEM(found.get(), 1));
            func = Ref::borrow(PyTuple_GET_ITEM(found.get(), 2));
            sinfo = Ref::borrow(PyTuple_GET_ITEM(found.get(), 3));
        } else {
            fn = Ref::steal(PyUnicode_FromString("(unknown file)"));
            lno = Ref::steal(PyLong_FromLong(0));
            func = Ref::steal(PyUnicode_FromString("(unknown function)"));
            if (!fn || !lno || !func) return nullptr;
        }
        Ref args = c.args == Py_None ? Ref::borrow(M.empty_tuple) : Ref::steal(PyTuple_GetSlice(c.args, 0, PY_SSIZE_T_MAX));
        if (!args) return nullptr;
        PyObject* exc_info = c.exc_info ? c.exc_info.get() : Py_None;
        PyObject* rargs[] = {c.logger_name.get(), c.level, fn.get(), lno.get(), c.text, args.get(), exc_info, func.get(),
                             sinfo.get()};
        Ref record = Ref::steal(PyObject_Vectorcall(c.record_class.get(), rargs, 9, nullptr));
        if (!record) return nullptr;
        // The time of this call (LogRecord.__init__ read the clock again):
        // created, msecs and relativeCreated as __init__ computes them.
        Ref ns = Ref::steal(PyLong_FromLongLong(c.stamp.ns));
        Ref created = Ref::steal(PyFloat_FromDouble(c.stamp.created));
        Ref msecs = Ref::steal(PyFloat_FromDouble(c.stamp.msecs));
        PyObject* start = PyDict_GetItemWithError(c.logging_dict.get(), W._startTime);
        if (!ns || !created || !msecs || !start) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "logging._startTime is gone");
            return nullptr;
        }
        Ref million = Ref::steal(PyFloat_FromDouble(1e6));
        Ref relative = Ref::steal(PyNumber_TrueDivide(Ref::steal(PyNumber_Subtract(ns.get(), start)).get(), million.get()));
        if (!relative || set(record.get(), W.created, created.get()) < 0 || set(record.get(), W.msecs, msecs.get()) < 0 ||
            set(record.get(), W.relativeCreated, relative.get()) < 0)
            return nullptr;
        // What the formatters of the turns written in place left on it (the last one's).
        if (c.formatted && c.asctime &&
            (set(record.get(), W.message, c.message.get()) < 0 || set(record.get(), W.asctime, c.asctime.get()) < 0))
            return nullptr;
        c.record = std::move(record);
    }
    // A record a handler's own code had is left as that code left it, but for the name
    // the filters so far stamped and the traceback text they let through (read back).
    PyObject* record = c.record.get();
    if (set(record, W.name, name) < 0) return nullptr;
    if (c.exc_info && set(record, W.exc_text, c.exc_text ? c.exc_text.get() : Py_None) < 0) return nullptr;
    return record;
}

// The handler's own `method(record)` (callHandlers' `hdlr.handle(record)`, or
// `self.emit(record)` under its lock), with the record.
static int with_record(Call& c, PyObject* method, PyObject* handler, PyObject* name) {
    PyObject* record = record_of(c, name);
    if (!record) return -1;
    Ref done = call_method_of(method, {handler, record});
    if (!done) return -1;
    c.formatted = true;  // Formatter.format ran (or would have, for the later handlers' record)
    if (c.exc_info) {
        // The traceback text the handler's own format() left on the record.
        Ref text = Ref::steal(PyObject_GetAttr(record, W.exc_text));
        if (!text) return -1;
        c.exc_text = text.get() == Py_None ? Ref() : std::move(text);
        c.coloured = Ref();
    }
    return 0;
}

static int handle_with_record(Call& c, PyObject* handler, PyObject* name) {
    return with_record(c, W.handle, handler, name);
}

// `with lock:`: __enter__ and __exit__ of the C RLock.
static int enter(PyObject* lock) {
    return call_method_of(S.__enter__, {lock}) ? 0 : -1;
}
static int leave(PyObject* lock) {
    return call_method_of(S.__exit__, {lock, Py_None, Py_None, Py_None}) ? 0 : -1;
}

// The end of `with lock:` whose block failed (`failed`: an exception is set):
// the lock is released and the exception passes through (with an error of
// the release on top, as the `with` statement chains them).
static int leave_after(PyObject* lock, bool failed) {
    PyObject* pending = failed ? PyErr_GetRaisedException() : nullptr;
    const int left = leave(lock);
    if (!pending) return left;
    if (left < 0) {
        PyObject* later = PyErr_GetRaisedException();
        PyException_SetContext(later, pending);
        PyErr_SetRaisedException(later);
    } else {
        PyErr_SetRaisedException(pending);
    }
    return -1;
}

// StreamHandler.emit's `except Exception: self.handleError(record)`: the
// error of the write or flush, handled while handleError runs.
static int report(Call& c, PyObject* handler, PyObject* name) {
    PyObject* raised = PyErr_GetRaisedException();
    if (!PyErr_GivenExceptionMatches(raised, PyExc_Exception) ||
        PyErr_GivenExceptionMatches(raised, PyExc_RecursionError)) {
        PyErr_SetRaisedException(raised);
        return -1;
    }
    Ref exc = Ref::steal(raised);
    if (PyFrameObject* frame = PyEval_GetFrame()) {
        PyErr_SetRaisedException(exc.release());
        PyTraceBack_Here(frame);
        exc = Ref::steal(PyErr_GetRaisedException());
    }
    PyObject* record = record_of(c, name);
    if (!record) return -1;
    PyObject* previous = PyErr_GetHandledException();
    PyErr_SetHandledException(exc.get());
    Ref done = call_method_of(W.handleError, {handler, record});
    PyErr_SetHandledException(previous);
    Py_XDECREF(previous);
    return done ? 0 : -1;
}

// The rollover the handler's shouldRollover would find, under its lock:
// 1 due (or not known here), 0 none, -1 error.
static int rollover_due(const Taker& t, PyObject* limit, PyObject* stream, Py_ssize_t msg_length) {
    if (t.kind == kRotating) {
        // `if self.maxBytes > 0: pos = self.stream.tell()`; `if not pos: return False`
        int overflow = 0;
        const long long max_bytes = PyLong_AsLongLongAndOverflow(limit, &overflow);
        if (overflow < 0 || (!overflow && max_bytes <= 0)) return 0;
        Ref pos = call_method_of(W.tell, {stream});
        if (!pos) return PyErr_Clear(), 1;  // the handler's own emit reports it
        if (!PyLong_CheckExact(pos.get())) return 1;
        const long long at = PyLong_AsLongLongAndOverflow(pos.get(), &overflow);
        if (overflow) return 1;
        if (at == 0) return 0;
        // `pos + len("%s\n" % self.format(record)) >= self.maxBytes`
        return overflow > 0 || at + msg_length + 1 >= max_bytes ? 1 : 0;
    }
    if (t.kind == kTimed) {
        // `t = int(time.time())`, `if t >= self.rolloverAt`
        PyTime_t now;
        if (PyTime_Time(&now) < 0) return PyErr_Clear(), 1;
        const double seconds = PyTime_AsSecondsDouble(now);
        int overflow = 0;
        const long long at = PyLong_AsLongLongAndOverflow(limit, &overflow);
        if (overflow) return overflow < 0 ? 1 : 0;
        return std::trunc(seconds) >= static_cast<double>(at) ? 1 : 0;
    }
    return 0;
}

// W13, at a handler's turn under its lock: Formatter.format's `if not
// record.exc_text: record.exc_text = self.formatException(record.exc_info)`,
// after the handler's filters dropped a cached text holding ESC. A file
// handler after the console takes the console's text with its colour codes
// removed where everything the plain formatting would read is as it was when
// the console formatted (and each source file as linecache holds it); else
// the formatter's own formatException runs, as format() would run it.
// 1: c.exc_text made (or kept), 0: what the formatting reads changed since the
// call was checked, so the handler's own handle() is to format it, -1: an
// error of formatException (emit's handleError reports it).
// W13 for the record's (type, value, traceback): everything the formatting
// reads is as shipped (no monitoring events on its code) and the exceptions and
// what they show are as traceback_inputs() requires, recorded in `out`.
static bool traceback_formatting_inert(PyObject* exc_info, bool on_disk, TracebackInputs& out) {
    return stock_is_current() && traceback_stock_holds() &&
           traceback_inputs(PyTuple_GET_ITEM(exc_info, 1), PyTuple_GET_ITEM(exc_info, 2), wstock.logging_dict,
                            on_disk, out);
}

static bool has_esc(PyObject* text) {
    return PyUnicode_FindChar(text, 0x1b, 0, PyUnicode_GET_LENGTH(text), 1) != -1;
}

static int exception_text(Call& c, PyObject* formatter, bool console) {
    if (c.exc_text && PyUnicode_GET_LENGTH(c.exc_text.get()) == 0)
        c.exc_text = Ref();  // format()'s `if not record.exc_text`
    if (c.exc_text) return 1;
    const bool once = !console && c.coloured;
    TracebackInputs now;
    if (!traceback_formatting_inert(c.exc_info.get(), once, now)) return 0;
    if (once && now.same_as(c.inputs)) {
        if (Ref plain = without_colour(c.coloured.get())) {
            c.exc_text = std::move(plain);
            ++tracebacks_once;
            return 1;
        }
    }
    Ref text = call_method_of(W.formatException, {formatter, c.exc_info.get()});
    if (!text) return -1;
    if (!PyUnicode_CheckExact(text.get())) {  // neither formatException does this
        PyErr_SetString(PyExc_TypeError, "formatException did not return a str");
        return -1;
    }
    c.coloured = console && has_esc(text.get()) ? Ref::borrow(text.get()) : Ref();
    if (console) c.inputs = std::move(now);
    c.exc_text = PyUnicode_GET_LENGTH(text.get()) ? std::move(text) : Ref();
    return 1;
}

// Formatter.format's end: `if record.exc_text: if s[-1:] != "\n": s = s +
// "\n"`, `s = s + record.exc_text`.
static Ref with_exception(Ref line, PyObject* exc_text) {
    if (!line || !exc_text) return line;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(line.get());
    const bool ends = n > 0 && PyUnicode_READ_CHAR(line.get(), n - 1) == '\n';
    PyObject* joined[] = {line.get(), W.newline, exc_text};
    PyObject* adjoined[] = {line.get(), exc_text};
    return ends ? concat(adjoined, 2) : concat(joined, 3);
}

// The handler's own code from where the turn stands, with the record as the
// full call would have it there: before its lock, `hdlr.handle(record)`;
// under it (the filters ran, the lock is held), `self.emit(record)`. What its
// filters stamped stays on the record for the next handler.
static int in_full(Call& c, PyObject* handler, Ref& name, PyObject* stamped, bool locked) {
    if (!locked) {
        if (handle_with_record(c, handler, name.get()) < 0) return -1;
        Ref now = Ref::steal(PyObject_GetAttr(c.record.get(), W.name));
        if (!now) return -1;
        name = std::move(now);
        return 0;
    }
    name = Ref::borrow(stamped);
    return with_record(c, W.emit, handler, stamped);
}

// Whether what the turn checked still holds after a point where the GIL may
// have been released (a lock's wait, isatty(), tell(), formatException, a
// write): the table (and the clock's code), and the handler's stream.
static bool still_holds(const Taker& t) { return stock_is_current() && stream_unchanged(t, true); }

// One handler's turn. The first handler's was checked in the decision with no
// point of release since; a later one is checked again at its turn (another
// thread may have run while an earlier one wrote). Under the lock what
// Handler.format and emit read there is read again, and again after each
// point where the GIL may be released; whatever changed goes to the handler's
// own code from that point (in_full), and the flush to the handler's own
// flush().
static int turn(Call& c, Taker* checked, PyObject* handler, Ref& name, PyObject* levelname) {
    // Once a handler's own code had the record, the record is what the next handlers
    // get: that code may have changed it (its msg, args, level, exc_text, ...).
    if (c.record) return in_full(c, handler, name, nullptr, false);
    Taker t;
    if (checked) {
        t = std::move(*checked);
    } else if (!stock_is_current() || !taker_known(handler, t, bool(c.exc_info))) {
        return in_full(c, handler, name, nullptr, false);
    }
    t.hold();
    // Filterer.filter: each filter stamps the record's name.
    Ref stamped = Ref::borrow(name.get());
    bool known = PyList_CheckExact(t.filters);
    for (Py_ssize_t i = 0; known && i < PyList_GET_SIZE(t.filters); ++i) {
        PyObject* next = context_filter_name(PyList_GET_ITEM(t.filters, i));
        if (next) stamped = Ref::borrow(next);
        known = next != nullptr;
    }
    if (!known || !stream_unchanged(t)) return in_full(c, handler, name, nullptr, false);
    // The module's filter also drops a cached traceback text that holds ESC (another
    // handler's coloured one), before the lock: whatever comes next sees it gone.
    if (c.exc_text && PyList_GET_SIZE(t.filters) > 0 && has_esc(c.exc_text.get())) c.exc_text = Ref();
    // The texts of the line, but the time: a lone surrogate is the encoder's
    // to refuse, in the handler's own emit.
    for (PyObject* part : {stamped.get(), levelname, c.message.get(), t.terminator})
        if (!PyUnicode_CheckExact(part) || has_surrogate(part)) return in_full(c, handler, name, nullptr, false);

    const bool console = t.kind == kConsole;
    PyObject* lock = t.lock;
    if (enter(lock) < 0) return -1;
    // Under the lock, after its wait: the stream, formatter, terminator and
    // rollover limit are read again, as emit reads them (another thread may
    // have rolled the file over, closed the handler or set another formatter).
    PyObject* stream = t.stream;
    PyObject *formatter = nullptr, *limit = t.limit;
    bool same = still_holds(t) && own_value(handler, W.formatter, &formatter) &&
                (console ? colored_known(handler, formatter) : formatter_known(formatter)) &&
                plain_value(handler, W.terminator) == t.terminator;
    Ref formatter_held = Ref::borrow(formatter);
    if (same && console && c.exc_info && !colored_exceptions_known(formatter)) same = false;
    // formatTime at this turn: the time zone is the one the full call's
    // format() would find here.
    Ref asctime = same ? asctime_of(c.stamp) : Ref();
    Ref line, written;
    Py_ssize_t msg_length = 0;
    if (!asctime) {
        same = false;
    } else if (console) {
        // Handler.format: the console's line; isatty() may let other threads run. A line
        // format() would raise for goes to the handler's own emit.
        line = colored_line(formatter, handler, asctime.get(), stamped.get(), levelname, c.level, c.message.get());
        if (!line) PyErr_Clear();
        same = line && still_holds(t);
    } else {
        PyObject* parts[] = {asctime.get(), W.dash, stamped.get(), W.dash, levelname, W.dash, c.message.get()};
        if (!(line = concat(parts, 7))) return leave_after(lock, true);
    }
    // W13: the traceback, where format() appends it (its text was checked to
    // hold no lone surrogate); formatException lets other threads run.
    int formatted_exception = 1;
    if (same && c.exc_info) {
        formatted_exception = exception_text(c, formatter, console);
        if (formatted_exception > 0 && c.exc_text && !(line = with_exception(std::move(line), c.exc_text.get())))
            return leave_after(lock, true);
        if (formatted_exception == 0) same = false;
        if (formatted_exception > 0) same = still_holds(t);
    }
    if (same) {
        PyObject* pieces[] = {line.get(), t.terminator};
        if (!(written = concat(pieces, 2))) return leave_after(lock, true);
        msg_length = PyUnicode_GET_LENGTH(line.get());
    }
    if (same && (t.kind == kRotating || t.kind == kTimed))
        same = own_value(handler, t.kind == kRotating ? W.maxBytes : W.rolloverAt, &limit) && limit &&
               PyLong_CheckExact(limit);
    Ref limit_held = Ref::borrow(limit);
    // shouldRollover (tell() lets other threads run; a rollover is the handler's own).
    int due = formatted_exception < 0 || !same ? 0 : rollover_due(t, limit, stream, msg_length);
    if (due == 0 && same && t.kind == kRotating) same = still_holds(t);
    int rc = 0;
    if (formatted_exception < 0) {
        // format() raised in emit: handleError reports it, nothing is written.
        c.formatted = true;
        c.asctime = std::move(asctime);
        rc = report(c, handler, stamped.get());
        name = std::move(stamped);
    } else if (!same || due) {
        rc = due < 0 ? -1 : in_full(c, handler, name, stamped.get(), true);
    } else {
        name = std::move(stamped);
        c.formatted = true;
        c.asctime = std::move(asctime);
        Ref done = call_method_of(W.write, {stream, written.get()});
        if (done) {
            // emit's `self.flush()`: StreamHandler.flush, `with self.lock:` `if self.stream and
            // hasattr(self.stream, "flush")`; the handler's own flush() where the write let
            // anything change.
            if (!stock_is_current()) {
                done = call_method_of(W.flush, {handler});
            } else if (enter(lock) < 0) {
                done = Ref();
            } else {
                PyObject* now = nullptr;
                own_value(handler, W.stream, &now);
                Ref now_held = Ref::borrow(now);
                done = now == stream ? call_method_of(W.flush, {now}) : Ref::borrow(Py_None);
                if (leave_after(lock, !done) < 0) done = Ref();
            }
        }
        if (!done) rc = report(c, handler, name.get());
    }
    return leave_after(lock, rc < 0);
}

// callHandlers' `if record.levelno >= hdlr.level`, at the handler's turn:
// an exact int read plainly (no code runs), else as Python reads and compares.
static int takes_record(Call& c, PyObject* handler) {
    if (!c.record) {
        PyObject* hlevel = rows::handler_level(handler);
        if (hlevel && PyLong_CheckExact(hlevel)) return !rows::int_below(c.level, hlevel);
    }
    Ref levelno = c.record ? Ref::steal(PyObject_GetAttr(c.record.get(), S.levelno)) : Ref::borrow(c.level);
    if (!levelno) return -1;
    Ref hlevel = Ref::steal(PyObject_GetAttr(handler, S.level));
    if (!hlevel) return -1;
    Ref ge = Ref::steal(PyObject_RichCompare(levelno.get(), hlevel.get(), Py_GE));
    return ge ? PyObject_IsTrue(ge.get()) : -1;
}

// A logger's `handlers`, `propagate` or `parent` when callHandlers reaches it:
// read plainly from a logger of logging's classes, else as Python reads it.
enum LoggerRead { kHandlers, kPropagate, kParent };
static Ref logger_read(PyObject* logger, LoggerRead what) {
    rows::LoggerView view;
    if (rows::view_logger(logger, view)) {
        PyObject* value = what == kHandlers ? view.handlers : what == kPropagate ? view.propagate : view.parent;
        if (value) return Ref::borrow(value);
    }
    static PyObject* const* names[] = {&S.handlers, &S.propagate, &S.parent};
    return Ref::steal(PyObject_GetAttr(logger, *names[what]));
}

// Logger.callHandlers, walked as logging walks it: `for hdlr in c.handlers`
// over the list found when the loop reaches the logger (a list is read as
// its iterator reads it: its length at each step), each handler's level read
// at its turn, after the turns before it (which may have waited and let other
// threads run), `propagate` and `parent` when the loop reaches them. Up to
// the first turn nothing runs, so the walk finds what the decision found
// (`first`: the first taker's check; `found` cannot stay 0, so lastResort
// never acts).
static int call_handlers(Call& c, PyObject* handlers, Taker& first, PyObject* levelname) {
    Ref logger = Ref::borrow(c.logger);
    Ref list = Ref::borrow(handlers);
    Ref name = Ref::borrow(c.logger_name.get());
    Taker* checked = &first;
    for (;;) {
        Ref it;
        if (!PyList_CheckExact(list.get()) && !(it = Ref::steal(PyObject_GetIter(list.get())))) return -1;
        for (Py_ssize_t i = 0;; ++i) {
            Ref handler;
            if (it) {
                if (!(handler = Ref::steal(PyIter_Next(it.get())))) {
                    if (PyErr_Occurred()) return -1;
                    break;
                }
            } else {
                if (i >= PyList_GET_SIZE(list.get())) break;
                handler = Ref::borrow(PyList_GET_ITEM(list.get(), i));
            }
            const int takes = takes_record(c, handler.get());
            if (takes < 0) return -1;
            if (!takes) continue;
            if (turn(c, checked, handler.get(), name, levelname) < 0) return -1;
            checked = nullptr;
        }
        // `if not c.propagate: c = None` `else: c = c.parent`, then `while c:`
        Ref propagate = logger_read(logger.get(), kPropagate);
        if (!propagate) return -1;
        int truth = PyObject_IsTrue(propagate.get());
        if (truth <= 0) return truth;
        Ref parent = logger_read(logger.get(), kParent);
        if (!parent) return -1;
        if ((truth = PyObject_IsTrue(parent.get())) <= 0) return truth;
        logger = std::move(parent);
        if (!(list = logger_read(logger.get(), kHandlers))) return -1;
    }
}

// W4: the options are exc_info alone, and Logger._log's `if exc_info:` ...
// `exc_info = sys.exc_info()` gives what `exc_info` holds: null for a false
// flag (as with no options), else (type, value, traceback) of the exception
// being handled. False when the options are anything else, a tuple (left to
// the full call), or no exception is being handled (sys.exc_info() gives
// (None, None, None), formatted as "NoneType: None").
static bool exception_of(PyObject* kwargs, Ref& exc_info) {
    if (PyDict_GET_SIZE(kwargs) != 1) return false;
    PyObject* flag = PyDict_GetItemWithError(kwargs, W.exc_info);  // exact str keys (D5)
    if (!flag) return PyErr_Clear(), false;
    // D6: None, a bool, an exact int or an exact tuple; the truth of the first three runs no code.
    if (PyTuple_CheckExact(flag)) return false;
    if (flag == Py_None || PyObject_IsTrue(flag) == 0) return true;
    PyObject* value = PyErr_GetHandledException();
    Ref held = Ref::steal(value);
    if (!value || value == Py_None) return false;
    Ref tb = Ref::steal(PyException_GetTraceback(value));
    exc_info = Ref::steal(PyTuple_Pack(3, reinterpret_cast<PyObject*>(Py_TYPE(value)), value,
                                       tb ? tb.get() : Py_None));
    if (!exc_info) return PyErr_Clear(), false;
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// The proof, in the order of the conditions

Written written_call(PyObject* logger, PyObject* level, PyObject* text, PyObject* args, PyObject* kwargs) {
    if (!stock_is_current()) return Written::Call;  // W1
    if (priv::monitoring_local_events(PyThreadState_Get(), wstock.codes, wstock.ncodes)) return Written::Call;  // W2
    if (!PyEval_GetFrame()) return Written::Call;  // W3
    Ref exc_info;
    if (kwargs != Py_None && PyDict_GET_SIZE(kwargs) != 0 && !exception_of(kwargs, exc_info))
        return Written::Call;  // W4
    if (!args_inert(args)) return Written::Call;  // W5
    rows::LoggerView view;
    if (!rows::view_logger(logger, view) || !view.name || !PyUnicode_CheckExact(view.name)) return Written::Call;
    PyObject* logger_name = view.name;
    PyObject* first_handlers = view.handlers;
    Ref levelname = level_name(level);  // W6
    if (!levelname) return Written::Call;

    // W7 to W11: the handlers callHandlers would give the record to.
    Taker takers[kMaxTakers];
    int ntakers = 0;
    for (int depth = 0;; ++depth) {
        if (depth == kMaxChainDepth || !view.handlers || !PyList_CheckExact(view.handlers)) return Written::Call;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(view.handlers); ++i) {
            PyObject* handler = PyList_GET_ITEM(view.handlers, i);
            PyObject* hlevel = rows::handler_level(handler);
            if (!hlevel || !PyLong_CheckExact(hlevel)) return Written::Call;
            if (rows::int_below(level, hlevel)) continue;
            if (ntakers == kMaxTakers || !taker_known(handler, takers[ntakers], bool(exc_info))) return Written::Call;
            ++ntakers;
        }
        PyObject* propagate = view.propagate;
        if (!propagate || !(propagate == Py_True || propagate == Py_False || PyLong_CheckExact(propagate)))
            return Written::Call;
        if (PyObject_IsTrue(propagate) == 0) break;  // a bool or an exact int: no code runs
        if (view.parent == Py_None) break;
        if (!view.parent || !rows::view_logger(view.parent, view)) return Written::Call;
    }
    if (ntakers == 0) return Written::Call;  // the handlers of the chain, if any, leave it to lastResort

    // W13: formatting the traceback runs no code of anyone's.
    TracebackInputs inputs;
    if (exc_info) {
        if (!traceback_formatting_inert(exc_info.get(), false, inputs)) return Written::Call;
    }

    // The record's values, each as logging computes it. None of this runs code.
    Call c{logger, level, text, args, Ref::borrow(logger_name), Ref::borrow(wstock.logging_dict),
           Ref::borrow(wstock.record_class)};
    c.exc_info = std::move(exc_info);
    c.inputs = std::move(inputs);
    if (args == Py_None || PyTuple_GET_SIZE(args) == 0) {
        c.message = Ref::borrow(text);
    } else {
        c.message = Ref::steal(PyUnicode_Format(text, args));
        if (!c.message) return PyErr_Clear(), Written::Call;
    }
    PyTime_t ns;
    if (PyTime_Time(&ns) < 0) return PyErr_Clear(), Written::Call;
    c.stamp = stamp_of(ns);
    // The first effects: callHandlers' turns.
    return call_handlers(c, first_handlers, takers[0], levelname.get()) < 0 ? Written::Error : Written::Done;
}

}  // namespace log_main

#ifdef LOG_MAIN_TEST_HOOK
// For the tests: how many records so far had their file's traceback taken
// from the console's text (through ctypes, not the module).
LOG_MAIN_TEST_HOOK long long log_main_tracebacks_once(void) {
    return log_main::tracebacks_once;
}

// For the tests: the time text the written record gives a record made at `ns`
// (time.time_ns()), or None where it leaves the record to logging (through
// ctypes, not the module).
LOG_MAIN_TEST_HOOK PyObject* log_main_time_text_probe(long long ns) {
    log_main::Ref text = log_main::asctime_of(log_main::stamp_of(ns));
    if (!text) Py_RETURN_NONE;
    return text.release();
}
#endif  // LOG_MAIN_TEST_HOOK
