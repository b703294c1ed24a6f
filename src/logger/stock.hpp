// The table machinery of the dropped-call proof (dropped.cpp) that the proof
// of a written record (written.cpp) reuses: pinning what a row names, the test
// of a plain class, and the reading of a logger the proof accepts (D3).
#pragma once

#include "module/ref.hpp"

namespace log_main {

// Code objects gathered while pinning functions, whose local monitoring events are checked.
constexpr int kMaxCodes = 32;

// What a row was first seen as (strong references, for the life of the
// process), and for functions the code and defaults they had then.
struct Pin {
    PyObject* value = nullptr;
    PyObject* code = nullptr;
    PyObject* defaults = nullptr;
    PyObject* kwdefaults = nullptr;
};

namespace rows {

// A class whose instances run no code where they are made, tested or read (dropped.cpp's plain_class).
bool plain_class(PyTypeObject* tp);
// dict[name] in a dict of exact str keys (borrowed; null when absent). Runs no code.
PyObject* item(PyObject* dict, const char* name);
// The class attribute along the MRO (borrowed; null when absent). Runs no code on a plain class.
PyObject* lookup(PyObject* cls, const char* name);
// A module namespace the proof reads from: watched, and of exact str keys.
bool readable_dict(PyObject* dict);
// The object as first seen (pinned); later the same object.
bool pinned(PyObject* value, Pin& pin);
// A Python function as first seen, by its qualname (`qualname`, else `name`
// or ending in ".name") and the file of its module; later the same function
// with the same code and defaults. Its code is added to codes[0..*ncodes).
bool pin_function(PyObject* f, const char* name, const char* qualname, Pin& pin, PyCodeObject** codes, int* ncodes);
// Changes of a function's code or defaults seen so far (the function watcher).
uint64_t function_changes();

// The values of a logger the proof accepts (D3: logging's classes, values
// inline, no method shadowed), borrowed; false for any other logger.
struct LoggerView {
    PyObject* name;
    PyObject* handlers;
    PyObject* propagate;
    PyObject* parent;
};
bool view_logger(PyObject* logger, LoggerView& out);
// A handler's `level` when Python reads it as a plain instance value, else null.
PyObject* handler_level(PyObject* handler);
// a < b for exact ints.
bool int_below(PyObject* a, PyObject* b);

}  // namespace rows
}  // namespace log_main
