// `with _LOCK:` as a Python with statement runs it: the module global looked
// up at each use, __exit__ looked up before __enter__, both on the type.
#pragma once

#include "module/globals.hpp"

namespace log_main {

// Binds the special method `name` of obj's type to obj; AttributeError with the
// bare name when the type lacks it.
Ref lookup_special(PyObject* obj, PyObject* name);

// Leaves the with block. `result` is the block's result (a new reference), or
// null when the block raised. Returns what the enclosing function returns:
// the result, None when __exit__ suppressed the exception, or null.
PyObject* with_exit(PyObject* exit, PyObject* result);

// Runs body() inside `with _LOCK:`.
template <class Body>
PyObject* with_module_lock(Body&& body) {
    Ref lock = global(S._LOCK);
    if (!lock) return nullptr;
    Ref exit = lookup_special(lock.get(), S.__exit__);
    if (!exit) return nullptr;
    Ref enter = lookup_special(lock.get(), S.__enter__);
    if (!enter) return nullptr;
    if (!Ref::steal(PyObject_CallNoArgs(enter.get()))) return nullptr;
    return with_exit(exit.get(), body());
}

}  // namespace log_main
