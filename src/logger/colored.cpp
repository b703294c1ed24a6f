// colorlog's coloured console line, made here instead of by colorlog.
//
// The console handler formats with colorlog.ColoredFormatter(fmt=_cformatter,
// log_colors=_colors). Its format() is logging's Formatter.format, which for a
// record without exc_info or stack_info returns formatMessage(record); colorlog's
// formatMessage copies its escape_codes table, sets log_color from
// log_colors[levelname] (parse_colors), blanks every code when colour is off
// (force_color, FORCE_COLOR, no_color, NO_COLOR, stream.isatty(), in that
// order), formats the record's dict merged with the codes through PercentStyle
// and appends the reset code unless the text already ends with it.
// colored_line() does the same in C++; colored_known() says when that is the
// same as running format().
//
// It is the same when everything format() runs and reads is as shipped:
//  C1  The functions it runs are of a known colorlog release and of the
//      interpreter's logging and os: each function's code has a fingerprint of
//      the table below (kKnown), one row per colorlog release and one for the
//      standard library, per interpreter minor version. scripts/colorlog-stock
//      prints the rows from the release sources and derives from the bytecode
//      what the functions read; each check below names that read as
//      READ(owner, name), and the script fails when a read has no check.
//  C2  The classes are plain (type's attribute lookup, no finalizer, class dicts
//      of exact str keys) and pinned with their version tags; the modules are
//      exact modules whose dicts are watched; no global a function loads is
//      shadowed, and the builtins are the interpreter's own; formatMessage's
//      __class__ cell (super()'s) holds the formatter's class, checked at each
//      call (a cell's contents can be assigned, and nothing watches cells).
//  C3  The formatter keeps exactly the attributes ColoredFormatter.__init__
//      gives it, shadows no method, formats with a PercentStyle of the module's
//      console format and no defaults, has no date format and no secondary
//      colours; force_color, no_color and reset are None, bool or int; log_colors
//      is a dict of str keys and values; the stream is None or one of io's own
//      streams whose isatty() runs no Python code.
//  C4  colorlog's escape_codes is a dict of str keys and values; os.environ is
//      os's own _Environ (its class the one proven, at each call: __class__ can
//      be assigned) whose own encodekey and decodevalue are os's encode and
//      decode, encoding UTF-8, and whose own _data is a dict of bytes keys and
//      values. These are read where `"NO_COLOR" in os.environ` reads them
//      (_Environ.__getitem__: self._data[self.encodekey(key)]), at each call:
//      an instance attribute kept in inline values changes without any dict
//      event (even once a dict was made from them), so no watcher sees
//      os.environ._data or encodekey replaced.
//  C5  Nothing watches format() run: no profile or trace function, no
//      sys.monitoring events, global or on the code format() runs.
// Under these, the line runs no code of anyone's: every dict it looks into has
// exact str (or bytes) keys, and every value it formats is an exact str.
//
// Threads. Nothing a call in flight uses (a verdict, the proof, a borrowed
// pointer, a cached slot) may be reset or freed by another thread while this
// call lets the GIL go; what it keeps across such a point is held strongly,
// and what it checked is checked again after the point, the call falling back
// where it no longer holds. Here: the proof names everything with strong
// references and is made aside (`draft`) and swapped in whole, the one it
// replaces released only then (a finalizer run by the release may let another
// thread in, which finds `proving` set and makes the full call); the caches
// hold what they hand out (or compare a dict with its version only, never
// reading it stale). colored_line() lets the GIL go in one place, the
// stream's isatty(): what format() reads before it is read before it, and
// after it the proof, the cells, C3 and C5 are checked again and what format()
// reads after it (the style, reset) read again; anything changed meanwhile
// and it returns null, and the caller leaves the record to the handler's own
// handle(), whose format() runs afresh.
//
// Caches: `proof` (C1, C2, the class part of C3) holds while the dict watcher's
// epoch, the function watcher's count and the pinned classes' version tags are
// the same; the escape_codes and environment scans (C4) while the dict's version
// is the same. C3's instance part, os.environ's own values, the closure cells
// and C5 are checked at every call.
#include "logger/colored.hpp"
#include "logger/fingerprint.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>

#include "module/fast_attr.hpp"
#include "module/globals.hpp"
#include "module/test_hook.hpp"

namespace log_main {

// Marks the read of the full format() each check stands for (scripts/colorlog-stock
// compares these marks with what the bytecode reads).
#define READ(owner, name) name

namespace {

// ---------------------------------------------------------------------------
// Names

#define COLORED_NAMES(X)                                          \
    X(format, READ("colorlog.formatter.ColoredFormatter", "format")) \
    X(usesTime, READ("colorlog.formatter.ColoredFormatter", "usesTime")) \
    X(formatTime, READ("colorlog.formatter.ColoredFormatter", "formatTime")) \
    X(formatMessage, READ("colorlog.formatter.ColoredFormatter", "formatMessage")) \
    X(_escape_code_map, READ("colorlog.formatter.ColoredFormatter", "_escape_code_map")) \
    X(_colorize, READ("colorlog.formatter.ColoredFormatter", "_colorize")) \
    X(_blank_escape_codes, READ("colorlog.formatter.ColoredFormatter", "_blank_escape_codes")) \
    X(_get_escape_code, READ("colorlog.formatter.ColoredFormatter", "_get_escape_code")) \
    X(_append_reset, READ("colorlog.formatter.ColoredFormatter", "_append_reset")) \
    X(converter, READ("colorlog.formatter.ColoredFormatter", "converter")) \
    X(default_time_format, READ("colorlog.formatter.ColoredFormatter", "default_time_format")) \
    X(default_msec_format, READ("colorlog.formatter.ColoredFormatter", "default_msec_format")) \
    X(_style, READ("colorlog.formatter.ColoredFormatter", "_style")) \
    X(_fmt, "_fmt")                                               \
    X(datefmt, READ("colorlog.formatter.ColoredFormatter", "datefmt")) \
    X(log_colors, READ("colorlog.formatter.ColoredFormatter", "log_colors")) \
    X(secondary_log_colors, READ("colorlog.formatter.ColoredFormatter", "secondary_log_colors")) \
    X(reset, READ("colorlog.formatter.ColoredFormatter", "reset")) \
    X(stream, READ("colorlog.formatter.ColoredFormatter", "stream")) \
    X(no_color, READ("colorlog.formatter.ColoredFormatter", "no_color")) \
    X(force_color, READ("colorlog.formatter.ColoredFormatter", "force_color")) \
    X(style_fmt, READ("logging.PercentStyle", "_fmt"))            \
    X(_defaults, READ("logging.PercentStyle", "_defaults"))       \
    X(style_format, READ("logging.PercentStyle", "format"))       \
    X(_format, READ("logging.PercentStyle", "_format"))           \
    X(style_usesTime, READ("logging.PercentStyle", "usesTime"))   \
    X(asctime_search, READ("logging.PercentStyle", "asctime_search")) \
    X(colorlog, READ("colorlog.formatter", "colorlog"))           \
    X(escape_module, READ("colorlog", "escape_codes"))            \
    X(escape_codes, READ("colorlog.escape_codes", "escape_codes")) \
    X(parse_colors, READ("colorlog.escape_codes", "parse_colors")) \
    X(os, READ("colorlog.formatter", "os"))                       \
    X(environ, READ("os", "environ"))                             \
    X(ColoredRecord, READ("colorlog.formatter", "ColoredRecord")) \
    X(__init__, READ("colorlog.formatter.ColoredRecord", "__init__")) \
    X(__dict__, READ("colorlog.formatter.ColoredRecord", "__dict__")) \
    X(_data, READ("os._Environ", "_data"))                        \
    X(encodekey, READ("os._Environ", "encodekey"))                \
    X(decodevalue, READ("os._Environ", "decodevalue"))            \
    X(__contains__, READ("os._Environ", "__contains__"))          \
    X(__getitem__, READ("os._Environ", "__getitem__"))            \
    X(KeyError, READ("builtins", "KeyError"))                     \
    X(isinstance, READ("builtins", "isinstance"))                 \
    X(str, READ("builtins", "str"))                               \
    X(super, READ("builtins", "super"))                           \
    X(time, READ("logging", "time"))                              \
    X(strftime, READ("time", "strftime"))                         \
    X(localtime, "localtime")                                     \
    X(Formatter, "Formatter")                                     \
    X(PercentStyle, "PercentStyle")                               \
    X(_Environ, "_Environ")                                       \
    X(log_color, "log_color")                                     \
    X(asctime, "asctime")                                         \
    X(name, "name")                                               \
    X(levelname, "levelname")                                     \
    X(message, "message")                                         \
    X(reset_code, "reset")                                        \
    X(isatty, "isatty")                                           \
    X(buffer, "buffer")                                           \
    X(raw, "raw")                                                 \
    X(func_attr, "__func__")                                       \
    X(empty, "")                                                  \
    X(comma, ",")                                                 \
    X(dash, " - ")                                                \
    X(console_format, "%(log_color)s%(asctime)s - %(name)s - %(levelname)s - %(message)s") \
    X(time_format, "%Y-%m-%d %H:%M:%S")                           \
    X(msec_format, "%s,%03d")                                     \
    X(asctime_text, "%(asctime)")                                 \
    X(utf_8, "utf-8")                                             \
    X(formatException, "formatException")                         \
    X(io, "io")                                                   \
    X(traceback, "traceback")                                     \
    X(StringIO, "StringIO")                                       \
    X(dict, "dict")

struct ColoredNames {
#define X(id, text) PyObject* id = nullptr;
    COLORED_NAMES(X)
#undef X
    PyObject* FORCE_COLOR = nullptr;  // bytes, as os.environ's encodekey gives them
    PyObject* NO_COLOR = nullptr;
};
ColoredNames N;  // process lifetime

bool names_ready() {
    if (N.utf_8) return true;
#define X(id, text) \
    if (!(N.id = PyUnicode_InternFromString(text))) return PyErr_Clear(), false;
    COLORED_NAMES(X)
#undef X
    N.FORCE_COLOR = PyBytes_FromString("FORCE_COLOR");
    N.NO_COLOR = PyBytes_FromString("NO_COLOR");
    if (!N.FORCE_COLOR || !N.NO_COLOR) return PyErr_Clear(), false;
    return true;
}

// ---------------------------------------------------------------------------
// C1: fingerprints of code objects
//
// fingerprint() of fingerprint.hpp, the one the tables of stock.hpp use.

// The functions the line stands for, by their place in a row of kKnown.
enum Role : int {
    // colorlog, per release
    kFormatMessage,
    kEscapeCodeMap,
    kColorize,          // 6.10 and later
    kBlankEscapeCodes,  // before 6.10: the same test, answered the other way round
    kGetEscapeCode,
    kAppendReset,
    kRecordInit,
    kParseColors,
    kColorlogRoles,
    // the standard library, per interpreter
    kFormat = 0,
    kUsesTime,
    kFormatTime,
    kBaseFormatMessage,
    kStyleFormat,
    kStyleFormatPrivate,
    kStyleUsesTime,
    kMappingContains,
    kEnvironGetitem,
    kEnvironEncode,
    kEnvironDecode,
    kStdlibRoles,
};

struct Known {
    int minor;         // CPython 3.<minor>
    const char* name;  // "stdlib", or the colorlog release
    uint64_t fp[kStdlibRoles];
};

// scripts/colorlog-stock --table <unpacked releases>, run with each interpreter
// (3.13.0 here; 3.13.18, 3.14.10 and 3.15.2 in the Debian root of scripts/pyroots).
// A patch release may compile colorlog's code differently: its rows are added
// beside the others of its minor version.
constexpr Known kKnown[] = {
    // CPython 3.13.0
    {13, "stdlib",
     {0x83a6fbeac49247f1, 0x53af1d83e3b10d90, 0x475521d7a57736e8, 0x43068b3dd3a4dada,
      0x9bfc92b97ffc10d9, 0x9a62e03b46cdc566, 0xc044c2406102f0c5, 0x27bd67209b13db9c,
      0x76cdf25cae2ef905, 0x30fa76c5a1bae017, 0x444445484f12b341}},
    {13, "6.6.0",
     {0xc3cdee17ac7a4abe, 0x57535147bf732ae7, 0x0000000000000000, 0x3e37f5338c8e1842,
      0xc0594e3a7e3bf564, 0xbfd54256929ff342, 0x126ed6f5c6bbc0fe, 0x1b79d78b491ab7cc}},
    {13, "6.7.0",
     {0xc3cdee17ac7a4abe, 0x57535147bf732ae7, 0x0000000000000000, 0x3e37f5338c8e1842,
      0xc0594e3a7e3bf564, 0xbfd54256929ff342, 0x126ed6f5c6bbc0fe, 0x1b79d78b491ab7cc}},
    {13, "6.8.0",
     {0xc3cdee17ac7a4abe, 0x57535147bf732ae7, 0x0000000000000000, 0x3e37f5338c8e1842,
      0xc0594e3a7e3bf564, 0xbfd54256929ff342, 0x126ed6f5c6bbc0fe, 0x1b79d78b491ab7cc}},
    {13, "6.8.2",
     {0xc3cdee17ac7a4abe, 0x57535147bf732ae7, 0x0000000000000000, 0x3e37f5338c8e1842,
      0xc0594e3a7e3bf564, 0xbfd54256929ff342, 0x126ed6f5c6bbc0fe, 0x1b79d78b491ab7cc}},
    {13, "6.9.0",
     {0xc3cdee17ac7a4abe, 0x57535147bf732ae7, 0x0000000000000000, 0x3e37f5338c8e1842,
      0xc0594e3a7e3bf564, 0xbfd54256929ff342, 0x126ed6f5c6bbc0fe, 0x1b79d78b491ab7cc}},
    {13, "6.10.1",
     {0xc3cdee17ac7a4abe, 0xf6e9acc95559a5af, 0x823e1fd6065a06a4, 0x0000000000000000,
      0xc0594e3a7e3bf564, 0xbfd54256929ff342, 0x126ed6f5c6bbc0fe, 0x1b79d78b491ab7cc}},
    {13, "6.11.0",
     {0xc3cdee17ac7a4abe, 0xf6e9acc95559a5af, 0x823e1fd6065a06a4, 0x0000000000000000,
      0xc0594e3a7e3bf564, 0xbfd54256929ff342, 0x126ed6f5c6bbc0fe, 0x1b79d78b491ab7cc}},
    {13, "6.12.0",
     {0xc3cdee17ac7a4abe, 0xf6e9acc95559a5af, 0x823e1fd6065a06a4, 0x0000000000000000,
      0xc0594e3a7e3bf564, 0xbfd54256929ff342, 0x126ed6f5c6bbc0fe, 0x1b79d78b491ab7cc}},
    // CPython 3.13.18 (the same standard library; colorlog compiles differently)
    {13, "6.6.0",
     {0xc3cdee17ac7a4abe, 0xee01b8d90e2eef11, 0x0000000000000000, 0x3e37f5338c8e1842,
      0xc0594e3a7e3bf564, 0xbfd54256929ff342, 0x126ed6f5c6bbc0fe, 0x36e8afd7a437dde1}},
    {13, "6.7.0",
     {0xc3cdee17ac7a4abe, 0xee01b8d90e2eef11, 0x0000000000000000, 0x3e37f5338c8e1842,
      0xc0594e3a7e3bf564, 0xbfd54256929ff342, 0x126ed6f5c6bbc0fe, 0x36e8afd7a437dde1}},
    {13, "6.8.0",
     {0xc3cdee17ac7a4abe, 0xee01b8d90e2eef11, 0x0000000000000000, 0x3e37f5338c8e1842,
      0xc0594e3a7e3bf564, 0xbfd54256929ff342, 0x126ed6f5c6bbc0fe, 0x36e8afd7a437dde1}},
    {13, "6.8.2",
     {0xc3cdee17ac7a4abe, 0xee01b8d90e2eef11, 0x0000000000000000, 0x3e37f5338c8e1842,
      0xc0594e3a7e3bf564, 0xbfd54256929ff342, 0x126ed6f5c6bbc0fe, 0x36e8afd7a437dde1}},
    {13, "6.9.0",
     {0xc3cdee17ac7a4abe, 0xee01b8d90e2eef11, 0x0000000000000000, 0x3e37f5338c8e1842,
      0xc0594e3a7e3bf564, 0xbfd54256929ff342, 0x126ed6f5c6bbc0fe, 0x36e8afd7a437dde1}},
    {13, "6.10.1",
     {0xc3cdee17ac7a4abe, 0xaab7756dbcf05f85, 0x823e1fd6065a06a4, 0x0000000000000000,
      0xc0594e3a7e3bf564, 0xbfd54256929ff342, 0x126ed6f5c6bbc0fe, 0x36e8afd7a437dde1}},
    {13, "6.11.0",
     {0xc3cdee17ac7a4abe, 0xaab7756dbcf05f85, 0x823e1fd6065a06a4, 0x0000000000000000,
      0xc0594e3a7e3bf564, 0xbfd54256929ff342, 0x126ed6f5c6bbc0fe, 0x36e8afd7a437dde1}},
    {13, "6.12.0",
     {0xc3cdee17ac7a4abe, 0xaab7756dbcf05f85, 0x823e1fd6065a06a4, 0x0000000000000000,
      0xc0594e3a7e3bf564, 0xbfd54256929ff342, 0x126ed6f5c6bbc0fe, 0x36e8afd7a437dde1}},
    // CPython 3.14
    {14, "stdlib",
     {0x877265956cfdcd72, 0xff508e68a5853b00, 0x99586819fe3322c9, 0x00a9002a2934d021,
      0xd5ff3c2b5d82c8f2, 0xecd7ea9133f39e9c, 0x4397dba9343961d9, 0xddb3be99702b874b,
      0x8e487206ecd56ba9, 0x34b117661557e387, 0xd7d9c84272b788cb}},
    {14, "6.6.0",
     {0x98174b1313c686d2, 0x80fbd909b3945504, 0x0000000000000000, 0x27c299c3c67f8c0d,
      0x54b9209890bebb8a, 0xabea92a108c051a5, 0x69b33a7dac85a9c5, 0x823ecca68c0ea3ba}},
    {14, "6.7.0",
     {0x98174b1313c686d2, 0x80fbd909b3945504, 0x0000000000000000, 0x27c299c3c67f8c0d,
      0x54b9209890bebb8a, 0xabea92a108c051a5, 0x69b33a7dac85a9c5, 0x823ecca68c0ea3ba}},
    {14, "6.8.0",
     {0x98174b1313c686d2, 0x80fbd909b3945504, 0x0000000000000000, 0x27c299c3c67f8c0d,
      0x54b9209890bebb8a, 0xabea92a108c051a5, 0x69b33a7dac85a9c5, 0x823ecca68c0ea3ba}},
    {14, "6.8.2",
     {0x98174b1313c686d2, 0x80fbd909b3945504, 0x0000000000000000, 0x27c299c3c67f8c0d,
      0x54b9209890bebb8a, 0xabea92a108c051a5, 0x69b33a7dac85a9c5, 0x823ecca68c0ea3ba}},
    {14, "6.9.0",
     {0x98174b1313c686d2, 0x80fbd909b3945504, 0x0000000000000000, 0x27c299c3c67f8c0d,
      0x54b9209890bebb8a, 0xabea92a108c051a5, 0x69b33a7dac85a9c5, 0x823ecca68c0ea3ba}},
    {14, "6.10.1",
     {0x98174b1313c686d2, 0x77997e6e43c17916, 0xe83d1b795c6baeb1, 0x0000000000000000,
      0x54b9209890bebb8a, 0xabea92a108c051a5, 0x69b33a7dac85a9c5, 0x823ecca68c0ea3ba}},
    {14, "6.11.0",
     {0x98174b1313c686d2, 0x77997e6e43c17916, 0xe83d1b795c6baeb1, 0x0000000000000000,
      0x54b9209890bebb8a, 0xabea92a108c051a5, 0x69b33a7dac85a9c5, 0x823ecca68c0ea3ba}},
    {14, "6.12.0",
     {0x98174b1313c686d2, 0x77997e6e43c17916, 0xe83d1b795c6baeb1, 0x0000000000000000,
      0x54b9209890bebb8a, 0xabea92a108c051a5, 0x69b33a7dac85a9c5, 0x823ecca68c0ea3ba}},
    // CPython 3.15
    {15, "stdlib",
     {0xc861365171d0c579, 0x441935fe60cc30f1, 0xdc78fa457122455a, 0x192c005d9202c663,
      0xa08dc2ca89f00bd1, 0x208e08e9c5e13afe, 0x1b6e59e16da26eb9, 0xa2ab981da65b275d,
      0x737d8a44fbdd4cc4, 0x1aa1b87baabd129b, 0x89cc7b3514e15ce1}},
    {15, "6.6.0",
     {0x2dd6392d380fd1d3, 0x21249dda1843d31e, 0x0000000000000000, 0xaca105a3061f7df3,
      0xbae2e5d42b25af37, 0x8a8c66cee58cf478, 0xef8200f4f2e90d21, 0xb2f7c8374540fdca}},
    {15, "6.7.0",
     {0x2dd6392d380fd1d3, 0x21249dda1843d31e, 0x0000000000000000, 0xaca105a3061f7df3,
      0xbae2e5d42b25af37, 0x8a8c66cee58cf478, 0xef8200f4f2e90d21, 0xb2f7c8374540fdca}},
    {15, "6.8.0",
     {0x2dd6392d380fd1d3, 0x21249dda1843d31e, 0x0000000000000000, 0xaca105a3061f7df3,
      0xbae2e5d42b25af37, 0x8a8c66cee58cf478, 0xef8200f4f2e90d21, 0xb2f7c8374540fdca}},
    {15, "6.8.2",
     {0x2dd6392d380fd1d3, 0x21249dda1843d31e, 0x0000000000000000, 0xaca105a3061f7df3,
      0xbae2e5d42b25af37, 0x8a8c66cee58cf478, 0xef8200f4f2e90d21, 0xb2f7c8374540fdca}},
    {15, "6.9.0",
     {0x2dd6392d380fd1d3, 0x21249dda1843d31e, 0x0000000000000000, 0xaca105a3061f7df3,
      0xbae2e5d42b25af37, 0x8a8c66cee58cf478, 0xef8200f4f2e90d21, 0xb2f7c8374540fdca}},
    {15, "6.10.1",
     {0x2dd6392d380fd1d3, 0xfffdd38f414028c2, 0xc6c064fb5de89bb3, 0x0000000000000000,
      0xbae2e5d42b25af37, 0x8a8c66cee58cf478, 0xef8200f4f2e90d21, 0xb2f7c8374540fdca}},
    {15, "6.11.0",
     {0x2dd6392d380fd1d3, 0xfffdd38f414028c2, 0xc6c064fb5de89bb3, 0x0000000000000000,
      0xbae2e5d42b25af37, 0x8a8c66cee58cf478, 0xef8200f4f2e90d21, 0xb2f7c8374540fdca}},
    {15, "6.12.0",
     {0x2dd6392d380fd1d3, 0xfffdd38f414028c2, 0xc6c064fb5de89bb3, 0x0000000000000000,
      0xbae2e5d42b25af37, 0x8a8c66cee58cf478, 0xef8200f4f2e90d21, 0xb2f7c8374540fdca}},
};

// colorlog's formatException (6.10 and later: the traceback coloured as
// _colorize() decides), per interpreter minor version. 6.10.1, 6.11.0 and
// 6.12.0 compile to the same code on 3.13.0 and 3.13.18, 3.14.10 and 3.15.2.
struct KnownFormatException {
    int minor;
    uint64_t fp;
};
constexpr KnownFormatException kFormatException[] = {
    {13, 0xa1f353e666aaa6e4},
    {14, 0xfe50f721f6f027e6},
    {15, 0x343d25ee00d150c2},
};

// The fingerprints of the functions found, in roles; 0 where a role has none.
struct Found {
    PyObject* fn[kStdlibRoles] = {};
    uint64_t fp[kStdlibRoles] = {};
};

// The row of kKnown for this interpreter whose every fingerprint is the one found.
const Known* known_row(const Found& found, bool stdlib) {
    const int minor = int((Py_Version >> 16) & 0xFF);
    const int roles = stdlib ? kStdlibRoles : kColorlogRoles;
    for (const Known& k : kKnown) {
        if (k.minor != minor || (std::strcmp(k.name, "stdlib") == 0) != stdlib) continue;
        bool all = true;
        for (int r = 0; all && r < roles; ++r) all = k.fp[r] == found.fp[r];
        if (all) return &k;
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// C2: classes, modules and functions as shipped

// Counts changes of a function's code, defaults or keyword defaults.
uint64_t function_changes = 0;
int function_watcher = -1;

int on_function_event(PyFunction_WatchEvent event, PyFunctionObject*, PyObject*) {
    if (event == PyFunction_EVENT_MODIFY_CODE || event == PyFunction_EVENT_MODIFY_DEFAULTS ||
        event == PyFunction_EVENT_MODIFY_KWDEFAULTS)
        ++function_changes;
    return 0;
}

// dict[name], borrowed, in a dict of exact str keys (the lookup runs no code).
PyObject* item(PyObject* dict, PyObject* name) {
    if (!dict || !PyDict_CheckExact(dict) || !priv::dict_has_str_keys(dict)) return nullptr;
    PyObject* value = PyDict_GetItemWithError(dict, name);
    if (!value) PyErr_Clear();
    return value;
}

// A module namespace the proof reads from: watched, and of exact str keys.
bool readable(PyObject* dict) {
    return dict && PyDict_CheckExact(dict) && priv::dict_has_str_keys(dict) && watch_dict(dict);
}

// ns[name] when it is an exact module with a readable dict: that dict.
PyObject* module_dict(PyObject* ns, PyObject* name) {
    PyObject* mod = item(ns, name);
    if (!mod || !PyModule_CheckExact(mod)) return nullptr;
    PyObject* dict = PyModule_GetDict(mod);
    return readable(dict) ? dict : nullptr;
}

// Every dict along the MRO has exact str keys, so looking a name up runs no code.
bool str_keyed_mro(PyTypeObject* tp) {
    PyObject* mro = tp->tp_mro;
    if (!mro || !PyTuple_CheckExact(mro)) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        Ref dict = Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))));
        if (!dict || !PyDict_CheckExact(dict.get()) || !priv::dict_has_str_keys(dict.get())) return false;
    }
    return true;
}

// A class whose instances are read with the generic attribute lookup and
// finalised by nothing of their own.
bool plain_class(PyTypeObject* tp, bool plain_metaclass = true) {
    if ((plain_metaclass && Py_TYPE(tp) != &PyType_Type) || tp->tp_getattro != PyObject_GenericGetAttr ||
        tp->tp_setattro != PyObject_GenericSetAttr || tp->tp_finalize || tp->tp_del)
        return false;
    return str_keyed_mro(tp) && PyUnstable_Type_AssignVersionTag(tp);
}

bool mro_is(PyTypeObject* tp, std::initializer_list<PyObject*> classes) {
    PyObject* mro = tp->tp_mro;
    if (!mro || !PyTuple_CheckExact(mro) || PyTuple_GET_SIZE(mro) != Py_ssize_t(classes.size())) return false;
    Py_ssize_t i = 0;
    for (PyObject* cls : classes)
        if (PyTuple_GET_ITEM(mro, i++) != cls) return false;
    return true;
}

PyObject* lookup(PyTypeObject* tp, PyObject* name) { return _PyType_Lookup(tp, name); }

PyObject* builtins_dict() { return PyModule_GetDict(M.builtins); }

// A Python function of `globals`, run with the interpreter's builtins, whose
// fingerprint is noted in `found` under `role`.
bool note_function(PyObject* fn, PyObject* globals, Found& found, int role) {
    if (!fn || !Py_IS_TYPE(fn, &PyFunction_Type)) return false;
    auto* f = reinterpret_cast<PyFunctionObject*>(fn);
    if (f->func_globals != globals || f->func_builtins != builtins_dict()) return false;
    found.fn[role] = fn;
    return fingerprint(f->func_code, &found.fp[role]);
}

// A closure of one cell holding `value` (an exact str compared by value, or an
// object by identity).
bool closure_holds(PyObject* fn, PyObject* value, bool text) {
    PyObject* closure = reinterpret_cast<PyFunctionObject*>(fn)->func_closure;
    if (!closure || !PyTuple_CheckExact(closure) || PyTuple_GET_SIZE(closure) != 1) return false;
    PyObject* cell = PyTuple_GET_ITEM(closure, 0);
    if (!PyCell_Check(cell)) return false;
    PyObject* held = PyCell_GET(cell);
    if (!text) return held == value;
    return held && PyUnicode_CheckExact(held) && PyUnicode_Compare(held, value) == 0;
}

bool equal_text(PyObject* value, PyObject* text) {
    return value && PyUnicode_CheckExact(value) && (value == text || PyUnicode_Compare(value, text) == 0);
}

constexpr int kMaxCodes = 24;
constexpr int kPinnedTypes = 5;
enum { kFormatterType, kStyleType, kRecordType, kEnvironType, kBaseType };

void pin(PyObject*& slot, PyObject* value) { Py_XSETREF(slot, Py_XNewRef(value)); }

// os.environ's own values the line reads (C4), read at each call.
struct EnvironValues {
    PyObject* data = nullptr;
    PyObject* encode = nullptr;
    PyObject* decode = nullptr;
};
bool environ_values(PyObject* environ, EnvironValues& e);

// What the proof found, with strong references to everything it names (a
// class, dict or function freed and another made at its address must not pass
// for it; a call in flight may still use them).
struct Proof {
    bool checked = false;
    bool usable = false;
    uint64_t epoch = 0;
    uint64_t changes = 0;
    bool blank = false;  // the release asks "blank the codes?" rather than "colorize?"
    const Known* release = nullptr;
    PyObject* types[kPinnedTypes] = {};
    unsigned int versions[kPinnedTypes] = {};
    PyObject* escape_module = nullptr;  // colorlog.escape_codes' namespace
    PyObject* escape_codes = nullptr;   // the table (read afresh with the namespace: watched)
    PyObject* environ = nullptr;        // os.environ (its own values are read at each call: C4)
    // The functions whose closure cells are read at each call (cell_contents
    // can be assigned, and no watcher sees it): formatMessage's __class__ (for
    // super()) and os.environ's encodekey and decodevalue (the encoding).
    PyObject* format_message = nullptr;
    PyObject* encode = nullptr;
    PyObject* decode = nullptr;
    PyCodeObject* codes[kMaxCodes] = {};
    int ncodes = 0;
    PyObject* io_types[6] = {};  // TextIOWrapper, StringIO, FileIO, BufferedWriter, BufferedReader, BufferedRandom
    bool exceptions = false;     // formatException is known (exceptions_known())
};
// `proof` is what the calls read; a new one is made in `draft` and then
// swapped in whole, so no call ever meets a proof half made; the one it
// replaces is released only then (releasing may run finalizers, which may let
// other threads run: they find `proving` set and make the full call).
Proof proof, draft;
bool proving = false;

void drop_pins(Proof& p) {
    PyObject* held[kPinnedTypes + 6 + kMaxCodes + 6];
    int n = 0;
    for (PyObject*& t : p.types) held[n++] = t;
    for (PyObject*& t : p.io_types) held[n++] = t;
    for (int i = 0; i < p.ncodes; ++i) held[n++] = reinterpret_cast<PyObject*>(p.codes[i]);
    for (PyObject* o : {p.escape_module, p.escape_codes, p.environ, p.format_message, p.encode, p.decode})
        held[n++] = o;
    p = Proof();
    for (int i = 0; i < n; ++i) Py_XDECREF(held[i]);
}

void note_code(PyObject* fn) {
    if (!fn || draft.ncodes == kMaxCodes) return;
    PyObject* code = reinterpret_cast<PyFunctionObject*>(fn)->func_code;
    draft.codes[draft.ncodes++] = reinterpret_cast<PyCodeObject*>(Py_NewRef(code));
    // Nested code (parse_colors' generator expression) runs as well.
    PyObject* consts = reinterpret_cast<PyCodeObject*>(code)->co_consts;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts) && draft.ncodes < kMaxCodes; ++i)
        if (PyCode_Check(PyTuple_GET_ITEM(consts, i)))
            draft.codes[draft.ncodes++] = reinterpret_cast<PyCodeObject*>(Py_NewRef(PyTuple_GET_ITEM(consts, i)));
}

// The builtins a function loads are the interpreter's own, and `globals` does
// not shadow them.
bool builtin_is(PyObject* name, PyObject* expected, std::initializer_list<PyObject*> readers) {
    for (PyObject* g : readers)
        if (item(g, name)) return false;
    PyObject* found = item(builtins_dict(), name);
    return found && found == expected;
}

bool builtin_function(PyObject* name, std::initializer_list<PyObject*> readers) {
    for (PyObject* g : readers)
        if (item(g, name)) return false;
    PyObject* found = item(builtins_dict(), name);
    return found && PyCFunction_CheckExact(found) && PyCFunction_GET_SELF(found) == M.builtins &&
           std::strcmp(reinterpret_cast<PyCFunctionObject*>(found)->m_ml->ml_name, PyUnicode_AsUTF8(name)) == 0;
}

// A class the proof reads, pinned with its version tag as it is reached: a
// change of it checks again, whatever the outcome was.
bool reached(int slot, PyTypeObject* tp) {
    pin(draft.types[slot], reinterpret_cast<PyObject*>(tp));
    const bool tagged = PyUnstable_Type_AssignVersionTag(tp);
    draft.versions[slot] = tp->tp_version_tag;
    return tagged;
}

// Everything format() runs and reads for formatters of class tp (C1, C2).
bool prove(PyTypeObject* tp) {
    Found cl, std;
    if (!reached(kFormatterType, tp) || !plain_class(tp) || !readable(builtins_dict())) return false;
    PyObject* mro = tp->tp_mro;
    if (!mro || !PyTuple_CheckExact(mro) || PyTuple_GET_SIZE(mro) != 3) return false;
    auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, 1));
    if (!reached(kBaseType, base)) return false;
    if (!mro_is(tp, {reinterpret_cast<PyObject*>(tp), reinterpret_cast<PyObject*>(base),
                     reinterpret_cast<PyObject*>(&PyBaseObject_Type)}))
        return false;

    // logging's Formatter, found through the method format() is.
    PyObject* format_fn = lookup(tp, N.format);
    if (!format_fn || !Py_IS_TYPE(format_fn, &PyFunction_Type)) return false;
    PyObject* logging_ns = reinterpret_cast<PyFunctionObject*>(format_fn)->func_globals;
    if (!readable(logging_ns) || item(logging_ns, N.Formatter) != reinterpret_cast<PyObject*>(base)) return false;
    if (!note_function(format_fn, logging_ns, std, kFormat) ||
        !note_function(lookup(tp, N.usesTime), logging_ns, std, kUsesTime) ||
        !note_function(lookup(tp, N.formatTime), logging_ns, std, kFormatTime) ||
        !note_function(lookup(base, N.formatMessage), logging_ns, std, kBaseFormatMessage))
        return false;
    // formatTime: converter, time.strftime and the default formats as shipped.
    PyObject* time_ns = module_dict(logging_ns, N.time);
    PyObject* localtime = time_ns ? item(time_ns, N.localtime) : nullptr;
    PyObject* strftime = time_ns ? item(time_ns, N.strftime) : nullptr;
    if (!localtime || !PyCFunction_CheckExact(localtime) || !strftime || !PyCFunction_CheckExact(strftime) ||
        lookup(tp, N.converter) != localtime || !equal_text(lookup(tp, N.default_time_format), N.time_format) ||
        !equal_text(lookup(tp, N.default_msec_format), N.msec_format))
        return false;
    // The instance's own values: the class defines none of them.
    for (PyObject* own : {N._style, N._fmt, N.datefmt, N.log_colors, N.secondary_log_colors, N.reset, N.stream,
                          N.no_color, N.force_color})
        if (lookup(tp, own)) return false;

    // PercentStyle
    PyObject* style = item(logging_ns, N.PercentStyle);
    if (!style || !PyType_Check(style)) return false;
    auto* style_tp = reinterpret_cast<PyTypeObject*>(style);
    if (!reached(kStyleType, style_tp)) return false;
    if (!plain_class(style_tp) || !mro_is(style_tp, {style, reinterpret_cast<PyObject*>(&PyBaseObject_Type)}) ||
        !note_function(lookup(style_tp, N.style_format), logging_ns, std, kStyleFormat) ||
        !note_function(lookup(style_tp, N._format), logging_ns, std, kStyleFormatPrivate) ||
        !note_function(lookup(style_tp, N.style_usesTime), logging_ns, std, kStyleUsesTime) ||
        !equal_text(lookup(style_tp, N.asctime_search), N.asctime_text) || lookup(style_tp, N.style_fmt) ||
        lookup(style_tp, N._defaults))
        return false;

    // colorlog: the formatter's methods, ColoredRecord and parse_colors.
    PyObject* format_message = lookup(tp, N.formatMessage);
    if (!format_message || !Py_IS_TYPE(format_message, &PyFunction_Type)) return false;
    PyObject* colorlog_ns = reinterpret_cast<PyFunctionObject*>(format_message)->func_globals;
    if (!readable(colorlog_ns) || !note_function(format_message, colorlog_ns, cl, kFormatMessage) ||
        !closure_holds(format_message, reinterpret_cast<PyObject*>(tp), false) ||  // super()'s __class__
        !note_function(lookup(tp, N._escape_code_map), colorlog_ns, cl, kEscapeCodeMap) ||
        !note_function(lookup(tp, N._append_reset), colorlog_ns, cl, kAppendReset))
        return false;
    PyObject* colorize = lookup(tp, N._colorize);
    PyObject* blank = lookup(tp, N._blank_escape_codes);
    if (!!colorize == !!blank) return false;
    if (!note_function(colorize ? colorize : blank, colorlog_ns, cl, colorize ? kColorize : kBlankEscapeCodes))
        return false;
    PyObject* get_code = lookup(tp, N._get_escape_code);
    if (!get_code || !Py_IS_TYPE(get_code, &PyStaticMethod_Type)) return false;
    Ref get_code_fn = Ref::steal(PyObject_GetAttr(get_code, N.func_attr));
    if (!get_code_fn) return PyErr_Clear(), false;
    if (!note_function(get_code_fn.get(), colorlog_ns, cl, kGetEscapeCode)) return false;

    PyObject* record = item(colorlog_ns, N.ColoredRecord);
    if (!record || !PyType_Check(record)) return false;
    auto* record_tp = reinterpret_cast<PyTypeObject*>(record);
    if (!reached(kRecordType, record_tp)) return false;
    PyObject* dict_descr = lookup(record_tp, N.__dict__);
    if (!plain_class(record_tp) || !mro_is(record_tp, {record, reinterpret_cast<PyObject*>(&PyBaseObject_Type)}) ||
        record_tp->tp_new != PyBaseObject_Type.tp_new || !dict_descr || !Py_IS_TYPE(dict_descr, &PyGetSetDescr_Type) ||
        !note_function(lookup(record_tp, N.__init__), colorlog_ns, cl, kRecordInit))
        return false;

    PyObject* package_ns = module_dict(colorlog_ns, N.colorlog);
    PyObject* escape_ns = package_ns ? module_dict(package_ns, N.escape_module) : nullptr;
    PyObject* table = escape_ns ? item(escape_ns, N.escape_codes) : nullptr;
    if (!table || !PyDict_CheckExact(table) ||
        !note_function(item(escape_ns, N.parse_colors), escape_ns, cl, kParseColors))
        return false;
    if (!builtin_is(N.super, reinterpret_cast<PyObject*>(&PySuper_Type), {colorlog_ns})) return false;

    // os.environ: os's own _Environ, its `in` Mapping's __contains__ over
    // __getitem__, encodekey and decodevalue os's own encode and decode.
    PyObject* os_ns = module_dict(colorlog_ns, N.os);
    PyObject* environ = os_ns ? item(os_ns, N.environ) : nullptr;
    PyObject* environ_cls = os_ns ? item(os_ns, N._Environ) : nullptr;
    if (!environ || !environ_cls || reinterpret_cast<PyObject*>(Py_TYPE(environ)) != environ_cls) return false;
    auto* environ_tp = Py_TYPE(environ);
    if (!reached(kEnvironType, environ_tp)) return false;
    if (!plain_class(environ_tp, false)) return false;
    PyObject* contains = lookup(environ_tp, N.__contains__);
    if (!contains || !Py_IS_TYPE(contains, &PyFunction_Type)) return false;
    PyObject* abc_ns = reinterpret_cast<PyFunctionObject*>(contains)->func_globals;
    if (!readable(abc_ns) || !note_function(contains, abc_ns, std, kMappingContains) ||
        !note_function(lookup(environ_tp, N.__getitem__), os_ns, std, kEnvironGetitem))
        return false;
    for (PyObject* own : {N._data, N.encodekey, N.decodevalue})
        if (lookup(environ_tp, own)) return false;
    // Its own values as they are now; each call reads them again (C4).
    EnvironValues env;
    if (!environ_values(environ, env) || !note_function(env.encode, os_ns, std, kEnvironEncode) ||
        !note_function(env.decode, os_ns, std, kEnvironDecode) || !closure_holds(env.encode, N.utf_8, true) ||
        !closure_holds(env.decode, N.utf_8, true))
        return false;
    PyObject *encode = env.encode, *decode = env.decode;
    if (!builtin_is(N.KeyError, PyExc_KeyError, {logging_ns, abc_ns, os_ns}) ||
        !builtin_is(N.str, reinterpret_cast<PyObject*>(&PyUnicode_Type), {os_ns}) ||
        !builtin_function(N.isinstance, {os_ns}))
        return false;

    // C1: a known release, and the standard library as known.
    draft.release = known_row(cl, false);
    if (!draft.release || !known_row(std, true)) return false;
    draft.blank = blank != nullptr;

    // io's streams whose isatty() runs no Python code (C3).
    {
        Ref io_name = Ref::steal(PyUnicode_FromString("_io"));
        Ref io_mod = Ref::steal(io_name ? PyImport_GetModule(io_name.get()) : nullptr);
        if (!io_mod || !PyModule_Check(io_mod.get())) return PyErr_Clear(), false;
        const char* names[6] = {"TextIOWrapper", "StringIO", "FileIO", "BufferedWriter", "BufferedReader",
                                "BufferedRandom"};
        for (int i = 0; i < 6; ++i) {
            Ref t = Ref::steal(PyObject_GetAttrString(io_mod.get(), names[i]));
            if (!t || !PyType_Check(t.get())) return PyErr_Clear(), false;
            pin(draft.io_types[i], t.get());
        }
    }

    // formatException, for a record with exc_info: logging's own where the
    // release has none (before 6.10; written.cpp's table pins it), else
    // colorlog's of a known fingerprint, whose `io.StringIO` is io's own and
    // whose `traceback` is the module logging formats with. Without it the
    // line is still known; a record with exc_info is not.
    draft.exceptions = false;
    PyObject* format_exception = lookup(tp, N.formatException);
    if (format_exception && format_exception == lookup(base, N.formatException)) {
        draft.exceptions = Py_IS_TYPE(format_exception, &PyFunction_Type);
    } else if (format_exception && Py_IS_TYPE(format_exception, &PyFunction_Type)) {
        Found fe;
        const int minor = int((Py_Version >> 16) & 0xFF);
        bool known = false;
        if (note_function(format_exception, colorlog_ns, fe, 0))
            for (const KnownFormatException& k : kFormatException) known = known || (k.minor == minor && k.fp == fe.fp[0]);
        PyObject* io_ns = module_dict(colorlog_ns, N.io);
        PyObject* traceback_ns = module_dict(colorlog_ns, N.traceback);
        draft.exceptions = known && io_ns && item(io_ns, N.StringIO) == draft.io_types[1] && traceback_ns &&
                           traceback_ns == module_dict(logging_ns, N.traceback) &&
                           builtin_is(N.dict, reinterpret_cast<PyObject*>(&PyDict_Type), {colorlog_ns});
        if (draft.exceptions) note_code(format_exception);
    }

    for (int r = 0; r < kColorlogRoles; ++r) note_code(cl.fn[r]);
    for (int r = 0; r < kStdlibRoles; ++r) note_code(std.fn[r]);
    // Looking names up may have given a class a new version tag: the proof holds for these.
    for (int i = 0; i < kPinnedTypes; ++i)
        if (!reached(i, reinterpret_cast<PyTypeObject*>(draft.types[i]))) return false;
    pin(draft.escape_module, escape_ns);
    pin(draft.escape_codes, table);
    pin(draft.environ, environ);
    pin(draft.format_message, format_message);
    pin(draft.encode, encode);
    pin(draft.decode, decode);
    return true;
}

bool proof_current(PyTypeObject* tp) {
    if (!proof.checked || proof.epoch != watched_epoch() || proof.changes != function_changes ||
        proof.types[kFormatterType] != reinterpret_cast<PyObject*>(tp))
        return false;
    for (int i = 0; i < kPinnedTypes; ++i)
        if (proof.types[i] && reinterpret_cast<PyTypeObject*>(proof.types[i])->tp_version_tag != proof.versions[i])
            return false;
    return true;
}

bool proven(PyTypeObject* tp) {
    if (proof_current(tp)) return proof.usable;
    // Another thread is making a proof (and, releasing the one it replaces,
    // let this one run): the full call.
    if (proving) return false;
    if (function_watcher < 0) {
        function_watcher = PyFunction_AddWatcher(on_function_event);
        if (function_watcher < 0) return PyErr_Clear(), false;
    }
    if (!names_ready()) return false;
    proving = true;
    // The epoch is taken before anything is read: whatever changes a watched
    // dict while the proof is made moves it on, and the next call checks again.
    const uint64_t epoch = watched_epoch();
    const uint64_t changes = function_changes;
    const bool usable = prove(tp);
    draft.checked = true;
    draft.usable = usable;
    draft.epoch = epoch;
    draft.changes = changes;
    // A class out of version tags cannot be watched: check again next time.
    for (int i = 0; i < kPinnedTypes; ++i)
        if (draft.types[i] && !draft.versions[i]) draft.checked = false;
    std::swap(proof, draft);
    drop_pins(draft);
    proving = false;
    // Dropping the old proof's references may have run finalizers (and let
    // other threads run): the new one as it stands now.
    return proof_current(tp) && proof.usable;
}

// ---------------------------------------------------------------------------
// C3, C4: the formatter's values, the escape table and the environment

struct Values {
    PyObject* style = nullptr;
    PyObject* log_colors = nullptr;
    PyObject* reset = nullptr;
    PyObject* stream = nullptr;
    PyObject* no_color = nullptr;
    PyObject* force_color = nullptr;
};

// A truth test that runs no code.
bool plain_flag(PyObject* v) { return v == Py_None || PyBool_Check(v) || PyLong_CheckExact(v); }

// A dict of exact str keys and values.
bool str_dict(PyObject* d) {
    if (!PyDict_CheckExact(d) || !priv::dict_has_str_keys(d)) return false;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(d, &pos, &key, &value))
        if (!PyUnicode_CheckExact(value)) return false;
    return true;
}

// A dict's contents checked once per version of the dict.
struct Scanned {
    PyObject* dict = nullptr;  // compared, never dereferenced stale (the version says it is the same dict)
    uint64_t version = 0;
    bool ok = false;
};
Scanned env_scan;

bool bytes_dict(PyObject* d) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(d, &pos, &key, &value))
        if (!PyBytes_CheckExact(key) || !PyBytes_CheckExact(value)) return false;
    return true;
}

bool scanned(Scanned& s, PyObject* d, bool (*check)(PyObject*)) {
    const uint64_t version = priv::dict_version(d);
    if (s.dict == d && s.version == version) return s.ok;
    s.dict = d;
    s.version = version;
    s.ok = check(d);
    return s.ok;
}

// An object's own attributes, read where they sit: in its inline values (the
// layout's index of each name remembered per layout), else in its dict. These
// names (and, when `exact`, no other): the values in `out` (borrowed from the
// object).
struct OwnLayout {
    LayoutSeen seen;
    Py_ssize_t index[9] = {};
};

bool own_values(PyObject* obj, PyObject* const* names, int n, OwnLayout& layout, PyObject** out, bool exact = true) {
    const void* keys = nullptr;
    PyObject* const* values = priv::inline_values(obj, &keys);
    if (values) {
        // The dict's version does not move when inline values change, and a
        // dict made from them sends its watchers no event then: read them.
        if (layout.seen.changed(keys))
            for (int i = 0; i < n; ++i) layout.index[i] = priv::shared_keys_index(keys, names[i]);
        if (exact) {
            int present = 0;
            for (Py_ssize_t i = 0; i < layout.seen.size; ++i) present += values[i] != nullptr;
            if (present != n) return false;
        }
        for (int i = 0; i < n; ++i)
            if (layout.index[i] < 0 || !(out[i] = values[layout.index[i]])) return false;
        return true;
    }
    Ref d = Ref::steal(PyObject_GenericGetDict(obj, nullptr));
    if (!d) return PyErr_Clear(), false;
    if (!PyDict_CheckExact(d.get()) || !priv::dict_has_str_keys(d.get()) || (exact && PyDict_GET_SIZE(d.get()) != n))
        return false;
    for (int i = 0; i < n; ++i)
        if (!(out[i] = item(d.get(), names[i]))) return false;
    return true;  // the object's dict holds them
}

// os.environ's own values that `"<KEY>" in os.environ` reads (_Environ.__getitem__:
// `self._data[self.encodekey(key)]`, then `self.decodevalue(value)`), where
// they sit now (C4). The class is the one proven; data, encode and decode
// borrowed from the object.
OwnLayout environ_layout;

bool environ_values(PyObject* environ, EnvironValues& e) {
    PyObject* const names[3] = {N._data, N.encodekey, N.decodevalue};
    PyObject* a[3];
    if (!own_values(environ, names, 3, environ_layout, a, false)) return false;
    e = EnvironValues{a[0], a[1], a[2]};
    return PyDict_CheckExact(e.data);
}

OwnLayout formatter_layout, style_layout;
PyObject* console_format_seen = nullptr;  // a str found equal to the console format (held)
Scanned colors_scan;

// The formatter's values (C3, but for the stream, which is checked by the caller).
bool formatter_values(PyObject* formatter, Values& v) {
    enum { kStyle, kFmt, kDatefmt, kColors, kSecondary, kResetAttr, kStream, kNo, kForce, kAttrs };
    PyObject* const names[kAttrs] = {N._style, N._fmt, N.datefmt, N.log_colors, N.secondary_log_colors,
                                     N.reset, N.stream, N.no_color, N.force_color};
    PyObject* a[kAttrs];
    if (!own_values(formatter, names, kAttrs, formatter_layout, a)) return false;
    v = Values{a[kStyle], a[kColors], a[kResetAttr], a[kStream], a[kNo], a[kForce]};
    if (a[kDatefmt] != Py_None || !PyDict_CheckExact(a[kSecondary]) || PyDict_GET_SIZE(a[kSecondary]) != 0 ||
        !plain_flag(v.force_color) || !plain_flag(v.no_color) || !plain_flag(v.reset))
        return false;
    // The style: a PercentStyle of the console format, without defaults.
    if (reinterpret_cast<PyObject*>(Py_TYPE(v.style)) != proof.types[kStyleType]) return false;
    PyObject* const style_names[2] = {N.style_fmt, N._defaults};
    PyObject* st[2];
    if (!own_values(v.style, style_names, 2, style_layout, st) || st[1] != Py_None) return false;
    if (st[0] != console_format_seen) {
        if (!equal_text(st[0], N.console_format)) return false;
        Py_XSETREF(console_format_seen, Py_NewRef(st[0]));
    }
    return PyDict_CheckExact(v.log_colors) && scanned(colors_scan, v.log_colors, str_dict);
}

// colorlog's escape_codes as last checked: a dict of str keys and values, and the
// values of the keys the line reads (borrowed from the table).
enum { kLogColor, kAsctime, kName, kLevelname, kMessage, kReset, kTableKeys };
struct Table {
    PyObject* dict = nullptr;
    uint64_t version = 0;
    bool ok = false;
    PyObject* values[kTableKeys] = {};
};
Table table_seen;

const Table* escape_table() {
    PyObject* d = proof.escape_codes;
    const uint64_t version = priv::dict_version(d);
    if (d == table_seen.dict && version == table_seen.version) return table_seen.ok ? &table_seen : nullptr;
    table_seen.dict = d;
    table_seen.version = version;
    table_seen.ok = str_dict(d);
    PyObject* keys[kTableKeys] = {N.log_color, N.asctime, N.name, N.levelname, N.message, N.reset_code};
    for (int i = 0; i < kTableKeys; ++i) table_seen.values[i] = table_seen.ok ? item(d, keys[i]) : nullptr;
    return table_seen.ok ? &table_seen : nullptr;
}


// No instance value of `name` shadows the method of the object's C type.
bool no_own(PyObject* obj, PyObject* name) {
    PyObject** dictptr = _PyObject_GetDictPtr(obj);
    if (!dictptr || !*dictptr) return true;
    PyObject* d = *dictptr;
    return PyDict_CheckExact(d) && priv::dict_has_str_keys(d) && !item(d, name) && !PyErr_Occurred();
}

bool is_type(PyObject* obj, int first, int last) {
    for (int i = first; i <= last; ++i)
        if (reinterpret_cast<PyObject*>(Py_TYPE(obj)) == proof.io_types[i]) return true;
    return false;
}
enum { kTextIO, kStringIO, kFileIO, kBufferedFirst, kBufferedLast = 5 };

bool plain_raw(PyObject* raw) { return raw && is_type(raw, kFileIO, kFileIO) && no_own(raw, N.isatty); }

bool plain_buffered(PyObject* b) {
    if (!b || !is_type(b, kBufferedFirst, kBufferedLast) || !no_own(b, N.isatty)) return false;
    Ref raw = Ref::steal(PyObject_GetAttr(b, N.raw));  // a member of the C type
    if (!raw) return PyErr_Clear(), false;
    return plain_raw(raw.get());
}

// None, or one of io's streams whose isatty() is C all the way down.
bool plain_stream(PyObject* s) {
    if (s == Py_None) return true;
    if (is_type(s, kStringIO, kStringIO)) return no_own(s, N.isatty);
    if (is_type(s, kFileIO, kFileIO)) return plain_raw(s);
    if (is_type(s, kBufferedFirst, kBufferedLast)) return plain_buffered(s);
    if (!is_type(s, kTextIO, kTextIO) || !no_own(s, N.isatty)) return false;
    Ref buffer = Ref::steal(PyObject_GetAttr(s, N.buffer));  // a member of the C type
    if (!buffer) return PyErr_Clear(), false;
    return plain_buffered(buffer.get());
}

// C5
bool unwatched() {
    PyThreadState* ts = PyThreadState_Get();
    if (ts->c_profilefunc || ts->c_tracefunc || priv::monitoring_global_events(ts)) return false;
    return !priv::monitoring_local_events(ts, proof.codes, proof.ncodes);
}

// The closure cells the proof read, as it read them (C2, C4): formatMessage's
// __class__ is the formatter's class, and os.environ's encoding "utf-8" (one
// cell, which encodekey and decodevalue share as os made them).
bool cells_hold(PyTypeObject* tp) {
    return closure_holds(proof.format_message, reinterpret_cast<PyObject*>(tp), false) &&
           closure_holds(proof.encode, N.utf_8, true) && closure_holds(proof.decode, N.utf_8, true);
}

// C4 for this call: os.environ of the class proven, its encodekey and
// decodevalue the functions proven, its _data (whichever dict it is now) an
// exact dict of bytes keys and values.
bool environ_now(EnvironValues& e) {
    PyObject* environ = proof.environ;
    return environ && reinterpret_cast<PyObject*>(Py_TYPE(environ)) == proof.types[kEnvironType] &&
           environ_values(environ, e) && e.encode == proof.encode && e.decode == proof.decode &&
           scanned(env_scan, e.data, bytes_dict);
}

// ---------------------------------------------------------------------------
// The line

// Whether FORCE_COLOR and NO_COLOR are set, at the version of the
// environment's dict they were looked up at.
struct EnvSeen {
    PyObject* dict = nullptr;  // compared, never dereferenced stale (the version says it is the same dict)
    uint64_t version = 0;
    int force = -1, no = -1;
};
EnvSeen env_seen;

// `"<KEY>" in os.environ`: its encoded key (what encodekey gives) in `data`,
// os.environ's _data as environ_now() just read it.
int env_has(PyObject* key, PyObject* data) {
    const bool force = key == N.FORCE_COLOR;
    const uint64_t version = priv::dict_version(data);
    if (env_seen.dict == data && env_seen.version == version && (force ? env_seen.force : env_seen.no) >= 0)
        return force ? env_seen.force : env_seen.no;
    PyObject* found = PyDict_GetItemWithError(data, key);  // bytes keys only: no code runs
    if (!found && PyErr_Occurred()) return -1;
    if (env_seen.dict != data || env_seen.version != version) env_seen = EnvSeen{data, version};
    (force ? env_seen.force : env_seen.no) = found ? 1 : 0;
    return found ? 1 : 0;
}

// _colorize() (or `not _blank_escape_codes()`): 1 colour, 0 none, -1 error.
// `asked` is set when the stream's isatty() ran (and may have let other
// threads run).
int colorize(const Values& v, PyObject* env_data, bool* asked) {
    *asked = false;
    int t = PyObject_IsTrue(v.force_color);
    if (t) return t;
    if ((t = env_has(N.FORCE_COLOR, env_data))) return t;
    if ((t = PyObject_IsTrue(v.no_color))) return t < 0 ? t : 0;
    if ((t = env_has(N.NO_COLOR, env_data))) return t < 0 ? t : 0;
    if (v.stream != Py_None) {
        *asked = true;
        Ref stream = Ref::borrow(v.stream);
        Ref tty = Ref::steal(PyObject_CallMethodNoArgs(stream.get(), N.isatty));
        if (!tty) return -1;
        if ((t = PyObject_IsTrue(tty.get())) <= 0) return t;
    }
    return 1;
}

// dict[key] where a missing key raises KeyError(key), as a subscript does.
PyObject* subscript(PyObject* d, PyObject* key) {
    PyObject* found = PyDict_GetItemWithError(d, key);
    if (!found && !PyErr_Occurred()) {
        Ref args = Ref::steal(PyTuple_Pack(1, key));
        if (args) PyErr_SetObject(PyExc_KeyError, args.get());
    }
    return found;
}

// parse_colors(text): the codes of the comma-separated names in `table`
// (colorlog's escape_codes), joined.
Ref parse_colors(PyObject* table, PyObject* text) {
    Ref parts = Ref::steal(PyUnicode_Split(text, N.comma, -1));
    if (!parts) return Ref();
    Ref codes = Ref::steal(PyList_New(0));
    if (!codes) return Ref();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(parts.get()); ++i) {
        PyObject* part = PyList_GET_ITEM(parts.get(), i);
        if (PyUnicode_GET_LENGTH(part) == 0) continue;
        PyObject* code = subscript(table, part);
        if (!code || PyList_Append(codes.get(), code) < 0) return Ref();
    }
    return Ref::steal(PyUnicode_Join(N.empty, codes.get()));
}

// parse_colors(log_colors.get(levelname, "")) by the levelname object (held, so
// that its address stays its own; an exact str), for the log_colors dict and
// the escape_codes table at their versions (the dicts compared, not held: a
// version is never met again by another dict, nor by one freed and made again
// at the same address, so a version alone does not name a dict where it is a
// count of watcher events). One per level in use.
struct ParsedSeen {
    PyObject* levelname = nullptr;  // owned
    PyObject* colors = nullptr;
    uint64_t colors_version = 0;
    PyObject* table = nullptr;
    uint64_t table_version = 0;
    PyObject* codes = nullptr;  // owned
};
constexpr int kParsedWays = 8;
ParsedSeen parsed_seen[kParsedWays];
int parsed_next = 0;

Ref parsed_colour(PyObject* log_colors, PyObject* levelname, uint64_t colors_version, const Table& table) {
    const bool keyed = PyUnicode_CheckExact(levelname);
    for (ParsedSeen& p : parsed_seen)
        if (keyed && p.levelname == levelname && p.colors == log_colors && p.colors_version == colors_version &&
            p.table == table.dict && p.table_version == table.version)
            return Ref::borrow(p.codes);
    Ref colour;
    if (PyDict_GetItemRef(log_colors, levelname, colour.out()) < 0) return Ref();
    Ref codes = parse_colors(table.dict, colour ? colour.get() : N.empty);
    if (!codes || !keyed) return codes;
    ParsedSeen& slot = parsed_seen[parsed_next];
    parsed_next = (parsed_next + 1) % kParsedWays;
    Py_XSETREF(slot.levelname, Py_NewRef(levelname));
    slot.colors = log_colors;
    slot.colors_version = colors_version;
    slot.table = table.dict;
    slot.table_version = table.version;
    Py_XSETREF(slot.codes, Py_NewRef(codes.get()));
    return codes;
}

// Whether the text the pieces make ends with `tail`.
bool ends_with(PyObject* const* pieces, int n, PyObject* tail) {
    Py_ssize_t j = PyUnicode_GET_LENGTH(tail);
    int i = n - 1;
    Py_ssize_t at = PyUnicode_GET_LENGTH(pieces[i]);
    const int tail_kind = PyUnicode_KIND(tail);
    const void* tail_data = PyUnicode_DATA(tail);
    while (j > 0) {
        while (at == 0) {
            if (--i < 0) return false;
            at = PyUnicode_GET_LENGTH(pieces[i]);
        }
        --at;
        --j;
        if (PyUnicode_READ(PyUnicode_KIND(pieces[i]), PyUnicode_DATA(pieces[i]), at) !=
            PyUnicode_READ(tail_kind, tail_data, j))
            return false;
    }
    return true;
}

// The pieces as one str, in one allocation.
Ref joined(PyObject* const* pieces, int n) {
    Py_ssize_t total = 0;
    Py_UCS4 widest = 0;
    for (int i = 0; i < n; ++i) {
        total += PyUnicode_GET_LENGTH(pieces[i]);
        widest = std::max(widest, PyUnicode_MAX_CHAR_VALUE(pieces[i]));
    }
    Ref out = Ref::steal(PyUnicode_New(total, widest));
    if (!out) return out;
    const int kind = PyUnicode_KIND(out.get());
    char* data = static_cast<char*>(PyUnicode_DATA(out.get()));
    Py_ssize_t at = 0;
    for (int i = 0; i < n; ++i) {
        const Py_ssize_t len = PyUnicode_GET_LENGTH(pieces[i]);
        if (!len) continue;
        if (PyUnicode_KIND(pieces[i]) == kind)
            std::memcpy(data + at * kind, PyUnicode_DATA(pieces[i]), size_t(len) * kind);
        else if (PyUnicode_CopyCharacters(out.get(), at, pieces[i], 0, len) < 0)
            return Ref();
        at += len;
    }
    return out;
}

// A field as `%s` gives it. For an exact str, itself; anything else is
// converted as PercentStyle.format would, a KeyError becoming its ValueError.
Ref as_text(PyObject* v) {
    if (PyUnicode_CheckExact(v)) return Ref::borrow(v);
    Ref text = Ref::steal(PyObject_Str(v));
    if (text || !PyErr_ExceptionMatches(PyExc_KeyError)) return text;
    PyObject* key_error = PyErr_GetRaisedException();
    Ref message = Ref::steal(PyUnicode_FromFormat("Formatting field not found in record: %S", key_error));
    if (message) {
        Ref value_error = Ref::steal(PyObject_CallOneArg(PyExc_ValueError, message.get()));
        if (value_error) {
            PyException_SetContext(value_error.get(), key_error);  // steals
            PyErr_SetRaisedException(value_error.release());
            return Ref();
        }
    }
    Py_DECREF(key_error);
    return Ref();
}

}  // namespace

bool colored_known(PyObject*, PyObject* formatter) {
    if (!formatter || !proven(Py_TYPE(formatter)) || !cells_hold(Py_TYPE(formatter))) return false;
    Values v;
    EnvironValues env;
    if (!formatter_values(formatter, v) || !plain_stream(v.stream) || !escape_table() || !environ_now(env))
        return false;
    return unwatched();
}

bool colored_exceptions_known(PyObject* formatter) {
    return formatter && proof_current(Py_TYPE(formatter)) && proof.usable && proof.exceptions;
}

Ref colored_line(PyObject* formatter, PyObject*, PyObject* asctime, PyObject* name, PyObject* levelname, PyObject*,
                 PyObject* message) {
    PyTypeObject* tp = Py_TYPE(formatter);
    Values v;
    EnvironValues env;
    const Table* table = escape_table();
    if (!table || !formatter_values(formatter, v) || !environ_now(env)) {
        PyErr_SetString(PyExc_SystemError, "colored_line() without colored_known()");
        return Ref();
    }
    // Up to isatty() no code runs: what format() reads before it is read here
    // as it stands. What this call keeps across isatty() is held.
    Ref stream = Ref::borrow(v.stream);
    // _escape_code_map(levelname): the copy of escape_codes, of which the line
    // reads these keys.
    Ref copied[kTableKeys];
    for (int i = 0; i < kTableKeys; ++i) copied[i] = Ref::borrow(table->values[i]);
    // codes.setdefault("log_color", parse_colors(log_colors.get(levelname, "")))
    Ref parsed = parsed_colour(v.log_colors, levelname, colors_scan.version, *table);
    if (!parsed) return Ref();
    bool asked = false;
    const int on = colorize(v, env.data, &asked);
    if (on < 0) return Ref();
    // isatty() may have let other threads run. format() goes on with
    // ColoredRecord, Formatter.formatMessage, self._style.format and
    // self._append_reset (self.reset): read them where they are now. Anything
    // no longer as proven (a class or function patched, a module global
    // rebound, a profiler set) and the line is not this one: the caller leaves
    // the record to the handler's own handle(), whose format() runs afresh.
    PyObject* reset = v.reset;
    if (asked) {
        Values now;
        if (Py_TYPE(formatter) != tp || !proof_current(tp) || !proof.usable || !cells_hold(tp) ||
            !formatter_values(formatter, now) || !unwatched()) {
            PyErr_SetString(PyExc_RuntimeError, "what format() reads changed while isatty() ran");
            return Ref();
        }
        reset = now.reset;  // borrowed from the formatter, which the caller holds; no code runs from here on
    }
    // PercentStyle: the record's dict updated with the codes, blank when off.
    auto code_or = [&](int i, PyObject* otherwise) -> PyObject* {
        if (!copied[i]) return otherwise;
        return on ? copied[i].get() : N.empty;
    };
    PyObject* log_color = on ? (copied[kLogColor] ? copied[kLogColor].get() : parsed.get()) : N.empty;
    Ref parts[5];
    if (!(parts[0] = as_text(log_color))) return Ref();
    PyObject* fields[4] = {asctime, name, levelname, message};
    for (int i = 0; i < 4; ++i)
        if (!(parts[i + 1] = as_text(code_or(kAsctime + i, fields[i])))) return Ref();
    // _append_reset(message, escapes)
    if (!copied[kReset]) {
        Ref args = Ref::steal(PyTuple_Pack(1, N.reset_code));
        if (args) PyErr_SetObject(PyExc_KeyError, args.get());
        return Ref();
    }
    PyObject* reset_code = on ? copied[kReset].get() : N.empty;
    const int wanted = PyObject_IsTrue(reset);  // None, a bool or an int (C3)
    if (wanted < 0) return Ref();
    PyObject* pieces[9] = {parts[0].get(), parts[1].get(), N.dash, parts[2].get(), N.dash,
                           parts[3].get(), N.dash, parts[4].get(), reset_code};
    return joined(pieces, wanted && !ends_with(pieces, 8, reset_code) ? 9 : 8);
}

}  // namespace log_main

#ifdef LOG_MAIN_TEST_HOOK
// For the tests: the line colored_line() gives for formatter.format(record), or
// None where colored_known() says no. Reached through ctypes, not the module.
LOG_MAIN_TEST_HOOK PyObject* log_main_colored_probe(PyObject* formatter, PyObject* asctime, PyObject* name,
                                                    PyObject* levelname, PyObject* message) {
    using namespace log_main;
    if (!colored_known(Py_None, formatter)) Py_RETURN_NONE;
    return colored_line(formatter, Py_None, asctime, name, levelname, Py_None, message).release();
}
#endif  // LOG_MAIN_TEST_HOOK
