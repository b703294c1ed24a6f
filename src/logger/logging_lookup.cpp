// Lookups in the logging package's registry of loggers.
#include "logger/logging_lookup.hpp"

namespace log_main {

Ref logger_dict() { return get_attr(get_attr(global_attr(S.logging, S.Logger), S.manager), S.loggerDict); }

Ref logger_of(PyObject* self) {
    Ref get_logger = global_attr(S.logging, S.getLogger);
    if (!get_logger) return Ref();
    return call(get_logger, {get_attr(self, S.name).get()});
}

}  // namespace log_main
