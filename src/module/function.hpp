// The function type behind every callable of the module, and the declarative
// table that describes one callable.
//
// A callable is described once, by a FunctionSpec: its names, documentation,
// parameters (name, kind, default, check, annotation) and a body that receives
// the arguments already bound, in parameter order. make_function() turns the
// table into a function object that binds to instances like a Python function,
// introspects like one (__defaults__, __kwdefaults__, __annotations__, __code__,
// inspect.signature) and is called through vectorcall.
#pragma once

#include <span>

#include "module/ref.hpp"

namespace log_main {

struct Function;

enum class Kind : unsigned char {
    PositionalOrKeyword,
    VarPositional,  // *message
    KeywordOnly,
    VarKeyword,  // **kwargs
};

// Exact-type checks applied after binding.
enum class Check : unsigned char { None, Str, StrOrNone, Int, Tuple, TupleOrNone, DictOrNone };

// Defaults, resolved to objects when the function object is made.
enum class Default : unsigned char { Required, None, True, False, FileKind, LoggingDebug };

// One parameter: {name, kind, default, check, annotation}.
struct Param {
    const char* name;
    Kind kind;
    Default fallback;
    Check check;
    const char* annotation;  // nullptr: no annotation
};

constexpr int kMaxParams = 8;

// The `self` of a method: required, unchecked, not annotated. Parameter
// tables of methods start with it; a method of no other parameter uses
// kSelfOnly.
inline constexpr Param kSelf = {"self", Kind::PositionalOrKeyword, Default::Required, Check::None, nullptr};
inline constexpr Param kSelfOnly[] = {kSelf};

// Arguments after binding, in parameter order. Slots are borrowed references,
// except the *message tuple and the **kwargs dict, which `owned` keeps alive.
struct Bound {
    PyObject* v[kMaxParams] = {};
    Ref owned[2];
};

using Body = PyObject* (*)(Function* self, PyObject* const* bound);

// One callable, written with designated initializers in this order:
//
//   const FunctionSpec close_spec = {
//       .name = "close",
//       .qualname = "_LogBase.close",
//       .traceback_name = "log_main._LogBase.close",
//       .doc = "_LogBase.close(self) -> None",
//       .return_annotation = "None",
//       .params = kSelfOnly,
//       .body = close_body,
//       .line = 210,
//   };
//
// `line` is the line number the callable's traceback entry shows
// (File "log_main.py", line <line>, in <traceback_name>); __code__ gives it as
// its first line too. No such file exists: the numbers only keep the
// callables in the order the module body defines them.
struct FunctionSpec {
    const char* name;                         // __name__
    const char* qualname;                     // __qualname__
    const char* traceback_name;               // name of the traceback entry
    const char* doc = nullptr;                // __doc__; nullptr for None
    const char* return_annotation = nullptr;  // __annotations__["return"]; nullptr for none
    std::span<const Param> params;            // at most kMaxParams
    Body body;
    int line;
    vectorcallfunc entry = nullptr;  // own entry point keeping the table's semantics
};

inline int nparams(const FunctionSpec* spec) { return static_cast<int>(spec->params.size()); }

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec* spec;
    // Layout derived from the table.
    Py_ssize_t npos;                      // positional-or-keyword parameters
    Py_ssize_t nrequired;                 // required ones among them
    int varargs_index;                    // index in params of *message, or -1
    int varkw_index;                      // index of **kwargs, or -1
    PyObject* param_names[kMaxParams];    // interned
    PyObject* bind_defaults[kMaxParams];  // default per parameter (owned), null if required
    // Python-visible attributes.
    PyObject* name;
    PyObject* qualname;
    PyObject* doc;
    PyObject* module;
    PyObject* defaults;
    PyObject* kwdefaults;
    PyObject* annotations;
    PyObject* code;
    PyObject* globals;
    PyObject* dict;
    PyObject* class_cell;  // class for argument-less super(), or null
    PyObject* tb_code;     // code object of the traceback entry, made on first use
    PyObject* weakreflist;
};

extern PyTypeObject* FunctionType;

int function_type_ready();

inline bool is_function_of(PyObject* obj, const FunctionSpec* spec) {
    return Py_IS_TYPE(obj, FunctionType) && reinterpret_cast<Function*>(obj)->spec == spec;
}

// Makes the function object for a table. `with_code` false gives __code__ None.
Ref make_function(const FunctionSpec* spec, bool with_code = true);

// Adds the callable's traceback entry to the exception being raised.
void add_traceback(Function* f);
void add_traceback_named(const char* name, int line, PyObject** code_cache);

// Binds a vectorcall to the table; 0 on success. On failure a TypeError is set
// and the result says whether it came from binding (-1, gets a traceback entry)
// or from a type check (-2, gets none).
int bind(Function* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Bound& out);
int check_types(Function* f, PyObject* const* bound);

// The generic vectorcall entry: bind, check, run the body.
PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames);

// super(<class of f>, self)
Ref super_of(Function* f, PyObject* self);

}  // namespace log_main
