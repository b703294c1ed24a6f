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
// of them make the caller take the full path). Valid while traceback_stock_current() holds.
void traceback_stock_codes(PyCodeObject* const** codes, int* n);

}  // namespace log_main
