// A record's traceback in the file, taken from the console's coloured text
// instead of formatted a second time (traceback_text.cpp).
#pragma once

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

// The text with every colour code (ESC '[' digits and ';' 'm') removed; null
// (no error set) when the text holds any other ESC, or on a memory error.
Ref without_colour(PyObject* text);

}  // namespace log_main
