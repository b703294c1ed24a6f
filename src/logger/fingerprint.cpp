// Fingerprints of code objects and of Python functions (fingerprint.hpp), and
// the lookup of a function in the table of those the interpreter ships.
//
// The serialisation (scripts/shipped-code and scripts/colorlog-stock make the
// same in Python): argument counts and flags (4 x u32), co_code and
// co_exceptiontable (u32 length + bytes), then co_names, co_varnames,
// co_cellvars, co_freevars and co_consts as values: N None, T/F bools, I int
// (decimal), D float (repr), C complex (repr), S str (UTF-8, surrogates
// passed), B bytes, ( tuple (u32 count + items), Z frozenset (u32 count + the
// FNV of each item's own serialisation, as u64, ascending: the order of a set
// changes with str hashing), : slice (start, stop, step), K code (u64
// fingerprint), E Ellipsis; lengths little-endian. Any other constant: no
// fingerprint. A function adds to its code's fingerprint (K) its defaults (N,
// or a tuple) and keyword defaults (N, or { u32 count + key and value each),
// where a value that is no constant is O.
//
// The table (shipped_code.inc, generated) holds, per minor version, a row
// (module, qualname, fingerprint) for every Python function reachable from the
// modules the tables of stock.hpp read, as each supported release of that
// minor version ships it (rows of different patch releases side by side). A
// module is built for one minor version, so only that version's rows are
// compiled in; they are sorted, and looked up by binary search.
#include "logger/fingerprint.hpp"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "module/private_api.hpp"
#include "module/test_hook.hpp"

namespace log_main {
namespace {

struct Fnv {
    uint64_t h = 0xcbf29ce484222325ull;
    void bytes(const void* data, size_t n) {
        auto* p = static_cast<const unsigned char*>(data);
        for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 0x100000001b3ull;
    }
    void tag(char c) { bytes(&c, 1); }
    void u32(uint32_t v) {
        unsigned char b[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
        bytes(b, 4);
    }
    void u64(uint64_t v) {
        u32(uint32_t(v));
        u32(uint32_t(v >> 32));
    }
    void blob(const char* data, Py_ssize_t n) {
        u32(uint32_t(n));
        bytes(data, size_t(n));
    }
};

bool feed_text(Fnv& f, PyObject* text) {
    Ref utf8 = Ref::steal(text ? PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass") : nullptr);
    if (!utf8) return false;
    f.blob(PyBytes_AS_STRING(utf8.get()), PyBytes_GET_SIZE(utf8.get()));
    return true;
}

bool feed_value(Fnv& f, PyObject* v);

// A frozenset: its size, then the fingerprints of its items' serialisations in ascending order.
bool feed_set(Fnv& f, PyObject* v) {
    const Py_ssize_t n = PySet_GET_SIZE(v);
    uint64_t small[16];
    uint64_t* items = n <= 16 ? small : static_cast<uint64_t*>(PyMem_Malloc(sizeof(uint64_t) * size_t(n)));
    if (!items) return false;
    Ref it = Ref::steal(PyObject_GetIter(v));  // an exact frozenset's iterator: no code runs
    Py_ssize_t i = 0;
    bool ok = bool(it);
    while (ok) {
        Ref key = Ref::steal(PyIter_Next(it.get()));
        if (!key) break;
        Fnv item;
        ok = i < n && feed_value(item, key.get());
        if (ok) items[i++] = item.h;
    }
    ok = ok && i == n && !PyErr_Occurred();
    if (ok) {
        std::sort(items, items + n);
        f.tag('Z');
        f.u32(uint32_t(n));
        for (Py_ssize_t k = 0; k < n; ++k) f.u64(items[k]);
    }
    if (items != small) PyMem_Free(items);
    return ok;
}

bool feed_value(Fnv& f, PyObject* v) {
    if (v == Py_None) return f.tag('N'), true;
    if (v == Py_True) return f.tag('T'), true;
    if (v == Py_False) return f.tag('F'), true;
    if (v == Py_Ellipsis) return f.tag('E'), true;
    if (PyLong_CheckExact(v)) return f.tag('I'), feed_text(f, Ref::steal(PyObject_Str(v)).get());
    if (PyFloat_CheckExact(v)) return f.tag('D'), feed_text(f, Ref::steal(PyObject_Repr(v)).get());
    if (PyComplex_CheckExact(v)) return f.tag('C'), feed_text(f, Ref::steal(PyObject_Repr(v)).get());
    if (PyUnicode_CheckExact(v)) return f.tag('S'), feed_text(f, v);
    if (PyBytes_CheckExact(v)) return f.tag('B'), f.blob(PyBytes_AS_STRING(v), PyBytes_GET_SIZE(v)), true;
    if (PyTuple_CheckExact(v)) {
        f.tag('(');
        f.u32(uint32_t(PyTuple_GET_SIZE(v)));
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(v); ++i)
            if (!feed_value(f, PyTuple_GET_ITEM(v, i))) return false;
        return true;
    }
    if (PyFrozenSet_CheckExact(v)) return feed_set(f, v);
    if (PySlice_Check(v)) {
        auto* s = reinterpret_cast<PySliceObject*>(v);
        f.tag(':');
        return feed_value(f, s->start) && feed_value(f, s->stop) && feed_value(f, s->step);
    }
    if (PyCode_Check(v)) {
        uint64_t inner;
        if (!fingerprint(v, &inner)) return false;
        f.tag('K');
        f.u64(inner);
        return true;
    }
    return false;
}

// A default value: as a constant where it is one, else "an object" (a sentinel, a shared list).
void feed_default(Fnv& f, PyObject* v) {
    Fnv trial = f;
    if (feed_value(trial, v)) {
        f = trial;
    } else {
        PyErr_Clear();
        f.tag('O');
    }
}

// The table, this minor version's rows (generated by scripts/shipped-code), after an empty row that
// sorts first and matches no function.
struct ShippedRow {
    const char* module;
    const char* qualname;
    uint64_t fp;
};

constexpr bool row_before(const ShippedRow& a, const ShippedRow& b) {
    const std::string_view am(a.module), bm(b.module), aq(a.qualname), bq(b.qualname);
    return am != bm ? am < bm : aq != bq ? aq < bq : a.fp < b.fp;
}

constexpr ShippedRow kShipped[] = {
    {"", "", 0},
#include "logger/shipped_code.inc"
};
static_assert(std::is_sorted(std::begin(kShipped), std::end(kShipped), row_before),
              "shipped_code.inc is sorted by module, qualname and fingerprint");

}  // namespace

bool fingerprint(PyObject* code, uint64_t* out) {
    auto* co = reinterpret_cast<PyCodeObject*>(code);
    Fnv f;
    f.u32(uint32_t(co->co_argcount));
    f.u32(uint32_t(co->co_posonlyargcount));
    f.u32(uint32_t(co->co_kwonlyargcount));
    f.u32(uint32_t(co->co_flags));
    Ref bytecode = Ref::steal(PyCode_GetCode(co));
    Ref table = Ref::steal(PyObject_GetAttrString(code, "co_exceptiontable"));
    if (!bytecode || !table || !PyBytes_CheckExact(bytecode.get()) || !PyBytes_CheckExact(table.get()))
        return PyErr_Clear(), false;
    f.blob(PyBytes_AS_STRING(bytecode.get()), PyBytes_GET_SIZE(bytecode.get()));
    f.blob(PyBytes_AS_STRING(table.get()), PyBytes_GET_SIZE(table.get()));
    Ref parts[] = {Ref::borrow(co->co_names), Ref::steal(PyCode_GetVarnames(co)), Ref::steal(PyCode_GetCellvars(co)),
                   Ref::steal(PyCode_GetFreevars(co)), Ref::borrow(co->co_consts)};
    for (Ref& part : parts)
        if (!part || !feed_value(f, part.get())) return PyErr_Clear(), false;
    *out = f.h;
    return true;
}

bool function_fingerprint(PyObject* fn, uint64_t* out) {
    if (!fn || !PyFunction_Check(fn)) return false;
    auto* func = reinterpret_cast<PyFunctionObject*>(fn);
    uint64_t code;
    if (!PyCode_Check(func->func_code) || !fingerprint(func->func_code, &code)) return false;
    Fnv f;
    f.tag('K');
    f.u64(code);
    PyObject* defaults = func->func_defaults;
    if (!defaults) {
        f.tag('N');
    } else {
        if (!PyTuple_CheckExact(defaults)) return false;
        f.tag('(');
        f.u32(uint32_t(PyTuple_GET_SIZE(defaults)));
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(defaults); ++i) feed_default(f, PyTuple_GET_ITEM(defaults, i));
    }
    PyObject* kwdefaults = func->func_kwdefaults;
    if (!kwdefaults) {
        f.tag('N');
    } else {
        if (!PyDict_CheckExact(kwdefaults) || !priv::dict_has_str_keys(kwdefaults)) return false;
        f.tag('{');
        f.u32(uint32_t(PyDict_GET_SIZE(kwdefaults)));
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwdefaults, &pos, &key, &value)) {
            if (!feed_value(f, key)) return PyErr_Clear(), false;
            feed_default(f, value);
        }
    }
    *out = f.h;
    return true;
}

bool shipped_function(PyObject* fn) {
    if (!fn || !PyFunction_Check(fn)) return false;
    auto* func = reinterpret_cast<PyFunctionObject*>(fn);
    PyObject* globals = func->func_globals;
    if (!PyDict_CheckExact(globals) || !priv::dict_has_str_keys(globals)) return false;
    static PyObject* name_key = nullptr;  // process lifetime
    if (!name_key && !(name_key = PyUnicode_InternFromString("__name__"))) return PyErr_Clear(), false;
    PyObject* name = PyDict_GetItemWithError(globals, name_key);  // exact str keys: no code runs
    if (!name || !PyUnicode_CheckExact(name) || !PyUnicode_CheckExact(func->func_qualname)) return PyErr_Clear(), false;
    Py_ssize_t module_size = 0, qualname_size = 0;
    const char* module = PyUnicode_AsUTF8AndSize(name, &module_size);
    const char* qualname = PyUnicode_AsUTF8AndSize(func->func_qualname, &qualname_size);
    uint64_t fp;
    if (!module || !qualname) return PyErr_Clear(), false;
    if (strlen(module) != size_t(module_size) || strlen(qualname) != size_t(qualname_size)) return false;
    if (!function_fingerprint(fn, &fp)) return false;
    const ShippedRow wanted{module, qualname, fp};
    const ShippedRow* at = std::lower_bound(std::begin(kShipped), std::end(kShipped), wanted, row_before);
    return at != std::end(kShipped) && !row_before(wanted, *at) && std::string_view(at->module) == module &&
           std::string_view(at->qualname) == qualname;
}

}  // namespace log_main

#ifdef LOG_MAIN_TEST_HOOK
// For the tests: 1 when the function is one the running interpreter ships (shipped_function), else
// 0. Reached through ctypes, not the module.
LOG_MAIN_TEST_HOOK int log_main_shipped_function(PyObject* f) {
    return log_main::shipped_function(f) ? 1 : 0;
}

// For the tests: function_fingerprint(), or 0 when the function has none.
LOG_MAIN_TEST_HOOK uint64_t log_main_function_fingerprint(PyObject* f) {
    uint64_t fp = 0;
    return log_main::function_fingerprint(f, &fp) ? fp : 0;
}
#endif  // LOG_MAIN_TEST_HOOK
