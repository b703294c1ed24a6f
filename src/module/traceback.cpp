// Traceback entries "log_main.<qualname>" in "log_main.py", with the module
// namespace as the frame's globals, so a failure inside a compiled body reads
// like one inside a Python function.
#include "module/function.hpp"
#include "module/globals.hpp"

#include <frameobject.h>

namespace log_main {

void add_traceback_named(const char* name, int line, PyObject** code_cache) {
    PyThreadState* tstate = PyThreadState_Get();
    Ref frame;
    {
        // Building the entry must not disturb the exception being raised.
        SavedError pending;
        if (!*code_cache) *code_cache = reinterpret_cast<PyObject*>(PyCode_NewEmpty("log_main.py", name, line));
        if (*code_cache)
            frame = Ref::steal(reinterpret_cast<PyObject*>(
                PyFrame_New(tstate, reinterpret_cast<PyCodeObject*>(*code_cache), M.ns, nullptr)));
        if (!frame) PyErr_Clear();
    }
    if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

void add_traceback(Function* f) { add_traceback_named(f->spec->traceback_name, f->spec->line, &f->tb_code); }

}  // namespace log_main
