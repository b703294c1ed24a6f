"""How every callable of the module introspects, binds its arguments, checks their
types, reports failures and resolves module globals."""
import builtins
import collections
import ctypes
import enum
import inspect
import json
import textwrap
import types

import pytest

import log_main
from conftest import run_python

M = log_main
FUNCTION = type(M._md5)
LEVEL_DOC = ("_LogBase.{}(self, *message: Any, tuple args: Optional[Tuple[Any, ...]] = None, "
             "dict kwargs: Optional[Dict[str, Any]] = None) -> None")
LEVEL_SIG = ("(self, *message: 'Any', args: 'Optional[Tuple[Any, ...]]' = None, "
             "kwargs: 'Optional[Dict[str, Any]]' = None) -> 'None'")
LEVEL_ANN = {"args": "Optional[Tuple[Any, ...]]", "kwargs": "Optional[Dict[str, Any]]", "message": "Any",
             "return": "None"}
NEW_ANN = {"name": "Optional[str]", "level": "int", "file": "Optional[str]", "handler_type": "str",
           "console": "bool", "rehandler": "bool", "return": "'_LogBase'"}
INIT_ANN = {"name": "str", "level": "int", "file": "Optional[str]", "handler_type": "str", "console": "bool",
            "return": "None"}
SELF_ONLY = [("_LogBase.__init__", None), ("_LogBase._create_console_handler", "None"),
             ("_LogBase._create_file_handler", "None"), ("_LogBase.disable", "None"),
             ("_LogBase.close", "None"), ("_SetLogger._setup_logger", None), ("_GetLogger._captures_logger", None)]

# qualname: (__doc__, __defaults__, __kwdefaults__, __annotations__, str(inspect.signature))
INDEX = {
    "_md5": ("_md5(unicode text: str) -> str", None, None, {"text": "str", "return": "str"},
             "(text: 'str') -> 'str'"),
    "_ContextFilter.__init__": ("_ContextFilter.__init__(self, unicode logger_name: str)", None, None,
                                {"logger_name": "str"}, "(self, logger_name: 'str')"),
    "_ContextFilter.filter": ("_ContextFilter.filter(self, record: logging.LogRecord) -> bool", None, None,
                              {"record": "logging.LogRecord", "return": "bool"},
                              "(self, record: 'logging.LogRecord') -> 'bool'"),
    "_LogBase.enable": ("_LogBase.enable(self, value: logging.Logger) -> None", None, None,
                        {"value": "logging.Logger", "return": "None"},
                        "(self, value: 'logging.Logger') -> 'None'"),
    **{f"_LogBase.{n}": (f"_LogBase.{n}(self, int level: int) -> None", None, None,
                         {"level": "int", "return": "None"}, "(self, level: 'int') -> 'None'")
       for n in ("set_console_level", "set_file_level")},
    "_LogBase._log": (
        "_LogBase._log(self, int level: int, tuple message: Tuple[Any, ...], tuple args: Optional[Tuple[Any, ...]]"
        " = None, dict kwargs: Optional[Dict[str, Any]] = None) -> None", (None, None), None,
        {"level": "int", "message": "Tuple[Any, ...]", "args": "Optional[Tuple[Any, ...]]",
         "kwargs": "Optional[Dict[str, Any]]", "return": "None"},
        "(self, level: 'int', message: 'Tuple[Any, ...]', args: 'Optional[Tuple[Any, ...]]' = None, "
        "kwargs: 'Optional[Dict[str, Any]]' = None) -> 'None'"),
    **{f"_LogBase.{n}": (LEVEL_DOC.format(n), None, {"args": None, "kwargs": None}, LEVEL_ANN, LEVEL_SIG)
       for n in ("debug", "info", "warning", "error", "critical")},
    "OsprelLog.__new__": (
        "OsprelLog.__new__(cls, unicode name: Optional[str], int level: int = logging.DEBUG, unicode file: "
        "Optional[str] = None, unicode handler_type: str = u'file', console: bool = True, rehandler: bool = False,"
        " **kwargs) -> '_LogBase'", (10, None, "file", True, False), None, NEW_ANN,
        "(cls, name: 'Optional[str]', level: 'int' = 10, file: 'Optional[str]' = None, handler_type: 'str' = "
        "'file', console: 'bool' = True, rehandler: 'bool' = False, **kwargs) -> \"'_LogBase'\""),
    "_SetLogger.__init__": (
        "_SetLogger.__init__(self, unicode name: str, int level: int = logging.DEBUG, unicode file: Optional[str]"
        " = None, unicode handler_type: str = u'file', console: bool = True, **kwargs) -> None",
        (10, None, "file", True), None, INIT_ANN,
        "(self, name: 'str', level: 'int' = 10, file: 'Optional[str]' = None, handler_type: 'str' = 'file', "
        "console: 'bool' = True, **kwargs) -> 'None'"),
    "_GetLogger.__init__": (
        "_GetLogger.__init__(self, unicode name: str, int level: int = logging.DEBUG, unicode file: Optional[str]"
        " = None, unicode handler_type: str = u'file', console: bool = True, rehandler: bool = False, **kwargs)"
        " -> None", (10, None, "file", True, False), None,
        {**{k: v for k, v in INIT_ANN.items() if k != "return"}, "rehandler": "bool", "return": "None"},
        "(self, name: 'str', level: 'int' = 10, file: 'Optional[str]' = None, handler_type: 'str' = 'file', "
        "console: 'bool' = True, rehandler: 'bool' = False, **kwargs) -> 'None'"),
    **{q: (f"{q}(self)" + (" -> None" if r else ""), None, None, {"return": r} if r else {},
           "(self)" + (" -> 'None'" if r else "")) for q, r in SELF_ONLY},
}


def lookup(qualname):
    obj = M
    for part in qualname.split("."):
        obj = vars(obj)[part]
    return obj.__func__ if isinstance(obj, staticmethod) else obj


def test_index_covers_every_function_of_the_module():
    found = {"_md5"}
    for cls in (M._ContextFilter, M._LogBase, M.OsprelLog, M._SetLogger, M._GetLogger):
        found |= {f"{cls.__name__}.{k}" for k, v in vars(cls).items() if isinstance(v, (FUNCTION, staticmethod))}
    assert found == set(INDEX)


@pytest.mark.parametrize("qualname", list(INDEX))
def test_introspection(qualname):
    doc, defaults, kwdefaults, annotations, signature = INDEX[qualname]
    f = lookup(qualname)
    assert type(f) is FUNCTION
    assert (f.__name__, f.__qualname__, f.__module__) == (qualname.rpartition(".")[2], qualname, "log_main")
    assert f.__doc__ == doc
    assert f.__defaults__ == defaults and f.__kwdefaults__ == kwdefaults
    assert list(f.__annotations__.items()) == list(annotations.items())
    sig = inspect.signature(f)
    assert str(sig) == signature
    if defaults and qualname.endswith(("__new__", "__init__")):
        assert f.__defaults__[0] is sig.parameters["level"].default and type(f.__defaults__[0]) is int
    assert type(f.__code__) is types.CodeType


def test_file_name_function(tmp_path, unique_name):
    obj = M._SetLogger(unique_name, 10, str(tmp_path / "a.log"), "timerotating", False)
    try:
        namer = obj._file_handler.namer
        assert type(namer) is FUNCTION
        assert (namer.__name__, namer.__qualname__, namer.__module__) == (
            "lambda", "_LogBase._create_file_handler.<locals>.<lambda>", "log_main")
        assert (namer.__code__, namer.__doc__, namer.__defaults__, namer.__kwdefaults__, namer.__annotations__) \
            == (None, None, None, None, {})
        for args, kwargs, given in [((), {}, 0), (("a", "b"), {}, 2), ((), {"nm": "a"}, 0)]:
            with pytest.raises(TypeError) as info:
                namer(*args, **kwargs)
            assert str(info.value) == f"lambda() takes exactly 1 positional argument ({given} given)"
            assert module_entries(info.value) == ["log_main._LogBase._create_file_handler.lambda"]
    finally:
        obj.close()


# ---------------------------------------------------------------- binding

def module_entries(exc):
    """Names of the traceback entries that the module added (file "log_main.py")."""
    tb, names = exc.__traceback__, []
    while tb is not None:
        if tb.tb_frame.f_code.co_filename == "log_main.py":
            assert tb.tb_frame.f_globals is vars(M)
            names.append(tb.tb_frame.f_code.co_name)
        tb = tb.tb_next
    return names


def count(f, word, n, given):
    return f"{f}() takes {word} {n} positional argument{'' if n == 1 else 's'} ({given} given)"


class Recording(M._LogBase):
    """Records what the level methods hand to _log."""

    def _log(self, level, message, args=None, kwargs=None):
        self.calls.append((level, message, args, kwargs))


def recording():
    obj = Recording()
    obj.calls = []
    return obj


SILENT = M._LogBase()
LB, NEW = M._LogBase, M.OsprelLog.__new__


@pytest.mark.parametrize("call, text, entry", [
    (lambda: M._md5(), count("_md5", "exactly", 1, 0), "_md5"),
    (lambda: M._md5("a", "b"), count("_md5", "exactly", 1, 2), "_md5"),
    (lambda: M._md5(txt="a"), count("_md5", "exactly", 1, 0), "_md5"),
    (lambda: M._md5("a", text="b"), "_md5() got multiple values for keyword argument 'text'", "_md5"),
    (lambda: M._md5("a", txt="b"), "_md5() got an unexpected keyword argument 'txt'", "_md5"),
    (lambda: M._md5("a", "b", text="c"), count("_md5", "exactly", 1, 2), "_md5"),
    (lambda: M._LogBase(1), count("__init__", "exactly", 1, 2), "_LogBase.__init__"),
    (lambda: M._ContextFilter(), count("__init__", "exactly", 2, 1), "_ContextFilter.__init__"),
    (lambda: SILENT.set_console_level(), count("set_console_level", "exactly", 2, 1), "_LogBase.set_console_level"),
    (lambda: SILENT.set_file_level(1, 2), count("set_file_level", "exactly", 2, 3), "_LogBase.set_file_level"),
    (lambda: LB.set_console_level(level=20), count("set_console_level", "exactly", 2, 0),
     "_LogBase.set_console_level"),
    (lambda: SILENT.enable(value=1, x=2), "enable() got an unexpected keyword argument 'x'", "_LogBase.enable"),
    (lambda: SILENT.close(1), count("close", "exactly", 1, 2), "_LogBase.close"),
    (lambda: LB._log(SILENT), count("_log", "at least", 3, 1), "_LogBase._log"),
    (lambda: LB._log(SILENT, level=10), count("_log", "at least", 3, 2), "_LogBase._log"),
    (lambda: LB._log(SILENT, 10, level=20), count("_log", "at least", 3, 2), "_LogBase._log"),
    (lambda: LB._log(SILENT, 10, (), None, None, 1), count("_log", "at most", 5, 6), "_LogBase._log"),
    (lambda: LB._log(SILENT, 10, (), None, None, 1, x=1), count("_log", "at most", 5, 6), "_LogBase._log"),
    (lambda: SILENT._log(10, (), message=()), "_log() got multiple values for keyword argument 'message'",
     "_LogBase._log"),
    (lambda: SILENT._log(10, (), foo=1, args=()), "_log() got an unexpected keyword argument 'foo'",
     "_LogBase._log"),
    (lambda: LB.info(), count("info", "at least", 1, 0), "_LogBase.info"),
    (lambda: LB.debug(args=()), count("debug", "at least", 1, 0), "_LogBase.debug"),
    (lambda: SILENT.error(message="x"), "error() got an unexpected keyword argument 'message'", "_LogBase.error"),
    (lambda: SILENT.warning("a", foo=1), "warning() got an unexpected keyword argument 'foo'",
     "_LogBase.warning"),
    (lambda: SILENT.critical("a", self=SILENT), "critical() got multiple values for keyword argument 'self'",
     "_LogBase.critical"),
    (lambda: M.OsprelLog(), count("__new__", "at least", 2, 1), "OsprelLog.__new__"),
    (lambda: NEW(), count("__new__", "at least", 2, 0), "OsprelLog.__new__"),
    (lambda: M.OsprelLog(level=10), count("__new__", "at least", 2, 1), "OsprelLog.__new__"),
    (lambda: M.OsprelLog("x", 10, None, "file", True, False, 1), count("__new__", "at most", 7, 8),
     "OsprelLog.__new__"),
    (lambda: M.OsprelLog("x", 10, None, "file", True, False, 1, z=1), count("__new__", "at most", 7, 8),
     "OsprelLog.__new__"),
    (lambda: M.OsprelLog("x", name="y"), "__new__() got multiple values for keyword argument 'name'",
     "OsprelLog.__new__"),
    (lambda: M._SetLogger(), count("__init__", "at least", 2, 1), "_SetLogger.__init__"),
    (lambda: M._SetLogger(*"abcdef"), count("__init__", "at most", 6, 7), "_SetLogger.__init__"),
    (lambda: M._SetLogger("a", rehandler=True, name="b"),
     "__init__() got multiple values for keyword argument 'name'", "_SetLogger.__init__"),
    (lambda: M._GetLogger(*"abcdefg"), count("__init__", "at most", 7, 8), "_GetLogger.__init__"),
    (lambda: M._GetLogger(file=None), count("__init__", "at least", 2, 1), "_GetLogger.__init__"),
])
def test_binding_errors(call, text, entry):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError and str(info.value) == text
    assert module_entries(info.value) == ["log_main." + entry]


def test_non_string_keyword_names():
    # The interpreter refuses them at a Python call site already ...
    with pytest.raises(TypeError, match="^keywords must be strings$"):
        M._md5(**{1: "a"})
    # ... so hand them to the function directly, as C code may.
    vectorcall = ctypes.pythonapi.PyObject_Vectorcall
    vectorcall.restype = ctypes.py_object
    vectorcall.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.py_object]

    def call(func, positional, names, values):
        items = (ctypes.py_object * 4)(*positional, *values)
        return vectorcall(func, ctypes.cast(items, ctypes.c_void_p), len(positional), tuple(names))

    assert call(M._md5, [], ["text"], ["a"]) == "0cc175b9c0f1b6a831c399e269772661"
    for positional, names, values, text in [
        (["a"], [1], ["b"], "_md5() keywords must be strings"),
        ([], [1, "text"], ["b", "a"], "_md5() keywords must be strings"),
        ([], [1], ["b"], count("_md5", "exactly", 1, 0)),
    ]:
        with pytest.raises(TypeError) as info:
            call(M._md5, positional, names, values)
        assert str(info.value) == text and module_entries(info.value) == ["log_main._md5"]


def test_level_method_binding():
    obj = recording()
    assert obj.info("a", "b", args=None, kwargs=None) is None
    obj.debug()
    LB.warning(self=obj)
    LB.error(obj, 1, kwargs={"stacklevel": 2}, args=(3,))
    obj.critical(*"xyz")
    assert obj.calls == [(20, ("a", "b"), None, None), (10, (), None, None), (30, (), None, None),
                         (40, (1,), (3,), {"stacklevel": 2}), (50, ("x", "y", "z"), None, None)]
    assert all(type(c[1]) is tuple for c in obj.calls)


def test_every_parameter_can_be_passed_by_keyword(unique_name, monkeypatch):
    obj = M._LogBase()
    assert LB.set_console_level(self=obj, level=20) is None and obj.console_level == 20
    assert LB._log(self=obj, level=10, message=(), args=None, kwargs=None) is None
    assert LB.enable(self=obj, value=42) is None and obj._logger == 42
    assert M._md5(text="abc") == "900150983cd24fb0d6963f7d28e17f72"
    seen = []
    monkeypatch.setattr(M, "_SetLogger", lambda *a, **k: seen.append((a, k)) or "made")
    monkeypatch.setattr(M, "_LOGGERS", {})
    assert NEW(cls=M.OsprelLog, name=unique_name, console=False) == "made"
    assert seen == [((unique_name, 10, None, "file", False), {})]


class Quiet(M._SetLogger):
    def _setup_logger(self):
        pass


def test_kwargs_collect_in_call_order_into_a_new_dict(unique_name):
    extra = {"b": 1, "a": 2}
    obj = Quiet(unique_name, z=0, **extra, m=3)
    assert list(obj.kwargs.items()) == [("z", 0), ("b", 1), ("a", 2), ("m", 3)]
    assert type(obj.kwargs) is dict and obj.kwargs is not extra
    first, second = Quiet(unique_name + "1"), Quiet(unique_name + "2", **{})
    assert first.kwargs == {} and second.kwargs == {} and first.kwargs is not second.kwargs
    # More keywords than the binder marks on the C stack, named parameters among and after them.
    many = {f"k{i}": i for i in range(40)}
    wide = Quiet(**many, level=30, name=unique_name + "3", handler_type="rotating")
    assert (wide.name, wide.file_level, wide.handler_type) == (unique_name + "3", 30, "rotating")
    assert list(wide.kwargs.items()) == list(many.items())
    with pytest.raises(TypeError, match=r"__init__\(\) got multiple values for keyword argument 'name'"):
        Quiet(unique_name + "4", **many, name="again")


# ---------------------------------------------------------------- exact-type checks

class Color(enum.IntEnum):
    RED = 20


class Text(str):
    pass


Point = collections.namedtuple("Point", "x y")


def check(name, expected, got):
    return f"Argument '{name}' has incorrect type (expected {expected}, got {got})"


@pytest.mark.parametrize("call, text", [
    (lambda: M._md5(b"x"), check("text", "str", "bytes")),
    (lambda: M._md5(Text("x")), check("text", "str", "Text")),
    (lambda: M._md5(None), check("text", "str", "NoneType")),
    (lambda: M._ContextFilter(None), check("logger_name", "str", "NoneType")),
    (lambda: SILENT.set_console_level(True), check("level", "int", "bool")),
    (lambda: SILENT.set_file_level(Color.RED), check("level", "int", "Color")),
    (lambda: SILENT.set_file_level(level=20.0), check("level", "int", "float")),
    (lambda: SILENT.set_console_level(None), check("level", "int", "NoneType")),
    (lambda: SILENT._log(True, []), check("level", "int", "bool")),
    (lambda: SILENT._log(10, [], []), check("message", "tuple", "list")),
    (lambda: SILENT._log(10, None), check("message", "tuple", "NoneType")),
    (lambda: SILENT._log(10, Point(1, 2)), check("message", "tuple", "Point")),
    (lambda: SILENT._log(10, (), [], {}.keys()), check("args", "tuple", "list")),
    (lambda: SILENT._log(10, (), None, collections.OrderedDict()),
     check("kwargs", "dict", "collections.OrderedDict")),
    (lambda: SILENT.info("a", args=[]), check("args", "tuple", "list")),
    (lambda: SILENT.info(kwargs=[], args=Point(1, 2)), check("args", "tuple", "Point")),
    (lambda: SILENT.debug("a", kwargs=collections.OrderedDict()), check("kwargs", "dict", "collections.OrderedDict")),
    (lambda: SILENT.debug(kwargs=collections.defaultdict(int)), check("kwargs", "dict", "collections.defaultdict")),
    (lambda: M.OsprelLog(b"x"), check("name", "str", "bytes")),
    (lambda: M.OsprelLog("x", handler_type=None), check("handler_type", "str", "NoneType")),
    (lambda: M.OsprelLog("x", True, 5, None), check("level", "int", "bool")),
    (lambda: M.OsprelLog("x", 10, Text("f"), None), check("file", "str", "Text")),
    (lambda: M._SetLogger(None), check("name", "str", "NoneType")),
    (lambda: M._SetLogger("x", file=b"f", level=False), check("level", "int", "bool")),
    (lambda: M._GetLogger("x", handler_type=Text("file")), check("handler_type", "str", "Text")),
])
def test_type_checks_in_parameter_order_without_entry(call, text):
    state = dict(vars(SILENT))
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == text and module_entries(info.value) == []
    assert vars(SILENT) == state


def test_checks_accept_exact_types_and_none(monkeypatch, unique_name):
    obj = recording()
    obj.info("a", args=(), kwargs={})
    obj.info("a", args=None, kwargs=None)
    assert obj.calls == [(20, ("a",), (), {}), (20, ("a",), None, None)]
    made = []
    monkeypatch.setattr(M, "_SetLogger", lambda *a, **k: made.append(a) or a)
    monkeypatch.setattr(M, "_LOGGERS", {})
    M.OsprelLog(None, 0, None)
    M.OsprelLog(unique_name, -5, "f.log", "anything", None, None)
    assert made == [("root", 0, None, "file", True), (unique_name, -5, "f.log", "anything", None)]


# ---------------------------------------------------------------- module globals

def test_module_globals_are_looked_up_at_each_call(monkeypatch, unique_name):
    obj = recording()
    with monkeypatch.context() as mp:
        mp.setattr(M, "logging", types.SimpleNamespace(INFO=77, DEBUG=-1))
        obj.info("a")
        obj.debug("b")
    obj.info("c")
    assert obj.calls == [(77, ("a",), None, None), (-1, ("b",), None, None), (20, ("c",), None, None)]

    class FakeMd5:
        def __init__(self):
            self.data = []

        def update(self, data):
            self.data.append(data)

        def hexdigest(self):
            return ("digest", self.data)

    with monkeypatch.context() as mp:
        mp.setattr(M, "hashlib", types.SimpleNamespace(md5=FakeMd5))
        with pytest.raises(TypeError) as info:
            M._md5("é")
        assert str(info.value) == "Expected unicode, got tuple"
        assert module_entries(info.value) == ["log_main._md5"]
        FakeMd5.hexdigest = lambda self: None
        assert M._md5("é") is None

    events = []

    class FakeLock:
        def __enter__(self):
            events.append("enter")

        def __exit__(self, *exc):
            events.append("exit")

    monkeypatch.setattr(M, "_LOCK", FakeLock())
    monkeypatch.setattr(M, "_LOGGERS", {})
    monkeypatch.setattr(M, "_SetLogger", lambda *a, **k: events.append(("set", a, k)) or "new")
    assert M.OsprelLog(unique_name, z=1, a=2) == "new"
    assert events == ["enter", ("set", (unique_name, 10, None, "file", True), {"z": 1, "a": 2}), "exit"]
    assert M._LOGGERS == {unique_name: {1: "new"}}


@pytest.mark.parametrize("name, call, entry", [
    ("hashlib", lambda _: M._md5("a"), "_md5"),
    ("logging", lambda _: SILENT.warning("a"), "_LogBase.warning"),
    ("_LOCK", lambda n: M.OsprelLog(n).close(), "OsprelLog.__new__"),
])
def test_missing_module_global(monkeypatch, unique_name, name, call, entry):
    value = getattr(M, name)
    monkeypatch.delattr(M, name)
    with pytest.raises(NameError) as info:
        call(unique_name)
    assert str(info.value) == f"name '{name}' is not defined"
    assert module_entries(info.value) == ["log_main." + entry]
    # The builtins module is the fallback.
    monkeypatch.setattr(builtins, name, value, raising=False)
    call(unique_name)


def test_builtins_resolved_at_load_ignore_later_rebinding():
    code = textwrap.dedent("""
        import builtins, json, logging, os, log_main as m
        obj = m.OsprelLog("rebound", console=True)
        logging.getLogger("rebound").addHandler(logging.NullHandler())
        class Quiet(m._SetLogger):
            def _setup_logger(self):
                pass
        def bomb(*a, **k):
            raise AssertionError("rebound builtin used")
        class Bomb(Exception):
            pass
        real = {n: getattr(builtins, n) for n in ("super", "max", "id", "ValueError")}
        builtins.super = builtins.max = builtins.id = bomb
        builtins.ValueError = Bomb
        res = {}
        try:
            res["super"] = Quiet("other", 5).file_level
            base = m._LogBase()
            base.file, base.handler_type = os.path.join(os.getcwd(), "d", "x.log"), "daily"
            try:
                base._create_file_handler()
            except Exception as exc:
                res["ValueError"] = [type(exc) is real["ValueError"], str(exc)]
            res["close"] = [obj.close(), m._LOGGERS, len(logging.getLogger("rebound").handlers)]
        finally:
            builtins.__dict__.update(real)
        print(json.dumps(res))
    """)
    res = run_python(code)
    assert res.returncode == 0, res.stderr
    assert json.loads(res.stdout) == {
        "super": 5, "ValueError": [True, "daily 不是有效的处理器类型，可选值 [file, rotating, timerotating]"],
        "close": [None, {}, 0]}


def test_functions_pickle_and_copy_by_reference():
    import copy
    import pickle
    for fn in (log_main._md5, log_main._LogBase.info, log_main._SetLogger._setup_logger,
               log_main.OsprelLog.__dict__["__new__"].__func__):
        assert pickle.loads(pickle.dumps(fn)) is fn
        assert copy.copy(fn) is fn and copy.deepcopy(fn) is fn
