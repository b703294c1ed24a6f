// The binder: one implementation of the binding rules and their TypeError
// texts for every callable, and the exact-type checks that follow binding.
#include <algorithm>

#include "module/function.hpp"
#include "module/globals.hpp"
#include "module/small_stack.hpp"

namespace log_main {

// The TypeError texts. Errors are the cold path: their builders stay out of
// line so that the binder and the checks stay small.

static Py_NO_INLINE int raise_count_error(const char* fname, const char* word, Py_ssize_t expected, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", fname, word, expected,
                 expected == 1 ? "" : "s", given);
    return -1;
}

static const char* fname(Function* f) { return f->spec->name; }

// Too few or too many positional arguments, no keywords involved.
static Py_NO_INLINE int count_error(Function* f, Py_ssize_t nargs) {
    const bool exact = f->varargs_index < 0 && f->nrequired == f->npos;
    const bool too_few = nargs < f->nrequired;
    const char* word = exact ? "exactly" : too_few ? "at least" : "at most";
    return raise_count_error(fname(f), word, too_few || exact ? f->nrequired : f->npos, nargs);
}

// "f() got <what> keyword argument 'key'"; without a key, "f() keywords must be strings".
static Py_NO_INLINE int keyword_error(Function* f, PyObject* key, const char* what = nullptr) {
    if (key)
        PyErr_Format(PyExc_TypeError, "%s() got %s keyword argument '%U'", fname(f), what, key);
    else
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", fname(f));
    return -1;
}

static bool same_name(PyObject* key, PyObject* name) {
    if (key == name) return true;
    return PyUnicode_Check(key) && PyUnicode_Compare(key, name) == 0;
}

// Index of the keyword named `name` in kwnames, or -1.
static Py_ssize_t find_keyword(PyObject* kwnames, Py_ssize_t nkw, const bool* used, PyObject* name) {
    for (Py_ssize_t k = 0; k < nkw; ++k)
        if (!used[k] && PyTuple_GET_ITEM(kwnames, k) == name) return k;
    for (Py_ssize_t k = 0; k < nkw; ++k)
        if (!used[k] && same_name(PyTuple_GET_ITEM(kwnames, k), name)) return k;
    return -1;
}

static int bind_varargs(Function* f, PyObject* const* args, Py_ssize_t nargs, Bound& out) {
    Py_ssize_t first = nargs < f->npos ? nargs : f->npos;
    Ref message = Ref::steal(nargs > first ? tuple_from_array(args + first, nargs - first) : PyTuple_New(0));
    if (!message) return -1;
    out.v[f->varargs_index] = message.get();
    out.owned[0] = std::move(message);
    return 0;
}

int bind(Function* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Bound& out) {
    const FunctionSpec* spec = f->spec;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    const bool varargs = f->varargs_index >= 0;

    if (nkw == 0) {
        if (nargs < f->nrequired || (!varargs && nargs > f->npos)) return count_error(f, nargs);
        Py_ssize_t npos_bound = nargs < f->npos ? nargs : f->npos;
        for (Py_ssize_t i = 0; i < npos_bound; ++i) out.v[i] = args[i];
        for (int i = static_cast<int>(npos_bound); i < nparams(spec); ++i) out.v[i] = f->bind_defaults[i];
        if (varargs && bind_varargs(f, args, nargs, out) < 0) return -1;
        if (f->varkw_index >= 0) {
            if (!(out.v[f->varkw_index] = PyDict_New())) return -1;
            out.owned[1] = Ref::steal(out.v[f->varkw_index]);
        }
        return 0;
    }

    if (!varargs && nargs > f->npos) return count_error(f, nargs);
    const Py_ssize_t npos_bound = nargs < f->npos ? nargs : f->npos;
    for (Py_ssize_t i = 0; i < npos_bound; ++i) out.v[i] = args[i];
    if (varargs && bind_varargs(f, args, nargs, out) < 0) return -1;

    // Which keywords a parameter has consumed; on the stack for ordinary calls.
    SmallStack<bool, 32> flags;
    if (!flags.reserve(static_cast<size_t>(nkw))) return -1;
    bool* used = flags.data();
    std::fill_n(used, nkw, false);
    PyObject* const* kwvalues = args + nargs;

    // Remaining named parameters, in order, each looking for its keyword.
    for (int i = static_cast<int>(npos_bound); i < nparams(spec); ++i) {
        const Kind kind = spec->params[i].kind;
        if (kind != Kind::PositionalOrKeyword && kind != Kind::KeywordOnly) continue;
        Py_ssize_t k = find_keyword(kwnames, nkw, used, f->param_names[i]);
        if (k >= 0) {
            used[k] = true;
            out.v[i] = kwvalues[k];
        } else if (f->bind_defaults[i]) {
            out.v[i] = f->bind_defaults[i];
        } else {
            const bool exact = !varargs && f->nrequired == f->npos;
            return raise_count_error(fname(f), exact ? "exactly" : "at least", f->nrequired, i);
        }
    }

    // Keywords left over, in the order passed.
    PyObject* collected = nullptr;
    if (f->varkw_index >= 0) {
        if (!(collected = PyDict_New())) return -1;
        out.owned[1] = Ref::steal(collected);
        out.v[f->varkw_index] = collected;
    }
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        if (used[k]) continue;
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) return keyword_error(f, nullptr);
        for (Py_ssize_t i = 0; i < npos_bound; ++i)
            if (same_name(key, f->param_names[i])) return keyword_error(f, key, "multiple values for");
        if (!collected) return keyword_error(f, key, "an unexpected");
        if (PyDict_SetItem(collected, key, kwvalues[k]) < 0) return -1;
    }
    return 0;
}

static bool passes(Check check, PyObject* v) {
    switch (check) {
        case Check::None: return true;
        case Check::Str: return PyUnicode_CheckExact(v);
        case Check::StrOrNone: return v == Py_None || PyUnicode_CheckExact(v);
        case Check::Int: return PyLong_CheckExact(v);
        case Check::Tuple: return PyTuple_CheckExact(v);
        case Check::TupleOrNone: return v == Py_None || PyTuple_CheckExact(v);
        case Check::DictOrNone: return v == Py_None || PyDict_CheckExact(v);
    }
    return true;
}

static const char* expected_name(Check check) {
    switch (check) {
        case Check::Str:
        case Check::StrOrNone: return "str";
        case Check::Int: return "int";
        case Check::Tuple:
        case Check::TupleOrNone: return "tuple";
        case Check::DictOrNone: return "dict";
        case Check::None: break;
    }
    return "object";
}

static Py_NO_INLINE int type_check_error(const Param& p, PyObject* value) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", p.name,
                 expected_name(p.check), Py_TYPE(value)->tp_name);
    return -2;
}

int check_types(Function* f, PyObject* const* bound) {
    const FunctionSpec* spec = f->spec;
    for (int i = 0; i < nparams(spec); ++i)
        if (!passes(spec->params[i].check, bound[i])) return type_check_error(spec->params[i], bound[i]);
    return 0;
}

}  // namespace log_main
