// Emission: the five level methods, _log, and the call of Logger.log.
//
// Hot path, obj.debug("msg", 42): the level method is entered by vectorcall
// with self and the parts (no bound method, no message tuple); it reads
// logging.DEBUG, finds self._log through the instance and, when that is this
// module's own _log, runs its body on the parts in place. Anything else found
// there (a subclass override) is called with the message tuple as usual. The
// body reads self._logger and, unless the record is provably dropped
// (dropped.cpp), looks up its `log` and calls it. The message text is joined
// in message.cpp; the attribute reads are those of module/fast_attr.hpp.
//
// Caches, what invalidates each, and the benchmark row that pays for it:
//  - level_cache<LEVEL> (globals.hpp): logging.<LEVEL>; the dict watcher on
//    this module's namespace and the logging module's dict. Every row.
//  - logger_lookup / log_lookup: the class-level part of self._logger and
//    self._log per (class, version tag). Every row.
//  - option_names: the keyword-name tuple of the last options dict, reused
//    while the names are the same objects. Rows with kwargs=.
//  - the caches of the dropped-record proof: listed in dropped.cpp. Row
//    "dropped DEBUG".
//  - the cache of the written-record proof: listed in written.cpp. Row
//    "written", file only.
#include <cstring>

#include "logger/dropped.hpp"
#include "logger/message.hpp"
#include "logger/written.hpp"
#include "module/callables.hpp"
#include "module/fast_attr.hpp"
#include "module/globals.hpp"
#include "module/small_stack.hpp"
#include "module/with_lock.hpp"

namespace log_main {

static ClassLookup logger_lookup;

// ---------------------------------------------------------------------------
// The call of Logger.log

// The keyword names of an options dict, as a tuple. Callers tend to pass the
// same option names call after call, so the last tuple is reused when the
// names are the same objects in the same order.
static Ref option_names(PyObject* kwargs, Py_ssize_t nkw) {
    static PyObject* last = nullptr;
    if (last && PyTuple_GET_SIZE(last) == nkw) {
        Py_ssize_t pos = 0, k = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value) && PyTuple_GET_ITEM(last, k) == key) ++k;
        if (k == nkw) return Ref::borrow(last);
    }
    Ref names = Ref::steal(PyTuple_New(nkw));
    if (!names) return Ref();
    Py_ssize_t pos = 0, k = 0;
    PyObject *key, *value;
    while (k < nkw && PyDict_Next(kwargs, &pos, &key, &value)) PyTuple_SET_ITEM(names.get(), k++, Py_NewRef(key));
    Py_XSETREF(last, Py_NewRef(names.get()));
    return names;
}

// While finalising: the locks the call could wait on, taken first with a
// bounded wait (see ExitHold): logging's module lock (isEnabledFor fills its
// cache under it) and the lock of every handler along the propagation chain,
// or of the last resort when there is none. A lock held by a stopped thread
// raises, and the record is dropped instead of the call waiting for good.
static int hold_record_locks(PyObject* logger, ExitHold& held) {
    if (held.logging_lock() < 0) return -1;
    bool any = false;
    Ref current = Ref::borrow(logger);
    for (int depth = 0; depth < 256 && current.get() != Py_None; ++depth) {
        Ref handlers;
        if (PyObject_GetOptionalAttr(current.get(), S.handlers, handlers.out()) < 0) return -1;
        if (!handlers) break;
        Ref it = Ref::steal(PyObject_GetIter(handlers.get()));
        if (!it) return -1;
        while (Ref handler = Ref::steal(PyIter_Next(it.get()))) {
            any = true;
            if (held.handler_lock(handler.get()) < 0) return -1;
        }
        if (PyErr_Occurred()) return -1;
        Ref propagate = get_attr(current, S.propagate);
        const int goes_on = propagate ? PyObject_IsTrue(propagate.get()) : -1;
        if (goes_on <= 0) {
            if (goes_on < 0) return -1;
            break;
        }
        Ref parent;
        if (PyObject_GetOptionalAttr(current.get(), S.parent, parent.out()) < 0) return -1;
        if (!parent) break;
        current = std::move(parent);
    }
    if (any) return 0;
    Ref last_resort = global_attr(S.logging, S.lastResort);
    if (!last_resort) return -1;
    return last_resort.get() == Py_None ? 0 : held.handler_lock(last_resort.get());
}

// The message text and the call: the parts are joined before the logger is
// read again, unless every part is inert, in which case the join is put off
// until it is known to be needed (no one can tell when it happened).
static Ref call_log(PyObject* self, PyObject* level, PyObject* const* parts, Py_ssize_t nparts, PyObject* args,
                    PyObject* kwargs) {
    Ref text;
    bool deferred = inert_parts(parts, nparts);
    if (!deferred && !(text = join_parts(parts, nparts))) return Ref();
    Ref logger = read_instance_attr(self, S._logger, logger_lookup);  // read again for the call
    if (!logger) return Ref();

    // The proof runs no code, so a call made after it sees the logger, the
    // options and the caller's tuple and dict as the caller left them.
    const Verdict verdict = dropped_call(logger.get(), level, args, kwargs);
    if (verdict == Verdict::Dropped) return Ref::borrow(Py_None);

    // A record that only logging's file handlers take is written in place
    // (written.cpp); the join of inert parts runs no code either.
    if (verdict == Verdict::Made && !Py_IsFinalizing()) {
        if (deferred && !(text = join_parts(parts, nparts))) return Ref();
        deferred = false;
        switch (written_call(logger.get(), level, text.get(), args, kwargs)) {
            case Written::Done:
                return Ref::borrow(Py_None);
            case Written::Error:
                return Ref();
            case Written::Call:
                break;
        }
    }

    // As `log(..., *args, **kwargs)` does: the method is looked up first, then
    // the arguments are unpacked, into references of our own (the lookup or
    // the call may change the caller's tuple and dict).
    Ref method;
    const int unbound = _PyObject_GetMethod(logger.get(), S.log, method.out());
    if (!method) return Ref();
    if (deferred && !(text = join_parts(parts, nparts))) return Ref();
    ExitHold held;
    if (Py_IsFinalizing() && hold_record_locks(logger.get(), held) < 0) return Ref();

    const Py_ssize_t nextra = args == Py_None ? 0 : PyTuple_GET_SIZE(args);
    const Py_ssize_t nkw = kwargs == Py_None ? 0 : PyDict_GET_SIZE(kwargs);
    RefStack<16> stack;
    // Slot 0 stays free for PY_VECTORCALL_ARGUMENTS_OFFSET.
    if (!stack.reserve(static_cast<size_t>(1 + 3 + nextra + nkw))) return Ref();
    stack.push(Py_None);
    if (unbound) stack.push(logger.get());
    stack.push(level);
    stack.push(text.get());
    for (Py_ssize_t i = 0; i < nextra; ++i) stack.push(PyTuple_GET_ITEM(args, i));
    const size_t nargs = stack.size() - 1;
    if (kwargs == Py_None)
        return Ref::steal(
            PyObject_Vectorcall(method.get(), stack.data() + 1, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));

    Py_ssize_t pos = 0, k = 0;
    PyObject *key, *value;
    bool keys_are_strings = true;
    while (k < nkw && PyDict_Next(kwargs, &pos, &key, &value)) {
        keys_are_strings = keys_are_strings && PyUnicode_Check(key);
        stack.push(value);
        ++k;
    }
    Ref kwnames = keys_are_strings && k == nkw ? option_names(kwargs, nkw) : Ref();
    if (!kwnames) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "keywords must be strings");
        return Ref();
    }
    return Ref::steal(
        PyObject_Vectorcall(method.get(), stack.data() + 1, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
}

// PyObject_IsTrue, with the common answer for an object whose class defines
// no truth or length (a logger) given at once, as PyObject_IsTrue gives it.
static int truth(PyObject* o) {
    PyTypeObject* tp = Py_TYPE(o);
    if (o != Py_None && o != Py_False && (!tp->tp_as_number || !tp->tp_as_number->nb_bool) &&
        (!tp->tp_as_mapping || !tp->tp_as_mapping->mp_length) &&
        (!tp->tp_as_sequence || !tp->tp_as_sequence->sq_length))
        return 1;
    return PyObject_IsTrue(o);
}

static PyObject* emit(PyObject* self, PyObject* level, PyObject* const* parts, Py_ssize_t nparts, PyObject* args,
                      PyObject* kwargs) {
    Ref logger = read_instance_attr(self, S._logger, logger_lookup);
    if (!logger) return nullptr;
    int live = truth(logger.get());
    if (live <= 0) return live < 0 ? nullptr : Py_NewRef(Py_None);
    logger = Ref();

    // Building and emitting never raise an Exception to the caller; the
    // caller's handled exception is untouched because nothing is handled here.
    Ref result = call_log(self, level, parts, nparts, args, kwargs);
    if (!result && swallow_exception() < 0) return nullptr;
    Py_RETURN_NONE;
}

static PyObject* log_body(Function*, PyObject* const* a) {
    PyObject* message = a[2];
    return emit(a[0], a[1], &PyTuple_GET_ITEM(message, 0), PyTuple_GET_SIZE(message), a[3], a[4]);
}

// ---------------------------------------------------------------------------
// Level methods

// self._log through the instance, as generic attribute lookup finds it, for
// a class whose `_log` is this module's function (a non-data descriptor): the
// instance's own `_log` if it has one, else the function, unbound. Returns 1
// with *found set (a new reference), 0 when the shortcut does not apply, -1
// on error. The class's function is held before the instance's dictionary is
// searched: the search can run code that replaces or deletes it.
static ClassLookup log_lookup;

static int find_log_method(PyObject* self, Ref& found, int* unbound) {
    PyTypeObject* tp = Py_TYPE(self);
    if (!log_lookup.hit(tp) && !(log_lookup.learn(tp, S._log), log_lookup.hit(tp))) return 0;
    if (!log_lookup.found || !is_function_of(log_lookup.found, &log_spec)) return 0;
    PyObject* own = nullptr;
    if (log_lookup.inline_value(self, S._log, &own)) {
        *unbound = own == nullptr;
        found = Ref::borrow(own ? own : log_lookup.found);
        return 1;
    }
    Ref from_class = Ref::borrow(log_lookup.found);
    Ref from_instance;
    int rc = instance_value(self, S._log, from_instance);
    if (rc == -2) return 0;
    if (rc < 0) return -1;
    *unbound = rc == 0;
    found = rc ? std::move(from_instance) : std::move(from_class);
    return 1;
}

// The shared body of debug/info/warning/error/critical. `message` is the
// collected tuple when the caller already has one, else null (the parts are
// then parts[0..nparts)).
static PyObject* level_call(PyObject* level_name, AttrCache& cache, PyObject* self, PyObject* const* parts,
                            Py_ssize_t nparts, PyObject* message, PyObject* args, PyObject* kwargs) {
    // As in `self._log(logging.INFO, ...)`: the callable first, then the level.
    Ref method;
    int unbound = 0;
    const int shortcut = find_log_method(self, method, &unbound);
    if (shortcut < 0) return nullptr;
    if (shortcut == 0) {
        unbound = _PyObject_GetMethod(self, S._log, method.out());
        if (!method) return nullptr;
    }
    PyObject* found = method.get();
    Ref level = logging_level(level_name, cache);
    if (!level) return nullptr;

    if (unbound && is_function_of(found, &log_spec)) {
        // Our own _log: its checks on the values we pass, then its body in place.
        Function* log_fn = reinterpret_cast<Function*>(found);
        if (!PyLong_CheckExact(level.get())) {
            // The level constant is the one value _log's checks could refuse here.
            PyObject* bound[5] = {self, level.get(), message ? message : M.empty_tuple, args, kwargs};
            if (check_types(log_fn, bound) < 0) return nullptr;
        }
        PyObject* result = emit(self, level.get(), parts, nparts, args, kwargs);
        if (!result) add_traceback(log_fn);
        return result;
    }

    Ref owned_message;
    if (!message) {
        owned_message = Ref::steal(tuple_from_array(parts, nparts));
        if (!owned_message) return nullptr;
        message = owned_message.get();
    }
    PyObject* stack[6] = {nullptr, self, level.get(), message, args, kwargs};
    Ref result = unbound
                     ? Ref::steal(PyObject_Vectorcall(found, stack + 1, 5 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr))
                     : Ref::steal(PyObject_Vectorcall(found, stack + 2, 4 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!result) return nullptr;
    Py_RETURN_NONE;
}

template <PyObject* Names::* LevelName>
AttrCache level_cache;

template <PyObject* Names::* LevelName>
static PyObject* level_body(Function*, PyObject* const* a) {
    PyObject* message = a[1];
    return level_call(S.*LevelName, level_cache<LevelName>, a[0], &PyTuple_GET_ITEM(message, 0),
                      PyTuple_GET_SIZE(message), message, a[2], a[3]);
}

// The keywords `args=` and `kwargs=` of a level method, when they are all
// there is and pass their checks; anything else is left to the binder.
static bool take_options(PyObject* kwnames, PyObject* const* values, PyObject* options[2]) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    if (nkw > 2) return false;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        PyObject* value = values[k];
        if (key == S.args && options[0] == Py_None && (value == Py_None || PyTuple_CheckExact(value)))
            options[0] = value;
        else if (key == S.kwargs && options[1] == Py_None && (value == Py_None || PyDict_CheckExact(value)))
            options[1] = value;
        else
            return false;
    }
    return true;
}

// Entry of the level methods: the common calls, self plus positional parts
// and at most the two options by keyword, skip the binder and the message
// tuple; every other call goes through them.
template <PyObject* Names::* LevelName>
static PyObject* level_entry(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* options[2] = {Py_None, Py_None};  // args, kwargs
    if (nargs == 0 || (kwnames && !take_options(kwnames, args + nargs, options)))
        return function_vectorcall(callable, args, nargsf, kwnames);
    PyObject* result =
        level_call(S.*LevelName, level_cache<LevelName>, args[0], args + 1, nargs - 1, nullptr, options[0], options[1]);
    if (!result) add_traceback(reinterpret_cast<Function*>(callable));
    return result;
}

// ---------------------------------------------------------------------------
// Tables

static const Param log_params[] = {
    kSelf,
    {"level", Kind::PositionalOrKeyword, Default::Required, Check::Int, "int"},
    {"message", Kind::PositionalOrKeyword, Default::Required, Check::Tuple, "Tuple[Any, ...]"},
    {"args", Kind::PositionalOrKeyword, Default::None, Check::TupleOrNone, "Optional[Tuple[Any, ...]]"},
    {"kwargs", Kind::PositionalOrKeyword, Default::None, Check::DictOrNone, "Optional[Dict[str, Any]]"},
};
static const Param level_params[] = {
    kSelf,
    {"message", Kind::VarPositional, Default::Required, Check::None, "Any"},
    {"args", Kind::KeywordOnly, Default::None, Check::TupleOrNone, "Optional[Tuple[Any, ...]]"},
    {"kwargs", Kind::KeywordOnly, Default::None, Check::DictOrNone, "Optional[Dict[str, Any]]"},
};

const FunctionSpec log_spec = {
    .name = "_log",
    .qualname = "_LogBase._log",
    .traceback_name = "log_main._LogBase._log",
    .doc = "_LogBase._log(self, int level: int, tuple message: Tuple[Any, ...], tuple args: Optional[Tuple[Any, "
           "...]] = None, dict kwargs: Optional[Dict[str, Any]] = None) -> None",
    .return_annotation = "None",
    .params = log_params,
    .body = log_body,
    .line = 240,
};

// debug, info, warning, error and critical: one table each, the same but for
// the level constant their body reads and their entry point.
#define LOG_MAIN_LEVEL_SPEC(var, method, LEVEL, line_number)                                              \
    const FunctionSpec var = {                                                                            \
        .name = #method,                                                                                  \
        .qualname = "_LogBase." #method,                                                                  \
        .traceback_name = "log_main._LogBase." #method,                                                   \
        .doc = "_LogBase." #method "(self, *message: Any, tuple args: Optional[Tuple[Any, ...]] = None, " \
               "dict kwargs: Optional[Dict[str, Any]] = None) -> None",                                   \
        .return_annotation = "None",                                                                      \
        .params = level_params,                                                                           \
        .body = level_body<&Names::LEVEL>,                                                                \
        .line = line_number,                                                                              \
        .entry = level_entry<&Names::LEVEL>,                                                              \
    };
LOG_MAIN_LEVEL_SPEC(debug_spec, debug, DEBUG, 262)
LOG_MAIN_LEVEL_SPEC(info_spec, info, INFO, 266)
LOG_MAIN_LEVEL_SPEC(warning_spec, warning, WARNING, 270)
LOG_MAIN_LEVEL_SPEC(error_spec, error, ERROR, 274)
LOG_MAIN_LEVEL_SPEC(critical_spec, critical, CRITICAL, 278)
#undef LOG_MAIN_LEVEL_SPEC

}  // namespace log_main
