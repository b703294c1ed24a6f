// close(): unwinds the top layer of a logger name. It takes off and closes the
// handlers that the layer's capture entry does not list, rebuilds from their
// records the listed handlers that were taken off since, pops the layer and
// hands the logger back to the layer below. The entry is read, swept against
// and dropped through src/capture, where its layout is described.
//
// A name without layers (a default-mode object, a second close(), a take-over
// of a logger the module never registered) is not an error: the capture entry
// left under key 0 by such a take-over, if any, is restored and dropped.
#include "capture/capture.hpp"
#include "logger/logging_lookup.hpp"
#include "module/callables.hpp"
#include "module/globals.hpp"
#include "module/with_lock.hpp"

namespace log_main {

// Every step reads self.name and the module global _LOGGERS afresh, as the
// body's own expressions do.
static PyObject* unwind_top_layer(PyObject* self, PyObject* logger) {
    auto name = [self] { return get_attr(self, S.name); };
    auto layers_of = [](PyObject* of) { return get_item(global(S._LOGGERS), of); };  // _LOGGERS[of]

    // index = max(_LOGGERS.get(self.name, {9999: 0}).keys())
    Ref absent = Ref::steal(PyDict_New());
    if (!absent || PyDict_SetItem(absent.get(), M.int_9999, M.int_0) < 0) return nullptr;
    Ref loggers = global(S._LOGGERS);
    Ref own = loggers ? name() : Ref();
    Ref layers = call_method(loggers, S.get, {own.get(), absent.get()});
    if (!layers) return nullptr;
    const bool registered = layers.get() != absent.get();
    Ref keys = call_method(layers, S.keys, {});
    Ref index = call(M.b_max, {keys.get()});  // the builtin max() found at load
    if (!index) return nullptr;
    // Layer k keeps its capture entry under k - 1; a name without layers, under 0.
    Ref key = registered ? Ref::steal(PyNumber_Subtract(index.get(), M.int_1)) : Ref::borrow(M.int_0);
    if (!key) return nullptr;

    Ref handler_ids = (own = name()) ? saved_handler_ids(own.get(), key.get()) : Ref();
    if (!handler_ids) return nullptr;
    if (sweep(logger, handler_ids.get()) < 0) return nullptr;
    if (!(own = name()) || restore_handlers(logger, own.get(), key.get(), handler_ids.get()) < 0) return nullptr;

    if (!registered) {
        if (!call_method(self, S.disable, {})) return nullptr;
        if (!(own = name()) || drop_capture(own.get(), M.int_0, true) < 0) return nullptr;
        Py_RETURN_NONE;
    }

    int above = PyObject_RichCompareBool(index.get(), M.int_0, Py_GT);
    if (above < 0) return nullptr;
    if (above) {
        Ref stack = (own = name()) ? layers_of(own.get()) : Ref();
        if (!call_method(call_method(stack, S.pop, {index.get()}), S.disable, {})) return nullptr;
    }
    above = PyObject_RichCompareBool(index.get(), M.int_1, Py_GT);
    if (above < 0) return nullptr;
    if (above) {
        Ref stack = (own = name()) ? layers_of(own.get()) : Ref();
        if (!call_method(get_item(stack, key.get()), S.enable, {logger})) return nullptr;
    }
    loggers = global(S._LOGGERS);
    own = loggers ? name() : Ref();
    Ref remaining = call_method(loggers, S.get, {own.get()});
    if (!remaining) return nullptr;
    int truth = PyObject_IsTrue(remaining.get());
    if (truth < 0) return nullptr;
    if (!truth) {
        loggers = global(S._LOGGERS);
        own = loggers ? name() : Ref();
        if (!call_method(loggers, S.pop, {own.get()})) return nullptr;
    }
    if (!(own = name()) || drop_capture(own.get(), key.get(), false) < 0) return nullptr;
    Py_RETURN_NONE;
}

static PyObject* close_body(Function*, PyObject* const* a) {
    PyObject* self = a[0];
    // logging.getLogger(self.name) runs outside the module lock.
    Ref logger;
    {
        ExitHold logging;
        if (logging.logging_lock() < 0) return nullptr;
        logger = logger_of(self);
    }
    if (!logger) return nullptr;
    return with_module_lock([&] { return unwind_top_layer(self, logger.get()); });
}

const FunctionSpec close_spec = {
    .name = "close",
    .qualname = "_LogBase.close",
    .traceback_name = "log_main._LogBase.close",
    .doc = "_LogBase.close(self) -> None",
    .return_annotation = "None",
    .params = kSelfOnly,
    .body = close_body,
    .line = 210,
};

}  // namespace log_main
