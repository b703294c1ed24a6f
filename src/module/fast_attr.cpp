// Attribute reads on the hot path (see fast_attr.hpp).
#include "module/fast_attr.hpp"

namespace log_main {

PyObject* ClassLookup::learn(PyTypeObject* tp, PyObject* name) {
    type = nullptr;
    seen = LayoutSeen();
    if (tp->tp_getattro != PyObject_GenericGetAttr || !PyUnstable_Type_AssignVersionTag(tp)) return nullptr;
    const unsigned int before = tp->tp_version_tag;
    PyObject* descr = _PyType_Lookup(tp, name);
    if (tp->tp_version_tag != before) return nullptr;
    type = tp;
    version = before;
    found = descr;
    return descr;
}

}  // namespace log_main
