// The steps of building a logger object that _SetLogger and _GetLogger share.
#include "acquisition/construction.hpp"

namespace log_main {

Ref normalised_file(PyObject* file) {
    int truth = PyObject_IsTrue(file);
    if (truth < 0) return Ref();
    if (!truth) return Ref::borrow(Py_None);
    // In the order of the expression: normpath is fetched before abspath.
    Ref os_path = global_attr(S.os, S.path);
    Ref normpath = os_path ? Ref::steal(PyObject_GetAttr(os_path.get(), S.normpath)) : Ref();
    if (!normpath) return Ref();
    os_path = global_attr(S.os, S.path);
    Ref abspath = os_path ? Ref::steal(PyObject_GetAttr(os_path.get(), S.abspath)) : Ref();
    if (!abspath) return Ref();
    Ref absolute = Ref::steal(PyObject_CallOneArg(abspath.get(), file));
    return absolute ? Ref::steal(PyObject_CallOneArg(normpath.get(), absolute.get())) : Ref();
}

int set_attrs(PyObject* obj, std::initializer_list<std::pair<PyObject*, PyObject*>> items) {
    for (auto& [name, value] : items)
        if (PyObject_SetAttr(obj, name, value) < 0) return -1;
    return 0;
}

int call_self(PyObject* self, PyObject* method) { return call_method(self, method, {}) ? 0 : -1; }

int prepare_logger(PyObject* self) {
    {
        Ref logger = Ref::steal(PyObject_GetAttr(self, S._logger));
        Ref set_level = logger ? Ref::steal(PyObject_GetAttr(logger.get(), S.setLevel)) : Ref();
        if (!set_level) return -1;
        Ref debug = global_attr(S.logging, S.DEBUG);
        if (!debug || !Ref::steal(PyObject_CallOneArg(set_level.get(), debug.get()))) return -1;
        logger = Ref::steal(PyObject_GetAttr(self, S._logger));
        if (!logger || PyObject_SetAttr(logger.get(), S.propagate, Py_False) < 0) return -1;
    }
    Ref filter_class = global(S._ContextFilter);
    if (!filter_class) return -1;
    Ref name = Ref::steal(PyObject_GetAttr(self, S.name));
    if (!name) return -1;
    Ref filter = Ref::steal(PyObject_CallOneArg(filter_class.get(), name.get()));
    if (!filter || PyObject_SetAttr(self, S._handler_filter, filter.get()) < 0) return -1;
    if (call_self(self, S._create_console_handler) < 0) return -1;
    return call_self(self, S._create_file_handler);
}

}  // namespace log_main
