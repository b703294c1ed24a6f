// The table that keeps captured handlers alive while their capture entry is
// registered (why: see capture.hpp). Used only inside src/capture.
#pragma once

#include "module/ref.hpp"

namespace log_main {

int keep_captured_handlers(PyObject* entry, PyObject* handlers);
void release_captured_handlers(PyObject* entry);

// The kept handler of `entry` whose id() is `handler_id`, or null (no error).
Ref kept_handler(PyObject* entry, PyObject* handler_id);

}  // namespace log_main
