// Handlers are matched to their capture records by id(), and an id is unique
// only among live objects: a handler that the capture took off and closed
// could be freed and its id reused by a new handler, which close() would then
// mistake for the original. So the module keeps every captured handler alive
// for as long as its capture entry exists.
#pragma once

#include "module/ref.hpp"

namespace log_main {

int keep_captured_handlers(PyObject* entry, PyObject* handlers);
void release_captured_handlers(PyObject* entry);

// The kept handler of `entry` whose id() is `handler_id`, or null (no error).
Ref kept_handler(PyObject* entry, PyObject* handler_id);

}  // namespace log_main
