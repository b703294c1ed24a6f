// A record's traceback in the file, taken from the console's coloured text
// instead of formatted a second time (traceback_text.cpp).
#pragma once

#include <vector>

#include "module/ref.hpp"

namespace log_main {

// Whether traceback.print_exception(type(value), value, tb) runs no code of
// anyone's on account of the exceptions it formats, and whether every text it
// takes from them (type names, messages, notes, frames' file and function
// names) is free of ESC. Reads C fields only; runs nothing, raises nothing.
bool traceback_inert(PyObject* value, PyObject* tb);

// Whether the source lines the formatting showed for each frame, as `cache`
// (linecache.cache) holds them now, are free of ESC.
bool traceback_sources_clear(PyObject* value, PyObject* tb, PyObject* cache);

// What the plain formatting of a record's traceback reads that the checks can
// see, as it stands: the exceptions, their arguments, notes and links, the
// traceback entries, the linecache entries and shown lines, the limit and (on
// 3.13) the cached dedent patterns, held in the order the check meets them.
// Two records alike mean nothing the formatting reads changed in between.
struct TracebackInputs {
    std::vector<Ref> held;
    std::vector<long long> numbers;
    bool same_as(const TracebackInputs& other) const;
};

// The per-record conditions (traceback_inert, traceback_sources_clear, the
// limit, linecache's entries, re's cache) for (value, tb) as the formatting
// reached from `logging_dict` (logging's namespace) would meet them, with what
// they read recorded in `out`. `on_disk`: also stat each source file as
// linecache.checkcache would, and require its size and time unchanged; the GIL
// is let go for each stat, after which everything is read again (and
// traceback_stock_holds()) and must be as recorded. `value` and `tb` are held by
// the caller. Runs no code of anyone's; false (no error set) when any condition
// fails.
bool traceback_inputs(PyObject* value, PyObject* tb, PyObject* logging_dict, bool on_disk, TracebackInputs& out);

// The text with every colour code (ESC '[' digits and ';' 'm') removed; null
// (no error set) when the text holds any other ESC, or on a memory error.
Ref without_colour(PyObject* text);

}  // namespace log_main
