// log_main: module definition, create and exec steps, and the module body.
//
// The module is loaded by multi-phase initialisation. The create step hands out
// one module object per process (and refuses a second interpreter); the exec
// step runs the module body once, in the order a reader of the body expects:
// imports, constants, registries, the lock, _md5, the five classes, __test__.
#include "module/callables.hpp"
#include "module/globals.hpp"
#include "module/with_lock.hpp"

namespace log_main {

// Process-wide: the first interpreter that created the module.
static int64_t owner_interpreter = -1;

// ---------------------------------------------------------------------------
// Imports

static bool is_initialising(PyObject* mod) {
    Ref spec, flag;
    if (PyObject_GetOptionalAttr(mod, S.__spec__, spec.out()) <= 0 ||
        PyObject_GetOptionalAttr(spec.get(), S._initializing, flag.out()) <= 0) {
        PyErr_Clear();
        return false;
    }
    int truth = PyObject_IsTrue(flag.get());
    if (truth < 0) PyErr_Clear();
    return truth > 0;
}

// import <name> (or the module behind "from <name> import <fromlist>").
static Ref import_module(PyObject* name, PyObject* fromlist) {
    if (!fromlist) {
        Ref found;
        if (PyDict_GetItemRef(PyImport_GetModuleDict(), name, found.out()) < 0) return Ref();
        // None in sys.modules blocks the import; the import system says so.
        if (found && found.get() != Py_None && !is_initialising(found.get())) return found;
    }
    Ref locals = Ref::steal(PyDict_New());
    if (!locals) return Ref();
    return Ref::steal(PyImport_ImportModuleLevelObject(name, M.ns, locals.get(), fromlist, 0));
}

// One name of a from-import; a missing attribute may still be a submodule.
static Ref import_from(PyObject* mod, PyObject* name) {
    Ref value = get_attr(mod, name);
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        if (const char* modname = PyModule_GetName(mod)) {
            Ref full = Ref::steal(PyUnicode_FromFormat("%s.%U", modname, name));
            if (full) value = Ref::steal(PyImport_GetModule(full.get()));
        }
    }
    if (!value) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    }
    return value;
}

static int bind_name(PyObject* name, Ref value) {
    if (!value) return -1;
    return PyDict_SetItem(M.ns, name, value.get());
}

static int plain_import(PyObject* name) { return bind_name(name, import_module(name, nullptr)); }

static int from_import(const char* module, std::initializer_list<const char*> names) {
    Ref modname = Ref::steal(PyUnicode_InternFromString(module));
    Ref fromlist = Ref::steal(PyList_New(0));
    if (!modname || !fromlist) return -1;
    for (const char* n : names) {
        Ref item = Ref::steal(PyUnicode_InternFromString(n));
        if (!item || PyList_Append(fromlist.get(), item.get()) < 0) return -1;
    }
    Ref mod = import_module(modname.get(), fromlist.get());
    if (!mod) return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(fromlist.get()); ++i) {
        Ref n = Ref::borrow(PyList_GET_ITEM(fromlist.get(), i));  // held: the import runs code
        if (bind_name(n.get(), import_from(mod.get(), n.get())) < 0) return -1;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Classes

static int add_function(PyObject* ns, const FunctionSpec* spec, bool as_static = false) {
    Ref fn = make_function(spec);
    if (!fn) return -1;
    if (as_static) fn = Ref::steal(PyStaticMethod_New(fn.get()));
    if (!fn) return -1;
    Ref key = Ref::steal(PyUnicode_InternFromString(spec->name));
    if (!key) return -1;
    return PyObject_SetItem(ns, key.get(), fn.get());
}

// Makes a class by calling its metaclass with name, bases and namespace.
// With bases, the metaclass is derived from them and the namespace comes from
// its __prepare__; without, the class is made by `type` from a plain dict.
static Ref make_class(const char* name, PyObject* base, std::initializer_list<const FunctionSpec*> methods,
                      const FunctionSpec* static_new = nullptr) {
    Ref cls_name = Ref::steal(PyUnicode_InternFromString(name));
    Ref bases = Ref::steal(base ? PyTuple_Pack(1, base) : PyTuple_New(0));
    if (!cls_name || !bases) return Ref();
    Ref meta, ns;
    if (base) {
        meta = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(base)));
        if (!PyType_Check(base)) {
            PyErr_SetString(PyExc_TypeError, "bases must be types");
            return Ref();
        }
        ns = call(get_attr(meta, S.__prepare__), {cls_name.get(), bases.get()});
    } else {
        meta = Ref::borrow(reinterpret_cast<PyObject*>(&PyType_Type));
        ns = Ref::steal(PyDict_New());
    }
    if (!ns) return Ref();
    if (PyObject_SetItem(ns.get(), S.__module__, S.log_main_name) < 0) return Ref();
    if (PyObject_SetItem(ns.get(), S.__qualname__, cls_name.get()) < 0) return Ref();
    if (static_new && add_function(ns.get(), static_new, true) < 0) return Ref();
    for (const FunctionSpec* spec : methods)
        if (add_function(ns.get(), spec) < 0) return Ref();
    PyObject* args[] = {cls_name.get(), bases.get(), ns.get()};
    Ref cls = Ref::steal(PyObject_Vectorcall(meta.get(), args, 3, nullptr));
    if (!cls || PyDict_SetItem(M.ns, cls_name.get(), cls.get()) < 0) return Ref();
    return cls;
}

// Gives the class's own __init__ its class for argument-less super().
static int set_class_cell(PyObject* cls, const FunctionSpec* spec) {
    Ref fn = get_attr(cls, S.__init__);
    if (!fn) return -1;
    if (is_function_of(fn.get(), spec)) {
        Function* f = reinterpret_cast<Function*>(fn.get());
        Py_XSETREF(f->class_cell, Py_NewRef(cls));
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Module body

static Ref make_colors() {
    Ref colors = Ref::steal(PyDict_New());
    if (!colors) return Ref();
    static const char* const table[][2] = {
        {"INFO", "green"},
        {"DEBUG", "blue"},
        {"WARNING", "yellow"},
        {"ERROR", "red"},
        {"CRITICAL", "bold_red,bg_white"},
    };
    for (auto& row : table) {
        Ref value = Ref::steal(PyUnicode_FromString(row[1]));
        if (!value || PyDict_SetItemString(colors.get(), row[0], value.get()) < 0) return Ref();
    }
    return colors;
}

static int bind_new(const char* name, Ref value) { return value ? PyDict_SetItemString(M.ns, name, value.get()) : -1; }

static Ref new_dict() { return Ref::steal(PyDict_New()); }

static int run_body() {
    // __all__ = ["OsprelLog"]
    Ref all = Ref::steal(Py_BuildValue("[s]", "OsprelLog"));
    if (!all || PyDict_SetItemString(M.ns, "__all__", all.get()) < 0) return -1;

    if (plain_import(S.hashlib) < 0 || plain_import(S.logging) < 0 || plain_import(S.os) < 0 ||
        plain_import(S.uuid) < 0)
        return -1;
    if (from_import("logging.handlers", {"RotatingFileHandler"}) < 0) return -1;
    if (from_import("logging.handlers", {"TimedRotatingFileHandler"}) < 0) return -1;
    if (from_import("threading", {"Lock"}) < 0) return -1;
    if (from_import("typing", {"Optional", "Any", "Dict", "List", "Tuple"}) < 0) return -1;
    if (plain_import(S.colorlog) < 0) return -1;

    auto text = [](const char* utf8) { return Ref::steal(PyUnicode_FromString(utf8)); };
    if (bind_new("_fformatter", text("%(asctime)s - %(name)s - %(levelname)s - %(message)s")) < 0 ||
        bind_new("_cformatter", text("%(log_color)s%(asctime)s - %(name)s - %(levelname)s - %(message)s")) < 0)
        return -1;
    if (bind_new("_colors", make_colors()) < 0) return -1;
    if (bind_new("_LOGGERS", new_dict()) < 0 || bind_new("_FHANDLERS", new_dict()) < 0 ||
        bind_new("_CAPTURES", new_dict()) < 0)
        return -1;
    {
        Ref lock = call(global(S.Lock), {});
        if (!lock || PyDict_SetItem(M.ns, S._LOCK, lock.get()) < 0 || module_lock_init(lock.get()) < 0) return -1;
    }

    if (md5_init() < 0 || bind_new("_md5", make_function(&md5_spec)) < 0) return -1;

    Ref filter_base = global_attr(S.logging, S.Filter);
    if (!filter_base) return -1;
    Ref context_filter =
        make_class("_ContextFilter", filter_base.get(), {&context_filter_init_spec, &context_filter_filter_spec});
    if (!context_filter || set_class_cell(context_filter.get(), &context_filter_init_spec) < 0) return -1;

    Ref log_base = make_class("_LogBase", nullptr,
                              {&log_base_init_spec, &create_console_handler_spec, &create_file_handler_spec,
                               &disable_spec, &enable_spec, &close_spec, &set_console_level_spec, &set_file_level_spec,
                               &log_spec, &debug_spec, &info_spec, &warning_spec, &error_spec, &critical_spec});
    if (!log_base) return -1;

    if (!make_class("OsprelLog", nullptr, {}, &factory_new_spec)) return -1;

    Ref base = global(S._LogBase);
    if (!base) return -1;
    Ref set_logger = make_class("_SetLogger", base.get(), {&set_logger_init_spec, &setup_logger_spec});
    if (!set_logger || set_class_cell(set_logger.get(), &set_logger_init_spec) < 0) return -1;
    base = global(S._LogBase);
    if (!base) return -1;
    Ref get_logger = make_class("_GetLogger", base.get(), {&get_logger_init_spec, &captures_logger_spec});
    if (!get_logger || set_class_cell(get_logger.get(), &get_logger_init_spec) < 0) return -1;

    return bind_new("__test__", new_dict());
}

static int resolve_builtin(const char* name, PyObject** slot) {
    if (*slot) return 0;
    Ref key = Ref::steal(PyUnicode_InternFromString(name));
    if (!key) return -1;
    Ref value;
    int found = PyObject_GetOptionalAttr(M.builtins, key.get(), value.out());
    if (found == 0) PyErr_Format(PyExc_NameError, "name '%U' is not defined", key.get());
    if (found <= 0) return -1;
    *slot = value.release();
    return 0;
}

static int build_constants() {
    if (names_init() < 0) return -1;
    if (!M.int_0) {
        M.int_0 = PyLong_FromLong(0);
        M.int_1 = PyLong_FromLong(1);
        M.int_9999 = PyLong_FromLong(9999);
        M.int_104857600 = PyLong_FromLong(104857600);
        M.int_100 = PyLong_FromLong(100);
        M.int_365 = PyLong_FromLong(365);
        M.empty_tuple = PyTuple_New(0);
        M.kw_exist_ok = PyTuple_Pack(1, S.exist_ok);
        M.kw_fmt = PyTuple_Pack(1, S.fmt);
        M.kw_fmt_log_colors = PyTuple_Pack(2, S.fmt, S.log_colors);
        if (!M.int_0 || !M.int_1 || !M.int_9999 || !M.int_104857600 || !M.int_100 || !M.int_365 || !M.empty_tuple ||
            !M.kw_exist_ok || !M.kw_fmt || !M.kw_fmt_log_colors)
            return -1;
    }
    return 0;
}

// The exec step once the names and constants exist: makes sure sys.modules
// holds the module (a normal import has put it there already), resolves the
// builtins the bodies call, readies the function type and the dict watchers,
// then runs the module body. A failure here gets the "init log_main"
// traceback entry, which module_exec adds.
static int exec_body() {
    PyObject* modules = PyImport_GetModuleDict();
    int present = PyDict_Contains(modules, S.log_main_name);
    if (present < 0) return -1;
    if (!present && PyDict_SetItem(modules, S.log_main_name, M.module) < 0) return -1;

    if (resolve_builtin("super", &M.b_super) < 0 || resolve_builtin("ValueError", &M.b_ValueError) < 0 ||
        resolve_builtin("max", &M.b_max) < 0 || resolve_builtin("id", &M.b_id) < 0)
        return -1;
    if (function_type_ready() < 0 || watchers_init() < 0) return -1;
    return run_body();
}

static int module_exec(PyObject* module) {
    if (M.module) {
        if (M.module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'log_main' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    M.module = Py_NewRef(module);
    M.ns = PyModule_GetDict(module);

    int rc = -1;
    do {
        if (!M.builtins && !(M.builtins = PyImport_ImportModule("builtins"))) break;
        if (PyObject_SetAttrString(module, "__builtins__", M.builtins) < 0) break;

        const int major = static_cast<int>((Py_Version >> 24) & 0xFF);
        const int minor = static_cast<int>((Py_Version >> 16) & 0xFF);
        if (major != PY_MAJOR_VERSION || minor != PY_MINOR_VERSION) {
            char text[200];
            PyOS_snprintf(text, sizeof text,
                          "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                          PY_MAJOR_VERSION, PY_MINOR_VERSION, "log_main", "does not match", major, minor);
            if (PyErr_WarnEx(PyExc_RuntimeWarning, text, 1) < 0) break;
        }
        priv::init();
        if (build_constants() < 0) break;

        if (exec_body() < 0) {
            static PyObject* init_code = nullptr;
            add_traceback_named("init log_main", 1, &init_code);
            break;
        }
        rc = 0;
    } while (false);

    if (rc < 0) {
        // A failed load leaves nothing behind: the next import starts over.
        M.ns = nullptr;
        Py_CLEAR(M.module);
    }
    return rc;
}

static PyObject* module_create(PyObject* spec, PyModuleDef*) {
    const int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (owner_interpreter == -1) {
        if (current == -1) return nullptr;
        owner_interpreter = current;
    } else if (current != owner_interpreter) {
        PyErr_SetString(
            PyExc_ImportError,
            "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return nullptr;
    }
    if (M.module) return Py_NewRef(M.module);

    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    static const struct {
        const char* from;
        const char* to;
        bool allow_none;
    } copies[] = {
        {"loader", "__loader__", true},
        {"origin", "__file__", true},
        {"parent", "__package__", true},
        {"submodule_search_locations", "__path__", false},
    };
    for (auto& c : copies) {
        Ref value = Ref::steal(PyObject_GetAttrString(spec, c.from));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
            PyErr_Clear();
            continue;
        }
        if ((c.allow_none || value.get() != Py_None) && PyDict_SetItemString(dict, c.to, value.get()) < 0)
            return nullptr;
    }
    return module.release();
}

static PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

static PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "log_main",
    "One call for a ready-to-use named logger: a coloured console handler and a\n"
    "plain, size-rotating or midnight-rotating file handler, with take-over and\n"
    "restore of loggers that other code configured.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace log_main

PyMODINIT_FUNC PyInit_log_main(void) { return PyModuleDef_Init(&log_main::module_def); }
