// The capture registry: what a take-over writes down about the handlers of the
// logger it takes over, and what close() reads back to give them back.
//
// Layering: module <- capture <- logger <- acquisition. This folder uses only
// src/module; close() (src/logger) reads and drops entries through it, and the
// take-over (src/acquisition/get_logger.cpp) writes them through it.
//
// The registry is the module global _CAPTURES, {logger name: {key: entry}}:
//
//   entry = {"handlers":    [record, ...],    one per handler, in the order
//            "handler_ids": [id(handler), ...]}  the logger held them
//
//   record = {"id": id(handler), "type": type(handler), "level": ...,
//             "name": ..., "filters": ..., "formatter": ...,   (the handler's)
//             "kwargs": {...}}  the keyword arguments that rebuild it, by the
//                               first class of the four it is an instance of:
//     TimedRotatingFileHandler  filename, encoding, delay, errors, when,
//                               interval (in units of `when`, an int when it
//                               divides exactly), backupCount, utc, atTime
//     RotatingFileHandler       filename, mode, encoding, delay, errors,
//                               maxBytes, backupCount
//     FileHandler               filename, mode, encoding, delay, errors
//     StreamHandler             stream
//   "filename" is the handler's baseFilename; a mode starting with "w" or "x"
//   is recorded with "a" in its place, so a rebuilt handler never truncates or
//   refuses the file. A handler of any other class has no "kwargs" and cannot
//   be rebuilt; the take-over never detaches one.
//
// Key: the layers of a name are _LOGGERS[name], {index: logger object} from 1.
// The take-over that stacks layer k + 1 on a name whose top layer is k stores
// its entry under k, and close() of layer k + 1 reads it there. The
// key-0 rule: a take-over of a name that has no layers (a logger the module
// never registered) stores its entry under 0 and stacks no layer, replacing
// any entry a previous such take-over left; close() of an object whose name
// has no layers (that take-over, a default-mode object, a second close())
// restores and drops the entry under 0, if there is one.
//
// Handlers are matched to their records by id(), and an id is unique only
// among live objects: a handler that the take-over detached and closed could
// be freed and its id reused by a new handler, which close() would then take
// for the original. So every captured handler is kept alive, in a private
// table beside _CAPTURES, for as long as its entry is registered; the kept
// original also lends a rebuilt rotating handler its namer and rotator, which
// a record has no place for.
//
// Entries are plain dicts in a module global, so application code can change
// them: the readers go through the mapping and sequence protocols and fail as
// the equivalent Python expressions would.
#pragma once

#include "module/globals.hpp"

namespace log_main {

// --- Written by the take-over ----------------------------------------------

// The handler classes a record distinguishes, read afresh from logging.
struct HandlerClasses {
    Ref timed, rotating, file, stream;
    int load();
};

// The record of `handler`, whose id() is `hid`.
Ref handler_record(PyObject* handler, PyObject* hid, HandlerClasses& classes);

// Stores {"handlers": records, "handler_ids": ids} as _CAPTURES[name][key] and
// keeps the `captured` handlers alive with it; the handlers kept for an entry
// it replaces are let go.
int store_capture_entry(PyObject* name, PyObject* key, PyObject* records, PyObject* ids, PyObject* captured);

// --- Read by close() -------------------------------------------------------

// A working copy of the entry's handler_ids (a list), or [] without an entry.
Ref saved_handler_ids(PyObject* name, PyObject* key);

// Removes from `logger` and closes every handler whose id is not (or no
// longer) in `handler_ids`; each listed id it meets is taken off the list.
int sweep(PyObject* logger, PyObject* handler_ids);

// Rebuilds, in record order, the handlers whose ids are left in `handler_ids`
// and attaches them to `logger`.
int restore_handlers(PyObject* logger, PyObject* name, PyObject* key, PyObject* handler_ids);

// _CAPTURES[name].pop(key) (with None as default when `only_if_present`), then
// _CAPTURES.pop(name) once that is empty; the popped entry's handlers are let go.
int drop_capture(PyObject* name, PyObject* key, bool only_if_present);

}  // namespace log_main
