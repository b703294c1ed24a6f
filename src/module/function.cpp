// The function type: metadata, descriptor binding, vectorcall entry, and the
// construction of a function object from its table.
#include "module/function.hpp"

#include <cstddef>

#include "module/globals.hpp"

namespace log_main {

// ---------------------------------------------------------------------------
// Construction from the table

static PyObject* resolve_default(Default d) {
    switch (d) {
        case Default::Required: return nullptr;
        case Default::None: return Py_NewRef(Py_None);
        case Default::True: return Py_NewRef(Py_True);
        case Default::False: return Py_NewRef(Py_False);
        case Default::FileKind: return Py_NewRef(S.file_kind);
        case Default::LoggingDebug: {
            // Read once, when the class body runs; later changes do not matter.
            Ref value = global_attr(S.logging, S.DEBUG);
            if (!value) return nullptr;
            if (expect_type(value.get(), &PyLong_Type, "int") < 0) return nullptr;
            return value.release();
        }
    }
    return nullptr;
}

// The order of keys in __annotations__: positional-or-keyword parameters,
// keyword-only ones, *message, then "return".
static Ref build_annotations(const FunctionSpec* spec) {
    Ref ann = Ref::steal(PyDict_New());
    if (!ann) return Ref();
    static constexpr Kind order[] = {Kind::PositionalOrKeyword, Kind::KeywordOnly, Kind::VarPositional};
    for (Kind kind : order) {
        for (int i = 0; i < nparams(spec); ++i) {
            const Param& p = spec->params[i];
            if (p.kind != kind || !p.annotation) continue;
            Ref text = Ref::steal(PyUnicode_FromString(p.annotation));
            if (!text || PyDict_SetItemString(ann.get(), p.name, text.get()) < 0) return Ref();
        }
    }
    if (spec->return_annotation) {
        Ref text = Ref::steal(PyUnicode_FromString(spec->return_annotation));
        if (!text || PyDict_SetItemString(ann.get(), "return", text.get()) < 0) return Ref();
    }
    return ann;
}

// A code object whose argument counts, names and flags describe the parameters,
// so that inspect reads the signature as it does for any Python function.
// It carries no bytecode of ours and is never executed.
static Ref build_code(Function* f) {
    const FunctionSpec* spec = f->spec;
    Ref varnames = Ref::steal(PyTuple_New(nparams(spec)));
    if (!varnames) return Ref();
    Py_ssize_t slot = 0;
    int nkwonly = 0;
    int flags = CO_OPTIMIZED | CO_NEWLOCALS;
    static constexpr Kind order[] = {Kind::PositionalOrKeyword, Kind::KeywordOnly, Kind::VarPositional,
                                     Kind::VarKeyword};
    for (Kind kind : order) {
        for (int i = 0; i < nparams(spec); ++i) {
            if (spec->params[i].kind != kind) continue;
            PyTuple_SET_ITEM(varnames.get(), slot++, Py_NewRef(f->param_names[i]));
            if (kind == Kind::KeywordOnly) ++nkwonly;
            if (kind == Kind::VarPositional) flags |= CO_VARARGS;
            if (kind == Kind::VarKeyword) flags |= CO_VARKEYWORDS;
        }
    }
    Ref filename = Ref::steal(PyUnicode_FromString("log_main.py"));
    Ref empty_bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
    Ref empty = Ref::steal(PyTuple_New(0));
    if (!filename || !empty_bytes || !empty) return Ref();
    return Ref::steal(reinterpret_cast<PyObject*>(PyUnstable_Code_NewWithPosOnlyArgs(
        static_cast<int>(f->npos), 0, nkwonly, nparams(spec), 0, flags, empty_bytes.get(), empty.get(), empty.get(),
        varnames.get(), empty.get(), empty.get(), filename.get(), f->name, f->qualname, spec->line, empty_bytes.get(),
        empty_bytes.get())));
}

// A call of any of these functions counts against the interpreter's recursion
// limit, as a call of a builtin does: a chain of calls that never leaves C
// (the class's _log rebound to a level method, disable rebound to close) ends
// in RecursionError instead of overflowing the C stack.
static PyObject* own_entry(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    PyObject* result = reinterpret_cast<Function*>(callable)->spec->entry(callable, args, nargsf, kwnames);
    Py_LeaveRecursiveCall();
    return result;
}

Ref make_function(const FunctionSpec* spec, bool with_code) {
    if (spec->params.size() > kMaxParams) {
        PyErr_Format(PyExc_SystemError, "%s: more than %d parameters", spec->qualname, kMaxParams);
        return Ref();
    }
    Function* f = PyObject_GC_New(Function, FunctionType);
    if (!f) return Ref();
    f->vectorcall = spec->entry ? own_entry : function_vectorcall;
    f->spec = spec;
    f->npos = 0;
    f->nrequired = 0;
    f->varargs_index = -1;
    f->varkw_index = -1;
    for (int i = 0; i < kMaxParams; ++i) f->param_names[i] = f->bind_defaults[i] = nullptr;
    f->name = f->qualname = f->doc = f->module = f->defaults = f->kwdefaults = nullptr;
    f->annotations = f->code = f->globals = f->dict = f->class_cell = f->tb_code = nullptr;
    f->weakreflist = nullptr;
    Ref owner = Ref::steal(reinterpret_cast<PyObject*>(f));
    PyObject_GC_Track(f);

    if (!(f->name = PyUnicode_InternFromString(spec->name))) return Ref();
    if (!(f->qualname = PyUnicode_FromString(spec->qualname))) return Ref();
    f->doc = spec->doc ? PyUnicode_FromString(spec->doc) : Py_NewRef(Py_None);
    if (!f->doc) return Ref();
    f->module = Py_NewRef(S.log_main_name);
    f->globals = Py_NewRef(M.ns);

    Ref pos_defaults = Ref::steal(PyList_New(0));
    Ref kw_defaults = Ref::steal(PyDict_New());
    if (!pos_defaults || !kw_defaults) return Ref();
    for (int i = 0; i < nparams(spec); ++i) {
        const Param& p = spec->params[i];
        if (!(f->param_names[i] = PyUnicode_InternFromString(p.name))) return Ref();
        switch (p.kind) {
            case Kind::PositionalOrKeyword:
                ++f->npos;
                if (p.fallback == Default::Required) {
                    ++f->nrequired;
                } else {
                    if (!(f->bind_defaults[i] = resolve_default(p.fallback))) return Ref();
                    if (PyList_Append(pos_defaults.get(), f->bind_defaults[i]) < 0) return Ref();
                }
                break;
            case Kind::KeywordOnly:
                if (!(f->bind_defaults[i] = resolve_default(p.fallback))) return Ref();
                if (PyDict_SetItem(kw_defaults.get(), f->param_names[i], f->bind_defaults[i]) < 0) return Ref();
                break;
            case Kind::VarPositional: f->varargs_index = i; break;
            case Kind::VarKeyword: f->varkw_index = i; break;
        }
    }
    f->defaults = PyList_GET_SIZE(pos_defaults.get()) ? PyList_AsTuple(pos_defaults.get()) : Py_NewRef(Py_None);
    if (!f->defaults) return Ref();
    f->kwdefaults = PyDict_GET_SIZE(kw_defaults.get()) ? kw_defaults.release() : Py_NewRef(Py_None);

    Ref ann = build_annotations(spec);
    if (!ann) return Ref();
    f->annotations = ann.release();
    if (with_code) {
        Ref code = build_code(f);
        if (!code) return Ref();
        f->code = code.release();
    } else {
        f->code = Py_NewRef(Py_None);
    }
    return owner;
}

// ---------------------------------------------------------------------------
// Calls

static PyObject* bind_and_run(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    Function* f = reinterpret_cast<Function*>(callable);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs == f->npos && (!kwnames || !PyTuple_GET_SIZE(kwnames)) && f->varargs_index < 0 && f->varkw_index < 0) {
        // Every parameter given by position: the arguments are already bound.
        if (check_types(f, args) < 0) return nullptr;
        PyObject* result = f->spec->body(f, args);
        if (!result) add_traceback(f);
        return result;
    }
    Bound bound;
    int rc = bind(f, args, nargs, kwnames, bound);
    if (rc == 0) rc = check_types(f, bound.v);
    if (rc < 0) {
        if (rc == -1) add_traceback(f);
        return nullptr;
    }
    PyObject* result = f->spec->body(f, bound.v);
    if (!result) add_traceback(f);
    return result;
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    PyObject* result = bind_and_run(callable, args, nargsf, kwnames);
    Py_LeaveRecursiveCall();
    return result;
}

Ref super_of(Function* f, PyObject* self) {
    if (!f->class_cell) {
        PyErr_SetString(PyExc_SystemError, "super(): empty __class__ cell");
        return Ref();
    }
    PyObject* args[] = {f->class_cell, self};
    return Ref::steal(PyObject_Vectorcall(M.b_super, args, 2, nullptr));
}

// ---------------------------------------------------------------------------
// The type

static int function_traverse(PyObject* op, visitproc visit, void* arg) {
    Function* f = reinterpret_cast<Function*>(op);
    Py_VISIT(Py_TYPE(op));
    for (int i = 0; i < kMaxParams; ++i) Py_VISIT(f->bind_defaults[i]);
    Py_VISIT(f->doc);
    Py_VISIT(f->module);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->code);
    Py_VISIT(f->globals);
    Py_VISIT(f->dict);
    Py_VISIT(f->class_cell);
    return 0;
}

static int function_clear(PyObject* op) {
    Function* f = reinterpret_cast<Function*>(op);
    for (int i = 0; i < kMaxParams; ++i) Py_CLEAR(f->bind_defaults[i]);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->module);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->code);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->class_cell);
    return 0;
}

static void function_dealloc(PyObject* op) {
    Function* f = reinterpret_cast<Function*>(op);
    PyObject_GC_UnTrack(op);
    if (f->weakreflist) PyObject_ClearWeakRefs(op);
    function_clear(op);
    for (int i = 0; i < kMaxParams; ++i) Py_CLEAR(f->param_names[i]);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->tb_code);
    PyTypeObject* type = Py_TYPE(op);
    PyObject_GC_Del(op);
    Py_DECREF(type);
}

static PyObject* function_repr(PyObject* op) {
    return PyUnicode_FromFormat("<function %U at %p>", reinterpret_cast<Function*>(op)->qualname, op);
}

static PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

// Attribute accessors. Setters follow Python functions: str for the names,
// tuple/dict or None for defaults, dict for annotations.
#define FIELD(f) reinterpret_cast<Function*>(self)->f

static int set_field(PyObject** slot, PyObject* value, bool ok, const char* what) {
    if (!ok) {
        PyErr_Format(PyExc_TypeError, "%s", what);
        return -1;
    }
    Py_XSETREF(*slot, Py_NewRef(value));
    return 0;
}

static PyObject* get_name(PyObject* self, void*) { return Py_NewRef(FIELD(name)); }
static int set_name(PyObject* self, PyObject* v, void*) {
    return set_field(&FIELD(name), v, v && PyUnicode_Check(v), "__name__ must be set to a string object");
}
static PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(FIELD(qualname)); }
static int set_qualname(PyObject* self, PyObject* v, void*) {
    return set_field(&FIELD(qualname), v, v && PyUnicode_Check(v), "__qualname__ must be set to a string object");
}
static PyObject* get_doc(PyObject* self, void*) { return Py_NewRef(FIELD(doc)); }
static int set_doc(PyObject* self, PyObject* v, void*) {
    Py_XSETREF(FIELD(doc), Py_NewRef(v ? v : Py_None));
    return 0;
}
static PyObject* get_module(PyObject* self, void*) { return Py_NewRef(FIELD(module)); }
static int set_module(PyObject* self, PyObject* v, void*) {
    Py_XSETREF(FIELD(module), Py_NewRef(v ? v : Py_None));
    return 0;
}
static PyObject* get_defaults(PyObject* self, void*) { return Py_NewRef(FIELD(defaults)); }
static int set_defaults(PyObject* self, PyObject* v, void*) {
    if (!v) v = Py_None;
    return set_field(&FIELD(defaults), v, v == Py_None || PyTuple_Check(v),
                     "__defaults__ must be set to a tuple object");
}
static PyObject* get_kwdefaults(PyObject* self, void*) { return Py_NewRef(FIELD(kwdefaults)); }
static int set_kwdefaults(PyObject* self, PyObject* v, void*) {
    if (!v) v = Py_None;
    return set_field(&FIELD(kwdefaults), v, v == Py_None || PyDict_Check(v),
                     "__kwdefaults__ must be set to a dict object");
}
static PyObject* get_annotations(PyObject* self, void*) { return Py_NewRef(FIELD(annotations)); }
static int set_annotations(PyObject* self, PyObject* v, void*) {
    if (!v || v == Py_None) {
        Ref fresh = Ref::steal(PyDict_New());
        if (!fresh) return -1;
        Py_XSETREF(FIELD(annotations), fresh.release());
        return 0;
    }
    return set_field(&FIELD(annotations), v, PyDict_Check(v), "__annotations__ must be set to a dict object");
}
static PyObject* get_code(PyObject* self, void*) { return Py_NewRef(FIELD(code)); }
static PyObject* get_globals(PyObject* self, void*) { return Py_NewRef(FIELD(globals)); }
static PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }
static PyObject* get_type_params(PyObject*, void*) { return PyTuple_New(0); }
#undef FIELD

static PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__closure__", get_none, nullptr, nullptr, nullptr},
    {"__type_params__", get_type_params, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Functions pickle and copy by reference, as Python functions do: the module
// and qualified name find them again.
static PyObject* function_reduce(PyObject* self, PyObject*) {
    return Py_NewRef(reinterpret_cast<Function*>(self)->qualname);
}

static PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

static PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(Function, vectorcall), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(Function, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(Function, weakreflist), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

static PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_getset, function_getset},
    {Py_tp_methods, function_methods},
    {Py_tp_members, function_members},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {0, nullptr},
};

static PyType_Spec function_spec = {
    "log_main.function",
    sizeof(Function),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

PyTypeObject* FunctionType = nullptr;

int function_type_ready() {
    if (FunctionType) return 0;
    FunctionType = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&function_spec));
    return FunctionType ? 0 : -1;
}

}  // namespace log_main
