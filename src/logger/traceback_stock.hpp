// Placeholder until the table of what the traceback formatting reads lands: nothing is proven.
#pragma once
#include "module/ref.hpp"
namespace log_main {
bool traceback_stock_current();
void traceback_stock_codes(PyCodeObject* const** codes, int* n);
}
