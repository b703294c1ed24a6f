// The with statement on the module lock.
#include "module/with_lock.hpp"

namespace log_main {

Ref lookup_special(PyObject* obj, PyObject* name) {
    PyObject* descr = _PyType_Lookup(Py_TYPE(obj), name);
    if (!descr) {
        PyErr_SetObject(PyExc_AttributeError, name);
        return Ref();
    }
    descrgetfunc get = Py_TYPE(descr)->tp_descr_get;
    if (!get) return Ref::borrow(descr);
    Ref keep = Ref::borrow(descr);
    return Ref::steal(get(descr, obj, reinterpret_cast<PyObject*>(Py_TYPE(obj))));
}

PyObject* with_exit(PyObject* exit, PyObject* result) {
    if (result) {
        PyObject* none3[] = {Py_None, Py_None, Py_None};
        if (!Ref::steal(PyObject_Vectorcall(exit, none3, 3, nullptr))) {
            Py_DECREF(result);
            return nullptr;
        }
        return result;
    }
    PyObject* exc = PyErr_GetRaisedException();
    Ref tb = Ref::steal(PyException_GetTraceback(exc));
    PyObject* details[] = {reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc, tb ? tb.get() : Py_None};
    Ref verdict = Ref::steal(PyObject_Vectorcall(exit, details, 3, nullptr));
    int suppress = verdict ? PyObject_IsTrue(verdict.get()) : -1;
    if (suppress < 0) {
        // An error in __exit__ replaces the block's exception, which becomes its context.
        PyObject* raised = PyErr_GetRaisedException();
        PyException_SetContext(raised, exc);
        PyErr_SetRaisedException(raised);
        return nullptr;
    }
    if (suppress) {
        Py_DECREF(exc);
        Py_RETURN_NONE;
    }
    PyErr_SetRaisedException(exc);
    return nullptr;
}

}  // namespace log_main
