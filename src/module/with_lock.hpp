// `with _LOCK:` as a Python with statement runs it: the module global looked
// up at each use, __exit__ looked up before __enter__, both on the type.
//
// The lock the module made at load gets two more things, because a thread can
// hold it where no Python code of its own will ever release it:
//  * while the interpreter is finalising (daemon threads stopped, perhaps one
//    of them inside a set-up), a lock of that type is taken with a bounded
//    wait, and RuntimeError says why when the wait runs out;
//  * fork() hooks take it before forking (bounded as well) and re-initialise
//    it in the child, so no child starts with a lock held by a thread it does
//    not have. A fork on the thread that holds it inside the module's own with
//    block takes nothing; in the child that block then has nothing to release.
//
// The same holds for logging's locks, which the module's calls into logging
// wait on: its module lock (getLogger, addHandler, removeHandler, a handler's
// construction and close()) and a handler's own lock (its close()). While
// finalising, those calls run inside an ExitHold, which takes the lock first
// with the same bounded wait, holds it across the call (both are reentrant)
// and releases it after.
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

// Keeps `lock`, the `_LOCK` the module has just made, and registers the fork
// hooks (once per process).
int module_lock_init(PyObject* lock);

// While finalising: takes `lock` with a bounded wait when it is a lock of the
// type the module made. 1 taken, 0 not such a lock (the caller enters it as
// usual), -1 with RuntimeError when the wait ran out, or another error.
int acquire_while_finalizing(PyObject* lock);

// Holds locks of logging's across a call, while finalising only: outside
// finalisation it reads and takes nothing. A lock is taken only when it is a
// threading lock (an RLock or a Lock), once however often it is asked for;
// anything else is left to the call. On destruction it releases what it took,
// keeping any exception being raised.
class ExitHold {
public:
    ExitHold() = default;
    ExitHold(const ExitHold&) = delete;
    ExitHold& operator=(const ExitHold&) = delete;
    ~ExitHold();
    // logging._lock. 0 taken or nothing to take; -1 with RuntimeError when the
    // wait ran out, or another error.
    int logging_lock() { return Py_IsFinalizing() ? take_logging_lock() : 0; }
    // handler.lock, the same way.
    int handler_lock(PyObject* handler) { return Py_IsFinalizing() ? take_handler_lock(handler) : 0; }

private:
    int take_logging_lock();
    int take_handler_lock(PyObject* handler);
    int take(Ref lock, PyObject* handler);
    Ref taken_;  // a list of the locks taken, made with the first
};

// Bookkeeping of one with block on the module's own lock, made once the lock is
// entered: which thread holds it, for the fork hooks.
class ModuleHold {
public:
    explicit ModuleHold(PyObject* lock) noexcept;
    ModuleHold(const ModuleHold&) = delete;
    ModuleHold& operator=(const ModuleHold&) = delete;
    // False in a forked child whose copy of the lock was re-initialised while
    // this block held it: the block holds nothing any more.
    bool leave() noexcept;

private:
    bool own_;
    uint64_t fork_epoch_;
};

// Runs body() inside `with _LOCK:`.
template <class Body>
PyObject* with_module_lock(Body&& body) {
    Ref lock = global(S._LOCK);
    if (!lock) return nullptr;
    Ref exit = lookup_special(lock.get(), S.__exit__);
    if (!exit) return nullptr;
    int taken = Py_IsFinalizing() ? acquire_while_finalizing(lock.get()) : 0;
    if (taken < 0) return nullptr;
    if (!taken) {
        Ref enter = lookup_special(lock.get(), S.__enter__);
        if (!enter) return nullptr;
        if (!Ref::steal(PyObject_CallNoArgs(enter.get()))) return nullptr;
    }
    ModuleHold hold(lock.get());
    PyObject* result;
    {
        // Inside the module lock, as the body's calls into logging take it.
        ExitHold logging;
        result = logging.logging_lock() < 0 ? nullptr : body();
    }
    if (!hold.leave()) return result;
    return with_exit(exit.get(), result);
}

}  // namespace log_main
