// A record's traceback is formatted by the console's ColoredFormatter with
// colour codes and by the file's Formatter without them: two runs of
// traceback.print_exception over the same exception, the second one costing as
// much as the rest of the record. The plain text is the coloured one with its
// colour codes removed when the conditions T1 to T15 of docs/traceback-once.md
// hold (numbered there, each with the line of traceback.py it comes from).
// This file checks those that concern the exceptions and their texts:
//
//  T3-T5 (traceback_inert) Formatting runs no code of anyone's on account of
//      the exceptions: every exception in the chain (cause and context, as
//      TracebackException.__init__ follows them) is of a class whose metaclass
//      is type, whose str() is BaseException's or KeyError's over arguments of
//      exact str, int, float, bool or None, whose attributes are read through
//      object's getattr, that has no truth test of its own (`if e and ...`)
//      and defines none of the attributes the formatting reads, and that keeps
//      its own attributes in a dict of str keys. SyntaxError, ImportError,
//      NameError, AttributeError and exception groups (source details,
//      suggestions, nested boxes) are left to the second run.
//  T6  Notes are absent, or a list of exact str.
//  T11 (traceback_inert, traceback_sources_clear) No text the formatting
//      copies holds an ESC of its own, so every ESC in the coloured text is
//      one the colouring put there, nor a line break other than "\n" (a form
//      feed starting a shown line leaves textwrap a margin to take in one text
//      and not the other): the type's __qualname__ and __module__, str() of the
//      exception, its notes, each frame's file and function names, and the
//      source lines linecache holds for them.
//  T11 (without_colour) The colour codes are ESC '[' digits-and-';' 'm'; the
//      colouring adds nothing else (the proof is in the document).
//
// traceback_inputs() adds the per-record conditions T7 (the limit), T8
// (linecache's entries, fresh on disk as checkcache finds them) and T9 (re's
// cache of dedent patterns), and records what it read for T13 (nothing changed
// between the console's formatting and the file's). The table of everything
// else the formatting reads is traceback_stock.cpp's.
//
// The checks read C fields only: they run nothing and raise nothing.
//
// Threads. Nothing a call in flight uses (a borrowed pointer, a verdict) may be
// reset or freed by another thread while the call lets the GIL go: what it
// keeps across such a point is held, and what it checked is checked again
// after it. traceback_inputs() lets the GIL go for each stat of a source file
// (linecache.checkcache's os.stat), so it works in three steps: the walk and
// the record with the GIL held throughout (the entries, exceptions and frames
// it meets borrowed only within it), keeping held the size, time and name of
// each entry to stat; the stats, using only those; then the walk again, which
// must give the same record, and traceback_stock_holds() (nothing patched,
// nothing watching). Another thread that meanwhile replaced an entry, relinked
// an exception, patched the formatting or set a profiler makes the check fail,
// and the formatter's own formatException runs.
#include "logger/traceback_text.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>

#include "logger/stock.hpp"
#include "logger/traceback_stock.hpp"
#include "module/private_api.hpp"
#include "module/test_hook.hpp"

namespace log_main {
namespace {

// Exceptions and frames followed at most; a longer chain or traceback is
// formatted twice, as the full path does.
constexpr int kMaxExceptions = 64;
constexpr int kMaxFrames = 4096;

// A text the formatting copies that could make the coloured and plain texts
// differ by more than the codes: not an exact str, or holding an ESC or a
// line break other than "\n" (str.splitlines cuts there, so textwrap's
// margins would be taken over other lines in the two texts); nor a lone
// surrogate, which a stream's encoder may refuse after the text is made.
bool unsafe_text(PyObject* s) {
    if (!PyUnicode_CheckExact(s)) return true;
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(s); i < n; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c < 0x20 ? (c == 0x1b || c == '\r' || c == '\v' || c == '\f' || (c >= 0x1c && c <= 0x1e))
                     : (c == 0x85 || c == 0x2028 || c == 0x2029 || (c >= 0xd800 && c <= 0xdfff)))
            return true;
    }
    return false;
}

PyBaseExceptionObject* as_exc(PyObject* e) { return reinterpret_cast<PyBaseExceptionObject*>(e); }

// The attributes traceback.py reads on an exception through getattr.
constexpr const char* kReadNames[] = {"__notes__", "__cause__", "__context__", "__suppress_context__",
                                      "__traceback__"};

bool class_plain(PyTypeObject* tp) {
    // Metaclass type, object's getattr, no truth test of its own (`if e and
    // e.__cause__ ...`), class dicts of str keys: the proofs' plain class.
    if (!rows::plain_class(tp)) return false;
    PyTypeObject* base = reinterpret_cast<PyTypeObject*>(PyExc_BaseException);
    if (tp->tp_str != base->tp_str && tp->tp_str != reinterpret_cast<PyTypeObject*>(PyExc_KeyError)->tp_str)
        return false;
    for (PyObject* apart : {PyExc_SyntaxError, PyExc_ImportError, PyExc_NameError, PyExc_AttributeError,
                            PyExc_BaseExceptionGroup})
        if (PyType_IsSubtype(tp, reinterpret_cast<PyTypeObject*>(apart))) return false;
    PyObject* mro = tp->tp_mro;
    if (!mro || !PyTuple_CheckExact(mro)) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        PyTypeObject* cls = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        if (!(cls->tp_flags & Py_TPFLAGS_HEAPTYPE)) continue;
        PyObject* dict = cls->tp_dict;
        for (const char* name : kReadNames) {
            PyObject* found = PyDict_GetItemString(dict, name);  // exact str keys: compares str only
            if (found) return false;
        }
    }
    // exc_type_str: the qualname, and the module unless it is not a str.
    PyObject* qualname = (tp->tp_flags & Py_TPFLAGS_HEAPTYPE)
                             ? reinterpret_cast<PyHeapTypeObject*>(tp)->ht_qualname
                             : nullptr;
    if (qualname && unsafe_text(qualname)) return false;
    if (!qualname && std::strchr(tp->tp_name, 0x1b)) return false;
    if (tp->tp_flags & Py_TPFLAGS_HEAPTYPE) {
        PyObject* module = PyDict_GetItemString(tp->tp_dict, "__module__");
        if (module && PyUnicode_Check(module) && unsafe_text(module)) return false;
    }
    return true;
}

bool exception_inert(PyObject* e) {
    if (!PyExceptionInstance_Check(e) || !class_plain(Py_TYPE(e))) return false;
    PyBaseExceptionObject* x = as_exc(e);
    PyObject* notes = nullptr;
    if (x->dict) {
        if (!PyDict_CheckExact(x->dict) || !priv::dict_has_str_keys(x->dict)) return false;
        notes = PyDict_GetItemString(x->dict, "__notes__");
    }
    if (notes) {
        if (!PyList_CheckExact(notes)) return false;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(notes); ++i)
            if (unsafe_text(PyList_GET_ITEM(notes, i))) return false;
    }
    PyObject* args = x->args;
    if (!args || !PyTuple_CheckExact(args)) return false;
    const Py_ssize_t n = PyTuple_GET_SIZE(args);
    const bool raw = n == 1 && Py_TYPE(e)->tp_str == reinterpret_cast<PyTypeObject*>(PyExc_BaseException)->tp_str;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* a = PyTuple_GET_ITEM(args, i);
        if (PyUnicode_CheckExact(a)) {
            if (raw && unsafe_text(a)) return false;  // str() of one argument is the argument itself
        } else if (!(PyLong_CheckExact(a) || PyFloat_CheckExact(a) || PyBool_Check(a) || a == Py_None)) {
            return false;
        }
    }
    return true;
}

// Each frame of a traceback, with the lines its entry shows (first, last).
template <typename Visit>
bool each_frame(PyObject* tb, Visit visit) {
    int count = 0;
    for (; tb && tb != Py_None; tb = reinterpret_cast<PyObject*>(reinterpret_cast<PyTracebackObject*>(tb)->tb_next)) {
        if (!PyTraceBack_Check(tb) || ++count > kMaxFrames) return false;
        PyTracebackObject* t = reinterpret_cast<PyTracebackObject*>(tb);
        Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(t->tb_frame)));
        PyCodeObject* co = reinterpret_cast<PyCodeObject*>(code.get());
        int line = PyCode_Addr2Line(co, t->tb_lasti), first = line, last = line, col = 0, end_col = 0;
        int start = 0, end = 0;
        if (PyCode_Addr2Location(co, t->tb_lasti, &start, &col, &end, &end_col)) {
            if (start > 0 && start < first) first = start;
            if (end > last) last = end;
        }
        if (!visit(co, first, last)) return false;
    }
    return true;
}

// Every exception the formatting reaches from `value`, with its traceback:
// the given one for the first, __traceback__ for the others.
template <typename Visit>
bool each_exception(PyObject* value, PyObject* tb, Visit visit) {
    PyObject* seen[kMaxExceptions];
    PyObject* traces[kMaxExceptions];
    int n = 0, next = 0;
    seen[n] = value;
    traces[n++] = tb;
    while (next < n) {
        PyObject* e = seen[next];
        PyObject* trace = traces[next++];
        if (!visit(e, trace)) return false;
        if (!PyExceptionInstance_Check(e)) return false;
        for (PyObject* linked : {as_exc(e)->cause, as_exc(e)->context}) {
            if (!linked || linked == Py_None) continue;
            bool known = false;
            for (int i = 0; i < n && !known; ++i) known = seen[i] == linked;
            if (known) continue;
            if (n == kMaxExceptions || !PyExceptionInstance_Check(linked)) return false;
            seen[n] = linked;
            PyObject* own = as_exc(linked)->traceback;
            traces[n++] = own ? own : Py_None;
        }
    }
    return true;
}

// A module's namespace found as `ns[name]`, readable without running code.
PyObject* module_ns(PyObject* ns, const char* name) {
    PyObject* mod = ns ? rows::item(ns, name) : nullptr;
    if (!mod || !PyModule_CheckExact(mod)) return nullptr;
    PyObject* dict = PyModule_GetDict(mod);
    return rows::readable_dict(dict) ? dict : nullptr;
}

bool is_space(Py_UCS4 c) { return Py_UNICODE_ISSPACE(c); }

// textwrap.dedent's margin for a frame's lines first..last as
// FrameSummary._set_lines joins them (each rstripped, "" past the end): the
// longest common run of leading spaces and tabs of the lines not left empty.
// Null (no error) on a memory error.
Ref dedent_margin(PyObject* lines, int first, int last) {
    PyObject* shortest = nullptr;  // the line whose indent bounds the margin so far
    Py_ssize_t margin = -1;
    const Py_ssize_t count = PyList_GET_SIZE(lines);
    for (int at = first; at <= last; ++at) {
        if (at < 1 || at > count) continue;  // getline gives ""
        PyObject* line = PyList_GET_ITEM(lines, at - 1);
        const int kind = PyUnicode_KIND(line);
        const void* data = PyUnicode_DATA(line);
        Py_ssize_t end = PyUnicode_GET_LENGTH(line);
        while (end > 0 && is_space(PyUnicode_READ(kind, data, end - 1))) --end;
        if (end == 0) continue;  // an empty line has no indent
        Py_ssize_t indent = 0;
        while (indent < end) {
            const Py_UCS4 c = PyUnicode_READ(kind, data, indent);
            if (c != ' ' && c != '\t') break;
            ++indent;
        }
        if (margin < 0) {
            shortest = line;
            margin = indent;
            continue;
        }
        const int skind = PyUnicode_KIND(shortest);
        const void* sdata = PyUnicode_DATA(shortest);
        Py_ssize_t common = 0;
        while (common < margin && common < indent &&
               PyUnicode_READ(skind, sdata, common) == PyUnicode_READ(kind, data, common))
            ++common;
        margin = common;
    }
    if (margin <= 0) return Ref::steal(PyUnicode_New(0, 0));
    return Ref::steal(PyUnicode_Substring(shortest, 0, margin));
}

// An entry linecache.checkcache compares with the file: its size, mtime and
// full name as exact int, float and str (null: one it does not check, loaded
// through a module's loader; false: anything else).
bool entry_checked(PyObject* entry, bool* checked) {
    PyObject *size = PyTuple_GET_ITEM(entry, 0), *mtime = PyTuple_GET_ITEM(entry, 1), *fullname = PyTuple_GET_ITEM(entry, 3);
    *checked = mtime != Py_None;
    return !*checked || (PyLong_CheckExact(size) && PyFloat_CheckExact(mtime) && PyUnicode_CheckExact(fullname));
}

// stat(2) of `path`, following links, as os.stat does: 0, or -1 with errno set.
// glibc 2.33 and newer give stat() a symbol version of its own, which would
// make the wheel need that glibc; on x86-64 the kernel's newfstatat fills the
// same struct stat, through syscall(), a symbol every glibc has.
int stat_path(const char* path, struct stat* st) {
#if defined(__x86_64__) && defined(SYS_newfstatat)
    return static_cast<int>(syscall(SYS_newfstatat, AT_FDCWD, path, st, 0));
#else
    return ::stat(path, st);
#endif
}

// What os.stat(fullname) gives for the entry's size and time, compared as
// linecache.checkcache compares them: true when it would keep the entry. The
// three are held by the caller: the GIL is let go for the stat.
bool entry_fresh(PyObject* size, PyObject* mtime, PyObject* fullname) {
    Ref path = Ref::steal(PyUnicode_EncodeFSDefault(fullname));
    if (!path) return PyErr_Clear(), false;
    const char* bytes = PyBytes_AS_STRING(path.get());
    if (static_cast<Py_ssize_t>(std::strlen(bytes)) != PyBytes_GET_SIZE(path.get())) return false;  // a NUL
    struct stat st;
    int rc;
    Py_BEGIN_ALLOW_THREADS
    rc = stat_path(bytes, &st);
    Py_END_ALLOW_THREADS
    if (rc != 0) return false;
    int overflow = 0;
    const long long expected = PyLong_AsLongLongAndOverflow(size, &overflow);
    if (overflow || expected != static_cast<long long>(st.st_size)) return false;
    // os.stat's st_mtime: seconds plus nanoseconds * 1e-9, in a double.
    const double seen = static_cast<double>(st.st_mtim.tv_sec) + static_cast<double>(st.st_mtim.tv_nsec) * 1e-9;
    return PyFloat_AS_DOUBLE(mtime) == seen;
}

}  // namespace

bool TracebackInputs::same_as(const TracebackInputs& other) const {
    if (held.size() != other.held.size() || numbers != other.numbers) return false;
    for (size_t i = 0; i < held.size(); ++i)
        if (held[i].get() != other.held[i].get()) return false;
    return true;
}

namespace {

// What traceback_inputs() records, read with the GIL held throughout (nothing
// here lets it go, so the borrowed pointers met on the way stay valid). With
// `to_stat`, each linecache entry linecache.checkcache would compare with its
// file goes there (size, mtime, full name, held) for the caller to stat.
bool record_inputs(PyObject* value, PyObject* tb, PyObject* logging_dict, std::vector<Ref>* to_stat,
                   TracebackInputs& out) {
    out.held.clear();
    out.numbers.clear();
    auto hold = [&out](PyObject* o) { out.held.push_back(Ref::borrow(o)); };
    // The namespaces the formatting reads them from (pinned by the table of
    // traceback_stock.cpp): traceback's linecache and sys, and on 3.13
    // textwrap's re.
    PyObject* tb_ns = module_ns(logging_dict, "traceback");
    PyObject* linecache_ns = module_ns(tb_ns, "linecache");
    PyObject* sys_ns = module_ns(tb_ns, "sys");
    if (!linecache_ns || !sys_ns) return false;
    PyObject* cache = rows::item(linecache_ns, "cache");
    if (!cache || !PyDict_CheckExact(cache) || !priv::dict_has_str_keys(cache)) return false;
    hold(cache);
    // The limit: getattr(sys, 'tracebacklimit', None), a value of sys's dict.
    PyObject* limit = rows::item(sys_ns, "tracebacklimit");
    if (limit ? !(limit == Py_None || PyLong_CheckExact(limit)) : rows::item(sys_ns, "__getattr__") != nullptr)
        return false;
    hold(limit);
    // 3.13: textwrap.dedent compiles its margin through re's cache.
    PyObject* cache2 = nullptr;
    PyObject* zero = nullptr;
    if ((Py_Version >> 16) == 0x030D) {
        PyObject* re_ns = module_ns(module_ns(tb_ns, "textwrap"), "re");
        cache2 = re_ns ? rows::item(re_ns, "_cache2") : nullptr;
        zero = re_ns ? rows::item(re_ns, "_zero_sentinel") : nullptr;
        if (!cache2 || !PyDict_CheckExact(cache2) || !zero) return false;
    }
    return each_exception(value, tb, [&](PyObject* e, PyObject* trace) {
        if (!exception_inert(e)) return false;
        PyBaseExceptionObject* x = as_exc(e);
        hold(e);
        hold(reinterpret_cast<PyObject*>(Py_TYPE(e)));
        hold(x->args);
        PyObject* notes = x->dict ? PyDict_GetItemString(x->dict, "__notes__") : nullptr;
        hold(notes);
        if (notes)
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(notes); ++i) hold(PyList_GET_ITEM(notes, i));
        hold(x->cause);
        hold(x->context);
        hold(x->traceback);
        out.numbers.push_back(x->suppress_context);
        int frames = 0;
        for (PyObject* t = trace; t && t != Py_None;
             t = reinterpret_cast<PyObject*>(reinterpret_cast<PyTracebackObject*>(t)->tb_next)) {
            if (!PyTraceBack_Check(t) || ++frames > kMaxFrames) return false;
            PyTracebackObject* entry = reinterpret_cast<PyTracebackObject*>(t);
            Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(entry->tb_frame)));
            PyCodeObject* co = reinterpret_cast<PyCodeObject*>(code.get());
            hold(t);
            hold(code.get());
            out.numbers.push_back(entry->tb_lasti);
            if (unsafe_text(co->co_filename) || unsafe_text(co->co_name) || unsafe_text(co->co_qualname))
                return false;
            // The lines the entry shows: its positions, as _get_code_position has them.
            int first = 0, col = 0, last = 0, end_col = 0;
            if (entry->tb_lasti < 0 || !PyCode_Addr2Location(co, entry->tb_lasti, &first, &col, &last, &end_col) ||
                first <= 0 || last < first)
                return false;
            // linecache: an entry loaded (lazycache returns at once, getlines
            // reads it), which checkcache keeps.
            PyObject* filename = co->co_filename;
            if (PyUnicode_READ_CHAR(filename, 0) == '<') return false;
            PyObject* found = PyDict_GetItemWithError(cache, filename);  // exact str keys
            if (!found || !PyTuple_CheckExact(found) || PyTuple_GET_SIZE(found) != 4) return PyErr_Clear(), false;
            PyObject* lines = PyTuple_GET_ITEM(found, 2);
            if (!PyList_CheckExact(lines)) return false;
            bool checked = false;
            if (!entry_checked(found, &checked)) return false;
            if (to_stat && checked)
                for (int part : {0, 1, 3}) to_stat->push_back(Ref::borrow(PyTuple_GET_ITEM(found, part)));
            hold(found);
            hold(lines);
            out.numbers.push_back(PyList_GET_SIZE(lines));
            for (int at = first; at <= last && at <= PyList_GET_SIZE(lines); ++at) {
                PyObject* line = PyList_GET_ITEM(lines, at - 1);
                if (unsafe_text(line)) return false;
                hold(line);
            }
            if (cache2) {
                Ref margin = dedent_margin(lines, first, last);
                if (!margin) return PyErr_Clear(), false;
                if (PyUnicode_GET_LENGTH(margin.get()) > 0) {
                    Ref pattern = Ref::steal(PyUnicode_FromFormat("(?m)^%U", margin.get()));
                    Ref key = Ref::steal(pattern ? PyTuple_Pack(3, &PyUnicode_Type, pattern.get(), zero) : nullptr);
                    PyObject* compiled = key ? PyDict_GetItemWithError(cache2, key.get()) : nullptr;
                    if (!compiled) return PyErr_Clear(), false;
                    hold(compiled);
                }
            }
        }
        return true;
    });
}

}  // namespace

bool traceback_inputs(PyObject* value, PyObject* tb, PyObject* logging_dict, bool on_disk, TracebackInputs& out) {
    std::vector<Ref> to_stat;
    if (!record_inputs(value, tb, logging_dict, on_disk ? &to_stat : nullptr, out)) return false;
    if (to_stat.empty()) return true;
    // Each stat lets the GIL go: another thread may meanwhile replace linecache's
    // entries, relink the exceptions, patch what the formatting runs or set a
    // profiler. Only what is held is used across them; then everything is read
    // again and must be what was recorded, and the stock must still hold.
    for (size_t i = 0; i + 2 < to_stat.size(); i += 3)
        if (!entry_fresh(to_stat[i].get(), to_stat[i + 1].get(), to_stat[i + 2].get())) return false;
    TracebackInputs again;
    return traceback_stock_holds() && record_inputs(value, tb, logging_dict, nullptr, again) && again.same_as(out);
}

bool traceback_inert(PyObject* value, PyObject* tb) {
    return each_exception(value, tb, [](PyObject* e, PyObject* trace) {
        if (!exception_inert(e)) return false;
        return each_frame(trace, [](PyCodeObject* co, int, int) {
            return !unsafe_text(co->co_filename) && !unsafe_text(co->co_name) && !unsafe_text(co->co_qualname);
        });
    });
}

bool traceback_sources_clear(PyObject* value, PyObject* tb, PyObject* cache) {
    if (!PyDict_CheckExact(cache) || !priv::dict_has_str_keys(cache)) return false;
    return each_exception(value, tb, [cache](PyObject*, PyObject* trace) {
        return each_frame(trace, [cache](PyCodeObject* co, int first, int last) {
            PyObject* entry = PyDict_GetItemWithError(cache, co->co_filename);  // exact str keys
            if (!entry) return !PyErr_Occurred();  // no source: the formatting showed none
            if (!PyTuple_CheckExact(entry)) return false;
            if (PyTuple_GET_SIZE(entry) == 1) return true;  // not loaded: nothing shown from it
            if (PyTuple_GET_SIZE(entry) != 4) return false;
            PyObject* lines = PyTuple_GET_ITEM(entry, 2);
            if (!PyList_CheckExact(lines)) return false;
            const Py_ssize_t count = PyList_GET_SIZE(lines);
            for (Py_ssize_t i = first > 0 ? first - 1 : 0; i < last && i < count; ++i)
                if (unsafe_text(PyList_GET_ITEM(lines, i))) return false;
            return true;
        });
    });
}

Ref without_colour(PyObject* text) {
    if (!PyUnicode_CheckExact(text)) return Ref();
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    Py_UCS4* out = static_cast<Py_UCS4*>(PyMem_Malloc(sizeof(Py_UCS4) * (n + 1)));
    if (!out) return Ref();
    Py_ssize_t w = 0;
    for (Py_ssize_t i = 0; i < n;) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c != 0x1b) {
            out[w++] = c;
            ++i;
            continue;
        }
        Py_ssize_t j = i + 1;
        if (j >= n || PyUnicode_READ(kind, data, j) != '[') return PyMem_Free(out), Ref();
        for (++j; j < n; ++j) {
            Py_UCS4 d = PyUnicode_READ(kind, data, j);
            if (!((d >= '0' && d <= '9') || d == ';')) break;
        }
        if (j >= n || PyUnicode_READ(kind, data, j) != 'm') return PyMem_Free(out), Ref();
        i = j + 1;
    }
    Ref plain = Ref::steal(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, out, w));
    PyMem_Free(out);
    if (!plain) PyErr_Clear();
    return plain;
}

}  // namespace log_main

#ifdef LOG_MAIN_TEST_HOOK
// For the tests: the plain text the module would take from `coloured` for
// (value, tb), or None where it would format the traceback again. `cache` is
// linecache.cache. Reached through ctypes, not the module.
LOG_MAIN_TEST_HOOK PyObject* log_main_traceback_probe(PyObject* value, PyObject* tb, PyObject* coloured,
                                                      PyObject* cache) {
    using namespace log_main;
    if (!traceback_inert(value, tb) || !traceback_sources_clear(value, tb, cache)) Py_RETURN_NONE;
    Ref plain = without_colour(coloured);
    if (!plain) Py_RETURN_NONE;
    return plain.release();
}
#endif  // LOG_MAIN_TEST_HOOK
