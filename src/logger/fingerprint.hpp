// Fingerprints of code objects and of Python functions, and the table of the
// functions of the standard library as each supported interpreter ships them.
//
// A fingerprint is FNV-1a (64 bits) over what decides what the code does: its
// argument counts and flags, bytecode (as co_code shows it, without the
// interpreter's specialisations or instrumentation), exception table, names,
// local, cell and free variable names and constants (nested code by its own
// fingerprint). Line numbers and file names are left out. colored.cpp names
// colorlog's functions by it; the tables of the dropped call, the written
// record and the traceback (stock.hpp) accept a Python function only when
// shipped_function() finds it. scripts/shipped-code computes the same in Python
// and writes the table (shipped_code.inc).
#pragma once

#include <cstdint>

#include "module/ref.hpp"

namespace log_main {

// The fingerprint of a code object; false (no exception set) when one of its
// constants is of a type the fingerprint does not describe.
bool fingerprint(PyObject* code, uint64_t* out);

// The fingerprint of a Python function: its code's, then its defaults and
// keyword defaults (a value that is no constant counts as "an object").
bool function_fingerprint(PyObject* f, uint64_t* out);

// Whether `f` is a Python function as the running interpreter ships it: its
// function_fingerprint() is a row of shipped_code.inc for this minor version,
// under its module (the `__name__` of its globals) and its qualname. Runs no
// code of anyone's when its globals are a dict of exact str keys.
bool shipped_function(PyObject* f);

}  // namespace log_main
