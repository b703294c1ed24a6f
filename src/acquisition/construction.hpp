// The steps of building a logger object that _SetLogger and _GetLogger share.
#pragma once

#include "module/globals.hpp"

namespace log_main {

// os.path.normpath(os.path.abspath(file)) when file is truthy, else None.
Ref normalised_file(PyObject* file);

// Sets attributes in order; stops at the first failure.
int set_attrs(PyObject* obj, std::initializer_list<std::pair<PyObject*, PyObject*>> items);

// self.<method>() through the instance.
int call_self(PyObject* self, PyObject* method);

// self._logger.setLevel(logging.DEBUG); propagate False; the filter; then the
// module's console handler and file handler.
int prepare_logger(PyObject* self);

}  // namespace log_main
