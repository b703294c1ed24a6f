// The interpreter internals this module relies on, behind plain functions.
//
// The module is built against the headers of one CPython (3.13, 3.14 or 3.15)
// and loaded by any patch release of that minor version. Only private_api.cpp
// includes internal headers, one section per interpreter version; the rest of
// the module sees these declarations and nothing else of the interpreter's
// private side. A layout that can move between patch releases is checked
// against the running interpreter by init(); when the check fails, the
// function answers what is safe ("cannot tell").
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// Method lookup without a bound-method object (what PyObject_VectorcallMethod
// does internally): 1 and the plain function when the attribute is a method
// descriptor found on the type, 0 and the attribute value otherwise, 0 and
// null on error. Exported by the interpreter, declared by no public header.
extern "C" PyAPI_FUNC(int) _PyObject_GetMethod(PyObject* obj, PyObject* name, PyObject** method);

namespace log_main::priv {

// Checks the internals read below against the running interpreter and sets up
// what they need (a dict watcher on 3.14+). Called once, when the module is
// executed; never fails: what cannot be checked is answered conservatively.
void init();

// The attribute values of an instance that keeps them inline, in the shared
// key layout of its class: the values array (a null slot is an attribute the
// instance does not have) and, in *keys, the layout it is indexed by. Null when
// the instance keeps its attributes any other way (a dictionary of its own, a
// replaced __dict__, keys that are not exact str, no layout at all).
PyObject* const* inline_values(PyObject* obj, const void** keys);

// The class's shared key layout (null when it has none). Layouts only grow:
// an index found in one stays valid for as long as the layout lives, which is
// as long as the class holds it.
const void* shared_keys(PyTypeObject* type);
Py_ssize_t shared_keys_size(const void* keys);
// Index of `name` (an exact str) in the layout, or -1.
Py_ssize_t shared_keys_index(const void* keys, PyObject* name);

// Whether any audit hook (C or Python level) is installed: with one, calls such
// as sys._getframe are observable. True also when the runtime's list of C-level
// hooks cannot be located in the running interpreter.
bool audit_hooks_installed(PyThreadState* ts);

}  // namespace log_main::priv

namespace log_main::priv {

// A dict's version: it changes with every change of the dict, and no two
// dicts share one, so (dict, version) names one unchanged state of one dict.
uint64_t dict_version(PyObject* dict);

}  // namespace log_main::priv

// ---------------------------------------------------------------------------
// What watches the interpreter run: sys.monitoring tools, and the parts of
// objects a watcher-free run reads without calling them.

namespace log_main::priv {

// Whether any sys.monitoring tool has events set for every code object (its
// global events), in the interpreter of ts.
bool monitoring_global_events(PyThreadState* ts);

// Whether any sys.monitoring tool has events set on one of these code objects
// alone (their local events), in the interpreter of ts. A code object no tool
// ever instrumented has none.
bool monitoring_local_events(PyThreadState* ts, PyCodeObject* const* codes, int n);

// Where a property object keeps the getter it calls (null: none). The getter
// can be replaced in place (property.__init__ called again), so it is read
// where it is relied on rather than remembered.
PyObject* const* property_getter_slot(PyObject* prop);

// Whether every key of the dict is an exact str (the layout of such a dict
// says so): looking an exact str up in it compares nothing but str, so runs no
// code.
bool dict_has_str_keys(PyObject* dict);

// The object's own __dict__ when it has one already (borrowed), else null;
// never makes one.
PyObject* existing_instance_dict(PyObject* obj);

}  // namespace log_main::priv
