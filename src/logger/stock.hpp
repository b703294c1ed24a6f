// The table machinery of the dropped-call proof (dropped.cpp) that the proof
// of a written record (written.cpp) reuses: the rows of a table of checked
// names, pinning what a row names, the test of a plain class, and the reading
// of a logger the proof accepts (D3).
#pragma once

#include <cstdint>

#include "module/ref.hpp"

namespace log_main {

// What a row requires of the name it reads on its owner (a module's namespace,
// or a class and its instances). The written record's table uses the kinds
// up to InstanceDict; the others are the dropped call's alone.
enum class Must : uint8_t {
    Module,        // a plain module, the one first seen; `arg` names it as an owner
    Builtin,       // a C function or a built-in type, the one first seen
    Class,         // a plain class, the one first seen; `arg` names it as an owner
    Method,        // on a class: a Python function as shipped, pinned with its code, defaults and keyword defaults
    Own,           // on a class: not defined by it, so the instance's own value
    Plain,         // on a class: the instance's own value, else a class value that is no descriptor
    InstanceDict,  // on a class: the standard __dict__ descriptor
    Function,      // a Python function in a namespace, as shipped and pinned as for Method
    Same,          // the class the owner `arg` names
    Property,      // on a class: a property whose getter is a Python function
    Flag,          // an exact bool or int; `arg` names the flag
    Text,          // an exact str or None
    Number,        // an exact int or float
    IntKeys,       // a dict of exact int keys
    StrKeys,       // a dict of exact str keys
    Modules,       // sys.modules: a dict of exact str keys; resolves the optional modules
    Process,       // the current process object (D11)
    // The traceback table's (traceback_stock.cpp):
    Member,        // on a class: a member descriptor of its __slots__, the one first seen
    Value,         // the object first seen (a constant, a sentinel, a C method of a built-in base)
    Cached,        // a functools cache over a Python function, pinned as for Function
    PerRecord,     // a value the traceback conditions check on each record (T3, T7 to T9)
};

// A row of a table: `Owner` is the table's own enum of the modules and classes
// it reads names on.
template <class Owner>
struct TableRow {
    Owner owner;
    const char* name;
    Must must;
    uint8_t arg = 0;                 // an Owner, or a flag of the dropped call's, by `must`
    const char* qualname = nullptr;  // functions: the qualname as shipped, when not `name` itself
};

// How a table spells its rows (where `Row` is TableRow<Owner> of the file's
// Owner); each file undefines both after its table.
#define ROW(owner, name, must, ...) Row{Owner::owner, name, Must::must, ##__VA_ARGS__}
#define AS(owner) static_cast<uint8_t>(Owner::owner)

// Code objects gathered while pinning functions, whose local monitoring events are checked.
constexpr int kMaxCodes = 32;

// What a row was first seen as (strong references, for the life of the
// process), and for functions the code and defaults they had then (a function
// is pinned only once it is found as shipped).
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
// A Python function as shipped: by its qualname (`qualname`, else `name` or
// ending in ".name"), globals that are the namespace of the module they name,
// and the fingerprint of its code
// and defaults, which must be one the interpreter ships under its module and
// qualname (shipped_function() of fingerprint.hpp; computed here, once); later
// the same function with the same code and defaults. Its code is added to
// codes[0..*ncodes).
bool pin_function(PyObject* f, const char* name, const char* qualname, Pin& pin, PyCodeObject** codes, int* ncodes);
// Changes of a function's code or defaults seen so far (the function watcher).
uint64_t function_changes();
// Starts the function watcher if nothing has yet (false when it cannot be).
bool watch_functions();

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
