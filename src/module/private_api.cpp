// Interpreter internals read through the internal headers of the CPython the
// module is built against: what is common to 3.13, 3.14 and 3.15 first, then
// one section per version.
#include "module/private_api.hpp"

#include <cstddef>
#include <cstring>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#define Py_BUILD_CORE 1
#include "internal/pycore_descrobject.h"
#include "internal/pycore_dict.h"
#include "internal/pycore_instruments.h"
#include "internal/pycore_interp.h"
#include "internal/pycore_object.h"
#include "internal/pycore_runtime.h"
#if PY_VERSION_HEX >= 0x030E0000
#include "internal/pycore_audit.h"
#endif
#undef Py_BUILD_CORE
#pragma GCC diagnostic pop

#if PY_VERSION_HEX < 0x030D0000 || PY_VERSION_HEX >= 0x03100000
#error "log_main is built for CPython 3.13, 3.14 or 3.15"
#endif
#ifdef Py_GIL_DISABLED
// The module relies on the GIL throughout (and declares no Py_mod_gil slot, so
// a free-threaded interpreter would enable the GIL for it anyway).
#error "free-threaded CPython builds are not supported"
#endif

namespace log_main::priv {

// ---------------------------------------------------------------- all versions
//
// Fields whose layout is fixed within a minor version (public or semi-public
// structs, or internal ones the interpreter's own inline functions read):
//   - PyHeapTypeObject.ht_cached_keys: the shared key layout of a class's
//     instances, and the inline values array of an instance (_PyObject_InlineValues,
//     PyDictValues.valid), read to find a logger's attributes without a lookup;
//   - PyDictKeysObject's kind, entry count and unicode entries: the index of an
//     attribute name in a shared key layout;
//   - PyInterpreterState.audit_hooks: the Python-level audit hooks (sys.addaudithook);
//   - PyThreadState.c_profilefunc / c_tracefunc (public header; read by emission).

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
    // As the dict's own lookup: the same object, or an equal hash and then equal text (the
    // layout's keys and the names asked for are str whose hash is cached once computed).
    const Py_hash_t hash = reinterpret_cast<PyASCIIObject*>(name)->hash;
    for (Py_ssize_t i = 0; i < dk->dk_nentries; ++i) {
        PyObject* key = entries[i].me_key;
        if (key == name) return i;
        if (!key || !PyUnicode_CheckExact(key)) continue;
        const Py_hash_t key_hash = reinterpret_cast<PyASCIIObject*>(key)->hash;
        if (hash != -1 && key_hash != -1 && key_hash != hash) continue;
        if (PyUnicode_Compare(key, name) == 0) return i;
    }
    return -1;
}

// The C-level audit hooks (PySys_AddAuditHook) live in the runtime state
// _PyRuntime, a large struct whose layout has changed within a minor version
// (3.13 added fields to its eval state in a patch release, moving everything
// after them). The list's head is read at an offset chosen at init() from the
// layouts known for the running version, each identified by what the running
// interpreter reports about itself:
//   - the debug offsets at the struct's start (written for out-of-process
//     debuggers) begin with a cookie and the PY_VERSION_HEX of the runtime;
//   - the offset of the main interpreter's state, the struct's last field
//     (PyInterpreterState_Main() minus the address of _PyRuntime), moves with
//     any field added or removed before it. (The struct's size, also in the
//     debug offsets, is not compared: it includes the main interpreter's own
//     state, whose tail depends on how the interpreter was configured, e.g.
//     3.15 built with its JIT has one pointer more than its headers show.)
// A layout is used only when the running patch release is in its range and
// the offset agrees; then the neighbourhood must look as laid out: the runtime's
// pre-configuration (PyPreConfig, ten small ints) just before the open-code
// hook and the hooks' list, the list's lock free or held, its head null or an
// entry with a hook function. Otherwise the head is not read and audit hooks
// are assumed installed.
struct RuntimeLayout {
    unsigned first_patch, last_patch;  // micro versions the layout is known for
    size_t main_interpreter;           // offsetof(_PyRuntimeState, _main_interpreter)
    size_t hooks_mutex;                // offsetof(_PyRuntimeState, audit_hooks.mutex)
    size_t hooks_head;                 // offsetof(_PyRuntimeState, audit_hooks.head)
};

// The layout of the headers the module is built with.
// In every version measured, the hooks' list follows the open-code hook and its
// data, which follow the pre-configuration.
static_assert(offsetof(_PyRuntimeState, audit_hooks.mutex) == offsetof(_PyRuntimeState, open_code_hook) + 16);
static_assert(offsetof(_PyRuntimeState, open_code_hook) == offsetof(_PyRuntimeState, preconfig) + sizeof(PyPreConfig));
constexpr size_t preconfig_before_hooks = 16 + sizeof(PyPreConfig);

static bool plausible_preconfig(const PyPreConfig* c) {
    auto flag = [](int v) { return v == 0 || v == 1; };
    return c->_config_init >= 1 && c->_config_init <= 3 && flag(c->parse_argv) && flag(c->isolated) &&
           flag(c->use_environment) && flag(c->configure_locale) && c->coerce_c_locale >= 0 &&
           c->coerce_c_locale <= 2 && flag(c->coerce_c_locale_warn) && c->utf8_mode >= -1 && c->utf8_mode <= 1 &&
           c->dev_mode >= -1 && c->dev_mode <= 1 && c->allocator >= 0 && c->allocator < 16;
}

constexpr RuntimeLayout built_layout(unsigned first, unsigned last) {
    return {first, last, offsetof(_PyRuntimeState, _main_interpreter),
            offsetof(_PyRuntimeState, audit_hooks.mutex), offsetof(_PyRuntimeState, audit_hooks.head)};
}

static const _Py_AuditHookEntry* const* runtime_hooks_head = nullptr;  // null: cannot tell

static bool layout_matches(const RuntimeLayout& l, unsigned patch) {
    if (patch < l.first_patch || patch > l.last_patch) return false;
    const char* runtime = reinterpret_cast<const char*>(&_PyRuntime);
    const _Py_DebugOffsets* dbg = &_PyRuntime.debug_offsets;
    if (std::memcmp(dbg->cookie, _Py_Debug_Cookie, sizeof dbg->cookie) != 0) return false;
    if ((dbg->version >> 8) != (static_cast<uint64_t>(Py_Version) >> 8)) return false;
    if (reinterpret_cast<const char*>(PyInterpreterState_Main()) - runtime != static_cast<ptrdiff_t>(l.main_interpreter))
        return false;
    if (!plausible_preconfig(reinterpret_cast<const PyPreConfig*>(runtime + l.hooks_mutex - preconfig_before_hooks)))
        return false;
    const uint8_t lock = *reinterpret_cast<const uint8_t*>(runtime + l.hooks_mutex);
    if (lock > (_Py_LOCKED | _Py_HAS_PARKED)) return false;
    auto head = reinterpret_cast<const _Py_AuditHookEntry* const*>(runtime + l.hooks_head);
    if (*head && !(*head)->hookCFunction) return false;
    runtime_hooks_head = head;
    return true;
}

}  // namespace log_main::priv

// ---------------------------------------------------------------- CPython 3.13
#if PY_VERSION_HEX < 0x030E0000
namespace log_main::priv {

// _PyRuntimeState as laid out on x86-64 Linux, measured on 3.13.0, 3.13.5 and
// 3.13.18. Fields after the audit hooks grew between 3.13.0 and 3.13.5 (the main
// interpreter moved, the hooks did not); by 3.13.18, 24 bytes of perf trampoline
// state in the eval state moved the hooks too. Releases in between were not
// measured: the ranges are loose and the checks above decide. A build on a
// patch release with a layout of its own also knows that one, for that release.
static const RuntimeLayout known_layouts[] = {
    {0, 17, 88352, 10416, 10424},   // 3.13.0
    {0, 17, 88400, 10416, 10424},   // 3.13.5
    {6, 255, 88424, 10440, 10448},  // 3.13.18
    built_layout(PY_MICRO_VERSION, PY_MICRO_VERSION),
};

// The dict version: ma_version_tag, whose low bits hold the watcher and
// mutation-counter flags; the rest is a global counter bumped on every change.
uint64_t dict_version(PyObject* dict) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag &
           ~static_cast<uint64_t>(DICT_WATCHER_AND_MODIFICATION_MASK);
#pragma GCC diagnostic pop
}

static void init_dict_versions() {}

}  // namespace log_main::priv

// ---------------------------------------------------------------- CPython 3.14 and 3.15
#else
namespace log_main::priv {

// Only the layout of the build's own headers is known, for every patch release
// of its minor version whose fingerprint agrees.
static const RuntimeLayout known_layouts[] = {built_layout(0, 255)};

// 3.14 removed the dict version. A dict watcher stands in for it: the first
// dict_version(d) makes the module's watcher watch d, and the watcher bumps one
// counter at every event of every watched dict (any change, and the dict's
// deallocation, so a new dict at the same address never meets an old version).
// The counter is the version: it moves whenever the dict changes, and more
// often. The interpreter reports a change just before making it; between the
// two only other watchers' callbacks run.
static int dict_watcher = -1;
static uint64_t dict_events = 1;

static int on_dict_event(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    ++dict_events;
    return 0;
}

// PyDictObject._ma_watcher_tag keeps one bit per watcher in its low byte.
uint64_t dict_version(PyObject* dict) {
    if (dict_watcher >= 0 &&
        (reinterpret_cast<PyDictObject*>(dict)->_ma_watcher_tag & (uint64_t{1} << dict_watcher)))
        return dict_events;
    if (dict_watcher >= 0 && PyDict_Watch(dict_watcher, dict) == 0) return dict_events;
    // Not watched: no state is known to be unchanged, each call gets a version of its own.
    if (PyErr_Occurred()) PyErr_Clear();
    return ++dict_events;
}

static void init_dict_versions() {
    if (dict_watcher >= 0) return;
    dict_watcher = PyDict_AddWatcher(on_dict_event);
    if (dict_watcher < 0) PyErr_Clear();  // all watcher slots taken: versions never repeat
}

}  // namespace log_main::priv
#endif

// ---------------------------------------------------------------- all versions, continued
namespace log_main::priv {

void init() {
    init_dict_versions();
    runtime_hooks_head = nullptr;
    const auto patch = static_cast<unsigned>((Py_Version >> 8) & 0xFF);
    if ((Py_Version >> 16) != (PY_VERSION_HEX >> 16)) return;  // another minor version: cannot tell
    for (const RuntimeLayout& l : known_layouts)
        if (layout_matches(l, patch)) return;
}

bool audit_hooks_installed(PyThreadState* ts) {
    return ts->interp->audit_hooks != nullptr || !runtime_hooks_head || *runtime_hooks_head != nullptr;
}

}  // namespace log_main::priv

// ---------------------------------------------------------------------------
// What watches the interpreter run (see private_api.hpp)

namespace log_main::priv {

bool monitoring_global_events(PyThreadState* ts) {
    // One byte per event, read a word at a time; the last word may overlap the
    // one before it.
    static_assert(sizeof(_Py_GlobalMonitors) >= 8);
    constexpr size_t size = sizeof(_Py_GlobalMonitors);
    const char* tools = reinterpret_cast<const char*>(ts->interp->monitors.tools);
    uint64_t any = 0, word;
    for (size_t at = 0; at < size; at += 8) {
        memcpy(&word, tools + (at + 8 <= size ? at : size - 8), 8);
        any |= word;
    }
    return any != 0;
}

// The code object's monitoring data is public up to 3.13 and internal since.
// A code object no tool ever instrumented has none: the pointers are or-ed
// together first (two loads each), the events looked at only when one is set.
// Since 3.14, freeing a tool also clears its callbacks and events, so with none
// of the tools sys.monitoring hands out (0 to 5) in use, no local event reaches
// anyone; on 3.13 a freed tool's events and callbacks stay, and only the code
// objects tell.
bool monitoring_local_events(PyThreadState* ts, PyCodeObject* const* codes, int n) {
#if PY_VERSION_HEX >= 0x030E0000
    PyObject* const* names = ts->interp->monitoring_tool_names;
    uintptr_t in_use = 0;
    for (int tool = 0; tool < PY_MONITORING_SYS_PROFILE_ID; ++tool) in_use |= reinterpret_cast<uintptr_t>(names[tool]);
    if (!in_use) return false;
#else
    (void)ts;
#endif
    uintptr_t any = 0;
    int i = 0;
    for (; i + 4 <= n; i += 4)
        any |= reinterpret_cast<uintptr_t>(codes[i]->_co_monitoring) |
               reinterpret_cast<uintptr_t>(codes[i + 1]->_co_monitoring) |
               reinterpret_cast<uintptr_t>(codes[i + 2]->_co_monitoring) |
               reinterpret_cast<uintptr_t>(codes[i + 3]->_co_monitoring);
    for (; i < n; ++i) any |= reinterpret_cast<uintptr_t>(codes[i]->_co_monitoring);
    if (!any) return false;
    for (int i = 0; i < n; ++i) {
        const _PyCoMonitoringData* data = codes[i]->_co_monitoring;
        if (!data) continue;
        for (uint8_t tools : data->local_monitors.tools)
            if (tools) return true;
    }
    return false;
}

PyObject* const* property_getter_slot(PyObject* prop) { return &reinterpret_cast<propertyobject*>(prop)->prop_get; }

PyObject* existing_instance_dict(PyObject* obj) {
    PyTypeObject* tp = Py_TYPE(obj);
    if (tp->tp_flags & Py_TPFLAGS_MANAGED_DICT) return reinterpret_cast<PyObject*>(_PyObject_GetManagedDict(obj));
    PyObject** where = tp->tp_dictoffset ? _PyObject_GetDictPtr(obj) : nullptr;
    return where ? *where : nullptr;
}

bool dict_has_str_keys(PyObject* dict) {
    return reinterpret_cast<PyDictObject*>(dict)->ma_keys->dk_kind != DICT_KEYS_GENERAL;
}

}  // namespace log_main::priv
