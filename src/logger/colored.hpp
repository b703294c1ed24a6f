// The console line of colorlog's ColoredFormatter, rendered here when the
// formatter is colorlog's own, of a release whose code is known (colored.cpp).
#pragma once

#include "module/ref.hpp"

namespace log_main {

// Whether `formatter` is exactly colorlog's ColoredFormatter, as a known release
// ships it, with the module's console format and nothing replaced anywhere its
// format() reads, so that colored_line() gives what format() would and runs no
// code of anyone's. Runs no code of anyone's, raises nothing and leaves any
// pending exception alone. `handler` is the StreamHandler the formatter is set
// on; colorlog never reads it, nor does this.
bool colored_known(PyObject* handler, PyObject* formatter);

// Whether, besides, the formatter's formatException is logging's own or
// colorlog's of a known release (the traceback coloured as _colorize()
// decides, through the traceback module logging uses), so that calling it is
// what format() would run for a record with exc_info. Call it right after
// colored_known() gave true for the same formatter.
bool colored_exceptions_known(PyObject* formatter);

// What ColoredFormatter.format returns for a record without exc_info or
// stack_info whose asctime (formatTime's text), name, levelname and message
// (getMessage's text) are these, reading FORCE_COLOR and NO_COLOR, force_color,
// no_color, the formatter's stream and colorlog's escape_codes table as that
// release reads them, now. Call it right after colored_known() gave true for
// the same formatter, with no code run in between, and with the four texts as
// exact str (anything else: make the full call instead). levelno is not read by
// colorlog. The formatter is held by the caller: the stream's isatty() may let
// other threads run. Null with an exception set where format() would raise (the
// exception carries none of the frames Python's own would), or where something
// format() reads after isatty() no longer holds when it returns (another thread
// patched or changed it meanwhile); either way the caller gives the record to
// the handler's own code, whose format() runs afresh.
Ref colored_line(PyObject* formatter, PyObject* handler, PyObject* asctime, PyObject* name, PyObject* levelname,
                 PyObject* levelno, PyObject* message);

}  // namespace log_main
