// The tables of every callable, each defined beside its body in the folder of
// its subsystem; the module body (module.cpp) puts them into the namespaces.
#pragma once

#include "module/function.hpp"

namespace log_main {

extern const FunctionSpec md5_spec;
// Remembers the library's own md5 constructor; called once hashlib is bound.
int md5_init();

// src/logger
extern const FunctionSpec context_filter_init_spec;
extern const FunctionSpec context_filter_filter_spec;
extern const FunctionSpec log_base_init_spec;
extern const FunctionSpec create_console_handler_spec;
extern const FunctionSpec create_file_handler_spec;
extern const FunctionSpec namer_spec;
extern const FunctionSpec disable_spec;
extern const FunctionSpec enable_spec;
extern const FunctionSpec close_spec;
extern const FunctionSpec set_console_level_spec;
extern const FunctionSpec set_file_level_spec;
extern const FunctionSpec log_spec;
extern const FunctionSpec debug_spec;
extern const FunctionSpec info_spec;
extern const FunctionSpec warning_spec;
extern const FunctionSpec error_spec;
extern const FunctionSpec critical_spec;

// src/acquisition
extern const FunctionSpec factory_new_spec;
extern const FunctionSpec set_logger_init_spec;
extern const FunctionSpec setup_logger_spec;
extern const FunctionSpec get_logger_init_spec;
extern const FunctionSpec captures_logger_spec;

}  // namespace log_main
