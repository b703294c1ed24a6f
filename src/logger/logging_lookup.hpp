// Lookups in the logging package's registry of loggers, made afresh at every
// call as the bodies' own expressions do. close() needs the logger behind an
// object; the factory and the constructors also ask which names logging knows.
#pragma once

#include "module/globals.hpp"

namespace log_main {

// logging.Logger.manager.loggerDict
Ref logger_dict();

// logging.getLogger(self.name)
Ref logger_of(PyObject* self);

}  // namespace log_main
