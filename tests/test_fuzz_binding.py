"""Random calls of every callable of the module: random positional counts, keyword sets and value
types. Each call binds exactly as its signature says (and then succeeds or fails in its body), or
fails with the exact binding or type-check text; nothing crashes, nothing raises SystemError."""
import collections
import enum
import hashlib
import inspect
import itertools
import logging
import os
import re
import tempfile
import traceback
import types
from inspect import Parameter

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import log_main
from conftest import examples
from log_main import OsprelLog, _ContextFilter, _GetLogger, _LogBase, _SetLogger

EXAMPLES = examples(220)   # per callable; 23 callables
LEVEL_METHODS = ("debug", "info", "warning", "error", "critical")
_fresh = itertools.count()
examples_run = collections.Counter()
outcomes = collections.Counter()   # (callable, how the call ended)


def fresh():
    return f"fz{next(_fresh)}"


def _namer():
    """The file-name function of a time-rotating handler (it has no code object of its own)."""
    with tempfile.TemporaryDirectory() as folder:
        obj = _LogBase()
        obj.file, obj.handler_type = os.path.join(folder, "probe.log"), "timerotating"
        obj._logger, obj._handler_filter = logging.Logger("fz-probe"), _ContextFilter("fz-probe")
        obj._create_file_handler()
        obj._file_handler.close()
        log_main._FHANDLERS.pop(obj.file)
    return obj._file_handler.namer


NAMER = _namer()
NAMER_SIGNATURE = inspect.Signature([Parameter("name", Parameter.POSITIONAL_OR_KEYWORD)])

# Exact-type checks: parameter -> (expected type name, accepted type, None accepted).
STR, STR_OR_NONE, INT = ("str", str, False), ("str", str, True), ("int", int, False)
TUPLE, TUPLE_OR_NONE, DICT_OR_NONE = ("tuple", tuple, False), ("tuple", tuple, True), ("dict", dict, True)
FACTORY_CHECKS = {"name": STR_OR_NONE, "level": INT, "file": STR_OR_NONE, "handler_type": STR}
INIT_CHECKS = dict(FACTORY_CHECKS, name=STR)

CALLABLES = {
    "_md5": (log_main._md5, {"text": STR}),
    "_ContextFilter.__init__": (_ContextFilter.__init__, {"logger_name": STR}),
    "_ContextFilter.filter": (_ContextFilter.filter, {}),
    "_LogBase.__init__": (_LogBase.__init__, {}),
    "_LogBase._create_console_handler": (_LogBase._create_console_handler, {}),
    "_LogBase._create_file_handler": (_LogBase._create_file_handler, {}),
    "_LogBase._create_file_handler.lambda": (NAMER, {}),
    "_LogBase.disable": (_LogBase.disable, {}),
    "_LogBase.enable": (_LogBase.enable, {}),
    "_LogBase.close": (_LogBase.close, {}),
    "_LogBase.set_console_level": (_LogBase.set_console_level, {"level": INT}),
    "_LogBase.set_file_level": (_LogBase.set_file_level, {"level": INT}),
    "_LogBase._log": (_LogBase._log, {"level": INT, "message": TUPLE, "args": TUPLE_OR_NONE,
                                      "kwargs": DICT_OR_NONE}),
    **{f"_LogBase.{m}": (getattr(_LogBase, m), {"args": TUPLE_OR_NONE, "kwargs": DICT_OR_NONE})
       for m in LEVEL_METHODS},
    "OsprelLog.__new__": (OsprelLog.__new__, FACTORY_CHECKS),
    "_SetLogger.__init__": (_SetLogger.__init__, INIT_CHECKS),
    "_SetLogger._setup_logger": (_SetLogger._setup_logger, {}),
    "_GetLogger.__init__": (_GetLogger.__init__, INIT_CHECKS),
    "_GetLogger._captures_logger": (_GetLogger._captures_logger, {}),
}


def signature(key):
    return NAMER_SIGNATURE if key.endswith("lambda") else inspect.signature(CALLABLES[key][0])


def test_the_index_is_complete():
    listed = {fn for fn, _ in CALLABLES.values()}
    for cls in (_ContextFilter, _LogBase, OsprelLog, _SetLogger, _GetLogger):
        for attr, value in vars(cls).items():
            if isinstance(value, staticmethod):
                value = value.__func__
            if type(value) is type(log_main._md5):
                assert value in listed, f"{cls.__name__}.{attr}"
    assert len(CALLABLES) == 23


# -- what the binding rules predict -------------------------------------------------------------

def count_text(fname, word, expected, given):
    return f"{fname}() takes {word} {expected} positional argument{'' if expected == 1 else 's'} ({given} given)"


def predicted_binding_error(fname, sig, nargs, kwnames):
    """The TypeError text the call must raise while binding, or None."""
    params = list(sig.parameters.values())
    named = [p for p in params if p.kind is Parameter.POSITIONAL_OR_KEYWORD]
    kwonly = [p for p in params if p.kind is Parameter.KEYWORD_ONLY]
    star = any(p.kind is Parameter.VAR_POSITIONAL for p in params)
    varkw = any(p.kind is Parameter.VAR_KEYWORD for p in params)
    required = sum(p.default is Parameter.empty for p in named)
    exact = not star and required == len(named)

    def count_error(given):
        word = "exactly" if exact else "at least" if given < required else "at most"
        return count_text(fname, word, len(named) if word == "at most" else required, given)

    if not kwnames:
        return None if required <= nargs and (star or nargs <= len(named)) else count_error(nargs)
    if not star and nargs > len(named):
        return count_error(nargs)
    positional = [p.name for p in named[:nargs]]
    consumed = set()
    for index, param in enumerate(named[nargs:] + kwonly, start=len(positional)):
        if param.name in kwnames:
            consumed.add(param.name)
        elif param.default is Parameter.empty:
            return count_text(fname, "exactly" if exact else "at least", required, index)
    for name in kwnames:
        if name in consumed:
            continue
        if name in positional:
            return f"{fname}() got multiple values for keyword argument '{name}'"
        if not varkw:
            return f"{fname}() got an unexpected keyword argument '{name}'"
    return None


def type_name(value):
    """The type's own name (tp_name), which for some types carries their module."""
    try:
        object.__format__(value, "?")
    except TypeError as exc:   # its text names the type by tp_name
        return re.fullmatch(r"unsupported format string passed to (.+)\.__format__", str(exc)).group(1)
    raise AssertionError("object.__format__ accepted '?'")


def predicted_type_error(sig, checks, bound):
    for name in sig.parameters:
        if name not in checks:
            continue
        expected, cls, none_ok = checks[name]
        value = bound.arguments.get(name, sig.parameters[name].default)
        if type(value) is cls or (none_ok and value is None):
            continue
        return f"Argument '{name}' has incorrect type (expected {expected}, got {type_name(value)})"
    return None


BINDING_TEXT = re.compile(r"(\w+)\(\) (takes (exactly|at least|at most) \d+ positional arguments? \(\d+ given\)|"
                          r"got multiple values for keyword argument '\w+'|"
                          r"got an unexpected keyword argument '\w+'|keywords must be strings)$")


# -- values -------------------------------------------------------------------------------------

class Level(enum.IntEnum):
    HIGH = 30


class Text(str):
    pass


Pair = collections.namedtuple("Pair", "a b")


class Recorder:
    """Stands for a logging.Logger: keeps every log() call."""

    def __init__(self):
        self.calls = []

    def log(self, *args, **kwargs):
        self.calls.append((args, kwargs))


class LevelSpy(_LogBase):
    """Its own _log keeps what the level methods hand over."""

    def _log(self, *received):
        self.received = received


def make_self(key, tmp_path):
    """An object that lets the body of `key` run."""
    if key in ("_md5", "_LogBase._create_file_handler.lambda"):
        return fresh()
    if key == "OsprelLog.__new__":
        return OsprelLog
    if key.split(".")[1] in LEVEL_METHODS:
        return LevelSpy()
    if key == "_ContextFilter.__init__":
        return _ContextFilter.__new__(_ContextFilter)
    if key == "_ContextFilter.filter":
        return _ContextFilter(fresh())
    if key in ("_SetLogger.__init__", "_GetLogger.__init__"):
        cls = _SetLogger if key.startswith("_Set") else _GetLogger
        return cls.__new__(cls)
    obj = _LogBase()
    if key == "_LogBase._log":
        obj._logger = Recorder()
        return obj
    obj.name = name = fresh()
    obj.file, obj.handler_type, obj.console, obj.rehandler = str(tmp_path / f"{name}.log"), "rotating", False, True
    obj._logger, obj._handler_filter = logging.getLogger(name), _ContextFilter(name)
    return obj


MAKERS = {
    "self": None,   # make_self
    "str": fresh,
    "empty": lambda: "",
    "int": lambda: 20,
    "big": lambda: 10 ** 20,
    "bool": lambda: True,
    "intenum": lambda: Level.HIGH,
    "float": lambda: 2.5,
    "none": lambda: None,
    "tuple": lambda: ("a", 1),
    "empty-tuple": tuple,
    "namedtuple": lambda: Pair(1, 2),
    "dict": lambda: {"stacklevel": 1},
    "ordereddict": lambda: collections.OrderedDict(stacklevel=1),
    "defaultdict": lambda: collections.defaultdict(int),
    "list": lambda: ["a"],
    "bytes": lambda: b"x",
    "str-subclass": lambda: Text("t"),
    "object": object,
    "record": lambda: types.SimpleNamespace(name=fresh()),
    # Only where they suit (a handler kind as a logger name, a path with folders as a log file,
    # would reach outside the test's own names and folder).
    "kind": lambda: ("file", "rotating", "timerotating")[next(_fresh) % 3],
    "path": lambda: f"{fresh()}.logs/app.log.2024-05-01",
}
value_kinds = st.sampled_from(sorted(set(MAKERS) - {"kind", "path"}))
EXTRA_NAMES = ["bogus", "message", "self", "cls", "maxBytes"]
# Kinds of value that suit a parameter (its check passes and its body can use it).
SUITABLE = {"self": "self", "cls": "self", "text": "str", "logger_name": "str", "record": "record",
            "value": "object", "level": "int", "message": "tuple", "args": "tuple", "kwargs": "dict",
            "name": "str", "file": "str", "handler_type": "kind", "console": "bool", "rehandler": "bool"}


@st.composite
def call_shapes(draw, key):
    """Positional and keyword value kinds, mostly suitable ones, at and around the right counts."""
    params = signature(key).parameters
    named = [p for p in params.values() if p.kind is Parameter.POSITIONAL_OR_KEYWORD]
    star = any(p.kind is Parameter.VAR_POSITIONAL for p in params.values())

    def pick(param_name):
        suitable = SUITABLE.get(param_name)
        if key.endswith("lambda"):
            suitable = "path"
        if suitable and draw(st.integers(0, 99), label="suitable?") < 85:
            return suitable
        return draw(value_kinds)

    required = sum(p.default is Parameter.empty for p in named)
    if draw(st.integers(0, 99), label="count in range?") < 60:
        count = draw(st.integers(required, len(named) + (3 if star else 0)), label="positional count")
    else:
        count = draw(st.integers(0, len(named) + (4 if star else 2)), label="positional count")
    positional = [pick(named[i].name if i < len(named) else None) for i in range(count)]
    keywords = {}
    for param in list(params.values())[count:]:
        if param.kind in (Parameter.POSITIONAL_OR_KEYWORD, Parameter.KEYWORD_ONLY) and draw(st.booleans()):
            keywords[param.name] = pick(param.name)
    if draw(st.integers(0, 99), label="odd keywords?") < 30:
        for name in draw(st.lists(st.sampled_from(sorted(set(params) | set(EXTRA_NAMES))), min_size=1, max_size=2)):
            keywords[name] = draw(value_kinds)
    return positional, keywords


# -- what a successful body shows ---------------------------------------------------------------

def verify_body(key, bound, result):
    a = bound.arguments
    short = key.split(".")[-1]
    if key == "_md5":
        assert result == hashlib.md5(a["text"].encode()).hexdigest()
    elif short in LEVEL_METHODS and type(a["self"]) is LevelSpy:
        level, message, args, kwargs = a["self"].received
        assert level == getattr(logging, short.upper())
        assert message == a.get("message", ()) and type(message) is tuple
        assert args is a.get("args") and kwargs is a.get("kwargs")
    elif short == "_log" and type(getattr(a["self"], "_logger", None)) is Recorder:
        text = " ".join(map(str, a["message"]))
        assert a["self"]._logger.calls[-1] == ((a["level"], text, *(a.get("args") or ())), a.get("kwargs") or {})
    elif short in ("set_console_level", "set_file_level"):
        assert getattr(a["self"], short[4:]) is a["level"]
    elif short == "enable":
        assert a["self"]._logger is a["value"]
    elif short == "disable":
        assert a["self"]._logger is None
    elif short == "filter":
        assert result is True and a["record"].name == a["self"]._logger_name
    elif short == "lambda":
        folder, _, base = a["name"].rpartition("/")
        assert result == (folder + "/" if folder else "") + base.replace(".log", "") + ".log"
    elif key == "OsprelLog.__new__":
        assert isinstance(result, _LogBase) and result.kwargs == a.get("kwargs", {})
        assert result.file_level is a.get("level", logging.DEBUG)
    elif key in ("_SetLogger.__init__", "_GetLogger.__init__") and isinstance(a["self"], _LogBase):
        obj = a["self"]
        assert result is None and obj.kwargs == a.get("kwargs", {}) and obj.console_level is a.get("level", 10)
        if key.startswith("_Get"):
            assert obj.rehandler is a.get("rehandler", False)


# -- the property -------------------------------------------------------------------------------

@pytest.fixture
def clean_logging():
    """Keeps the logging package as it was: pytest's root handlers aside, new loggers dropped."""
    root = logging.getLogger()
    saved = (root.handlers[:], root.level, root.propagate)
    root.handlers.clear()
    before = set(logging.Logger.manager.loggerDict)

    def forget_new_loggers():
        known = logging.Logger.manager.loggerDict
        for name in set(known) - before:
            logger = known.pop(name)
            for handler in getattr(logger, "handlers", [])[:]:
                logger.removeHandler(handler)
                handler.close()
            log_main._LOGGERS.pop(name, None)
            log_main._CAPTURES.pop(name, None)
        for handler in root.handlers[:]:
            root.removeHandler(handler)
            handler.close()
        root.setLevel(saved[1])
        root.propagate = saved[2]
        log_main._LOGGERS.pop("root", None)
        log_main._CAPTURES.pop("root", None)

    yield forget_new_loggers
    forget_new_loggers()
    root.handlers[:] = saved[0]


def check_random_call(key, data, tmp_path, clean_logging):
    """One random call of `key`: it binds as the signature says, then its body runs or fails."""
    fn, checks = CALLABLES[key]
    sig = signature(key)
    fname = fn.__name__
    positional_kinds, keyword_kinds = data.draw(call_shapes(key), label="call")
    make = lambda kind: make_self(key, tmp_path) if kind == "self" else MAKERS[kind]()
    args = [make(kind) for kind in positional_kinds]
    kwargs = {name: make(kind) for name, kind in keyword_kinds.items()}
    examples_run[key] += 1

    binding = predicted_binding_error(fname, sig, len(args), list(kwargs))
    try:
        bound = sig.bind(*args, **kwargs)
    except TypeError:
        bound = None
    assert (bound is None) == (binding is not None), (binding, positional_kinds, keyword_kinds)
    typing = predicted_type_error(sig, checks, bound) if bound else None

    try:
        try:
            result = fn(*args, **kwargs)
        except SystemError as exc:
            pytest.fail(f"SystemError: {exc}")
        except BaseException as exc:
            text = str(exc)
            outcomes[key, "binding" if binding else "type-check" if typing else "body raised"] += 1
            if binding or typing:
                assert type(exc) is TypeError and text == (binding or typing)
                ours = [f for f in traceback.extract_tb(exc.__traceback__) if f.filename == "log_main.py"]
                assert [f.name for f in ours] == ([f"log_main.{key}"] if binding else [])
            else:   # a failure of the body, never one of binding or checking this call
                own_binding = bool(BINDING_TEXT.match(text)) and text.startswith(fname + "()")
                own_check = any(text.startswith(f"Argument '{name}' ") for name in checks)
                assert not (type(exc) is TypeError and (own_binding or own_check)), text
        else:
            assert not (binding or typing), f"expected TypeError: {binding or typing}"
            verify_body(key, bound, result)
            outcomes[key, "body returned"] += 1
    finally:
        clean_logging()


def run_random_calls(key, tmp_path, clean_logging):
    @settings(max_examples=EXAMPLES, deadline=None, database=None, suppress_health_check=[HealthCheck.too_slow])
    @given(data=st.data())
    def random_call(data):
        check_random_call(key, data, tmp_path, clean_logging)

    random_call()


@pytest.mark.slow
@pytest.mark.parametrize("key", sorted(CALLABLES))
def test_random_calls_bind_as_the_signature_says(key, tmp_path, clean_logging):
    run_random_calls(key, tmp_path, clean_logging)


@pytest.mark.slow
def test_examples_were_run(tmp_path, clean_logging):
    # Runs the random calls of every callable that this session has not run yet, so
    # the counts cover all of them whichever tests ran before (or were left out).
    for key in sorted(set(CALLABLES) - set(examples_run)):
        run_random_calls(key, tmp_path, clean_logging)
    assert sum(examples_run.values()) >= 1000
    print(f"\n{sum(examples_run.values())} examples over {len(examples_run)} callables")
    ends = collections.Counter(how for _, how in outcomes.elements())
    print(", ".join(f"{how}: {count}" for how, count in sorted(ends.items())))
    # Every callable was seen failing to bind and running its body to the end.
    for key in CALLABLES:
        assert outcomes[key, "binding"] and outcomes[key, "body returned"], key
