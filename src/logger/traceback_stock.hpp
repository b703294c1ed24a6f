// Whether the plain formatting of a traceback (logging.Formatter.formatException
// down to traceback.print_exception and everything it runs) is Python's own,
// as shipped (traceback_stock.cpp).
#pragma once

#include "module/ref.hpp"

namespace log_main {

// Whether everything the plain formatting of a traceback reads (the names scripts/traceback-names
// lists for this interpreter) is as shipped: checked once, then again when a watched namespace,
// a pinned function or a pinned class changes. Runs no code of anyone's; never sets an error.
bool traceback_stock_current();

// The code objects of the pinned functions, nested ones included (local monitoring events on any
// of them make the caller take the full path): every code object any check gathered, so that what
// a caller took stays code objects, held for the life of the process, whatever checks run later.
void traceback_stock_codes(PyCodeObject* const** codes, int* n);

// traceback_stock_current(), and nothing watches the plain formatting run: no profile or trace
// function on this thread, no sys.monitoring events, global or local on the codes above. For a
// check made again after something let the GIL go (another thread may have set any of them).
bool traceback_stock_holds();

}  // namespace log_main
