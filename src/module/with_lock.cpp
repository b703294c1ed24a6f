// The with statement on the module lock, its bounded form at exit, and the
// fork hooks.
#include "module/with_lock.hpp"

#include <iterator>
#include <utility>

namespace log_main {

Ref lookup_special(PyObject* obj, PyObject* name) {
    PyObject* descr = _PyType_Lookup(Py_TYPE(obj), name);
    if (!descr) {
        PyErr_SetObject(PyExc_AttributeError, name);
        return Ref();
    }
    descrgetfunc get = Py_TYPE(descr)->tp_descr_get;
    if (!get) return Ref::borrow(descr);
    Ref keep = Ref::borrow(descr);
    return Ref::steal(get(descr, obj, reinterpret_cast<PyObject*>(Py_TYPE(obj))));
}

PyObject* with_exit(PyObject* exit, PyObject* result) {
    Ref owned = Ref::steal(result);
    if (owned) {
        PyObject* none3[] = {Py_None, Py_None, Py_None};
        if (!Ref::steal(PyObject_Vectorcall(exit, none3, 3, nullptr))) return nullptr;
        return owned.release();
    }
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    Ref tb = Ref::steal(PyException_GetTraceback(exc.get()));
    PyObject* details[] = {reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get(), tb ? tb.get() : Py_None};
    Ref verdict = Ref::steal(PyObject_Vectorcall(exit, details, 3, nullptr));
    int suppress = verdict ? PyObject_IsTrue(verdict.get()) : -1;
    if (suppress < 0) {
        // An error in __exit__ replaces the block's exception, which becomes its context.
        Ref raised = Ref::steal(PyErr_GetRaisedException());
        PyException_SetContext(raised.get(), exc.release());
        PyErr_SetRaisedException(raised.release());
        return nullptr;
    }
    if (suppress) Py_RETURN_NONE;
    PyErr_SetRaisedException(exc.release());
    return nullptr;
}

// ---------------------------------------------------------------------------
// The module's own lock

// fork() waits at most this long for a set-up or close() of another thread to
// finish. Those take milliseconds; a hold that lasts longer is blocked (a FIFO
// as log file, a hung network file system) and must not stall every fork of
// the process, so the child then starts with the lock re-initialised instead.
constexpr double fork_wait_seconds = 1.0;

// At exit, once the interpreter is finalising, no thread but the finalising one
// runs Python code: a lock held by another thread is never released, so the
// wait only needs to be short.
constexpr double exit_wait_seconds = 0.1;

namespace {

enum class AtFork { untouched, taken, reinit };

struct OwnLock {
    PyObject* lock = nullptr;       // owned: the `_LOCK` made at load
    PyObject* lock_types[2] = {};   // owned: _thread.LockType and _thread.RLock
    unsigned long holder = 0;       // thread inside a module with block on it; 0 for none
    uint64_t holds = 0;             // module with blocks entered so far
    uint64_t stalled = UINT64_MAX;  // `holds` when a bounded wait last ran out
    uint64_t fork_epoch = 0;        // bumped in a child that re-initialised the lock
    AtFork at_fork = AtFork::untouched;
    bool hooks_registered = false;
};

OwnLock own;

}  // namespace

ModuleHold::ModuleHold(PyObject* lock) noexcept : own_(lock == own.lock), fork_epoch_(own.fork_epoch) {
    if (!own_) return;
    own.holder = PyThread_get_thread_ident();
    ++own.holds;
}

bool ModuleHold::leave() noexcept {
    if (!own_) return true;
    if (fork_epoch_ != own.fork_epoch) return false;
    own.holder = 0;
    return true;
}

// lock.acquire(True, seconds): 1 taken, 0 not within the wait, -1 error. On the
// module's own lock, a hold that has already outlasted one wait is not waited
// for again (a holder stuck for good would cost every later fork or finaliser
// the full wait); a new module hold, or a free lock, ends that.
static int acquire_bounded(PyObject* lock, double seconds) {
    bool mine = lock == own.lock;
    if (mine && own.stalled == own.holds) seconds = 0.0;
    Ref timeout = Ref::steal(PyFloat_FromDouble(seconds));
    if (!timeout) return -1;
    Ref taken = call_method(lock, S.acquire, {Py_True, timeout.get()});
    if (!taken) return -1;
    int truth = PyObject_IsTrue(taken.get());
    if (truth == 0 && mine) own.stalled = own.holds;
    return truth;
}

int acquire_while_finalizing(PyObject* lock) {
    if (!own.lock || !Py_IS_TYPE(lock, Py_TYPE(own.lock))) return 0;
    int taken = acquire_bounded(lock, exit_wait_seconds);
    if (taken == 0) {
        PyErr_SetString(PyExc_RuntimeError,
                        "the module lock is held by a thread that can no longer run (the interpreter is "
                        "shutting down), so OsprelLog() and close() cannot go ahead");
        return -1;
    }
    return taken;
}

// ---------------------------------------------------------------------------
// logging's locks at exit

namespace {

// Locks whose bounded wait has run out while finalising. No other thread runs
// Python code any more, so such a lock is held for good and the next wait on it
// can be zero. Compared by identity only: a lock freed since and another made
// at its address is free or held for good all the same.
const PyObject* stalled_at_exit[4] = {};
unsigned stalled_next = 0;

bool stalled(PyObject* lock) {
    for (const PyObject* seen : stalled_at_exit)
        if (seen == lock) return true;
    return false;
}

}  // namespace

ExitHold::~ExitHold() {
    if (!taken_) return;
    SavedError pending;
    for (Py_ssize_t i = PyList_GET_SIZE(taken_.get()); i-- > 0;) {
        PyObject* lock = PyList_GET_ITEM(taken_.get(), i);
        if (!call_method(lock, S.release, {})) PyErr_WriteUnraisable(lock);
    }
}

int ExitHold::take_logging_lock() {
    Ref logging = global(S.logging);
    if (!logging) return -1;
    Ref lock;
    if (PyObject_GetOptionalAttr(logging.get(), S._lock, lock.out()) < 0) return -1;
    return take(std::move(lock), nullptr);
}

int ExitHold::take_handler_lock(PyObject* handler) {
    Ref lock;
    if (PyObject_GetOptionalAttr(handler, S.lock, lock.out()) < 0) return -1;
    return take(std::move(lock), handler);
}

int ExitHold::take(Ref lock, PyObject* handler) {
    if (!lock) return 0;
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(lock.get()));
    if (type != own.lock_types[0] && type != own.lock_types[1]) return 0;
    if (!taken_ && !(taken_ = Ref::steal(PyList_New(0)))) return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(taken_.get()); ++i)
        if (PyList_GET_ITEM(taken_.get(), i) == lock.get()) return 0;
    int taken = acquire_bounded(lock.get(), stalled(lock.get()) ? 0.0 : exit_wait_seconds);
    if (taken < 0) return -1;
    if (taken) {
        if (PyList_Append(taken_.get(), lock.get()) == 0) return 0;
        SavedError pending;
        if (!call_method(lock, S.release, {})) PyErr_WriteUnraisable(lock.get());
        return -1;
    }
    stalled_at_exit[stalled_next++ % std::size(stalled_at_exit)] = lock.get();
    if (handler)
        PyErr_Format(PyExc_RuntimeError,
                     "the lock of a handler (%.200s) is held by a thread that can no longer run (the interpreter "
                     "is shutting down), so OsprelLog() and close() cannot go ahead",
                     Py_TYPE(handler)->tp_name);
    else
        PyErr_SetString(PyExc_RuntimeError,
                        "logging's module lock is held by a thread that can no longer run (the interpreter is "
                        "shutting down), so OsprelLog() and close() cannot go ahead");
    return -1;
}

// ---------------------------------------------------------------------------
// fork()

// Before fork(): take the lock, unless `_LOCK` names something else now (the
// application's own object, left alone) or this thread holds it in the module.
static PyObject* before_fork(PyObject*, PyObject*) {
    own.at_fork = AtFork::untouched;
    if (!own.lock || !M.ns) Py_RETURN_NONE;
    PyObject* named = nullptr;
    if (PyDict_GetItemRef(M.ns, S._LOCK, &named) < 0) return nullptr;
    Ref keep = Ref::steal(named);
    if (named != own.lock) Py_RETURN_NONE;
    own.at_fork = AtFork::reinit;
    if (own.holder == PyThread_get_thread_ident()) Py_RETURN_NONE;
    int taken = acquire_bounded(own.lock, fork_wait_seconds);
    if (taken < 0) return nullptr;
    if (taken) own.at_fork = AtFork::taken;
    Py_RETURN_NONE;
}

static PyObject* after_fork_in_parent(PyObject*, PyObject*) {
    if (std::exchange(own.at_fork, AtFork::untouched) == AtFork::taken && !call_method(own.lock, S.release, {}))
        return nullptr;
    Py_RETURN_NONE;
}

// In the child only the forking thread lives on. The lock starts free (the same
// object, so `_LOCK` keeps naming it); a module with block of this thread that
// was open at the fork finds the epoch moved and releases nothing.
static PyObject* after_fork_in_child(PyObject*, PyObject*) {
    if (std::exchange(own.at_fork, AtFork::untouched) == AtFork::untouched) Py_RETURN_NONE;
    own.holder = 0;
    own.stalled = UINT64_MAX;
    ++own.fork_epoch;
    if (!call_method(own.lock, S._at_fork_reinit, {})) return nullptr;
    Py_RETURN_NONE;
}

static PyMethodDef fork_hooks[] = {
    {"_before_fork", before_fork, METH_NOARGS, nullptr},
    {"_after_fork_in_parent", after_fork_in_parent, METH_NOARGS, nullptr},
    {"_after_fork_in_child", after_fork_in_child, METH_NOARGS, nullptr},
};

int module_lock_init(PyObject* lock) {
    // Only a threading.Lock has the acquire(blocking, timeout) and
    // _at_fork_reinit() used here; a `Lock` replaced before loading may have made
    // something else, which then just gets the with statement.
    Ref lock_module = Ref::steal(PyImport_ImportModule("_thread"));
    Ref lock_type = lock_module ? Ref::steal(PyObject_GetAttrString(lock_module.get(), "LockType")) : Ref();
    if (!lock_type) return -1;
    Ref rlock_type = get_attr(lock_module, S.RLock);
    if (!rlock_type) return -1;
    Py_XSETREF(own.lock, Py_TYPE(lock) == reinterpret_cast<PyTypeObject*>(lock_type.get()) ? Py_NewRef(lock) : nullptr);
    Py_XSETREF(own.lock_types[0], lock_type.release());
    Py_XSETREF(own.lock_types[1], rlock_type.release());
    own.holder = 0;
    own.stalled = UINT64_MAX;
    if (own.hooks_registered) return 0;
    // os.register_at_fork(before=..., after_in_parent=..., after_in_child=...)
    Ref os = global(S.os);
    if (!os) return -1;
    PyObject* found = nullptr;
    int has = PyObject_GetOptionalAttr(os.get(), S.register_at_fork, &found);
    if (has <= 0) return has;  // no fork() here
    Ref register_at_fork = Ref::steal(found);
    Ref hooks[3];
    for (int i = 0; i < 3; ++i)
        if (!(hooks[i] = Ref::steal(PyCFunction_NewEx(&fork_hooks[i], nullptr, S.log_main_name)))) return -1;
    Ref kwnames = Ref::steal(PyTuple_Pack(3, S.before, S.after_in_parent, S.after_in_child));
    if (!kwnames) return -1;
    PyObject* args[] = {hooks[0].get(), hooks[1].get(), hooks[2].get()};
    if (!Ref::steal(PyObject_Vectorcall(register_at_fork.get(), args, 0, kwnames.get()))) return -1;
    own.hooks_registered = true;
    return 0;
}

}  // namespace log_main
