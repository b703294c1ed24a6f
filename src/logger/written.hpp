// The written record made in place (written.cpp).
#pragma once

#include "module/ref.hpp"

namespace log_main {

enum class Written {
    Call,   // make the call: the proof does not hold; nothing has happened
    Done,   // the record went where the full call sends it, with the same effects
    Error,  // an exception the full call would have raised propagates (set)
};

// After dropped_call() gave Verdict::Made for the same arguments: writes the
// record of `logger.log(level, text, *args, **kwargs)` as the full call would,
// when every handler that takes it is one of logging's file handlers the
// proof knows. `text` is the joined message (an exact str).
Written written_call(PyObject* logger, PyObject* level, PyObject* text, PyObject* args, PyObject* kwargs);

}  // namespace log_main
