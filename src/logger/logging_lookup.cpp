// Lookups in the logging package's registry of loggers.
#include "logger/logging_lookup.hpp"

namespace log_main {

Ref logger_dict() {
    Ref logger_class = global_attr(S.logging, S.Logger);
    if (!logger_class) return Ref();
    Ref manager = Ref::steal(PyObject_GetAttr(logger_class.get(), S.manager));
    if (!manager) return Ref();
    return Ref::steal(PyObject_GetAttr(manager.get(), S.loggerDict));
}

Ref logger_of(PyObject* self) {
    Ref get_logger = global_attr(S.logging, S.getLogger);
    if (!get_logger) return Ref();
    Ref name = Ref::steal(PyObject_GetAttr(self, S.name));
    return name ? Ref::steal(PyObject_CallOneArg(get_logger.get(), name.get())) : Ref();
}

}  // namespace log_main
