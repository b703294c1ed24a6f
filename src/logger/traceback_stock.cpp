// The plain formatting of a record's traceback, proven Python's own as
// shipped (T15 of docs/traceback-once.md, with T2, T10 and the colour part of
// T11): logging.Formatter.formatException runs
// traceback.print_exception(ei[0], ei[1], tb, None, sio), and everything that
// runs (traceback, linecache, textwrap, contextlib.suppress, ast.parse, 3.13's
// re.sub, abc's isinstance hook, 3.14's theme) reads only the names kRows
// lists, each as shipped: functions as the interpreter ships them, other
// names as first seen. What kRows holds is derived from the bytecode by
// scripts/traceback-names on each interpreter, minus the reads on branches the
// per-record conditions rule out (its EXCLUDED, each with its condition).
//
// How each kind of row is held:
//  - module namespaces read (traceback, linecache, ...; ast, os and
//    unicodedata as sys.modules has them, for the `import` statements inside
//    the functions): watched dicts of exact str keys;
//  - Python functions and methods: accepted only when the fingerprint of their
//    code, defaults and keyword defaults is one the interpreter ships under
//    their module and qualname (shipped_function() of fingerprint.hpp; for
//    namedtuple's generated __new__ too), then pinned with their code,
//    defaults and keyword defaults (the function watcher), by qualname and
//    module file;
//    those a property, classmethod or staticmethod holds are read again from
//    their holder at every call (each can be swapped in place);
//  - classes: by identity, their version tags (and their metaclass's) watched;
//    instances the path makes, reads and truth-tests run no code of their own
//    (usable_class below);
//  - C functions and C classes, constants, member descriptors: by identity;
//  - builtins: the built-in ones, shadowed by none of the namespaces the pinned
//    functions run in;
//  - values a record's conditions read (linecache.cache T8,
//    sys.tracebacklimit T7, re._cache2 T9, the exception's attributes T3):
//    rows of kind PerRecord, which only resolve their owner here.
//
// Checked at every call, because they change without any watched dict or
// class changing:
//  - T10: sys.modules' ast, os and unicodedata (3.15: _colorize) are the
//    modules pinned, or, for the first three, still not imported. The
//    functions import them where a frame needs them (ast for the carets,
//    unicodedata for a line that is not ASCII); the coloured pass ran the same
//    code on the same record just before, so a module it did not import the
//    plain pass does not import either. Once imported, its rows are checked.
//  - 3.14+, T2: `_colorize.theme_no_color` is exactly Theme whose `traceback`
//    is exactly Traceback with every field "". T11: `_colorize._theme`, which
//    the coloured pass reads, likewise with each field "" or a run of SGR
//    sequences (frozen dataclasses, changed in place by object.__setattr__).
//  - The getters of the pinned properties and the functions of the pinned
//    classmethod and staticmethod.
// 3.13, T11: the colour codes the coloured pass reads (`traceback.ANSIColors`,
// which is `_colorize.ANSIColors`) are the shipped ones, held by version tag.
//
// Rows read by some interpreters only carry the release range that reads them,
// compared with the running interpreter's Py_Version (a module built on 3.13.0
// runs on later 3.13 releases, whose formatting reads FrameSummary._code):
//  - 3.13.1 on: FrameSummary._code (a slot: 3.13.5 has it, 3.13.0 does not;
//    a release between without it fails the row, so takes the full path).
//  - 3.13 only: textwrap.dedent through re.sub (re, _compile, RegexFlag,
//    _cache2, textwrap's two patterns); 3.14 dropped it.
//  - 3.14 on: the theme (_colorize, get_theme, theme_no_color, Theme.traceback
//    and the section's eight fields), min.
//  - 3.15 on: _safe_get_theme, _format_note and the `note` field, display
//    widths through _wlen, the cached _str_width and _zip_display_width
//    (unicodedata.category, combining, iter_graphemes; ord), the escape
//    pattern; before 3.15: _WIDE_CHAR_SPECIFIERS and itertools.zip_longest;
//    `iter` is read on 3.13 and 3.15, not 3.14.
//
// The checks run no code of anyone's: every dict they look into has exact str
// keys, nothing they read is called.
//
// Threads. Nothing a call in flight uses (a verdict, the table's state, a
// borrowed pointer, a cached slot) may be reset or freed by another thread
// while the call waits or lets the GIL go: hold it strongly, or check it again
// after the point. A check that finds the table broken starts the state afresh
// (`tstock = Stock()`), so: everything a row pins is held for the life of the
// process (Pin); the code objects handed out by traceback_stock_codes() are
// every code any check gathered, only ever added to (a caller that took
// (codes, n) before a check ran again never meets an emptied slot, as it would
// if `n` outlived a check that found fewer, such as one made after a module
// was taken out of sys.modules); a verdict is only ever the one of the check
// just made, and whoever let the GIL go since asks again
// (traceback_stock_holds(), after traceback_inputs()' stats); and a check met
// half made (a finalizer letting another thread run inside it) is taken as
// failed, so that call makes the full one.
#include "logger/traceback_stock.hpp"

#include <opcode.h>

#include <cstring>

#include "logger/fingerprint.hpp"
#include "logger/stock.hpp"
#include "module/globals.hpp"
#include "module/private_api.hpp"
#include "module/test_hook.hpp"

namespace log_main {
namespace {  // the table's owners are this file's own

enum class Owner : uint8_t {
    none,
    exception,  // the record's exception and those chained to it (T3)
    builtins,
    logging,
    logging__Formatter,
    traceback,
    traceback__FrameSummary,
    traceback__StackSummary,
    traceback__TracebackException,
    traceback___Anchors,
    traceback___ExceptionPrintContext,
    contextlib__suppress,
    namedtuple__Anchors,  // the namespace of the __new__ namedtuple() generated for _Anchors
    linecache,
    textwrap,
    re,
    io,
    itertools,
    collections,
    collections__abc,
    abc,
    abc__ABCMeta,
    sys,
    ast,
    os,
    unicodedata,
    _colorize,
    _colorize__Theme,
    _colorize__Traceback,
    count
};
constexpr int kOwners = static_cast<int>(Owner::count);

using Row = TableRow<Owner>;

// A row with the releases that read it: [since, before) of Py_Version, 0 for open.
constexpr uint32_t py(uint32_t major, uint32_t minor, uint32_t micro) {
    return (major << 24) | (minor << 16) | (micro << 8);
}
struct Ranged {
    Row row;
    uint32_t since = 0, before = 0;
    constexpr Ranged(Row r, uint32_t s = 0, uint32_t b = 0) : row(r), since(s), before(b) {}
};
#define FROM(major, minor, micro, row) Ranged(row, py(major, minor, micro), 0)
#define BEFORE(major, minor, micro, row) Ranged(row, 0, py(major, minor, micro))

// In an order where each owner is resolved before its names are read.
// clang-format off
static constexpr Ranged kRows[] = {
    // logging's formatException, and the modules it loads
    ROW(logging, "traceback", Module, AS(traceback)),
    ROW(logging, "io", Module, AS(io)),
    ROW(logging__Formatter, "formatException", Method),
    ROW(io, "StringIO", Builtin),
    // traceback's modules and classes
    ROW(traceback, "sys", Module, AS(sys)),
    ROW(traceback, "linecache", Module, AS(linecache)),
    ROW(traceback, "textwrap", Module, AS(textwrap)),
    ROW(traceback, "itertools", Module, AS(itertools)),
    ROW(traceback, "collections", Module, AS(collections)),
    FROM(3, 14, 0, ROW(traceback, "_colorize", Module, AS(_colorize))),
    ROW(traceback, "TracebackException", Class, AS(traceback__TracebackException)),
    ROW(traceback, "StackSummary", Class, AS(traceback__StackSummary)),
    ROW(traceback, "FrameSummary", Class, AS(traceback__FrameSummary)),
    ROW(traceback, "_Anchors", Class, AS(traceback___Anchors)),
    ROW(traceback, "_ExceptionPrintContext", Class, AS(traceback___ExceptionPrintContext)),
    ROW(traceback, "suppress", Class, AS(contextlib__suppress)),
    // traceback's functions
    ROW(traceback, "print_exception", Function),
    ROW(traceback, "_parse_value_tb", Function),
    ROW(traceback, "_safe_string", Function),
    ROW(traceback, "_walk_tb_with_full_positions", Function),
    ROW(traceback, "_get_code_position", Function),
    ROW(traceback, "_byte_offset_to_character_offset", Function),
    ROW(traceback, "_display_width", Function),
    ROW(traceback, "_extract_caret_anchors_from_line_segment", Function),
    ROW(traceback, "_format_final_exc_line", Function),
    FROM(3, 15, 0, ROW(traceback, "_format_note", Function)),
    FROM(3, 15, 0, ROW(traceback, "_safe_get_theme", Function)),
    FROM(3, 15, 0, ROW(traceback, "_wlen", Function)),
    FROM(3, 15, 0, ROW(traceback, "_zip_display_width", Function)),
    FROM(3, 15, 0, ROW(traceback, "_str_width", Cached)),
    // traceback's constants
    ROW(traceback, "BUILTIN_EXCEPTION_LIMIT", Value),
    ROW(traceback, "_RECURSIVE_CUTOFF", Value),
    ROW(traceback, "_cause_message", Value),
    ROW(traceback, "_context_message", Value),
    ROW(traceback, "_sentinel", Value),
    BEFORE(3, 15, 0, ROW(traceback, "_WIDE_CHAR_SPECIFIERS", Value)),
    FROM(3, 15, 0, ROW(traceback, "_ANSI_ESCAPE_SEQUENCE", Value)),
    // TracebackException
    ROW(traceback__TracebackException, "__init__", Method),
    ROW(traceback__TracebackException, "_load_lines", Method),
    ROW(traceback__TracebackException, "print", Method),
    ROW(traceback__TracebackException, "format", Method),
    ROW(traceback__TracebackException, "format_exception_only", Method),
    ROW(traceback__TracebackException, "exc_type_str", Property),
    ROW(traceback__TracebackException, "__cause__", Own),
    ROW(traceback__TracebackException, "__context__", Own),
    ROW(traceback__TracebackException, "__notes__", Own),
    ROW(traceback__TracebackException, "__suppress_context__", Own),
    ROW(traceback__TracebackException, "_exc_type", Own),
    ROW(traceback__TracebackException, "_have_exc_type", Own),
    ROW(traceback__TracebackException, "_is_syntax_error", Own),
    ROW(traceback__TracebackException, "_str", Own),
    ROW(traceback__TracebackException, "exc_type_module", Own),
    ROW(traceback__TracebackException, "exc_type_qualname", Own),
    ROW(traceback__TracebackException, "exceptions", Own),
    ROW(traceback__TracebackException, "max_group_depth", Own),
    ROW(traceback__TracebackException, "max_group_width", Own),
    ROW(traceback__TracebackException, "stack", Own),
    // StackSummary (a list)
    ROW(traceback__StackSummary, "_extract_from_extended_frame_gen", Method),
    ROW(traceback__StackSummary, "_should_show_carets", Method),
    ROW(traceback__StackSummary, "format", Method),
    ROW(traceback__StackSummary, "format_frame_summary", Method),
    ROW(traceback__StackSummary, "append", Value),
    // FrameSummary (slots)
    ROW(traceback__FrameSummary, "__init__", Method),
    ROW(traceback__FrameSummary, "_set_lines", Method),
    ROW(traceback__FrameSummary, "line", Property),
    ROW(traceback__FrameSummary, "_dedented_lines", Property),
    ROW(traceback__FrameSummary, "_original_lines", Property),
    ROW(traceback__FrameSummary, "filename", Member),
    ROW(traceback__FrameSummary, "lineno", Member),
    ROW(traceback__FrameSummary, "end_lineno", Member),
    ROW(traceback__FrameSummary, "colno", Member),
    ROW(traceback__FrameSummary, "end_colno", Member),
    ROW(traceback__FrameSummary, "name", Member),
    ROW(traceback__FrameSummary, "_lines", Member),
    ROW(traceback__FrameSummary, "_lines_dedented", Member),
    ROW(traceback__FrameSummary, "locals", Member),
    FROM(3, 13, 1, ROW(traceback__FrameSummary, "_code", Member)),
    // _Anchors (a namedtuple)
    ROW(traceback___Anchors, "__new__", Method, 0, "_Anchors.__new__"),
    ROW(namedtuple__Anchors, "_tuple_new", Builtin),
    ROW(traceback___Anchors, "left_end_lineno", Value),
    ROW(traceback___Anchors, "left_end_offset", Value),
    ROW(traceback___Anchors, "right_start_lineno", Value),
    ROW(traceback___Anchors, "right_start_offset", Value),
    ROW(traceback___Anchors, "primary_char", Value),
    ROW(traceback___Anchors, "secondary_char", Value),
    // _ExceptionPrintContext
    ROW(traceback___ExceptionPrintContext, "__init__", Method),
    ROW(traceback___ExceptionPrintContext, "emit", Method),
    ROW(traceback___ExceptionPrintContext, "indent", Method),
    ROW(traceback___ExceptionPrintContext, "exception_group_depth", Own),
    ROW(traceback___ExceptionPrintContext, "need_close", Own),
    ROW(traceback___ExceptionPrintContext, "seen", Own),
    // contextlib.suppress (the `with` blocks around ast.parse)
    ROW(contextlib__suppress, "__init__", Method),
    ROW(contextlib__suppress, "__enter__", Method),
    ROW(contextlib__suppress, "__exit__", Method),
    ROW(contextlib__suppress, "_exceptions", Own),
    // linecache
    ROW(linecache, "checkcache", Function),
    ROW(linecache, "getline", Function),
    ROW(linecache, "getlines", Function),
    ROW(linecache, "lazycache", Function),
    ROW(linecache, "cache", PerRecord),  // T8
    // textwrap, and 3.13's re.sub in dedent
    ROW(textwrap, "dedent", Function),
    ROW(textwrap, "indent", Function),
    BEFORE(3, 14, 0, ROW(textwrap, "re", Module, AS(re))),
    BEFORE(3, 14, 0, ROW(textwrap, "_leading_whitespace_re", Value)),
    BEFORE(3, 14, 0, ROW(textwrap, "_whitespace_only_re", Value)),
    BEFORE(3, 14, 0, ROW(re, "sub", Function)),
    BEFORE(3, 14, 0, ROW(re, "_compile", Function)),
    BEFORE(3, 14, 0, ROW(re, "RegexFlag", Class)),
    BEFORE(3, 14, 0, ROW(re, "_cache2", PerRecord)),  // T9
    // itertools, collections, abc's isinstance hook (isinstance(notes, Sequence))
    ROW(itertools, "islice", Builtin),
    ROW(itertools, "groupby", Builtin),
    BEFORE(3, 15, 0, ROW(itertools, "zip_longest", Builtin)),
    ROW(collections, "abc", Module, AS(collections__abc)),
    ROW(collections, "deque", Builtin),
    ROW(collections__abc, "Sequence", Class),
    ROW(abc__ABCMeta, "__instancecheck__", Method),
    ROW(abc, "_abc_instancecheck", Builtin),
    // ast, os and unicodedata, imported inside the functions (T10)
    ROW(ast, "parse", Function),
    ROW(ast, "Assign", Builtin),
    ROW(ast, "BinOp", Builtin),
    ROW(ast, "Call", Builtin),
    ROW(ast, "Expr", Builtin),
    ROW(ast, "Name", Builtin),
    ROW(ast, "Return", Builtin),
    ROW(ast, "Subscript", Builtin),
    ROW(ast, "PyCF_ONLY_AST", Value),
    ROW(ast, "PyCF_OPTIMIZED_AST", Value),
    ROW(ast, "PyCF_TYPE_COMMENTS", Value),
    ROW(os, "stat", Builtin),
    ROW(unicodedata, "east_asian_width", Builtin),
    FROM(3, 15, 0, ROW(unicodedata, "category", Builtin)),
    FROM(3, 15, 0, ROW(unicodedata, "combining", Builtin)),
    FROM(3, 15, 0, ROW(unicodedata, "iter_graphemes", Builtin)),
    // The theme (3.14 on): the plain formatting's is theme_no_color's section (T2)
    FROM(3, 14, 0, ROW(_colorize, "get_theme", Function)),
    FROM(3, 14, 0, ROW(_colorize, "theme_no_color", Value)),
    FROM(3, 14, 0, ROW(_colorize__Theme, "traceback", Own)),
    FROM(3, 14, 0, ROW(_colorize__Traceback, "type", Plain)),
    FROM(3, 14, 0, ROW(_colorize__Traceback, "message", Plain)),
    FROM(3, 14, 0, ROW(_colorize__Traceback, "filename", Plain)),
    FROM(3, 14, 0, ROW(_colorize__Traceback, "line_no", Plain)),
    FROM(3, 14, 0, ROW(_colorize__Traceback, "frame", Plain)),
    FROM(3, 14, 0, ROW(_colorize__Traceback, "error_highlight", Plain)),
    FROM(3, 14, 0, ROW(_colorize__Traceback, "error_range", Plain)),
    FROM(3, 14, 0, ROW(_colorize__Traceback, "reset", Plain)),
    FROM(3, 15, 0, ROW(_colorize__Traceback, "note", Plain)),
    // What each record's conditions check
    ROW(sys, "tracebacklimit", PerRecord),                // T7
    ROW(exception, "__cause__", PerRecord),               // T3
    ROW(exception, "__context__", PerRecord),
    ROW(exception, "__suppress_context__", PerRecord),
    ROW(exception, "__traceback__", PerRecord),
    ROW(exception, "__notes__", PerRecord),               // T6
    // The builtins the functions load, shadowed by none of their namespaces
    ROW(builtins, "__import__", Builtin),                 // T10
    ROW(builtins, "AttributeError", Builtin),
    ROW(builtins, "BaseException", Builtin),
    ROW(builtins, "BaseExceptionGroup", Builtin),
    ROW(builtins, "Exception", Builtin),
    ROW(builtins, "ImportError", Builtin),
    ROW(builtins, "NameError", Builtin),
    ROW(builtins, "SyntaxError", Builtin),
    ROW(builtins, "bytes", Builtin),
    ROW(builtins, "compile", Builtin),
    ROW(builtins, "enumerate", Builtin),
    ROW(builtins, "getattr", Builtin),
    ROW(builtins, "id", Builtin),
    ROW(builtins, "isinstance", Builtin),
    ROW(builtins, "issubclass", Builtin),
    BEFORE(3, 14, 0, ROW(builtins, "iter", Builtin)),
    FROM(3, 15, 0, ROW(builtins, "iter", Builtin)),
    ROW(builtins, "len", Builtin),
    ROW(builtins, "list", Builtin),
    ROW(builtins, "max", Builtin),
    FROM(3, 14, 0, ROW(builtins, "min", Builtin)),
    ROW(builtins, "next", Builtin),
    FROM(3, 15, 0, ROW(builtins, "ord", Builtin)),
    ROW(builtins, "print", Builtin),
    ROW(builtins, "range", Builtin),
    ROW(builtins, "repr", Builtin),
    ROW(builtins, "reversed", Builtin),
    ROW(builtins, "set", Builtin),
    ROW(builtins, "sorted", Builtin),
    ROW(builtins, "str", Builtin),
    ROW(builtins, "sum", Builtin),
    ROW(builtins, "tuple", Builtin),
    ROW(builtins, "type", Builtin),
    ROW(builtins, "zip", Builtin),
};
// clang-format on
#undef FROM
#undef BEFORE
#undef ROW
#undef AS
constexpr int kRowCount = sizeof kRows / sizeof kRows[0];

static bool applies(const Ranged& r) {
    const uint32_t v = static_cast<uint32_t>(Py_Version);
    return (!r.since || v >= r.since) && (!r.before || v < r.before);
}

// How the path uses a class's instances, which says what the class must be.
enum Use : uint8_t {
    kRead = 0,     // attributes read: the generic getattr
    kMade = 1,     // made by calling the class, and written by its __init__
    kTested = 2,   // truth-tested (`if anchors ...`): no __bool__ or __len__ outside the built-in bases
    kChecked = 4,  // the second argument of isinstance(): its metaclass's __instancecheck__ is type's or the pinned one
};
struct ClassUse {
    Owner owner;
    uint8_t uses;
};
static constexpr ClassUse kClassUses[] = {
    {Owner::traceback__TracebackException, kMade | kTested},
    {Owner::traceback__StackSummary, kMade | kTested},
    {Owner::traceback___Anchors, kMade | kTested},
    {Owner::traceback__FrameSummary, kMade},  // its own __len__ and __eq__ are never reached
    {Owner::traceback___ExceptionPrintContext, kMade},
    {Owner::contextlib__suppress, kMade},
    {Owner::logging__Formatter, kRead},
    {Owner::_colorize__Theme, kRead},  // frozen dataclasses: never written here
    {Owner::_colorize__Traceback, kRead},
};

constexpr int kMaxWatched = 40;
constexpr int kMaxTracebackCodes = 192;  // the pinned functions and the code nested in them
constexpr int kMaxWrappers = 16;
constexpr int kMaxNamespaces = 24;
constexpr int kMaxFields = 12;

// What a pinned property, classmethod or staticmethod holds, read again at each call.
struct Wrapper {
    PyObject* holder;
    PyObject* function;
};

// The modules sys.modules must still hold (T10).
enum Imported : uint8_t { kAst, kOs, kUnicodedata, kColorize, kImported };
static const char* const kImportedNames[kImported] = {"ast", "os", "unicodedata", "_colorize"};

struct Stock {
    bool checked = false;
    bool usable = false;
    uint64_t epoch = 0;
    uint64_t function_changes = 0;
    PyTypeObject* classes[kMaxWatched] = {};
    unsigned int versions[kMaxWatched] = {};
    int nclasses = 0;
    PyCodeObject* codes[kMaxTracebackCodes] = {};
    PyObject* code_globals[kMaxTracebackCodes] = {};  // the namespace each runs in
    int ncodes = 0;
    Wrapper wrappers[kMaxWrappers] = {};
    int nwrappers = 0;
    PyObject* namespaces[kMaxNamespaces] = {};  // the globals of the pinned functions
    int nnamespaces = 0;
    PyObject* imported[kImported] = {};         // the modules pinned, by Imported
    bool absent[kImported] = {};                // not imported: their rows are not read
    PyTypeObject* theme_type = nullptr;         // 3.14+
    PyTypeObject* section_type = nullptr;
    PyObject* no_color = nullptr;               // _colorize.theme_no_color
    PyObject* colorize_dict = nullptr;
    PyObject* fields[kMaxFields] = {};          // the section's field names (interned)
    int nfields = 0;
    const char* failed = "";                    // what the last check stopped at (the probe's)
};
static Stock tstock;

static Pin row_pins[kRowCount];
static Pin wrapped_pins[kRowCount];  // Cached rows: the function under the cache
static Pin anchor_pins[kOwners];

struct Owners {
    PyObject* of[kOwners] = {};
    PyObject*& operator[](Owner o) { return of[static_cast<int>(o)]; }
};

static PyObject* interned(const char* name) {
    PyObject* s = PyUnicode_InternFromString(name);
    if (!s) PyErr_Clear();
    return s;
}

static void watch_class(PyTypeObject* tp) {
    for (int i = 0; i < tstock.nclasses; ++i)
        if (tstock.classes[i] == tp) return;
    if (tstock.nclasses == kMaxWatched) {
        tstock.usable = false;
        return;
    }
    tstock.classes[tstock.nclasses++] = tp;
}

// Every code object any check has gathered, in the order first met: what traceback_stock_codes()
// gives. Only ever added to, so a caller that took (codes, n) before a check ran again still reads
// code objects (each is held by a pin, or by the code that holds it as a constant, for the life of
// the process) and never an emptied slot; the codes of an earlier check that the current one no
// longer reaches are still watched for monitoring events, which only makes the full call.
constexpr int kMaxSeenCodes = 256;
static PyCodeObject* seen_codes[kMaxSeenCodes] = {};
static int nseen_codes = 0;

static bool note_seen(PyCodeObject* code) {
    for (int i = 0; i < nseen_codes; ++i)
        if (seen_codes[i] == code) return true;
    if (nseen_codes == kMaxSeenCodes) return false;
    seen_codes[nseen_codes] = code;
    ++nseen_codes;  // after the slot is written
    return true;
}

// A code object and, recursively, those of its constants (nested functions, lambdas, generator
// expressions, comprehensions).
static bool add_code(PyObject* code, PyObject* globals) {
    if (!PyCode_Check(code)) return true;
    for (int i = 0; i < tstock.ncodes; ++i)
        if (tstock.codes[i] == reinterpret_cast<PyCodeObject*>(code)) return true;
    if (tstock.ncodes == kMaxTracebackCodes || !note_seen(reinterpret_cast<PyCodeObject*>(code))) return false;
    tstock.code_globals[tstock.ncodes] = globals;
    tstock.codes[tstock.ncodes++] = reinterpret_cast<PyCodeObject*>(code);
    PyObject* consts = reinterpret_cast<PyCodeObject*>(code)->co_consts;
    if (!consts || !PyTuple_Check(consts)) return true;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts); ++i)
        if (!add_code(PyTuple_GET_ITEM(consts, i), globals)) return false;
    return true;
}

// Whether the code loads `name` as a global (LOAD_GLOBAL: its namespace, else the builtins); its
// names also hold attribute names, so the instructions are read. True when they cannot be.
static bool loads_global(PyCodeObject* code, const char* name) {
    Ref bytes = Ref::steal(PyCode_GetCode(code));
    if (!bytes || !PyBytes_Check(bytes.get())) return PyErr_Clear(), true;
    const auto* at = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(bytes.get()));
    const Py_ssize_t n = PyBytes_GET_SIZE(bytes.get());
    unsigned int extended = 0;
    for (Py_ssize_t i = 0; i + 1 < n; i += 2) {
        const unsigned int arg = extended | at[i + 1];
        extended = at[i] == EXTENDED_ARG ? arg << 8 : 0;
        if (at[i] != LOAD_GLOBAL) continue;
        const Py_ssize_t index = arg >> 1;
        PyObject* names = code->co_names;
        if (index >= PyTuple_GET_SIZE(names)) return true;
        if (PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(names, index), name) == 0) return true;
    }
    return false;
}

// The namespace a pinned function runs in: watched, of str keys, its builtins the builtins (but
// for namedtuple's generated __new__, whose builtins are an empty dict it never reads).
static bool note_namespace(PyFunctionObject* fn, bool generated) {
    if (fn->func_builtins != PyModule_GetDict(M.builtins) && !generated) return false;
    PyObject* globals = fn->func_globals;
    for (int i = 0; i < tstock.nnamespaces; ++i)
        if (tstock.namespaces[i] == globals) return true;
    if (tstock.nnamespaces == kMaxNamespaces || !rows::readable_dict(globals)) return false;
    tstock.namespaces[tstock.nnamespaces++] = globals;
    return true;
}

// The function under a property, classmethod or staticmethod (a new reference; null for any
// other object). Each keeps it in a C field, read without running code.
static Ref held_function(PyObject* holder) {
    if (Py_IS_TYPE(holder, &PyProperty_Type)) {
        PyObject* const* slot = priv::property_getter_slot(holder);
        return slot && *slot ? Ref::borrow(*slot) : Ref();
    }
    if (!Py_IS_TYPE(holder, &PyClassMethod_Type) && !Py_IS_TYPE(holder, &PyStaticMethod_Type)) return Ref();
    static PyObject* func_name = nullptr;
    if (!func_name && !(func_name = interned("__func__"))) return Ref();
    Ref f = Ref::steal(PyObject_GetAttr(holder, func_name));  // a member of the C type
    if (!f) PyErr_Clear();
    return f;
}

// The __new__ namedtuple() made for _Anchors: compiled from a string in a namespace of its own
// ({'_tuple_new': tuple.__new__, '__builtins__': ..., '__name__': 'namedtuple__Anchors'}), so it
// has no module file to match; pinned by its qualname, that namespace's name, its file "<string>"
// and its fingerprint as shipped (under that name and its qualname).
static bool pin_generated(PyObject* f, const char* qualname, Pin& pin) {
    if (!f || !PyFunction_Check(f)) return false;
    auto* fn = reinterpret_cast<PyFunctionObject*>(f);
    if (!pin.value) {
        PyObject* name = rows::item(fn->func_globals, "__name__");
        if (!PyDict_CheckExact(fn->func_globals) || !priv::dict_has_str_keys(fn->func_globals) || !name ||
            !PyUnicode_CheckExact(name) || PyUnicode_CompareWithASCIIString(name, "namedtuple__Anchors") != 0 ||
            !PyUnicode_CheckExact(fn->func_qualname) ||
            PyUnicode_CompareWithASCIIString(fn->func_qualname, qualname) != 0 ||
            PyUnicode_CompareWithASCIIString(reinterpret_cast<PyCodeObject*>(fn->func_code)->co_filename,
                                             "<string>") != 0 ||
            !shipped_function(f))
            return false;
        pin.value = Py_NewRef(f);
        pin.code = Py_NewRef(fn->func_code);
        pin.defaults = Py_XNewRef(fn->func_defaults);
        pin.kwdefaults = Py_XNewRef(fn->func_kwdefaults);
    }
    return f == pin.value && fn->func_code == pin.code && fn->func_defaults == pin.defaults &&
           fn->func_kwdefaults == pin.kwdefaults;
}

// A Python function as shipped, possibly held by a property, classmethod or staticmethod (then
// read again at each call); its namespace and its code objects noted.
static bool pin_python(PyObject* value, const Row& row, Pin& pin) {
    if (!value) return false;
    PyObject* f = value;
    Ref held;
    if (!PyFunction_Check(value)) {
        held = held_function(value);
        if (!held || tstock.nwrappers == kMaxWrappers) return false;
        f = held.get();
    }
    bool ok;
    const bool generated = row.owner == Owner::traceback___Anchors && strcmp(row.name, "__new__") == 0;
    if (generated) {
        ok = pin_generated(f, row.qualname, pin);
    } else {
        PyCodeObject* scratch[log_main::kMaxCodes];
        int nscratch = 0;
        ok = rows::pin_function(f, row.name, row.qualname, pin, scratch, &nscratch);
    }
    if (!ok || !note_namespace(reinterpret_cast<PyFunctionObject*>(f), generated) ||
        !add_code(pin.code, reinterpret_cast<PyFunctionObject*>(f)->func_globals))
        return false;
    if (held) tstock.wrappers[tstock.nwrappers++] = {value, pin.value};
    return true;
}

static bool ascii_equal(PyObject* s, const char* text) {
    return s && PyUnicode_CheckExact(s) && PyUnicode_CompareWithASCIIString(s, text) == 0;
}

// The name after the last dot of a C type's name.
static bool type_named(PyTypeObject* tp, const char* name) {
    const char* dot = strrchr(tp->tp_name, '.');
    return strcmp(dot ? dot + 1 : tp->tp_name, name) == 0;
}

// A class made in C: its metaclass type, and no Python __new__ or __init__ along its MRO (the ast
// node classes are heap types made by the _ast module; isinstance() against them runs no code).
static bool c_class(PyTypeObject* tp) {
    if (Py_TYPE(tp) != &PyType_Type) return false;
    if (!(tp->tp_flags & Py_TPFLAGS_HEAPTYPE) || (tp->tp_flags & Py_TPFLAGS_IMMUTABLETYPE)) return true;
    PyObject* mro = tp->tp_mro;
    if (!mro || !PyTuple_CheckExact(mro)) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        Ref dict = Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))));
        if (!dict || !PyDict_CheckExact(dict.get()) || !priv::dict_has_str_keys(dict.get())) return false;
        for (const char* name : {"__new__", "__init__"}) {
            PyObject* found = rows::item(dict.get(), name);
            if (found && (PyFunction_Check(found) || Py_IS_TYPE(found, &PyStaticMethod_Type) ||
                          Py_IS_TYPE(found, &PyClassMethod_Type)))
                return false;
        }
    }
    return true;
}

// A C function by its name (the namedtuple's `_tuple_new` is tuple.__new__), or a class made in C.
static bool builtin_named(PyObject* value, const char* name) {
    if (PyCFunction_CheckExact(value)) {
        auto* cf = reinterpret_cast<PyCFunctionObject*>(value);
        if (strcmp(name, "_tuple_new") == 0)
            return strcmp(cf->m_ml->ml_name, "__new__") == 0 && cf->m_self == reinterpret_cast<PyObject*>(&PyTuple_Type);
        return strcmp(cf->m_ml->ml_name, name) == 0;
    }
    return PyType_Check(value) && type_named(reinterpret_cast<PyTypeObject*>(value), name) &&
           c_class(reinterpret_cast<PyTypeObject*>(value));
}

static PyObject* resolve_anchor(Owners& owners, Owner o);

static bool has_row(Owner owner, const char* name) {
    for (const Ranged& r : kRows)
        if (r.row.owner == owner && applies(r) && strcmp(r.row.name, name) == 0) return true;
    return false;
}

// The first class of the MRO that is not a heap type (object, list, tuple).
static PyTypeObject* static_base(PyTypeObject* tp) {
    PyObject* mro = tp->tp_mro;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        if (!(base->tp_flags & Py_TPFLAGS_HEAPTYPE)) return base;
    }
    return &PyBaseObject_Type;
}

// A class the path uses as `uses` says, running no code of its own there (plain_class() of
// stock.hpp, widened to classes with a built-in base that has a length, such as StackSummary's
// list and _Anchors' tuple, and to metaclasses that keep type's call and attribute access, such as
// suppress's ABCMeta): attributes read through the generic getattr; when made, written through
// the generic setattr, no __del__, and __new__ and __init__ those of its built-in base or pinned
// by a row; when truth-tested, no class of its MRO but the built-in ones defines __bool__ or
// __len__; when checked by isinstance(), its metaclass's __instancecheck__ type's own or abc's
// (pinned by its row), whatever else the metaclass does (re.RegexFlag's EnumType has a __call__);
// every dict along the MRO of exact str keys.
static bool usable_class(PyTypeObject* tp, Owner owner, uint8_t uses, Owners& owners) {
    PyTypeObject* meta = Py_TYPE(tp);
    // Watched first: a class that fails is checked again once it changes.
    if (!PyUnstable_Type_AssignVersionTag(tp)) return false;
    watch_class(tp);
    if (meta != &PyType_Type) {
        if (!PyUnstable_Type_AssignVersionTag(meta)) return false;
        watch_class(meta);
    }
    if (uses != kChecked && meta != &PyType_Type &&
        (meta->tp_getattro != PyType_Type.tp_getattro || meta->tp_call != PyType_Type.tp_call))
        return false;
    if (tp->tp_getattro != PyObject_GenericGetAttr) return false;
    PyObject* mro = tp->tp_mro;
    if (!mro || !PyTuple_CheckExact(mro)) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        Ref dict = Ref::steal(PyType_GetDict(base));
        if (!dict || !PyDict_CheckExact(dict.get()) || !priv::dict_has_str_keys(dict.get())) return false;
        if ((uses & kTested) && (base->tp_flags & Py_TPFLAGS_HEAPTYPE) &&
            (rows::item(dict.get(), "__bool__") || rows::item(dict.get(), "__len__")))
            return false;
    }
    if (uses & kMade) {
        if (tp->tp_setattro != PyObject_GenericSetAttr || tp->tp_finalize || tp->tp_del) return false;
        PyTypeObject* base = static_base(tp);
        if (tp->tp_new != base->tp_new && !has_row(owner, "__new__")) return false;
        if (tp->tp_init != base->tp_init && !has_row(owner, "__init__")) return false;
    }
    if (uses & kChecked) {
        PyObject* hook = rows::lookup(reinterpret_cast<PyObject*>(meta), "__instancecheck__");
        PyObject* types_own = rows::lookup(reinterpret_cast<PyObject*>(&PyType_Type), "__instancecheck__");
        if (hook != types_own) {
            // abc's, pinned by the abc.ABCMeta row
            PyObject* abc_meta = owners[Owner::abc__ABCMeta];
            if (!abc_meta) abc_meta = resolve_anchor(owners, Owner::abc__ABCMeta);
            if (!hook || !PyFunction_Check(hook) || reinterpret_cast<PyObject*>(meta) != abc_meta) return false;
        }
    }
    return true;
}

static uint8_t uses_of(Owner owner) {
    for (const ClassUse& c : kClassUses)
        if (c.owner == owner) return c.uses;
    return kChecked;  // a class read by a row only to be given to isinstance()
}

// Whether every key of sys.modules is an exact str, so that looking a str up in it compares str
// only: its layout says so, or a scan made since the dict last changed found so (a dict that once
// held a key of another type keeps the general layout after losing it, until it is rebuilt).
static bool str_keyed(PyObject* modules) {
    if (!PyDict_CheckExact(modules)) return false;
    if (priv::dict_has_str_keys(modules)) return true;
    static PyObject* scanned = nullptr;  // compared only
    static uint64_t version = 0;
    static bool all_str = false;
    const uint64_t now = priv::dict_version(modules);
    if (modules == scanned && now == version) return all_str;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    all_str = true;
    while (all_str && PyDict_Next(modules, &pos, &key, &value)) all_str = PyUnicode_CheckExact(key);
    scanned = modules;
    version = now;
    return all_str;
}

// A module dict an owner is: `value` an exact module, as first seen, its namespace watched.
static PyObject* module_dict(PyObject* value, Pin& pin) {
    if (!value || !PyModule_CheckExact(value) || !rows::pinned(value, pin)) return nullptr;
    PyObject* dict = PyModule_GetDict(value);
    return rows::readable_dict(dict) ? dict : nullptr;
}

// Owners found otherwise than through a row of the table.
static PyObject* resolve_anchor(Owners& owners, Owner o) {
    Pin& pin = anchor_pins[static_cast<int>(o)];
    switch (o) {
        case Owner::logging__Formatter:
        case Owner::_colorize__Theme:
        case Owner::_colorize__Traceback: {
            const Owner module = o == Owner::logging__Formatter ? Owner::logging : Owner::_colorize;
            if (!owners[module]) return nullptr;
            const char* name = o == Owner::logging__Formatter ? "Formatter"
                               : o == Owner::_colorize__Theme ? "Theme"
                                                              : "Traceback";
            PyObject* cls = rows::item(owners[module], name);
            if (!cls || !PyType_Check(cls) || !rows::pinned(cls, pin) ||
                !usable_class(reinterpret_cast<PyTypeObject*>(cls), o, uses_of(o), owners))
                return nullptr;
            return owners[o] = cls;
        }
        case Owner::abc__ABCMeta: {
            // The metaclass of collections.abc.Sequence.
            PyObject* sequence = owners[Owner::collections__abc] ? rows::item(owners[Owner::collections__abc], "Sequence")
                                                                  : nullptr;
            PyTypeObject* meta = sequence ? Py_TYPE(sequence) : nullptr;
            if (!meta || !(meta->tp_flags & Py_TPFLAGS_HEAPTYPE) ||
                !ascii_equal(reinterpret_cast<PyHeapTypeObject*>(meta)->ht_qualname, "ABCMeta") ||
                !rows::pinned(reinterpret_cast<PyObject*>(meta), pin))
                return nullptr;
            return owners[o] = reinterpret_cast<PyObject*>(meta);
        }
        case Owner::abc: {
            // abc's namespace: the one its __instancecheck__ runs in.
            PyObject* meta = owners[Owner::abc__ABCMeta];
            PyObject* hook = meta ? rows::lookup(meta, "__instancecheck__") : nullptr;
            if (!hook || !PyFunction_Check(hook)) return nullptr;
            PyObject* dict = reinterpret_cast<PyFunctionObject*>(hook)->func_globals;
            return rows::readable_dict(dict) ? (owners[o] = dict) : nullptr;
        }
        case Owner::namedtuple__Anchors: {
            PyObject* cls = owners[Owner::traceback___Anchors];
            PyObject* made = cls ? rows::lookup(cls, "__new__") : nullptr;
            Ref f = made ? held_function(made) : Ref();
            if (!f || !PyFunction_Check(f.get())) return nullptr;
            PyObject* dict = reinterpret_cast<PyFunctionObject*>(f.get())->func_globals;
            return rows::readable_dict(dict) ? (owners[o] = dict) : nullptr;
        }
        case Owner::ast:
        case Owner::os:
        case Owner::unicodedata: {
            // Imported inside the functions: what sys.modules holds, checked again at each call.
            const int which = o == Owner::ast ? kAst : o == Owner::os ? kOs : kUnicodedata;
            PyObject* modules = PyImport_GetModuleDict();
            if (!modules || !str_keyed(modules)) return nullptr;
            PyObject* mod = rows::item(modules, kImportedNames[which]);
            if (!mod) {
                tstock.absent[which] = true;
                return nullptr;
            }
            PyObject* dict = module_dict(mod, pin);
            if (!dict) return nullptr;
            tstock.imported[which] = mod;
            return owners[o] = dict;
        }
        default:
            return nullptr;
    }
}

static bool check_row(int index, Owners& owners) {
    const Row& row = kRows[index].row;
    Pin& pin = row_pins[index];
    if (row.owner == Owner::exception) return row.must == Must::PerRecord;
    PyObject* ns = owners[row.owner];
    if (!ns && !(ns = resolve_anchor(owners, row.owner)))
        // A module the functions import that is not imported: the coloured pass, which ran the same
        // code on the same record just before, did not need it, so neither does the plain one.
        return (row.owner == Owner::ast && tstock.absent[kAst]) || (row.owner == Owner::os && tstock.absent[kOs]) ||
               (row.owner == Owner::unicodedata && tstock.absent[kUnicodedata]);
    const bool on_class = PyType_Check(ns);
    PyObject* value = on_class ? rows::lookup(ns, row.name) : rows::item(ns, row.name);
    const Owner target = static_cast<Owner>(row.arg);
    switch (row.must) {
        case Must::Module: {
            PyObject* dict = module_dict(value, pin);
            if (!dict || (owners[target] && owners[target] != dict)) return false;
            owners[target] = dict;
            if (target == Owner::_colorize) tstock.imported[kColorize] = value;
            return true;
        }
        case Must::Class: {
            if (!value || !PyType_Check(value) || !rows::pinned(value, pin)) return false;
            if (target != Owner::none) {
                if (owners[target] && owners[target] != value) return false;
                owners[target] = value;
            }
            return usable_class(reinterpret_cast<PyTypeObject*>(value), target, uses_of(target), owners);
        }
        case Must::Builtin:  // builtins: unshadowed, checked once the namespaces are known
            return value && builtin_named(value, row.name) && rows::pinned(value, pin);
        case Must::Function:
        case Must::Method:
        case Must::Property:
            if (row.must == Must::Property && (!value || !Py_IS_TYPE(value, &PyProperty_Type))) return false;
            if (row.must != Must::Property && on_class != (row.must == Must::Method)) return false;
            if (row.must == Must::Property && !rows::pinned(value, wrapped_pins[index])) return false;
            return pin_python(value, row, pin);
        case Must::Cached: {
            // functools.cache over a Python function: the wrapper keeps the function it calls in
            // a C field set when it is made; __wrapped__ is that function as first seen.
            if (!value || !rows::pinned(value, pin) || strcmp(Py_TYPE(value)->tp_name, "functools._lru_cache_wrapper"))
                return false;
            Ref dict = Ref::steal(PyObject_GenericGetDict(value, nullptr));
            if (!dict) return PyErr_Clear(), false;
            if (!PyDict_CheckExact(dict.get()) || !priv::dict_has_str_keys(dict.get())) return false;
            PyObject* wrapped = rows::item(dict.get(), "__wrapped__");
            return pin_python(wrapped, row, wrapped_pins[index]);
        }
        case Must::Value:
            return value && rows::pinned(value, pin);
        case Must::Member:
            return value && Py_IS_TYPE(value, &PyMemberDescr_Type) && rows::pinned(value, pin);
        case Must::Own:
            return on_class && !value;
        case Must::Plain:
            return on_class && (!value || !Py_TYPE(value)->tp_descr_get);
        case Must::PerRecord:
            return true;  // the owner is watched; the value is the record's conditions' to check
        default:
            return false;
    }
}

// The builtins rows: shadowed in none of the namespaces the pinned functions run in, where a
// function there loads the name (re has a `compile` of its own; ast.parse, in ast's namespace,
// loads the builtin).
static bool builtins_unshadowed() {
    for (const Ranged& r : kRows) {
        if (r.row.owner != Owner::builtins || !applies(r)) continue;
        for (int i = 0; i < tstock.nnamespaces; ++i) {
            if (!rows::item(tstock.namespaces[i], r.row.name)) continue;
            for (int c = 0; c < tstock.ncodes; ++c)
                if (tstock.code_globals[c] == tstock.namespaces[i] && loads_global(tstock.codes[c], r.row.name))
                    return false;
        }
    }
    return true;
}

// 3.13: the colour codes the coloured pass reads are the shipped ones (T11).
static bool shipped_colours(Owners& owners) {
    static const struct {
        const char* name;
        const char* code;
    } kShipped[] = {{"BOLD_MAGENTA", "\x1b[1;35m"}, {"MAGENTA", "\x1b[35m"}, {"BOLD_RED", "\x1b[1;31m"},
                    {"RED", "\x1b[31m"},           {"RESET", "\x1b[0m"}};
    PyObject* colours = rows::item(owners[Owner::traceback], "ANSIColors");
    PyObject* modules = PyImport_GetModuleDict();
    if (!colours || !PyType_Check(colours) || Py_TYPE(colours) != &PyType_Type || !modules ||
        !str_keyed(modules))
        return false;
    PyObject* colorize = rows::item(modules, "_colorize");
    if (!colorize || !PyModule_CheckExact(colorize) || rows::item(PyModule_GetDict(colorize), "ANSIColors") != colours)
        return false;
    if (!PyUnstable_Type_AssignVersionTag(reinterpret_cast<PyTypeObject*>(colours))) return false;
    watch_class(reinterpret_cast<PyTypeObject*>(colours));
    Ref dict = Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(colours)));
    if (!dict || !PyDict_CheckExact(dict.get()) || !priv::dict_has_str_keys(dict.get())) return false;
    for (const auto& c : kShipped)
        if (!ascii_equal(rows::lookup(colours, c.name), c.code)) return false;
    return true;
}

static void check_rows() {
    tstock.failed = "function watcher";
    if (!rows::watch_functions()) return;
    tstock.failed = "logging";
    PyObject* logging_module = PyDict_GetItemWithError(M.ns, S.logging);
    if (!logging_module) return PyErr_Clear();
    Owners owners;
    if (!PyModule_CheckExact(logging_module) || !rows::readable_dict(PyModule_GetDict(logging_module))) return;
    owners[Owner::logging] = PyModule_GetDict(logging_module);
    owners[Owner::builtins] = PyModule_GetDict(M.builtins);
    if (!rows::readable_dict(owners[Owner::builtins])) return;
    for (int i = 0; i < kRowCount; ++i) {
        if (!applies(kRows[i])) continue;
        if (!check_row(i, owners)) {
            tstock.failed = kRows[i].row.name;
            return;
        }
    }
    tstock.failed = "builtins shadowed";
    if (!builtins_unshadowed()) return;
    if (Py_Version < py(3, 14, 0)) {
        tstock.failed = "ANSIColors";
        if (!shipped_colours(owners)) return;
    } else {
        tstock.theme_type = reinterpret_cast<PyTypeObject*>(owners[Owner::_colorize__Theme]);
        tstock.section_type = reinterpret_cast<PyTypeObject*>(owners[Owner::_colorize__Traceback]);
        tstock.colorize_dict = owners[Owner::_colorize];
        tstock.no_color = rows::item(tstock.colorize_dict, "theme_no_color");
        for (const Ranged& r : kRows) {
            if (r.row.owner != Owner::_colorize__Traceback || !applies(r)) continue;
            if (tstock.nfields == kMaxFields || !(tstock.fields[tstock.nfields++] = interned(r.row.name))) return;
        }
    }
    tstock.failed = "";
    tstock.usable = true;
}

static void check_stock() {
    tstock = Stock();
    tstock.checked = true;
    tstock.epoch = watched_epoch();
    tstock.function_changes = rows::function_changes();
    check_rows();
    for (int i = 0; i < tstock.nclasses; ++i) {
        PyTypeObject* tp = tstock.classes[i];
        if (!PyUnstable_Type_AssignVersionTag(tp)) tstock.usable = false;
        tstock.versions[i] = tp->tp_version_tag;
    }
}

// ---------------------------------------------------------------------------
// Checked at every call

// A value of an instance as the generic getattr finds it when its class holds no data descriptor of
// that name (the Plain and Own rows say so): the instance dict's, else the class's (borrowed).
static PyObject* instance_value(PyObject* obj, PyObject* name) {
    Ref dict = Ref::steal(PyObject_GenericGetDict(obj, nullptr));
    if (!dict) return PyErr_Clear(), nullptr;
    if (!PyDict_CheckExact(dict.get()) || !priv::dict_has_str_keys(dict.get())) return nullptr;
    PyObject* value = PyDict_GetItemWithError(dict.get(), name);  // kept alive by the object
    if (!value) {
        if (PyErr_Occurred()) return PyErr_Clear(), nullptr;
        value = _PyType_Lookup(Py_TYPE(obj), name);
    }
    return value;
}

// "" or a run of SGR sequences (ESC '[' digits and ';' 'm').
static bool sgr_run(PyObject* s) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    Py_ssize_t i = 0;
    while (i < n) {
        if (PyUnicode_READ(kind, data, i) != 0x1b || i + 2 >= n || PyUnicode_READ(kind, data, i + 1) != '[')
            return false;
        i += 2;
        Py_UCS4 c;
        while (i < n && (((c = PyUnicode_READ(kind, data, i)) >= '0' && c <= '9') || c == ';')) ++i;
        if (i == n || PyUnicode_READ(kind, data, i) != 'm') return false;
        ++i;
    }
    return true;
}

// A theme as the formatting reads it: exactly Theme, its `traceback` exactly Traceback, each field
// an exact str that is "" (`plain`) or a run of SGR sequences.
static bool theme_as_read(PyObject* theme, bool plain) {
    static PyObject* traceback_name = nullptr;
    if (!traceback_name && !(traceback_name = interned("traceback"))) return false;
    if (!theme || Py_TYPE(theme) != tstock.theme_type) return false;
    PyObject* section = instance_value(theme, traceback_name);
    if (!section || Py_TYPE(section) != tstock.section_type) return false;
    for (int i = 0; i < tstock.nfields; ++i) {
        PyObject* field = instance_value(section, tstock.fields[i]);
        if (!field || !PyUnicode_CheckExact(field) || (plain ? PyUnicode_GET_LENGTH(field) != 0 : !sgr_run(field)))
            return false;
    }
    return true;
}

// 1 when everything checked at each call holds, 0 when not, -1 when a module the functions import
// was imported at the last check and is not now, or the other way round (check again).
static int per_call() {
    static PyObject* names[kImported] = {};
    static PyObject* theme_name = nullptr;
    PyObject* modules = PyImport_GetModuleDict();
    if (!modules || !str_keyed(modules)) return false;
    for (int i = 0; i < kImported; ++i) {
        if (i == kColorize && Py_Version < py(3, 15, 0)) continue;
        if (!names[i] && !(names[i] = interned(kImportedNames[i]))) return false;
        PyObject* mod = PyDict_GetItemWithError(modules, names[i]);  // exact str keys: no code runs
        if (!mod && PyErr_Occurred()) return PyErr_Clear(), 0;
        if (tstock.absent[i] && mod) return -1;
        if (mod != tstock.imported[i]) return mod ? 0 : -1;
    }
    for (int i = 0; i < tstock.nwrappers; ++i) {
        Ref f = held_function(tstock.wrappers[i].holder);
        if (f.get() != tstock.wrappers[i].function) return false;
    }
    if (Py_Version >= py(3, 14, 0)) {
        if (!theme_name && !(theme_name = interned("_theme"))) return false;
        if (!theme_as_read(tstock.no_color, true)) return false;  // T2
        PyObject* theme = PyDict_GetItemWithError(tstock.colorize_dict, theme_name);
        if (!theme) return PyErr_Clear(), false;
        if (!theme_as_read(theme, false)) return false;  // T11
    }
    return true;
}

}  // namespace

// Set while a check runs: a call that another thread lets run meanwhile (a
// finalizer letting the GIL go) finds the stock half checked and makes the
// full call.
static bool checking = false;

bool traceback_stock_current() {
    if (checking) return false;
    checking = true;
    bool same = tstock.checked && tstock.epoch == watched_epoch() && tstock.function_changes == rows::function_changes();
    for (int i = 0; same && i < tstock.nclasses; ++i) same = tstock.classes[i]->tp_version_tag == tstock.versions[i];
    if (!same) check_stock();
    int now = tstock.usable ? per_call() : 0;
    if (now < 0) {
        check_stock();
        now = tstock.usable ? per_call() : 0;
    }
    checking = false;
    return now == 1;
}

bool traceback_stock_holds() {
    if (!traceback_stock_current()) return false;
    PyThreadState* ts = PyThreadState_Get();
    return !ts->c_profilefunc && !ts->c_tracefunc && !priv::monitoring_global_events(ts) &&
           !priv::monitoring_local_events(ts, seen_codes, nseen_codes);
}

void traceback_stock_codes(PyCodeObject* const** codes, int* n) {
    *codes = seen_codes;
    *n = nseen_codes;
}

}  // namespace log_main

#ifdef LOG_MAIN_TEST_HOOK
// For the tests: 1 when the plain formatting of a traceback is as shipped, else 0. Reached through
// ctypes, not the module.
LOG_MAIN_TEST_HOOK int log_main_traceback_stock(void) {
    return log_main::traceback_stock_current() ? 1 : 0;
}

// For the tests: the row (or check) the last full check stopped at, "" when it passed.
LOG_MAIN_TEST_HOOK const char* log_main_traceback_stock_failed(void) {
    return log_main::tstock.failed;
}

// For the tests: the code objects traceback_stock_codes() gives, as a tuple, or None when the
// formatting is not as shipped.
LOG_MAIN_TEST_HOOK PyObject* log_main_traceback_stock_codes(void) {
    if (!log_main::traceback_stock_current()) Py_RETURN_NONE;
    PyCodeObject* const* codes = nullptr;
    int n = 0;
    log_main::traceback_stock_codes(&codes, &n);
    PyObject* out = PyTuple_New(n);
    for (int i = 0; out && i < n; ++i) PyTuple_SET_ITEM(out, i, Py_NewRef(reinterpret_cast<PyObject*>(codes[i])));
    return out;
}
#endif  // LOG_MAIN_TEST_HOOK
