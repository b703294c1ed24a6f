"""Loading the module: one module object per process, load failures, version and
interpreter guards, and the namespace the module body leaves behind."""
import builtins
import hashlib
import json
import logging
import logging.handlers
import os
import pydoc
import shutil
import subprocess
import sys
import textwrap
import threading
import typing
import uuid

import colorlog
import pytest

import log_main
from conftest import run_process, run_python

STANDARD = ["__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"]
BODY = ["__builtins__", "__all__", "hashlib", "logging", "os", "uuid", "RotatingFileHandler",
        "TimedRotatingFileHandler", "Lock", "Optional", "Any", "Dict", "List", "Tuple", "colorlog",
        "_fformatter", "_cformatter", "_colors", "_LOGGERS", "_FHANDLERS", "_CAPTURES", "_LOCK",
        "_md5", "_ContextFilter", "_LogBase", "OsprelLog", "_SetLogger", "_GetLogger", "__test__"]
INTERP_CHANGE = "Interpreter change detected - this module can only be loaded into one interpreter per process."
# The module is built for the interpreter running the tests; the fake one is the next minor version.
BUILT = f"{sys.version_info.major}.{sys.version_info.minor}"
FAKE_MINOR = sys.version_info.minor + 1
VERSION_TEXT = f"compile time Python version {BUILT} of module 'log_main' does not match runtime version 3.{FAKE_MINOR}"

# Prepended to every child script: traceback entries not coming from the script itself.
PRELUDE = """\
import json, sys
def entries(exc):
    tb, out = exc.__traceback__, []
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename != "<string>":
            out.append([code.co_name, code.co_filename])
        tb = tb.tb_next
    return out
"""


def run_json(code, env=None):
    """Runs code in a fresh interpreter; its last stdout line is a JSON value."""
    res = run_python(PRELUDE + textwrap.dedent(code), env=env)
    assert res.returncode == 0, res.stderr
    return json.loads(res.stdout.strip().splitlines()[-1])


# ---------------------------------------------------------------- one module object

def test_reimport_and_reload_return_the_same_module_without_rerunning_the_body():
    out = run_json("""
        import importlib
        import log_main as m
        keep = [m._LOGGERS, m._FHANDLERS, m._CAPTURES, m._LOCK, m._md5, m._LogBase, m.OsprelLog]
        m._LOGGERS["k"] = {1: "layer"}
        m.__test__["marker"] = 1
        m._colors = "rebound"
        res = {}
        del sys.modules["log_main"]
        import log_main as again
        res["reimport"] = [again is m, sys.modules["log_main"] is m]
        res["reloaded"] = [importlib.reload(m) is m]
        res["kept"] = [getattr(m, n) is o for n, o in zip(
            ["_LOGGERS", "_FHANDLERS", "_CAPTURES", "_LOCK", "_md5", "_LogBase", "OsprelLog"], keep)]
        res["state"] = [m._LOGGERS, m.__test__, m._colors]
        print(json.dumps(res))
    """)
    assert out == {"reimport": [True, True], "reloaded": [True], "kept": [True] * 7,
                   "state": [{"k": {"1": "layer"}}, {"marker": 1}, "rebound"]}


def test_second_module_object_is_refused_and_first_exec_again_is_a_no_op():
    out = run_json("""
        import _imp, importlib.util
        found = importlib.util.find_spec("log_main")
        first, second = _imp.create_dynamic(found), _imp.create_dynamic(found)
        res = [first is not second]
        _imp.exec_dynamic(first)
        first.__test__["marker"] = 1
        try:
            _imp.exec_dynamic(second)
        except RuntimeError as exc:
            res.append(str(exc))
        _imp.exec_dynamic(first)
        res += [first.__test__, _imp.create_dynamic(found) is first, "_md5" in vars(second)]
        print(json.dumps(res))
    """)
    assert out == [True, "Module 'log_main' has already been imported. Re-initialisation is not supported.",
                   {"marker": 1}, True, False]


# ---------------------------------------------------------------- failed loads start over

BLOCK_COLORLOG = """
class Blocker:
    active, failed, raised = True, [], []
    def find_spec(self, name, path=None, target=None):
        if name == "colorlog" and self.active:
            self.failed.append(sys.modules.get("log_main"))
            self.raised.append(ModuleNotFoundError("No module named 'colorlog'", name="colorlog"))
            raise self.raised[-1]
        return None
blocker = Blocker()
sys.meta_path.insert(0, blocker)
"""


def test_missing_colorlog_fails_the_load_and_a_later_import_starts_over():
    out = run_json(BLOCK_COLORLOG + """
res = {}
try:
    import log_main
except ModuleNotFoundError as exc:
    res["error"] = [exc is blocker.raised[0], str(exc), exc.name, entries(exc)]
res["forgotten"] = "log_main" not in sys.modules
failed = blocker.failed[0]
res["partial"] = list(vars(failed))
blocker.active = False
import log_main
res["new"] = [log_main is not failed, list(vars(log_main)), log_main._md5("a"),
              log_main.colorlog is sys.modules["colorlog"], log_main._LOGGERS, log_main._LOCK.locked()]
print(json.dumps(res))
""")
    assert out["error"] == [True, "No module named 'colorlog'", "colorlog", [["init log_main", "log_main.py"]]]
    assert out["forgotten"] is True
    assert out["partial"] == STANDARD + BODY[:BODY.index("colorlog")]
    assert out["new"] == [True, STANDARD + BODY, "0cc175b9c0f1b6a831c399e269772661", True, {}, False]


@pytest.mark.parametrize("setup, undo, error", [
    ("import typing; saved = typing.Tuple; del typing.Tuple", "typing.Tuple = saved",
     ["ImportError", "cannot import name Tuple"]),
    ("import logging; logging.DEBUG = True", "logging.DEBUG = 10",
     ["TypeError", "Expected int, got bool"]),
    ("import logging; logging.DEBUG = 2.5", "logging.DEBUG = 10",
     ["TypeError", "Expected int, got float"]),
    ("import builtins; saved = builtins.max; del builtins.max", "builtins.max = saved",
     ["NameError", "name 'max' is not defined"]),
], ids=["from-import", "debug-bool", "debug-float", "builtin-missing"])
def test_failure_in_module_body_carries_init_entry_and_retry_loads(setup, undo, error):
    out = run_json(f"""
{setup}
res = []
try:
    import log_main
except Exception as exc:
    res += [type(exc).__name__, str(exc), entries(exc), "log_main" in sys.modules]
{undo}
import log_main
res.append(log_main._md5(""))
print(json.dumps(res))
""")
    assert out == error + [[["init log_main", "log_main.py"]], False, "d41d8cd98f00b204e9800998ecf8427e"]


def test_level_default_is_the_debug_object_read_at_load():
    out = run_json("""
        import logging
        logging.DEBUG = value = 10 ** 20
        import log_main as m
        logging.DEBUG = 10
        fns = [m.OsprelLog.__new__, m._SetLogger.__init__, m._GetLogger.__init__]
        res = [f.__defaults__[0] is value for f in fns]
        logging.DEBUG = None
        del sys.modules["log_main"]
        import log_main
        print(json.dumps(res + [f.__defaults__[0] is value for f in fns]))
    """)
    assert out == [True] * 6
    # None passes the load-time check as well.
    out = run_json("""
        import logging
        logging.DEBUG = None
        import log_main as m
        print(json.dumps([m.OsprelLog.__new__.__defaults__, m._SetLogger.__init__.__defaults__]))
    """)
    assert out == [[None, None, "file", True, False], [None, None, "file", True]]


# ---------------------------------------------------------------- interpreter and version guards

def _legacy_subinterpreters():
    try:
        import _interpreters
    except ImportError:
        pytest.skip("no _interpreters module")
    return _interpreters


@pytest.mark.parametrize("main_first", [True, False], ids=["main-first", "sub-first"])
def test_second_interpreter_is_refused(main_first):
    _legacy_subinterpreters()
    out = run_json(f"""
        import _interpreters
        res = []
        if {main_first}:
            import log_main
        sub = _interpreters.create("legacy")
        info = _interpreters.exec(sub, "import log_main\\nlog_main._md5('a')")
        res.append(None if info is None else info.formatted)
        if not {main_first}:
            try:
                import log_main
            except ImportError as exc:
                res += [str(exc), entries(exc), "log_main" in sys.modules]
        print(json.dumps(res))
    """)
    if main_first:
        assert out == [f"ImportError: {INTERP_CHANGE}"]
    else:
        assert out == [None, INTERP_CHANGE, [], False]


@pytest.fixture
def fake_next(tmp_path):
    """A shared object whose Py_Version says the next minor version, for LD_PRELOAD."""
    gcc = shutil.which("gcc")
    if gcc is None:
        pytest.skip("gcc not available")
    src = tmp_path / "pyversion.c"
    fake = 0x030000F0 | FAKE_MINOR << 16
    src.write_text(f"const unsigned long Py_Version = {fake:#x};\n")
    lib = tmp_path / "pyversion.so"
    run_process([gcc, "-shared", "-fPIC", "-o", str(lib), str(src)], check=True, timeout=120)
    # A sanitizer runtime preloaded for the whole run must stay first.
    env = {"LD_PRELOAD": " ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(lib)]))}
    probe = run_python("import ctypes; print(hex(ctypes.c_ulong.in_dll(ctypes.pythonapi, 'Py_Version').value))",
                       env=env)
    if probe.returncode != 0 or probe.stdout.strip() != hex(fake):
        pytest.skip("Py_Version override did not take")
    return env


def test_version_mismatch_warns_and_loads(fake_next):
    out = run_json("""
        import warnings
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import log_main
        print(json.dumps([[w.category.__name__, str(w.message)] for w in caught] + [log_main._md5("a")]))
    """, env=fake_next)
    assert out == [["RuntimeWarning", VERSION_TEXT], "0cc175b9c0f1b6a831c399e269772661"]


def test_version_mismatch_as_error_fails_the_import_without_init_entry(fake_next):
    out = run_json("""
        import warnings
        warnings.simplefilter("error", RuntimeWarning)
        res = []
        try:
            import log_main
        except RuntimeWarning as exc:
            res += [type(exc).__name__, str(exc), entries(exc), "log_main" in sys.modules]
        warnings.simplefilter("ignore", RuntimeWarning)
        import log_main
        res.append(log_main._md5("a"))
        print(json.dumps(res))
    """, env=fake_next)
    assert out == ["RuntimeWarning", VERSION_TEXT, [], False, "0cc175b9c0f1b6a831c399e269772661"]


# ---------------------------------------------------------------- namespace after loading

def test_namespace_values():
    expected = {
        "__builtins__": builtins, "hashlib": hashlib, "logging": logging, "os": os, "uuid": uuid,
        "RotatingFileHandler": logging.handlers.RotatingFileHandler,
        "TimedRotatingFileHandler": logging.handlers.TimedRotatingFileHandler, "Lock": threading.Lock,
        "Optional": typing.Optional, "Any": typing.Any, "Dict": typing.Dict, "List": typing.List,
        "Tuple": typing.Tuple, "colorlog": colorlog,
    }
    assert {n: getattr(log_main, n) for n in expected} == expected
    assert all(getattr(log_main, n) is v for n, v in expected.items())
    assert log_main.__all__ == ["OsprelLog"] and type(log_main.__all__) is list
    assert log_main._fformatter == "%(asctime)s - %(name)s - %(levelname)s - %(message)s"
    assert log_main._cformatter == "%(log_color)s%(asctime)s - %(name)s - %(levelname)s - %(message)s"
    assert list(log_main._colors.items()) == [
        ("INFO", "green"), ("DEBUG", "blue"), ("WARNING", "yellow"), ("ERROR", "red"),
        ("CRITICAL", "bold_red,bg_white")]
    assert log_main.__name__ == "log_main" and log_main.__file__ == log_main.__spec__.origin


def test_fresh_load_state():
    out = run_json("""
        import threading, log_main as m
        regs = [m._LOGGERS, m._FHANDLERS, m._CAPTURES, m.__test__]
        print(json.dumps([list(vars(m)), [type(r) is dict and r == {} for r in regs],
                          len({id(r) for r in regs}) == 4,
                          type(m._LOCK) is threading.Lock, m._LOCK.locked()]))
    """)
    assert out == [STANDARD + BODY, [True] * 4, True, True, False]


CLASS_FUNCTIONS = {
    "_ContextFilter": ["__init__", "filter"],
    "_LogBase": ["__init__", "_create_console_handler", "_create_file_handler", "disable", "enable", "close",
                 "set_console_level", "set_file_level", "_log", "debug", "info", "warning", "error", "critical"],
    "OsprelLog": ["__new__"],
    "_SetLogger": ["__init__", "_setup_logger"],
    "_GetLogger": ["__init__", "_captures_logger"],
}
BASES = {"_ContextFilter": (logging.Filter,), "_LogBase": (object,), "OsprelLog": (object,),
         "_SetLogger": (log_main._LogBase,), "_GetLogger": (log_main._LogBase,)}


@pytest.mark.parametrize("name", list(CLASS_FUNCTIONS))
def test_class_shape(name):
    cls = getattr(log_main, name)
    assert type(cls) is type and cls.__bases__ == BASES[name]
    assert (cls.__name__, cls.__qualname__, cls.__module__, cls.__doc__) == (name, name, "log_main", None)
    funcs = [k for k, v in cls.__dict__.items() if isinstance(v, (type(log_main._md5), staticmethod))]
    assert funcs == CLASS_FUNCTIONS[name]
    for k in funcs:
        raw = cls.__dict__[k]
        if name == "OsprelLog":
            assert type(raw) is staticmethod and type(raw.__func__) is type(log_main._md5)
            assert cls.__new__ is raw.__func__
        else:
            assert type(raw) is type(log_main._md5) and getattr(cls, k) is raw
    assert cls.__mro__ == (cls,) + BASES[name] + ((object,) if BASES[name] != (object,) else ())
    obj = object.__new__(cls)
    obj.anything = 1
    assert vars(obj) == {"anything": 1}
    if name == "_SetLogger":  # fetched through an instance: a bound method of the plain function
        assert obj.info.__self__ is obj and obj.info.__func__ is log_main._LogBase.__dict__["info"]


# ---------------------------------------------------------------- _md5

@pytest.mark.parametrize("text, digest", [
    ("", "d41d8cd98f00b204e9800998ecf8427e"),
    ("abc", "900150983cd24fb0d6963f7d28e17f72"),
    ("1234567890" * 8, "57edf4a22be3c955ac49da2e2107b67a"),
    ("日志 é", hashlib.md5("日志 é".encode("utf-8")).hexdigest()),
])
def test_md5_digests(text, digest):
    result = log_main._md5(text)
    assert type(result) is str and result == digest


def test_md5_encoding_error_carries_md5_entry():
    with pytest.raises(UnicodeEncodeError) as info:
        log_main._md5("a\ud800")
    tb, frames = info.tb, []
    while tb is not None:
        frames.append(tb.tb_frame)
        tb = tb.tb_next
    assert [(f.f_code.co_name, f.f_code.co_filename) for f in frames[1:]] == [("log_main._md5", "log_main.py")]
    assert frames[1].f_globals is vars(log_main)


def test_md5_calls_a_replaced_constructor_without_arguments():
    out = run_json("""
        import hashlib, log_main
        real, calls = hashlib.md5, []
        def md5(*args, **kwargs):
            calls.append([list(map(repr, args)), sorted(kwargs)])
            return real()
        hashlib.md5 = md5
        digest = log_main._md5("abc")
        print(json.dumps([digest, calls]))
    """)
    assert out == ["900150983cd24fb0d6963f7d28e17f72", [[[], []]]]


def test_help_renders():
    text = pydoc.render_doc(log_main, renderer=pydoc.plaintext)
    assert "OsprelLog.__new__(cls, unicode name: Optional[str]" in text
    assert "_LogBase.info(self, *message: Any" in pydoc.render_doc(log_main._SetLogger, renderer=pydoc.plaintext)
