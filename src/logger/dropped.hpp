// The proof that a call of Logger.log would have no effect (dropped.cpp).
#pragma once

#include "module/ref.hpp"

namespace log_main {

enum class Verdict {
    Call,     // make the call: the proof does not hold, or cannot be had without running code
    Dropped,  // no one could tell the call from no call: return at once
    Made,     // D1 to D13 hold: a record would be made, and a handler may take it (written.cpp)
};

// Whether `logger.log(level, <text>, *args, **kwargs)` (args: a tuple or None,
// kwargs: a dict or None, both as the caller passed them) is provably without
// effect. Runs no code of anyone's, raises nothing and leaves any pending
// exception alone.
Verdict dropped_call(PyObject* logger, PyObject* level, PyObject* args, PyObject* kwargs);

}  // namespace log_main
