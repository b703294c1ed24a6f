// Interpreter internals read through the internal headers of CPython 3.13.
#include "module/private_api.hpp"

#include <cstring>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#define Py_BUILD_CORE 1
#include "internal/pycore_descrobject.h"
#include "internal/pycore_dict.h"
#include "internal/pycore_interp.h"
#include "internal/pycore_object.h"
#include "internal/pycore_runtime.h"
#undef Py_BUILD_CORE
#pragma GCC diagnostic pop

namespace log_main::priv {

PyObject* const* inline_values(PyObject* obj, const void** keys) {
    PyTypeObject* tp = Py_TYPE(obj);
    if (!(tp->tp_flags & Py_TPFLAGS_INLINE_VALUES)) return nullptr;
    PyDictValues* values = _PyObject_InlineValues(obj);
    if (!values->valid) return nullptr;
    PyDictKeysObject* shared = reinterpret_cast<PyHeapTypeObject*>(tp)->ht_cached_keys;
    if (!shared) return nullptr;
    *keys = shared;
    return values->values;
}

const void* shared_keys(PyTypeObject* type) {
    if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE) || !(type->tp_flags & Py_TPFLAGS_INLINE_VALUES)) return nullptr;
    return reinterpret_cast<PyHeapTypeObject*>(type)->ht_cached_keys;
}

Py_ssize_t shared_keys_size(const void* keys) { return static_cast<const PyDictKeysObject*>(keys)->dk_nentries; }

Py_ssize_t shared_keys_index(const void* keys, PyObject* name) {
    auto* dk = const_cast<PyDictKeysObject*>(static_cast<const PyDictKeysObject*>(keys));
    if (dk->dk_kind != DICT_KEYS_SPLIT && dk->dk_kind != DICT_KEYS_UNICODE) return -1;
    PyDictUnicodeEntry* entries = DK_UNICODE_ENTRIES(dk);
    for (Py_ssize_t i = 0; i < dk->dk_nentries; ++i) {
        PyObject* key = entries[i].me_key;
        if (key == name || (key && PyUnicode_CheckExact(key) && PyUnicode_Compare(key, name) == 0)) return i;
    }
    return -1;
}

bool audit_hooks_installed(PyThreadState* ts) {
    return _PyRuntime.audit_hooks.head != nullptr || ts->interp->audit_hooks != nullptr;
}

uint64_t dict_version(PyObject* dict) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag &
           ~static_cast<uint64_t>(DICT_WATCHER_AND_MODIFICATION_MASK);
#pragma GCC diagnostic pop
}

}  // namespace log_main::priv

// ---------------------------------------------------------------------------
// What watches the interpreter run (see private_api.hpp)

namespace log_main::priv {

bool monitoring_global_events(PyThreadState* ts) {
    // One byte per event: 15 bytes, read as two overlapping words.
    static_assert(sizeof(_Py_GlobalMonitors) > 8 && sizeof(_Py_GlobalMonitors) <= 16);
    const char* tools = reinterpret_cast<const char*>(ts->interp->monitors.tools);
    uint64_t low, high;
    memcpy(&low, tools, 8);
    memcpy(&high, tools + sizeof(_Py_GlobalMonitors) - 8, 8);
    return (low | high) != 0;
}

PyObject* const* property_getter_slot(PyObject* prop) { return &reinterpret_cast<propertyobject*>(prop)->prop_get; }

bool dict_has_str_keys(PyObject* dict) {
    return reinterpret_cast<PyDictObject*>(dict)->ma_keys->dk_kind != DICT_KEYS_GENERAL;
}

}  // namespace log_main::priv
