// Functions the tests reach through ctypes in the module's library (probes of
// a subsystem's inner workings, counters). They take raw PyObject* unchecked,
// so only development builds have them: CMake's LOG_MAIN_TEST_HOOKS option
// (ON in every build the Makefile makes for the tests, OFF for the wheel and
// the sdist) defines LOG_MAIN_TEST_HOOKS, and with it LOG_MAIN_TEST_HOOK, the
// linkage every hook is declared with. Each hook's definition sits inside
// `#ifdef LOG_MAIN_TEST_HOOK`, so a shipped build compiles none of them and its
// library exports PyInit_log_main alone (tests/test_packaging.py checks both).
#pragma once

#ifdef LOG_MAIN_TEST_HOOKS
#define LOG_MAIN_TEST_HOOK extern "C" __attribute__((visibility("default")))
#endif
