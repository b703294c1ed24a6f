// The steps of building a logger object that _SetLogger and _GetLogger share.
#include "acquisition/construction.hpp"

namespace log_main {

Ref normalised_file(PyObject* file) {
    int truth = PyObject_IsTrue(file);
    if (truth < 0) return Ref();
    if (!truth) return Ref::borrow(Py_None);
    // In the order of the expression: normpath is fetched before abspath.
    Ref normpath = get_attr(global_attr(S.os, S.path), S.normpath);
    if (!normpath) return Ref();
    Ref abspath = get_attr(global_attr(S.os, S.path), S.abspath);
    Ref absolute = call(abspath, {file});
    return call(normpath, {absolute.get()});
}

int set_attrs(PyObject* obj, std::initializer_list<std::pair<PyObject*, PyObject*>> items) {
    for (auto& [name, value] : items)
        if (set_attr(obj, name, value) < 0) return -1;
    return 0;
}

int call_self(PyObject* self, PyObject* method) { return call_method(self, method, {}) ? 0 : -1; }

int prepare_logger(PyObject* self) {
    {
        // self._logger.setLevel(logging.DEBUG): the method first, then the level.
        Ref set_level = get_attr(get_attr(self, S._logger), S.setLevel);
        if (!set_level || !call(set_level, {global_attr(S.logging, S.DEBUG).get()})) return -1;
        Ref logger = get_attr(self, S._logger);
        if (!logger || set_attr(logger.get(), S.propagate, Py_False) < 0) return -1;
    }
    // self._handler_filter = _ContextFilter(self.name)
    Ref filter_class = global(S._ContextFilter);
    if (!filter_class) return -1;
    Ref filter = call(filter_class, {get_attr(self, S.name).get()});
    if (!filter || set_attr(self, S._handler_filter, filter.get()) < 0) return -1;
    if (call_self(self, S._create_console_handler) < 0) return -1;
    return call_self(self, S._create_file_handler);
}

}  // namespace log_main
