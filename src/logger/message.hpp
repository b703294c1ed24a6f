// The message text of a level method: its parts joined by single spaces.
#pragma once

#include "module/ref.hpp"

namespace log_main {

// Parts whose str() runs no code of anyone's and cannot fail: exact str,
// float, None, True, False, and exact ints of machine size (a long int's str
// fails past the interpreter's digit limit). Turning them into text can be
// left out or put off unseen.
bool inert_parts(PyObject* const* parts, Py_ssize_t nparts);

// The parts joined by single spaces, each turned into text by str(); a lone
// exact str is used as it is. Null with an exception set on error.
Ref join_parts(PyObject* const* parts, Py_ssize_t nparts);

}  // namespace log_main
