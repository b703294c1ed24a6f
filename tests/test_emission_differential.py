"""Emission compared call for call with a plain Python logger object.

`Reference` below is the emission path written in Python: Python binds the arguments, the checks
and the body are the emission rules written out step by step. Hypothesis builds the same situation
twice, once on `log_main` classes and once on `Reference` classes (same class names, same fake
loggers), makes the same calls on both and compares everything that can be observed: the calls
the fake loggers receive (values and exact types), what the object's own hooks see (`_log`
overrides, `__bool__`, `_logger` getters, `__getattribute__`), return values, exceptions, the
caller's handled exception, and how often `_logger` is read.
"""
import _thread
import builtins
import collections
import copy
import functools
import gc
import genericpath
import importlib.machinery
import importlib.util
import inspect
import io
import linecache
import logging
import multiprocessing
import operator
import os
import pathlib
import posixpath
import re
import shutil
import sys
import tempfile
import textwrap
import threading
import time
import tracemalloc
import traceback
import types

import _colorize

import colorlog.escape_codes
import pytest
from hypothesis import HealthCheck, given, note, settings
from hypothesis import strategies as st

import log_main
from conftest import examples, has_test_hooks, hook_function, needs_test_hooks, run_process, run_python

LEVEL_NAMES = ("debug", "info", "warning", "error", "critical")
OMIT = "<omitted>"   # an option that the call does not pass at all


# ---------------------------------------------------------------------------------------------
# The reference

def _check(name, value, expected, none_ok):
    if type(value) is not expected and not (none_ok and value is None):
        raise TypeError(f"Argument '{name}' has incorrect type "
                        f"(expected {expected.__name__}, got {type(value).__name__})")


class Reference:
    def __init__(self):
        self.name = None
        self.file = None
        self.handler_type = None
        self.file_level = logging.DEBUG
        self.console = True
        self.console_level = logging.DEBUG
        self.kwargs = {}
        self._logger = None
        self._file_handler = None
        self._console_handler = None
        self._handler_filter = None

    def disable(self):
        self._logger = None

    def enable(self, value):
        self._logger = value

    def _log(self, level, message, args=None, kwargs=None):
        _check("level", level, int, False)
        _check("message", message, tuple, False)
        _check("args", args, tuple, True)
        _check("kwargs", kwargs, dict, True)
        if not self._logger:
            return None
        if args is None:
            args = ()
        if kwargs is None:
            kwargs = {}
        try:
            text = " ".join(str(p) if type(p) is not str else p for p in message)
            self._logger.log(level, text, *args, **kwargs)
        except Exception:
            pass
        return None

    def debug(self, *message, args=None, kwargs=None):
        _check("args", args, tuple, True)
        _check("kwargs", kwargs, dict, True)
        self._log(logging.DEBUG, message, args, kwargs)

    def info(self, *message, args=None, kwargs=None):
        _check("args", args, tuple, True)
        _check("kwargs", kwargs, dict, True)
        self._log(logging.INFO, message, args, kwargs)

    def warning(self, *message, args=None, kwargs=None):
        _check("args", args, tuple, True)
        _check("kwargs", kwargs, dict, True)
        self._log(logging.WARNING, message, args, kwargs)

    def error(self, *message, args=None, kwargs=None):
        _check("args", args, tuple, True)
        _check("kwargs", kwargs, dict, True)
        self._log(logging.ERROR, message, args, kwargs)

    def critical(self, *message, args=None, kwargs=None):
        _check("args", args, tuple, True)
        _check("kwargs", kwargs, dict, True)
        self._log(logging.CRITICAL, message, args, kwargs)


Reference.__name__ = Reference.__qualname__ = "_LogBase"   # same texts in attribute errors


class _RefGetLogger(Reference):
    pass


_RefGetLogger.__name__ = _RefGetLogger.__qualname__ = "_GetLogger"

IMPLS = {"module": (log_main._LogBase, log_main._GetLogger), "reference": (Reference, _RefGetLogger)}


# ---------------------------------------------------------------------------------------------
# What is observed

class Raised(Exception):
    pass


class Escape(BaseException):
    pass


class Marker(Exception):
    pass


EXC = ValueError("recorded")


def norm(x):
    """A comparable description of a value: its exact type and its value."""
    t = type(x)
    if t in (tuple, list):
        return t.__name__, tuple(map(norm, x))
    if t in (dict, collections.OrderedDict):
        return t.__name__, tuple((norm(k), norm(v)) for k, v in x.items())
    if isinstance(x, BaseException):
        return t.__name__, str(x)
    if t in (int, bool, str, bytes, type(None)):
        return t.__name__, x
    if t is float:
        return "float", repr(x)
    return t.__name__, "?"


class Ctx:
    """One run's shared state: the event list and the objects the fakes act on."""

    def __init__(self):
        self.events = []
        self.obj = self.cls = self.rec2 = self.stored = None
        self.busy = False
        self.parts, self.args, self.kwargs = [], None, None
        self.reads = iter([])      # the C-level _logger getter's supply


class Recorder:
    def __init__(self, tag, ctx):
        self.tag, self.ctx = tag, ctx

    def log(self, *a, **kw):
        self.ctx.events.append(("log", self.tag, norm(a), tuple(map(type, a)), norm(kw),
                                norm(sys.exception())))
        return "log result"


class Strict(Recorder):
    def log(self, level, msg, *args, **kwargs):
        return Recorder.log(self, level, msg, *args, **kwargs)


class Failing(Recorder):
    def log(self, *a, **kw):
        Recorder.log(self, *a, **kw)
        raise Raised("log failed")


class Escaping(Recorder):
    def log(self, *a, **kw):
        Recorder.log(self, *a, **kw)
        raise Escape("log escaped")


class Truthy(Recorder):
    def __bool__(self):
        self.ctx.events.append(("bool", self.tag))
        return True


class Falsy(Recorder):
    def __bool__(self):
        self.ctx.events.append(("bool", self.tag))
        return False


class Swapping(Recorder):
    def __bool__(self):
        self.ctx.events.append(("bool", self.tag))
        self.ctx.obj._logger = self.ctx.rec2
        return True


class BadBool(Recorder):
    def __bool__(self):
        raise Raised("bool failed")


class Sized(Recorder):
    def __len__(self):
        self.ctx.events.append(("len", self.tag))
        return 1


class LogProperty(Recorder):
    @property
    def log(self):
        """The method lookup runs before the options are unpacked: it may change them."""
        self.ctx.events.append(("log attribute", self.tag))
        if type(self.ctx.kwargs) is dict:
            self.ctx.kwargs.pop("level", None)
            self.ctx.kwargs["stack_info"] = False
        return functools.partial(Recorder.log, self)


class Reentrant(Recorder):
    """Emits once more through the same object from inside the call."""
    busy = False

    def log(self, *a, **kw):
        Recorder.log(self, *a, **kw)
        if not self.busy:
            self.busy = True
            try:
                self.ctx.obj.error("nested", 7, kwargs={"stacklevel": 1})
            finally:
                self.busy = False


RECORDERS = {c.__name__: c for c in (Recorder, Strict, Failing, Escaping, Truthy, Falsy, Swapping,
                                      BadBool, Sized, LogProperty, Reentrant)}


# ---------------------------------------------------------------------------------------------
# Message parts

class StrSub(str):
    def __str__(self):
        return "<" + str.__str__(self) + ">"


class PlainStrSub(str):
    pass


class GivesStrSub:
    def __init__(self, text):
        self.text = text

    def __str__(self):
        return PlainStrSub(self.text)


class IntSub(int):
    def __str__(self):
        return "IntSub"


class FloatSub(float):
    pass


class TupleSub(tuple):
    pass


class CtxPart:
    def __init__(self, ctx, action):
        self.ctx, self.action = ctx, action

    def __str__(self):
        self.action(self.ctx)
        return self.action.__name__


def _bad_value(ctx):
    raise ValueError("part failed")


def _bad_escape(ctx):
    raise Escape("part escaped")


def _swap(ctx):
    ctx.obj._logger = ctx.rec2


def _silence(ctx):
    ctx.obj._logger = None


def _clash(ctx):
    if type(ctx.kwargs) is dict:
        ctx.kwargs["level"] = 1


def _reenter(ctx):
    if not ctx.busy:
        ctx.busy = True
        try:
            ctx.obj.warning("inner", 1.5, args=())
        finally:
            ctx.busy = False


def _retype(ctx):
    """The object's class gains a _logger property while the parts are being joined."""
    if ctx.cls is not None and "_logger" not in vars(ctx.cls):
        ctx.cls._logger = property(lambda self: ctx.rec2)


class NonStr:
    def __str__(self):
        return 5



def make_part(kind, value, ctx):
    if kind in ("str", "int", "bool", "none", "float"):
        return value
    simple = {"bigint": lambda: 10 ** value, "plainsub": lambda: PlainStrSub(value),
              "strsub": lambda: StrSub(value), "givessub": lambda: GivesStrSub(value),
              "floatsub": lambda: FloatSub(value), "intsub": lambda: IntSub(value),
              "bytes": lambda: value.encode("utf-8", "surrogatepass"), "list": lambda: [value, 1],
              "nonstr": NonStr}
    if kind in simple:
        return simple[kind]()
    return CtxPart(ctx, {"bad_value": _bad_value, "bad_escape": _bad_escape, "swap": _swap,
                         "silence": _silence, "clash": _clash, "reenter": _reenter,
                         "retype": _retype}[kind])


TEXT = st.one_of(
    st.text(st.characters(max_codepoint=0x7F), max_size=12),
    st.text(st.characters(max_codepoint=0xFF), max_size=12),
    st.text(st.characters(min_codepoint=0x80, max_codepoint=0xFF), min_size=1, max_size=6),
    st.text(st.characters(max_codepoint=0xFFFF), max_size=8),
    st.text(st.characters(min_codepoint=0x10000), min_size=1, max_size=4),
)
INTS = st.one_of(
    st.integers(-1000, 1000),
    st.sampled_from([0, -1, 2**63 - 1, 2**63, -2**63, -2**63 - 1, 2**64 - 1, 2**64, -2**64,
                     10**18, 10**19]),
    st.integers(),
)
FLOATS = st.one_of(
    st.floats(),
    st.sampled_from([float("nan"), float("inf"), float("-inf"), -0.0, 0.0, 1e300, -1e300,
                     5e-324, 2.2250738585072014e-308 / 3, 0.1, 1e16, 123456789.125]),
)
SIMPLE_PART = st.one_of(
    st.tuples(st.just("str"), TEXT),
    st.tuples(st.just("int"), INTS),
    st.tuples(st.just("bool"), st.booleans()),
    st.tuples(st.just("none"), st.none()),
    st.tuples(st.just("float"), FLOATS),
)
OTHER_PART = st.one_of(
    st.tuples(st.sampled_from(["plainsub", "strsub", "givessub", "bytes", "list"]), TEXT),
    st.tuples(st.just("bigint"), st.sampled_from([19, 20, 40, 5000])),   # 10**5000: str() raises
    st.tuples(st.just("floatsub"), FLOATS),
    st.tuples(st.just("intsub"), INTS),
    st.tuples(st.sampled_from(["nonstr", "bad_value", "bad_escape", "swap", "silence", "clash",
                               "reenter", "retype"]), st.none()),
)
PARTS = st.one_of(st.lists(SIMPLE_PART, max_size=20),
                  st.lists(st.one_of(SIMPLE_PART, OTHER_PART), max_size=20))


# ---------------------------------------------------------------------------------------------
# Options and levels

ARG_VALUE = st.one_of(st.integers(-5, 300), st.sampled_from(["%s", "a", "é", "%d"]), st.none(),
                      FLOATS)
ARGS = st.one_of(st.just(OMIT), st.just(OMIT), st.none(),
                 st.tuples(st.sampled_from(["tuple"] * 6 + ["list", "tuplesub"]),
                           st.lists(ARG_VALUE, max_size=3)))
KW_ENTRIES = [("extra", {"user": "u"}), ("extra", {"user": "u"}), ("stacklevel", 2),
              ("stacklevel", 0), ("exc_info", True), ("exc_info", EXC), ("exc_info", False),
              ("stack_info", False), ("level", 5), ("msg", "m"), (1, "non-str key"),
              (PlainStrSub("extra"), {"user": "v"}), ("unknown", 1)]
KWARGS = st.one_of(st.just(OMIT), st.just(OMIT), st.none(),
                   st.tuples(st.sampled_from(["dict"] * 6 + ["odict"]),
                             st.lists(st.sampled_from(KW_ENTRIES), max_size=3,
                                      unique_by=lambda e: e[0])))
LEVELS = st.sampled_from([("int", 10), ("int", 20), ("int", 50), ("int", 0), ("int", -7),
                          ("int", 2**70)] * 2
                         + [("bool", True), ("float", 20.0), ("none", None), ("intsub", 20)])


def make_args(desc):
    if desc is OMIT or desc is None:
        return desc
    kind, values = desc
    return {"tuple": tuple, "list": list, "tuplesub": TupleSub}[kind](values)


def make_kwargs(desc):
    if desc is OMIT or desc is None:
        return desc
    kind, entries = desc
    return {"dict": dict, "odict": collections.OrderedDict}[kind](entries)


def make_level(desc):
    kind, value = desc
    return IntSub(value) if kind == "intsub" else value


# ---------------------------------------------------------------------------------------------
# Logger objects

def _override(ctx, tag, chain):
    def _log(self, level, message, args=None, kwargs=None):
        shown = (tuple(next((i for i, p in enumerate(ctx.parts) if p is m), None) for m in message)
                 if type(message) in (tuple, list) else norm(message))
        ctx.events.append(("_log", tag, norm(level), type(message).__name__, shown,
                           "same" if args is ctx.args else norm(args),
                           "same" if kwargs is ctx.kwargs else norm(kwargs)))
        return chain(self, level, message, args, kwargs) if chain else tag + " result"
    return _log


def build(kind, impl, ctx, rec):
    """The logger object of this kind for one implementation, and the class made for it (if any)."""
    base, other = IMPLS[impl]

    class Sub(base):
        pass

    cls = Sub
    if kind in ("live", "disabled", "enabled_42", "shadow", "shadow_raw", "bare"):
        cls = None
        obj = base.__new__(base) if kind == "bare" else base()
    elif kind == "other_type":
        cls, obj = None, other.__new__(other)
        base.__init__(obj)
    elif kind == "namespace":
        ns = types.SimpleNamespace(_logger=rec)
        ns._log = functools.partial(base._log, ns)
        return ns, None
    elif kind in ("override", "override_super"):
        def chain(self, *a):
            return super(Sub, self)._log(*a)
        Sub._log = _override(ctx, "override", chain if kind == "override_super" else None)
        obj = Sub()
    elif kind == "prop_py":
        def get(self):
            ctx.events.append(("get _logger",))
            return ctx.stored

        def put(self, value):
            ctx.stored = value
        Sub._logger = property(get, put)
        obj = Sub()
    elif kind == "prop_c":
        # A getter that runs no Python code: next(ctx.reads, self), counted by what is left.
        ctx.reads = iter([rec] * 64)
        Sub._logger = property(functools.partial(next, ctx.reads))
        return Sub.__new__(Sub), Sub
    elif kind == "getattribute":
        def __getattribute__(self, name):
            if name.startswith("_log"):
                ctx.events.append(("getattribute", name))
            return object.__getattribute__(self, name)
        Sub.__getattribute__ = __getattribute__
        obj = Sub()
    elif kind == "getattr":
        def __getattr__(self, name):
            ctx.events.append(("getattr", name))
            if name == "_logger":
                return rec
            raise AttributeError(name)
        Sub.__getattr__ = __getattr__
        obj = Sub()
        del obj._logger
        return obj, Sub
    elif kind == "class_attr":
        Sub._logger = rec
        obj = Sub()
        del obj._logger
        return obj, Sub
    else:
        obj = Sub()
    if kind == "enabled_42":
        obj.enable(42)
    elif kind != "bare":
        obj.enable(rec)
    if kind == "disabled":
        obj.disable()
    elif kind == "shadow":
        obj._log = _override(ctx, "shadow", None)
    elif kind == "shadow_raw":
        obj._log = base._log
    return obj, cls


OBJECTS = ["live"] * 6 + ["disabled", "enabled_42", "other_type", "sub", "override",
           "override_super", "shadow", "shadow_raw", "prop_py", "prop_c", "prop_c", "prop_c", "getattribute",
           "getattr", "class_attr", "bare", "namespace"]
MUTATIONS = ["none", "disable", "swap", "shadow", "unshadow", "class_override", "class_restore",
             "class_property"]


def mutate(kind, obj, cls, ctx):
    """A change between the warm-up call and the call compared after it."""
    try:
        if kind == "disable":
            obj._logger = None
        elif kind == "swap":
            obj._logger = ctx.rec2
        elif kind == "shadow":
            obj._log = _override(ctx, "late shadow", None)
        elif kind == "unshadow":
            del obj._log
        elif cls is None:
            return
        elif kind == "class_override":
            cls._log = _override(ctx, "late override", None)
        elif kind == "class_restore":
            del cls._log
        elif kind == "class_property":
            def get(self):
                ctx.events.append(("late get _logger",))
                return ctx.rec2
            cls._logger = property(get)
    except AttributeError as exc:
        ctx.events.append(("mutation failed", str(exc)))


# ---------------------------------------------------------------------------------------------
# Calls

FORMS = (["bound"] * 8 + ["class", "base", "self_kw"] * 2 + ["log"] * 4 + ["log_kw", "log_base"] * 2
         + ["unknown_kw", "message_kw", "no_self", "log_list", "log_dup", "log_many", "log_short"])


def options(a, k, kwargs_first, dynamic):
    items = [("args", a), ("kwargs", k)]
    if kwargs_first:
        items.reverse()
    # dynamic: names made at run time (not the interned literals)
    return {("".join(list(n)) if dynamic else n): v for n, v in items if v is not OMIT}


def invoke(ex, obj, base, parts, a, k, level):
    opts = options(a, k, ex["kwargs_first"], ex["dynamic"])
    form, method = ex["form"], ex["method"]
    if form == "bound":
        return getattr(obj, method)(*parts, **opts)
    if form == "class":
        return getattr(type(obj), method)(obj, *parts, **opts)
    if form == "base":
        return getattr(base, method)(obj, *parts, **opts)
    if form == "self_kw":
        return getattr(base, method)(*parts, self=obj, **opts)
    if form == "unknown_kw":
        return getattr(obj, method)(*parts, bogus=1, **opts)
    if form == "message_kw":
        return getattr(obj, method)(*parts, message=tuple(parts), **opts)
    if form == "no_self":
        return getattr(base, method)(**opts)
    message = tuple(parts)
    positional = ([None if a is OMIT else a, k] if k is not OMIT else [a] if a is not OMIT else [])
    if form == "log":
        return obj._log(level, message, *positional)
    if form == "log_kw":
        return obj._log(level=level, message=message, **opts)
    if form == "log_base":
        return base._log(obj, level, message, **opts)
    if form == "log_list":
        return obj._log(level, list(parts), *positional)
    if form == "log_dup":
        return obj._log(level, message, level=level)
    if form == "log_many":
        return obj._log(level, message, None, None, None)
    return obj._log(level)                                     # log_short


def attempt(fn, in_handler):
    """fn() as a caller sees it: result or exception, and the handled exception afterwards."""
    def go():
        try:
            result = ("returned", norm(fn()))
        except (Exception, Escape) as exc:
            result = ("raised", type(exc), str(exc), norm(exc.__context__))
        return result + (norm(sys.exception()),)
    if not in_handler:
        return go()
    try:
        raise Marker("outer")
    except Marker:
        return go()


def run(impl, ex):
    ctx = Ctx()
    rec = RECORDERS[ex["logger"]]("first", ctx)
    ctx.rec2 = Recorder("second", ctx)
    ctx.stored = rec
    obj, cls = build(ex["object"], impl, ctx, rec)
    ctx.obj, ctx.cls = obj, cls
    base = IMPLS[impl][0]
    steps = []
    for step in range(2 if ex["warm"] else 1):
        first_event = len(ctx.events)
        if step:
            mutate(ex["mutation"], obj, cls, ctx)
        ctx.parts = [make_part(kind, value, ctx) for kind, value in ex["parts"]]
        ctx.args, ctx.kwargs = make_args(ex["args"]), make_kwargs(ex["kwargs"])
        level = make_level(ex["level"])
        left = operator.length_hint(ctx.reads)
        outcome = attempt(lambda: invoke(ex, obj, base, ctx.parts, ctx.args, ctx.kwargs, level),
                          ex["in_handler"])
        steps.append((outcome, ctx.events[first_event:], left - operator.length_hint(ctx.reads)))
    return steps


BINDING_TEXT = re.compile(r"takes |missing |got an unexpected keyword|got multiple values|"
                          r"keywords must be strings|has incorrect type")


def same_outcome(got, want):
    """Equal, except that binding and type-check errors are compared by class only."""
    if got[0] == want[0] == "raised" and got[1] is want[1] is TypeError \
            and BINDING_TEXT.search(got[2]) and BINDING_TEXT.search(want[2]):
        return got[3:] == want[3:]
    return got == want


EXAMPLE = st.fixed_dictionaries({
    "object": st.sampled_from(OBJECTS), "logger": st.sampled_from(sorted(RECORDERS)),
    "form": st.sampled_from(FORMS), "method": st.sampled_from(LEVEL_NAMES), "parts": PARTS,
    "args": ARGS, "kwargs": KWARGS, "level": LEVELS, "kwargs_first": st.booleans(),
    "dynamic": st.booleans(), "in_handler": st.booleans(), "warm": st.booleans(),
    "mutation": st.sampled_from(MUTATIONS),
})


@pytest.mark.slow
@settings(max_examples=examples(4000), deadline=None, database=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(EXAMPLE)
def test_emission_matches_reference(ex):
    note(repr(ex))
    got, want = run("module", ex), run("reference", ex)
    for (g_out, g_events, g_reads), (w_out, w_events, w_reads) in zip(got, want, strict=True):
        assert same_outcome(g_out, w_out), (g_out, w_out)
        assert g_events == w_events
        for event in g_events:
            if event[0] == "log":
                assert event[3][1] is str            # the text is an exact str
        assert g_reads == w_reads                    # _logger read as often as written


# ---------------------------------------------------------------------------------------------
# logging.<LEVEL> is read at each call

class LevelsModule(types.ModuleType):
    """A module class whose INFO is a property: counts up at each read."""
    reads = 0

    @property
    def INFO(self):
        LevelsModule.reads += 1
        return 100 + LevelsModule.reads


def _pair():
    events = collections.defaultdict(list)

    class Rec:
        def __init__(self, impl):
            self.impl = impl

        def log(self, level, text, *args, **kwargs):
            events[self.impl].append((type(level), level, text))

    objects = {}
    for impl in IMPLS:
        objects[impl] = IMPLS[impl][0]()
        objects[impl].enable(Rec(impl))
    return objects, events


def _call_both(objects, events, *parts):
    outcome = {impl: attempt(lambda: obj.info(*parts), False) for impl, obj in objects.items()}
    assert same_outcome(outcome["module"], outcome["reference"])
    assert events["module"] == events["reference"]
    return outcome["module"], events["module"][-1:] if outcome["module"][0] == "returned" else None


DELETED = "<deleted>"


@pytest.mark.parametrize("where", ["logging attribute", "module global", "builtins"])
@pytest.mark.parametrize("value", [33, 2**80, True, "INFO", IntSub(20), None, DELETED])
def test_level_rebinding_seen_on_next_call(monkeypatch, where, value):
    objects, events = _pair()
    for _ in range(3):                              # whatever can be cached is cached now
        _call_both(objects, events, "warm")
    with monkeypatch.context() as patch:
        stand_in = types.ModuleType("logging")
        stand_in.__dict__.update(vars(logging), INFO=value)
        if where == "logging attribute":
            if value is DELETED:
                patch.delattr(logging, "INFO")
            else:
                patch.setattr(logging, "INFO", value)
        else:
            for namespace in (vars(log_main), globals()):
                if where == "builtins" or value is DELETED:
                    patch.delitem(namespace, "logging")
                else:
                    patch.setitem(namespace, "logging", stand_in)
            if where == "builtins" and value is not DELETED:
                patch.setattr(builtins, "logging", stand_in, raising=False)
        outcome, last = _call_both(objects, events, "after")
        if type(value) is int:
            assert outcome[0] == "returned" and last == [(int, value, "after")]
        elif value is DELETED:
            assert outcome[:2] == ("raised", NameError if where != "logging attribute"
                                   else AttributeError)
        else:
            assert outcome[0] == "raised" and outcome[1] is TypeError   # refused by _log's check
    _, last = _call_both(objects, events, "restored")
    assert last == [(int, logging.INFO, "restored")]


def test_level_changes_without_dict_writes_are_seen(monkeypatch):
    """A module's class swapped for one with a property: no namespace or module dict changes."""
    objects, events = _pair()
    stand_in = types.ModuleType("logging")
    stand_in.__dict__.update(vars(logging))
    monkeypatch.setattr(log_main, "logging", stand_in)
    monkeypatch.setitem(globals(), "logging", stand_in)
    for _ in range(3):
        _call_both(objects, events, "plain")
    stand_in.__class__ = LevelsModule
    try:
        objects["module"].info("a")
        objects["reference"].info("b")
        objects["module"].info("c")
        assert [e[1:] for e in events["module"][-2:]] == [(101, "a"), (103, "c")]
        assert [e[1:] for e in events["reference"][-1:]] == [(102, "b")]
    finally:
        stand_in.__class__ = types.ModuleType
    events.clear()
    _call_both(objects, events, "plain again")
    assert events["module"][-1] == (int, logging.INFO, "plain again")


# ---------------------------------------------------------------------------------------------
# Instance-dict lookups that run Python code: a key whose hash equals that of an attribute name
# and whose __eq__ is Python code runs at every lookup of that name in the instance dict.

def _colliding_key_run(base, scenario):
    compares, armed = [], []
    first, second = Recorder("first", Ctx()), Recorder("second", Ctx())
    name = "_logger" if scenario == "second read of _logger" else "_log"

    class Key(str):
        def __hash__(self):
            return hash(name)

        def __eq__(self, other):
            if not armed:       # setting the attributes up may compare too (3.13.18+, 3.14+)
                return str.__eq__(self, other)
            compares.append(other)
            if scenario == "failing lookup of _log" and len(compares) == 1:
                raise LookupError("first comparison")
            if scenario == "second read of _logger" and len(compares) == 2:
                obj.__dict__["_logger"] = second
            return str.__eq__(self, other)

    obj = base.__new__(base)
    obj.__dict__[Key("key")] = None                 # probed before the attributes set after it
    base.__init__(obj)
    obj.enable(first)
    if scenario == "shadowing _log":
        obj._log = lambda *received: compares.append("shadow called")
    armed.append(True)
    outcome = attempt(lambda: obj.info("x"), False)
    return outcome, compares, first.ctx.events, second.ctx.events


# 3.15 compares a colliding key once or twice, depending on the run (seen in the matrix; not
# reproduced on demand): the comparison counts are checked up to 3.14.
@pytest.mark.skipif(sys.version_info >= (3, 15), reason="3.15 compares a colliding key once or twice")
@pytest.mark.parametrize("scenario", [
    "second read of _logger",
    pytest.param("failing lookup of _log", marks=pytest.mark.xfail(
        sys.version_info >= (3, 14), strict=False,
        reason="3.14, in the whole suite only (not alone): the module's lookup compared the key again with the "
               "LookupError set (a SystemError); to be found")),
    "shadowing _log"])
def test_colliding_instance_dict_key(scenario):
    got = _colliding_key_run(log_main._LogBase, scenario)
    want = _colliding_key_run(Reference, scenario)
    assert got == want


# ---------------------------------------------------------------------------------------------
# Real loggers whose configuration changes between calls
#
# The module returns early from a call whose record no handler would take. These sequences run
# the same calls and the same configuration changes on two real `logging` hierarchies, one
# driven through a module object and one through `Reference`, and compare what reaches each
# handler, the loggers' `_cache`, the str() calls on parts, the record factory, patched logging
# methods, profile functions and logging's last-resort output.

class Collect(logging.Handler):
    def __init__(self, side, level):
        super().__init__(level)
        self.side = side

    def emit(self, record):
        self.side.seen.append((self.name, record.levelno, record.getMessage()))


class PropertyLevel(Collect):
    """A handler class that turns `level` into a descriptor."""
    @property
    def level(self):
        self.side.seen.append(("level read", self.name))
        return self.__dict__["_level"]

    @level.setter
    def level(self, value):
        self.__dict__["_level"] = value


class Counted:
    """A part whose str() is observable."""
    def __init__(self, side, text):
        self.side, self.text = side, text

    def __str__(self):
        self.side.seen.append(("str", self.text))
        return self.text


class Side:
    def __init__(self, tag, make_object):
        self.tag = tag
        self.seen = []
        self.parent = logging.getLogger(tag)
        self.logger = logging.getLogger(tag + ".child")
        for lg in (self.parent, self.logger):
            lg.handlers.clear()
            lg.filters.clear()
            lg.propagate = False
            lg.disabled = False
            lg.setLevel(logging.DEBUG)
        self.parent.setLevel(logging.NOTSET)
        self.handlers = []
        self.warned = False
        self.obj = make_object()
        self.obj.enable(self.logger)
        # To start with, the module's shape: handlers at INFO on a logger at DEBUG that does not
        # propagate, and a parent whose handler would take everything.
        self.logger.addHandler(self.handler(0))
        self.parent.addHandler(self.handler(1))
        self.handler(1).setLevel(logging.DEBUG)

    def handler(self, index, kind="plain"):
        while len(self.handlers) <= index:
            cls = PropertyLevel if kind == "property" else Collect
            h = cls(self, logging.INFO)
            h.name = f"h{len(self.handlers)}"
            self.handlers.append(h)
        return self.handlers[index]

    def caches(self):
        return [sorted(lg._cache.items()) for lg in (self.logger, self.parent, logging.root)]


class Drop(logging.Filter):
    def filter(self, record):
        return False


LOGGER_ATTR = st.sampled_from(["logger", "parent"])
LEVELS = st.sampled_from([logging.DEBUG, logging.INFO, logging.WARNING, logging.ERROR, 0, 5, 15, 100])
STEP = st.one_of(
    st.tuples(st.just("emit"), st.sampled_from(LEVEL_NAMES),
              st.lists(st.sampled_from(["text", "int", "counted", "float", "none", "bigint"]), max_size=3),
              st.sampled_from([OMIT, (), (1,), ("x", "y")]),
              st.sampled_from([OMIT, {}, {"stacklevel": 2}, {"stack_info": True}, {"exc_info": True},
                               {"extra": {"k": 1}}, {"extra": {"message": 1}}, {"bogus": 1}])),
    st.tuples(st.just("handler level"), st.integers(0, 2), LEVELS),
    st.tuples(st.just("add handler"), LOGGER_ATTR, st.integers(0, 2), st.sampled_from(["plain", "property"])),
    st.tuples(st.just("remove handler"), LOGGER_ATTR, st.integers(0, 2)),
    st.tuples(st.just("logger level"), LOGGER_ATTR, LEVELS),
    st.tuples(st.just("propagate"), st.sampled_from([True, False, 0, 1])),
    st.tuples(st.just("disabled"), st.sampled_from([True, False, 0, 1])),
    st.tuples(st.just("filter"), st.booleans()),
    st.tuples(st.just("logging.disable"), st.sampled_from([logging.NOTSET, logging.DEBUG, logging.INFO])),
    st.tuples(st.just("factory"), st.booleans()),
    st.tuples(st.just("patch callHandlers"), st.booleans()),
    st.tuples(st.just("profile"), st.booleans()),
    st.tuples(st.just("last resort"), st.booleans()),
    st.tuples(st.just("shadow handle"), st.booleans()),
    st.tuples(st.just("clear cache"), LOGGER_ATTR),
    st.tuples(st.just("monitoring"), st.booleans()),
    st.tuples(st.just("mock normcase"), st.booleans()),
    st.tuples(st.just("replace findCaller code"), st.booleans()),
    st.tuples(st.just("thread name property"), st.booleans()),
    st.tuples(st.just("process name property"), st.booleans()),
)

# The conditions of dropped.cpp each kind of step (and each option of an emit) can break.
STEP_CONDITIONS = {
    "emit": ["D5", "D6", "D7", "D8", "D9"], "handler level": ["D14"], "add handler": ["D14"],
    "remove handler": ["D14"], "logger level": ["D4"], "propagate": ["D14"], "disabled": ["D4"],
    "filter": ["D13"], "logging.disable": ["D4"], "factory": ["D1"], "patch callHandlers": ["D1"],
    "profile": ["D2"], "last resort": ["D14"], "shadow handle": ["D3"], "clear cache": ["D4"],
    "monitoring": ["D2"], "mock normcase": ["D1"], "replace findCaller code": ["D1"],
    "thread name property": ["D10"], "process name property": ["D11"],
}
# Left to a test of its own: a running event loop cannot be switched on between two calls.
NOT_IN_SEQUENCES = {"D12": "test_inside_a_task_only_an_exact_task_is_skipped"}


def test_sequences_cover_every_condition():
    assert set(re.findall(r"just\('([^']+)'\)", repr(STEP))) == set(STEP_CONDITIONS)
    covered = {d for ds in STEP_CONDITIONS.values() for d in ds} | set(NOT_IN_SEQUENCES)
    assert covered == set(CONDITIONS)


def _part(side, kind):
    return {"text": "t", "int": 7, "counted": Counted(side, "c"), "float": 2.5, "none": None,
            "bigint": 10 ** 5000}[kind]


def _emit(obj, step, part):
    """An emit step: obj.<method>(*parts, args=..., kwargs=...), each option passed only where the
    step has one, the keyword dicts copied afresh for each side."""
    _, method, parts, a, k = step
    options = {}
    if a is not OMIT:
        options["args"] = a
    if k is not OMIT:
        options["kwargs"] = {key: (dict(v) if isinstance(v, dict) else v) for key, v in k.items()}
    getattr(obj, method)(*[part(p) for p in parts], **options)


def _apply(step, side, shared):
    kind = step[0]
    if kind == "emit":
        _emit(side.obj, step, lambda p: _part(side, p))
    elif kind == "handler level":
        side.handler(step[1]).setLevel(step[2])
    elif kind == "add handler":
        getattr(side, step[1]).addHandler(side.handler(step[2], step[3]))
    elif kind == "remove handler":
        getattr(side, step[1]).removeHandler(side.handler(step[2]))
    elif kind == "logger level":
        getattr(side, step[1]).setLevel(step[2])
    elif kind == "propagate":
        side.logger.propagate = step[1]
    elif kind == "disabled":
        side.logger.disabled = step[1]
    elif kind == "filter":
        if step[1]:
            side.logger.addFilter(shared["drop"])
        else:
            side.logger.removeFilter(shared["drop"])
    elif kind == "shadow handle":
        if step[1]:
            side.logger.handle = side.logger.handle
        else:
            side.logger.__dict__.pop("handle", None)
    elif kind == "clear cache":
        getattr(side, step[1])._cache.clear()


def _apply_shared(step, shared):
    """Process-wide changes: made once, seen by both sides."""
    kind, on = step[0], step[-1]
    if kind == "logging.disable":
        logging.disable(on)
    elif kind == "factory":
        logging.setLogRecordFactory(shared["factory"] if on else shared["plain factory"])
    elif kind == "patch callHandlers":
        # Each change of a class uses up one of its version tags (about a thousand); past them the
        # module never returns early for that class. Patching stops well before.
        if PATCH_BUDGET[0] > 0 or not on:
            PATCH_BUDGET[0] -= 1
            logging.Logger.callHandlers = shared["call handlers"] if on else shared["plain call handlers"]
    elif kind == "profile":
        sys.setprofile(shared["profile"] if on else None)
    elif kind == "last resort":
        logging.lastResort = None if on else shared["last resort"]
    elif kind == "monitoring":
        shared["monitoring"](on)
    elif kind == "mock normcase":
        os.path.normcase = shared["normcase"] if on else shared["plain normcase"]
    elif kind == "replace findCaller code":
        logging.Logger.findCaller.__code__ = shared["find caller code"] if on else shared["plain find caller code"]
    elif kind == "thread name property":
        shared["named"](threading.current_thread(), on)
    elif kind == "process name property":
        shared["named"](multiprocessing.current_process(), on)


def _unstacked(text):
    return [line for line in text.splitlines() if not line.startswith(" ")]


PATCH_BUDGET = [150]

SHARED_STEPS = {"logging.disable", "factory", "patch callHandlers", "profile", "last resort", "monitoring",
                "mock normcase", "replace findCaller code", "thread name property", "process name property"}


def _counting_find_caller(self, stack_info=False, stacklevel=1):
    """findCaller's stand-in, swapped in as code only: counts through builtins, the one namespace
    the code can reach (its globals stay logging's)."""
    __import__("builtins")._log_main_find_caller(self)
    return "(file)", 0, "(function)", None


@pytest.mark.slow
@settings(max_examples=examples(2000), deadline=None, database=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(st.lists(STEP, min_size=1, max_size=25))
def test_dropped_records_match_reference_while_configuration_changes(steps):
    sides = {"module": Side("dm", log_main._LogBase), "reference": Side("dr", Reference)}
    # A miss of a logger's cache makes the full call: start with the caches filled (setLevel above
    # clears every logger's), as after a call of each level, so that early returns happen at once.
    for side in sides.values():
        for level in (logging.DEBUG, logging.INFO, logging.WARNING, logging.ERROR, logging.CRITICAL):
            side.logger.isEnabledFor(level)
    counts = collections.Counter()

    def factory(*a, **kw):
        record = logging.LogRecord(*a, **kw)
        counts["record", record.name.split(".")[0]] += 1
        return record

    plain_call_handlers = logging.Logger.callHandlers

    def call_handlers(self, record):
        counts["callHandlers", self.name.split(".")[0]] += 1
        return plain_call_handlers(self, record)

    def profile(frame, event, arg):
        owner = frame.f_locals.get("self") if event == "call" else None
        if isinstance(owner, logging.Logger) and owner.name.startswith(("dm", "dr")):
            counts["profiled", frame.f_code.co_name, owner.name.split(".")[0]] += 1

    current = {"side": None}
    plain_normcase = os.path.normcase

    def normcase(path):
        counts["normcase", current["side"]] += 1
        return plain_normcase(path)

    def find_caller(logger):
        counts["findCaller", logger.name.split(".")[0]] += 1

    mon, tool = sys.monitoring, 4

    def on_start(code, offset):
        # Handler weak references die when the collector runs, which is outside the as-if rule.
        if current["side"] and code.co_filename == logging.__file__ and code.co_name != "_removeHandlerRef":
            counts["started", code.co_name, current["side"]] += 1

    def monitoring(on):
        if on and mon.get_tool(tool) is None:
            mon.use_tool_id(tool, "log_main differential")
            mon.register_callback(tool, mon.events.PY_START, on_start)
            mon.set_events(tool, mon.events.PY_START)
        elif not on and mon.get_tool(tool) is not None:
            mon.set_events(tool, 0)
            mon.register_callback(tool, mon.events.PY_START, None)
            mon.free_tool_id(tool)

    def name_read(obj):
        counts["name read", current["side"]] += 1
        return "named"

    named_classes = {}

    def named(obj, on):
        plain = named_classes.setdefault(id(obj), (obj, type(obj)))[1]
        obj.__class__ = type("Named", (plain,), {"name": property(name_read)}) if on else plain

    builtins._log_main_find_caller = find_caller
    shared = {"drop": Drop(), "factory": factory, "plain factory": logging.getLogRecordFactory(),
              "call handlers": call_handlers, "plain call handlers": plain_call_handlers,
              "profile": profile, "last resort": logging.lastResort, "monitoring": monitoring,
              "normcase": normcase, "plain normcase": plain_normcase,
              "find caller code": _counting_find_caller.__code__,
              "plain find caller code": logging.Logger.findCaller.__code__, "named": named}
    manager = logging.Logger.manager
    saved = (manager.disable, manager.emittedNoHandlerWarning, sys.stderr)
    err = io.StringIO()
    sys.stderr = err
    try:
        for step in steps:
            note(repr(step))
            if step[0] in SHARED_STEPS:
                current["side"] = None
                _apply_shared(step, shared)
                continue
            before = err.getvalue()
            for side in sides.values():
                current["side"] = side.tag
                mark = len(err.getvalue())
                manager.emittedNoHandlerWarning = side.warned  # logging warns once per process
                _apply(step, side, shared)
                side.warned = manager.emittedNoHandlerWarning
                side.stderr = err.getvalue()[mark:]
            current["side"] = None
            m, r = sides["module"], sides["reference"]
            assert m.seen == r.seen
            assert m.caches() == r.caches()
            # logging's error reports name the stack: the reference has frames of its own.
            assert _unstacked(m.stderr.replace("dm", "dr")) == _unstacked(r.stderr), before
            assert {k[:-1]: v for k, v in counts.items() if k[-1] == "dm"} == \
                   {k[:-1]: v for k, v in counts.items() if k[-1] == "dr"}
    finally:
        sys.setprofile(None)
        monitoring(False)
        os.path.normcase = plain_normcase
        logging.Logger.findCaller.__code__ = shared["plain find caller code"]
        for obj, cls in named_classes.values():
            obj.__class__ = cls
        del builtins._log_main_find_caller
        sys.stderr = saved[2]
        logging.disable(logging.NOTSET)
        manager.disable, manager.emittedNoHandlerWarning = saved[0], saved[1]
        logging.setLogRecordFactory(shared["plain factory"])
        if logging.Logger.__dict__["callHandlers"] is not plain_call_handlers:
            logging.Logger.callHandlers = plain_call_handlers
        logging.lastResort = shared["last resort"]
        for side in sides.values():
            for lg in (side.logger, side.parent):
                lg.handlers.clear()
                lg.filters.clear()


# ---------------------------------------------------------------------------------------------
# The early return happens, and each condition of it is needed
#
# A full call makes a LogRecord (about a kilobyte of allocations); an early return allocates
# nothing. Allocations are outside the as-if rule (docs/ARCHITECTURE.md), so tracemalloc tells the
# two apart without being a watcher the proof has to respect, as a profiler or sys.monitoring is.

DROPPED_CPP = pathlib.Path(__file__).resolve().parent.parent / "src" / "logger" / "dropped.cpp"
CONDITIONS = sorted(set(re.findall(r"^//  (D\d+) ", DROPPED_CPP.read_text(), re.M)), key=lambda d: int(d[1:]))
WRITTEN_CPP = DROPPED_CPP.with_name("written.cpp")
W_CONDITIONS = sorted(set(re.findall(r"^//  (W\d+) ", WRITTEN_CPP.read_text(), re.M)), key=lambda d: int(d[1:]))
COLORED_CPP = DROPPED_CPP.with_name("colored.cpp")


def _full_calls(call, times=1):
    """How many of `times` calls of `call` made the full Logger.log call."""
    started = not tracemalloc.is_tracing()
    if started:
        tracemalloc.start()
    try:
        made = 0
        for _ in range(times):
            tracemalloc.reset_peak()
            base = tracemalloc.get_traced_memory()[0]
            call()
            made += tracemalloc.get_traced_memory()[1] - base > 400
        return made
    finally:
        if started:
            tracemalloc.stop()


class _LoggerSub(logging.Logger):
    pass


def _plain_setup(name, logger_class=logging.Logger):
    if logger_class is logging.Logger:
        lg = logging.getLogger(name)
    else:
        lg = logger_class(name)
    lg.handlers.clear()
    lg.filters.clear()
    lg.propagate = False
    lg.setLevel(logging.DEBUG)
    sink = Collect(types.SimpleNamespace(seen=[]), logging.INFO)
    lg.addHandler(sink)
    obj = log_main._LogBase()
    obj.enable(lg)
    return obj, lg, sink


class _EqStr(str):
    def __eq__(self, other):
        return str.__eq__(self, other)

    __hash__ = str.__hash__


def _wrapped(owner, name, mp):
    """Replaces owner.name with a Python wrapper of it (what mock.patch(wraps=...) amounts to)."""
    plain = getattr(owner, name)
    mp.setattr(owner, name, functools.wraps(plain)(lambda *a, **k: plain(*a, **k)))


def _lookalike(mp):
    """logging.getLevelName replaced by a function compiled under logging's file name and qualname."""
    namespace = {}
    source = textwrap.dedent(inspect.getsource(logging.getLevelName))
    exec(compile(source, logging.__file__, "exec"), vars(logging), namespace)   # noqa: S102 (test code)
    mp.setattr(logging, "getLevelName", namespace["getLevelName"])


def _monitored(local):
    """A sys.monitoring tool with PY_START events, global or on getLevelName's code; returns its undo."""
    mon = sys.monitoring
    tool = next(t for t in range(6) if mon.get_tool(t) is None)
    code = logging.getLevelName.__code__
    mon.use_tool_id(tool, "log_main tests")
    mon.register_callback(tool, mon.events.PY_START, lambda c, offset: None)
    if local:
        mon.set_local_events(tool, code, mon.events.PY_START)
    else:
        mon.set_events(tool, mon.events.PY_START)

    def undo():
        mon.set_events(tool, 0)
        mon.set_local_events(tool, code, 0)
        mon.register_callback(tool, mon.events.PY_START, None)
        mon.free_tool_id(tool)
    return undo


def _profiled():
    import cProfile
    profile = cProfile.Profile()
    profile.enable()
    return profile.disable


def _current_class(obj, mp, **members):
    """obj's class swapped for a subclass with these members (restored afterwards)."""
    mp.setattr(obj, "__class__", type("Sub" + type(obj).__name__, (type(obj),), members))


def _named_property():
    return property(lambda self: "named by a property")


def _cached(lg):
    """The logger with its cache holding the answer for DEBUG (a miss makes the call, D4)."""
    lg.isEnabledFor(logging.DEBUG)
    return lg


def _quiet_parent():
    """A parent whose only handler drops DEBUG: the walk up the chain ends there."""
    parent = logging.Logger("skip.quiet-parent")
    parent.propagate = False
    parent.addHandler(Collect(types.SimpleNamespace(seen=[]), logging.INFO))
    return parent


def _call_with(call):
    return lambda o, lg, h, mp: ("call", call(o))


def _undo_with(undo):
    return ("undo", undo)


# Each entry breaks one condition of dropped.cpp (keyed by its number); the call after it must
# then be the full call. An entry may return ("call", f): the call that breaks it, or
# ("undo", f): what restores what monkeypatch does not.
BREAKS = {
    "D1 record factory": lambda o, lg, h, mp: mp.setattr(logging, "_logRecordFactory",
                                                          lambda *a, **k: logging.LogRecord(*a, **k)),
    "D1 patched Logger method": lambda o, lg, h, mp: _wrapped(logging.Logger, "callHandlers", mp),
    "D1 patched Filterer method": lambda o, lg, h, mp: _wrapped(logging.Filterer, "filter", mp),
    "D1 patched clock": lambda o, lg, h, mp: _wrapped(logging.time, "time_ns", mp),
    "D1 os.path.normcase mocked": lambda o, lg, h, mp: _wrapped(os.path, "normcase", mp),
    "D1 os.fspath mocked": lambda o, lg, h, mp: _wrapped(os, "fspath", mp),
    "D1 sys.exc_info mocked": lambda o, lg, h, mp: (_wrapped(sys, "exc_info", mp),
                                                     ("call", lambda: o.debug("m", kwargs={"exc_info": True})))[1],
    "D1 posixpath._get_sep mocked": lambda o, lg, h, mp: _wrapped(posixpath, "_get_sep", mp),
    "D1 genericpath._splitext mocked": lambda o, lg, h, mp: _wrapped(genericpath, "_splitext", mp),
    "D1 builtins.isinstance mocked": lambda o, lg, h, mp: _wrapped(builtins, "isinstance", mp),
    "D1 a global isinstance in logging": lambda o, lg, h, mp: mp.setattr(
        logging, "isinstance", lambda *a: isinstance(*a), raising=False),
    "D1 _srcfile a str subclass": lambda o, lg, h, mp: mp.setattr(logging, "_srcfile", _EqStr(logging._srcfile)),
    "D1 _levelToName a dict subclass": lambda o, lg, h, mp: mp.setattr(
        logging, "_levelToName", type("D", (dict,), {})(logging._levelToName)),
    "D1 _startTime a float subclass": lambda o, lg, h, mp: mp.setattr(
        logging, "_startTime", type("F", (float,), {})(logging._startTime)),
    "D1 Logger.name a property": lambda o, lg, h, mp: mp.setattr(logging.Logger, "name", _named_property(),
                                                                  raising=False),
    "D1 LogRecord attribute a property": lambda o, lg, h, mp: mp.setattr(
        logging.LogRecord, "levelname", property(lambda s: "L", lambda s, v: None), raising=False),
    "D1 LogRecord.__init__ wrapped": lambda o, lg, h, mp: _wrapped(logging.LogRecord, "__init__", mp),
    "D1 LogRecord.__del__": lambda o, lg, h, mp: mp.setattr(logging.LogRecord, "__del__", lambda self: None,
                                                             raising=False),
    "D1 LogRecord.__bool__": lambda o, lg, h, mp: mp.setattr(logging.LogRecord, "__bool__", lambda self: True,
                                                              raising=False),
    "D1 Logger.__bool__": lambda o, lg, h, mp: mp.setattr(logging.Logger, "__bool__", lambda self: True,
                                                           raising=False),
    "D1 _log.__defaults__ replaced in place": lambda o, lg, h, mp: mp.setattr(
        logging.Logger._log, "__defaults__", tuple(list(logging.Logger._log.__defaults__))),
    "D1 findCaller.__code__ replaced in place": lambda o, lg, h, mp: mp.setattr(
        logging.Logger.findCaller, "__code__", logging.Logger.findCaller.__code__.replace()),
    "D1 a look-alike compiled as logging's": lambda o, lg, h, mp: _lookalike(mp),
    "D1 Thread.name replaced": lambda o, lg, h, mp: mp.setattr(threading.Thread, "name", _named_property()),
    "D2 profile function": lambda o, lg, h, mp: (sys.setprofile(lambda *a: None),
                                                 _undo_with(lambda: sys.setprofile(None)))[1],
    "D2 trace function": lambda o, lg, h, mp: (sys.settrace(lambda *a: None),
                                               _undo_with(lambda: sys.settrace(None)))[1],
    "D2 cProfile (sys.monitoring)": lambda o, lg, h, mp: _undo_with(_profiled()),
    "D2 sys.monitoring global events": lambda o, lg, h, mp: _undo_with(_monitored(local=False)),
    "D2 sys.monitoring local events": lambda o, lg, h, mp: _undo_with(_monitored(local=True)),
    "D3 logger subclass": lambda o, lg, h, mp: o.enable(_cached(_plain_setup("skip.sub", _LoggerSub)[1])),
    "D3 method shadowed on the logger": lambda o, lg, h, mp: setattr(lg, "handle", lg.handle),
    "D4 disabled not a bool": lambda o, lg, h, mp: setattr(lg, "disabled", 0),
    "D4 a miss of the cache": lambda o, lg, h, mp: lg._cache.clear(),
    "D5 unknown option": _call_with(lambda o: lambda: o.debug("m", kwargs={"unknown": 1})),
    "D6 exc_info an exception": _call_with(lambda o: lambda: o.debug("m", kwargs={"exc_info": ValueError()})),
    "D7 stack_info true": _call_with(lambda o: lambda: o.debug("m", kwargs={"stack_info": True})),
    "D8 extra with a key not a str": _call_with(lambda o: lambda: o.debug("m", kwargs={"extra": {1: 2}})),
    "D9 a lone argument": _call_with(lambda o: lambda: o.debug("m %s", args=(1,))),
    "D9 a lone mapping": _call_with(lambda o: lambda: o.debug("m", args=(collections.UserDict(),))),
    "D10 a thread whose name is a property": lambda o, lg, h, mp: _current_class(
        threading.current_thread(), mp, name=_named_property()),
    "D11 a process whose name is a property": lambda o, lg, h, mp: _current_class(
        multiprocessing.current_process(), mp, name=_named_property()),
    "D13 logger filter": lambda o, lg, h, mp: lg.addFilter(lambda r: True),
    "D14 no handler": lambda o, lg, h, mp: lg.removeHandler(h),
    "D14 handler takes the record": lambda o, lg, h, mp: h.setLevel(logging.DEBUG),
    "D14 handler level is a property": lambda o, lg, h, mp: (lg.removeHandler(h), lg.addHandler(
        PropertyLevel(types.SimpleNamespace(seen=[]), logging.INFO))),
    "D14 propagate not a bool or int": lambda o, lg, h, mp: (mp.setattr(lg, "parent", _quiet_parent()),
                                                             setattr(lg, "propagate", "yes")),
}
# Conditions shown needed by tests of their own.
SEPARATE = {"D2": "test_audit_hook_makes_the_call", "D10": "test_thread_unknown_to_threading_makes_the_call_once",
            "D12": "test_inside_a_task_only_an_exact_task_is_skipped"}


@pytest.mark.slow
def test_examples_cap_reaches_the_property_tests(tmp_path):
    """EXAMPLES_CAP, which the sanitizer run and the matrix set, lowers a property test's count."""
    done = run_process([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                        "--hypothesis-show-statistics", __file__, "-k", "dropped_records_match_reference"],
                       cwd=tmp_path, timeout=300, env=dict(os.environ, EXAMPLES_CAP="7"), capture_output=True,
                       text=True)
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]
    assert "Stopped because settings.max_examples=7\n" in done.stdout, done.stdout[-3000:]


def test_every_condition_is_shown_needed():
    assert len(CONDITIONS) >= 14
    assert {key.split()[0] for key in BREAKS} | set(SEPARATE) == set(CONDITIONS)
    assert all(callable(globals()[name]) for name in SEPARATE.values())


def test_dropped_call_never_enters_logger_log():
    obj, lg, sink = _plain_setup("skip.plain")
    obj.debug("warm-up")
    assert _full_calls(lambda: obj.debug("msg", 42), 5) == 0
    options = {"stacklevel": 2, "exc_info": True, "extra": {"k": 1}, "stack_info": False}
    assert _full_calls(lambda: obj.debug("m", args=(1, 2), kwargs=options)) == 0
    assert _full_calls(lambda: obj.info("kept")) == 1
    assert sink.side.seen == [(None, logging.INFO, "kept")]


def test_a_change_of_the_logger_cache_is_seen():
    # The keys of `_cache` are checked once per state of the dict (its version on 3.13, a dict
    # watcher since): a key added later, whose comparison could run code, makes the call again.
    obj, lg, sink = _plain_setup("skip.cache")
    obj.debug("warm-up")
    assert _full_calls(lambda: obj.debug("x")) == 0
    lg._cache["odd"] = True
    assert _full_calls(lambda: obj.debug("x")) == 1
    del lg._cache["odd"]
    assert _full_calls(lambda: obj.debug("x")) == 0
    lg._cache = {logging.DEBUG: True, "odd": True}     # another dict, in the same state each time
    assert _full_calls(lambda: obj.debug("x"), 3) == 3
    # The answer for a level is kept per state of the dict: a value written in place is seen.
    lg._cache = {logging.INFO: False}
    assert _full_calls(lambda: obj.info("x"), 2) == 0
    lg._cache[logging.INFO] = True
    assert _full_calls(lambda: obj.info("x")) == 1


@pytest.mark.parametrize("breaking", sorted(BREAKS))
def test_each_condition_of_the_early_return_is_needed(breaking, monkeypatch):
    obj, lg, sink = _plain_setup("skip." + re.sub(r"\W", "_", breaking))
    obj.debug("warm-up")
    assert _full_calls(lambda: obj.debug("msg", 42)) == 0
    undo = None
    try:
        with monkeypatch.context() as mp:
            made = BREAKS[breaking](obj, lg, sink, mp)
            kind, what = made if isinstance(made, tuple) and made and made[0] in ("call", "undo") else (None, None)
            undo = what if kind == "undo" else None
            assert _full_calls(what if kind == "call" else (lambda: obj.debug("msg", 42))) == 1
    finally:
        if undo:
            undo()
    # Restored: the early return again.
    obj.enable(lg)
    lg.__dict__.pop("handle", None)
    lg.disabled, lg.propagate = False, False
    lg.filters.clear()
    lg.handlers[:] = [sink]
    sink.setLevel(logging.INFO)
    obj.debug("warm-up")
    assert _full_calls(lambda: obj.debug("msg", 42)) == 0


def test_thread_unknown_to_threading_makes_the_call_once():
    import _thread
    obj, lg, sink = _plain_setup("skip.thread")
    obj.debug("warm-up")
    done, counts = threading.Event(), []

    def foreign():
        counts.append(_full_calls(lambda: obj.debug("x"), 3))
        done.set()

    _thread.start_new_thread(foreign, ())
    assert done.wait(10)
    assert counts == [1]        # the first call names the thread (threading makes a dummy for it)


def test_thread_gone_from_threading_is_not_trusted():
    """A threading.local whose __del__ logs as its thread ends: by then the thread has left
    threading._active, so the call is made and names a dummy thread, as the plain call does."""
    code = textwrap.dedent('''
        import faulthandler, logging, threading, log_main
        faulthandler.dump_traceback_later(50, exit=True)
        lg = logging.getLogger("skip.local"); lg.propagate = False; lg.setLevel(logging.DEBUG)
        lg.addHandler(logging.NullHandler()); lg.handlers[0].setLevel(logging.INFO)
        obj = log_main._LogBase(); obj.enable(lg)
        made = []
        class Watch:
            def __del__(self):
                obj.debug("from __del__")
                made.append(any(type(t) is threading._DummyThread for t in threading._active.values()))
        local = threading.local()
        def body():
            obj.debug("the thread is known")
            local.watch = Watch()
        thread = threading.Thread(target=body)
        thread.start()
        thread.join()
        print(made)
    ''')
    done = run_python(code, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["[True]"]


def test_inside_a_task_only_an_exact_task_is_skipped():
    import asyncio

    class NamedTask(asyncio.Task):
        def get_name(self):
            return "custom"

    obj, lg, sink = _plain_setup("skip.task")
    obj.debug("warm-up")
    counts = []

    async def body():
        counts.append(_full_calls(lambda: obj.debug("x")))

    asyncio.run(body())
    loop = asyncio.new_event_loop()
    loop.set_task_factory(lambda lp, coro, **kw: NamedTask(coro, loop=lp, **kw))
    try:
        loop.run_until_complete(body())
    finally:
        loop.close()
    assert counts == [0, 1]


@pytest.mark.parametrize("where", ["in a task", "in a callback"])
def test_loop_with_a_hash_of_its_own_is_hashed_as_by_the_plain_call(where):
    """The check reads the current task without hashing the loop. Where the plain call hashes it
    (3.13 looks it up in a table of current tasks, also from a callback that no task runs), a
    loop whose __hash__ is code makes the full call, which hashes it as often; where it does not
    (3.14 compares loops by identity), the early return hashes it no more."""
    import asyncio
    hashes = []

    class HashedLoop(asyncio.SelectorEventLoop):
        def __hash__(self):
            hashes.append(1)
            return object.__hash__(self)

    obj, lg, sink = _plain_setup("skip.loop")
    obj.debug("warm-up")
    seen = []

    def body():
        hashes.clear()
        lg.debug("x")
        plain = len(hashes)
        hashes.clear()
        seen.append((plain, _full_calls(lambda: obj.debug("x")), len(hashes)))

    async def task():
        body()

    loop = HashedLoop()
    try:
        if where == "in a task":
            loop.run_until_complete(task())
        else:
            loop.call_soon(body)
            loop.call_soon(loop.stop)
            loop.run_forever()
    finally:
        loop.close()
    [(plain, made, hashed)] = seen
    assert hashed == plain and made == (plain > 0)
    assert plain == (sys.version_info < (3, 14))


def test_a_look_alike_in_place_before_the_first_call_is_not_pinned():
    """A function with the name and qualname of logging's own, compiled from another file, in
    place before the module first checks what the full call runs: it is not taken for logging's,
    so the call is made and runs it."""
    done = run_python(textwrap.dedent('''
        import logging, log_main
        source = "def getLevelName(level):\\n    CALLS.append(level)\\n    return _levelToName.get(level)\\n"
        logging.CALLS = []
        exec(compile(source, "look-alike.py", "exec"), vars(logging))
        lg = logging.getLogger("skip.look-alike"); lg.propagate = False; lg.setLevel(logging.DEBUG)
        lg.addHandler(logging.NullHandler()); lg.handlers[0].setLevel(logging.INFO)
        obj = log_main._LogBase(); obj.enable(lg)
        for _ in range(3):
            obj.debug("dropped")
        print(logging.CALLS)
    '''))
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["[10,", "10,", "10]"], done.stdout


def test_shipped_code_in_other_globals_is_not_pinned(tmp_path):
    """logging's own code and defaults, run in a copy of its namespace with other globals, in
    place before the module first checks what the full call runs: not taken for logging's, so the
    record is written as the full call writes it, through the copy's globals."""
    done = run_python(textwrap.dedent(f'''
        import logging, types, log_main
        def masking(*args, **kwargs):
            record = logging.LogRecord(*args, **kwargs)
            record.msg = record.msg.replace("secret", "***")
            return record
        names = dict(vars(logging), _logRecordFactory=masking)
        shipped = logging.Logger.makeRecord
        logging.Logger.makeRecord = types.FunctionType(shipped.__code__, names, shipped.__name__,
                                                       shipped.__defaults__, shipped.__closure__)
        obj = log_main.OsprelLog("copied", file={str(tmp_path / "copied.log")!r}, console=False)
        for _ in range(3):
            obj.info("password secret")
        obj.close()
    '''))
    assert done.returncode == 0, done.stderr
    lines = (tmp_path / "copied.log").read_text(encoding="utf-8").splitlines()
    assert [line.split(" - ", 1)[1] for line in lines] == ["copied - INFO - password ***"] * 3


# A C-level hook (PySys_AddAuditHook) is kept in the runtime state, whose layout moved
# between 3.13 patch releases: a module built on one must still see it on the others.
AUDIT_HOOKS = {
    "python": "sys.addaudithook(lambda event, args: seen(event))",
    "c": """
        import ctypes
        HOOK = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_char_p, ctypes.py_object, ctypes.c_void_p)
        hook = HOOK(lambda event, args, data: seen(event.decode()) or 0)
        ctypes.pythonapi.PySys_AddAuditHook.argtypes = [HOOK, ctypes.c_void_p]
        assert ctypes.pythonapi.PySys_AddAuditHook(hook, None) == 0
    """,
}


@pytest.mark.parametrize("level", sorted(AUDIT_HOOKS))
def test_audit_hook_makes_the_call(level):
    """An audit hook sees currentframe's sys._getframe: with one installed, nothing is skipped."""
    code = textwrap.dedent('''
        import logging, sys, log_main
        lg = logging.getLogger("skip.audit"); lg.propagate = False; lg.setLevel(logging.DEBUG)
        lg.addHandler(logging.NullHandler()); lg.handlers[0].setLevel(logging.INFO)
        obj = log_main._LogBase(); obj.enable(lg)
        frames = []
        def seen(event):
            if event == "sys._getframe":
                frames.append(event)
        obj.debug("before")
    ''') + textwrap.dedent(AUDIT_HOOKS[level]) + textwrap.dedent('''
        obj.debug("after")
        print(len(frames), flush=True)
        import os
        os._exit(0)     # a ctypes hook must not be called while the interpreter is torn down
    ''')
    done = run_python(code, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["1"]


def test_freed_monitoring_tool_counts_as_the_plain_call_counts_it():
    """A tool freed after setting local events on code the full call runs: 3.13 keeps its
    callback and events, 3.14 clears them. The call is made in full exactly when the plain call
    would reach the callback. In a child process: on 3.13 the freed tool stays for good."""
    code = textwrap.dedent('''
        import logging, sys, tracemalloc, log_main
        lg = logging.getLogger("skip.freed"); lg.propagate = False; lg.setLevel(logging.DEBUG)
        lg.addHandler(logging.NullHandler()); lg.handlers[0].setLevel(logging.INFO)
        obj = log_main._LogBase(); obj.enable(lg)
        obj.debug("warm-up")
        mon, seen = sys.monitoring, []
        mon.use_tool_id(4, "freed")
        mon.register_callback(4, mon.events.PY_START, lambda code, offset: seen.append(code.co_name))
        mon.set_local_events(4, logging.getLevelName.__code__, mon.events.PY_START)
        mon.free_tool_id(4)
        lg.debug("plain")
        plain = len(seen)
        seen.clear()
        tracemalloc.start()
        obj.debug("module")
        made = tracemalloc.get_traced_memory()[1] > 400
        print(plain, len(seen), made)
    ''')
    done = run_python(code, timeout=60)
    assert done.returncode == 0, done.stderr
    plain, module, made = done.stdout.split()
    assert plain == module == ("1" if sys.version_info < (3, 14) else "0")
    assert made == str(plain == "1")


# ---------------------------------------------------------------------------------------------
# The table of checked names is what the full call reads (scripts/stock-names)

def _script(name):
    """One of scripts/ (no .py suffix) loaded as a module."""
    path = pathlib.Path(__file__).resolve().parent.parent / "scripts" / name
    loader = importlib.machinery.SourceFileLoader(name.replace("-", "_"), str(path))
    module = types.ModuleType(loader.name)
    module.__file__ = str(path)
    loader.exec_module(module)
    return module


@pytest.mark.parametrize("path", ["dropped", "written"])
def test_table_of_checked_names_is_derived_from_the_bytecode(path):
    names = _script("stock-names")
    if path == "dropped":
        walk, excluded, source, conditions = names.derive(), names.EXCLUDED, DROPPED_CPP, CONDITIONS
    else:
        walk, excluded, source, conditions = names.derive_written(), names.WRITTEN_EXCLUDED, WRITTEN_CPP, W_CONDITIONS
    rows = names.table_rows(source)
    assert walk.unresolved == []
    assert names.compare(walk.found, rows, excluded) == ([], [])
    # An exclusion names a read of this interpreter's handlers, or one only some interpreters make.
    assert set(excluded) - (set() if path == "dropped" else names.WRITTEN_EXCLUDED_SOMETIMES) <= set(walk.found)
    # Every exclusion names the condition that keeps the full call off its branch.
    assert all(re.match(r"[DW]\d+", why) and re.match(r"[DW]\d+", why)[0] in conditions for why in excluded.values())
    # Removing any one row leaves a name the full call reads unchecked.
    for row in rows:
        missing, _ = names.compare(walk.found, [r for r in rows if r != row], excluded)
        assert missing == [row[:2]], row


def test_traceback_table_is_derived_from_the_bytecode():
    """traceback_stock.cpp's rows for this interpreter are the names the plain formatting of a
    traceback reads here, minus the reads each excluded by a condition of docs/traceback-once.md."""
    names = _script("traceback-names")
    walk, rows = names.derive(), names.table_rows()
    assert walk.unresolved == []
    assert names.compare(walk, rows) == ([], [])
    assert all(re.match(r"T\d+", why) for why in names.EXCLUDED.values())
    # The values a record's conditions check (T3, T6 to T9) are rows of their own kind.
    per_record = {(owner, name) for owner, name, kind in rows if kind == "PerRecord"}
    assert per_record == {("linecache", "cache"), ("sys", "tracebacklimit")} | {
        ("exception", name) for name in ("__cause__", "__context__", "__suppress_context__", "__traceback__",
                                         "__notes__")} | ({("re", "_cache2")} if sys.version_info < (3, 14) else set())
    for row in rows:
        missing, _ = names.compare(walk, [r for r in rows if r != row])
        assert missing == [row[:2]], row


# Changes to what the plain formatting runs, each undone after: (change, undo), run in order.
TRACEBACK_PATCHES = {
    "a traceback function replaced": ("saved = traceback._safe_string; traceback._safe_string = lambda v, w, func=str: ''",
                                      "traceback._safe_string = saved"),
    "a method's code swapped": ("f = traceback.StackSummary.format_frame_summary; saved = f.__code__\n"
                                "def other(self, frame_summary, **kwargs): return ''\nf.__code__ = other.__code__",
                                "f.__code__ = saved"),
    "linecache.getlines replaced": ("saved = linecache.getlines; linecache.getlines = lambda f, g=None: []",
                                    "linecache.getlines = saved"),
    "textwrap.dedent replaced": ("saved = textwrap.dedent; textwrap.dedent = lambda text: text",
                                 "textwrap.dedent = saved"),
    "builtins.__import__ replaced": ("saved = builtins.__import__; builtins.__import__ = lambda *a, **k: saved(*a, **k)",
                                     "builtins.__import__ = saved"),
    "ast replaced in sys.modules": ("saved = sys.modules['ast']; sys.modules['ast'] = type(sys)('ast')",
                                    "sys.modules['ast'] = saved"),
    # Not imported, a module the functions import is not needed (the coloured pass would have);
    # imported again, it is checked.
    "ast gone, then back changed": ("saved = sys.modules.pop('ast'); stock('ast gone', 1); saved.parse = None; "
                                    "sys.modules['ast'] = saved", "saved.parse = parse"),
    "a property's getter swapped in place": (
        "prop = vars(traceback.FrameSummary)['line']; saved = prop.fget; prop.__init__(lambda self: '')",
        "prop.__init__(saved)"),
    "a truth test given to TracebackException": ("traceback.TracebackException.__bool__ = lambda self: True",
                                                 "del traceback.TracebackException.__bool__"),
    "a builtin shadowed in traceback": ("traceback.len = lambda o: 0", "del traceback.len"),
    "a classmethod's function swapped in place": (
        "held = vars(traceback.StackSummary)['_extract_from_extended_frame_gen']; saved = held.__func__; "
        "held.__init__(lambda klass, frame_gen, **kwargs: klass())", "held.__init__(saved)"),
    "a call of its own given to suppress's metaclass": (
        "import abc; abc.ABCMeta.__call__ = lambda cls, *a, **k: type.__call__(cls, *a, **k)",
        "del abc.ABCMeta.__call__"),
    # The checks look into sys.modules without comparing its keys: one that is no str is refused.
    "a key of sys.modules that is no str": (
        "class Key:\n    def __hash__(self): return hash('ast')\n"
        "    def __eq__(self, other): compared.append(other); return False\n"
        "compared = []; sys.modules[Key()] = None; compared.clear()",
        "assert compared == []; del sys.modules[next(k for k in sys.modules if type(k) is Key)]"),
}
if sys.version_info >= (3, 14):
    TRACEBACK_PATCHES |= {
        "a theme of other codes": ("_colorize.set_theme(_colorize.default_theme.copy_with("
                                   "traceback=_colorize.Traceback(type='>>')))",
                                   "_colorize.set_theme(_colorize.default_theme)"),
        "the colourless theme changed in place": (
            "object.__setattr__(_colorize.theme_no_color.traceback, 'reset', 'x')",
            "object.__setattr__(_colorize.theme_no_color.traceback, 'reset', '')"),
        "a theme code that is a str subclass": (
            "section = _colorize.get_theme(force_color=True).traceback; saved = section.type; "
            "object.__setattr__(section, 'type', type('Code', (str,), {})(saved))",
            "object.__setattr__(section, 'type', saved)"),
        "a theme section of a subclass": (
            "_colorize.set_theme(_colorize.default_theme.copy_with(traceback=type('Section', "
            "(_colorize.Traceback,), {})()))", "_colorize.set_theme(_colorize.default_theme)"),
    }
else:
    TRACEBACK_PATCHES |= {
        "a colour code changed": ("saved = _colorize.ANSIColors.RED; _colorize.ANSIColors.RED = '\\x1b[91m'",
                                  "_colorize.ANSIColors.RED = saved"),
        "the colours traceback reads replaced": (
            "saved = traceback.ANSIColors; traceback.ANSIColors = type('ANSIColors', (), dict(vars(saved)))",
            "traceback.ANSIColors = saved"),
    }


# Changes that leave the plain formatting as shipped: the verdict stays (or comes back to) 1.
TRACEBACK_KEPT = {
    "a name added to traceback's namespace": "traceback.extra = 1",
    "linecache.cache emptied (the records' conditions read it)": "linecache.cache.clear()",
    "sys.tracebacklimit set (likewise)": "sys.tracebacklimit = 5",
}
if sys.version_info >= (3, 14):
    TRACEBACK_KEPT["a user theme of SGR codes"] = (
        "_colorize.set_theme(_colorize.default_theme.copy_with(traceback=_colorize.Traceback("
        "type='\\x1b[1;4;38;5;208m', reset='\\x1b[0m\\x1b[m')))")


@needs_test_hooks
def test_traceback_stock_follows_changes():
    """1 as shipped (once a coloured traceback has been formatted, as the console does first), 0
    after each change to what the plain formatting runs, 1 again once it is undone."""
    steps = "".join(f"\n{change}\nstock({name!r}, 0)\n{undo}\nstock({name!r}, 1)\n"
                    for name, (change, undo) in TRACEBACK_PATCHES.items())
    steps += "".join(f"\n{change}\nstock({name!r}, 1)\n" for name, change in TRACEBACK_KEPT.items())
    code = textwrap.dedent(f'''
        import faulthandler, sys
        faulthandler.dump_traceback_later(100, exit=True)
        sys.path.insert(0, {os.path.dirname(__file__)!r})
        import builtins, ctypes, io, linecache, textwrap, traceback, _colorize
        import test_handlers
        probe = test_handlers._probe("log_main_traceback_stock", 0)
        probe.restype = ctypes.c_int
        failed = ctypes.PyDLL(test_handlers.log_main.__file__).log_main_traceback_stock_failed
        failed.restype = ctypes.c_char_p
        def boom():
            return 1 + {{}}["k"]
        try:
            boom()
        except KeyError as exc:
            traceback.print_exception(exc, file=io.StringIO(), colorize=True)
        parse = sys.modules["ast"].parse
        seen = []
        def stock(name, want):
            seen.append((name, want, probe(), failed().decode()))
        stock("as shipped", 1)
    ''') + steps + "print(repr(seen))\n"
    done = run_python(code, timeout=120)
    assert done.returncode == 0, done.stderr[-6000:]
    seen = eval(done.stdout.strip().splitlines()[-1])
    assert len(seen) == 2 + 2 * len(TRACEBACK_PATCHES) + len(TRACEBACK_KEPT)
    assert [(name, want, got, why) for name, want, got, why in seen if got != want] == []


TRACEBACK_SOURCE = """\
def helper(exc):
    raise exc
def plain(exc):
    return helper(exc)
def binop(exc):
    return 1 + helper(exc) * 2
def subscript(exc):
    table = {}
    return table[helper(exc)]
def multiline(exc):
    value = (1 +
             helper(
                 exc)
             )
    return value
def wide(exc):
    数据 = helper(exc) or '宽字符'
    return 数据
def deep(exc, n=6):
    return deep(exc, n - 1) if n else helper(exc)
def chained(exc):
    try:
        binop(KeyError("inner"))
    except KeyError as inner:
        raise exc from inner
def context(exc):
    try:
        subscript(ValueError("first"))
    except ValueError:
        wide(exc)
def caught(shape, exc):
    try:
        globals()[shape](exc)
    except RuntimeError as e:
        return (type(e), e, e.__traceback__)
"""


@needs_test_hooks
def test_traceback_codes_cover_what_the_plain_formatting_runs():
    """Every Python function the plain formatting runs (under the conditions: the coloured pass
    just before, the same exceptions) has its code among the codes the module watches for local
    monitoring events, and is so pinned: the walk and the table miss nothing that runs."""
    code = textwrap.dedent(f'''
        import faulthandler, sys
        faulthandler.dump_traceback_later(100, exit=True)
        sys.path.insert(0, {os.path.dirname(__file__)!r})
        import ctypes, importlib.util, io, logging, os, tempfile, traceback
        import test_handlers
        folder = tempfile.mkdtemp()
        path = os.path.join(folder, "shapes.py")
        with open(path, "w", encoding="utf-8") as f:
            f.write({TRACEBACK_SOURCE!r})
        spec = importlib.util.spec_from_file_location("shapes", path)
        shapes = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(shapes)
        codes = test_handlers._probe("log_main_traceback_stock_codes", 0)
        formatter = logging.Formatter()
        ran, counts = set(), []
        def profile(frame, event, arg):
            if event == "call":
                ran.add(frame.f_code)
        for shape in ("plain", "binop", "subscript", "multiline", "wide", "deep", "chained", "context"):
            for notes in ((), ("a note",)):
                exc = RuntimeError(shape)
                for note in notes:
                    exc.add_note(note)
                ei = shapes.caught(shape, exc)  # no frame of a file named "<...>" (T8)
                traceback.print_exception(ei[1], file=io.StringIO(), colorize=True)
                watched = codes()
                assert watched is not None, shape
                counts.append(len(watched))
                sys.setprofile(profile)
                formatter.formatException(ei)
                sys.setprofile(None)
        unwatched = sorted(f"{{c.co_qualname}} ({{c.co_filename}})" for c in ran - set(watched))
        print(repr((unwatched, len(ran), max(counts))))
    ''')
    done = run_python(code, timeout=120)
    assert done.returncode == 0, done.stderr[-6000:]
    unwatched, ran, watched = eval(done.stdout.strip().splitlines()[-1])
    assert unwatched == []
    assert 30 < ran <= watched, (ran, watched)


# ---------------------------------------------------------------------------------------------
# The declared limits of the as-if rule (docs/ARCHITECTURE.md): what an early return cannot keep
# the same, and that each stays safe. Each runs in a child process with a watchdog.

LIMIT_PRELUDE = '''
import faulthandler, gc, logging, signal, sys, threading, log_main
faulthandler.dump_traceback_later(100, exit=True)
lg = logging.getLogger("limits"); lg.propagate = False; lg.setLevel(logging.DEBUG)
class Sink(logging.Handler):
    def emit(self, record):
        seen.append(record.getMessage())
seen = []
lg.addHandler(Sink(logging.INFO))
obj = log_main._LogBase(); obj.enable(lg)
obj.debug("warm-up")
'''

LIMITS = {
    # A dropped call allocates nothing, so the collector runs at other points; finalizers that
    # log (dropped or written) still run once each and write what they should.
    "garbage collection timing": '''
gc.set_threshold(5, 1, 1)
class Cycle:
    def __init__(self):
        self.me = self
    def __del__(self):
        obj.debug("dropped from __del__", 1)
        obj.info("written from __del__")
made = 0
for _ in range(20000):
    obj.debug("msg", 42)
    if _ % 10 == 0:
        Cycle(); made += 1
gc.collect()
print(len(seen) == made, set(seen) == {"written from __del__"})
''',
    # A sampling profiler sees the caller's frame where it saw logging's frames before; the
    # frames it reads stay valid.
    "what a sampling profiler sees": '''
stop = threading.Event(); names = set()
def sample():
    while not stop.is_set():
        for frame in sys._current_frames().values():
            while frame is not None:
                names.add(frame.f_code.co_name)
                frame = frame.f_back
sampler = threading.Thread(target=sample); sampler.start()
for _ in range(200000):
    obj.debug("msg", 42)
stop.set(); sampler.join()
print("log" not in names, "<module>" in names)
''',
    # An exception raised by a signal handler surfaces at the caller's next check for pending
    # calls rather than inside Logger.log; it is never lost.
    "where an asynchronous exception surfaces": '''
class Tick(BaseException):
    pass
raised = caught = 0
armed = False
def handler(signum, frame):
    global raised, armed
    if armed:                     # one Tick per arming: none lands in the except clause
        armed = False
        raised += 1
        raise Tick
signal.signal(signal.SIGALRM, handler)
signal.setitimer(signal.ITIMER_REAL, 0.002, 0.002)
while caught < 25:
    armed = True
    try:
        for _ in range(1000):
            obj.debug("msg", 42)
        armed = False
    except Tick:
        caught += 1
signal.setitimer(signal.ITIMER_REAL, 0, 0)
print(raised == caught, seen == [])
''',
    # A record written in place runs fewer Python frames than the full call, so near the
    # recursion limit it may be written where the full call raises RecursionError. Either way
    # the call returns or raises, and every line in the file is whole.
    "stack depth near the recursion limit": '''
import os, tempfile
folder = tempfile.mkdtemp()
written = log_main.OsprelLog("deep", file=os.path.join(folder, "deep.log"), console=False)
calls = raised = 0
def down(depth):
    global calls, raised
    try:
        down(depth + 1)
    except RecursionError:
        try:
            written.info("at depth", depth)
            calls += 1
        except RecursionError:
            raised += 1
for limit in (200, 400, 1000):
    sys.setrecursionlimit(limit)
    down(0)
sys.setrecursionlimit(1000)
written.close()
lines = open(os.path.join(folder, "deep.log"), encoding="utf-8").read().splitlines()
print(calls + raised == 3, all(line.split(" - ")[1:3] == ["deep", "INFO"] for line in lines))
''',
}


@pytest.mark.parametrize("limit", sorted(LIMITS))
def test_declared_limits_of_the_early_return_stay_safe(limit):
    done = run_python(LIMIT_PRELUDE + LIMITS[limit], timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["True", "True"], done.stdout


# ---------------------------------------------------------------------------------------------
# Written records (written.cpp): the files, byte for byte, against the full path
#
# Two module objects with the same set-up, each in a folder of its own, get the same calls and
# run-time changes. The reference's file handlers carry a pass-through Python filter, which alone
# makes every one of its records take the full path (W8); the other's may be written in place.
# Their folders must match byte for byte (file names and contents) once the time text is masked:
# the two sides read the clock microseconds apart. The time text of the side under test is
# checked on its own, against the clock read just before and just after the call and rendered by
# logging's Formatter.formatTime, so no clock has to be replaced (a replaced clock function is
# itself a reason to take the full path, W1).

TESTS_FOLDER = os.path.dirname(os.path.abspath(__file__))
# At a line's start, or after the console's colour code.
TIME_TEXT = re.compile(r"(?:^|(?<=m))\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3}", re.M)
WRITTEN_STEP_CONDITIONS = {
    "emit": ["W4", "W5", "W6", "W13"], "file level": ["W7"], "logger level": ["W7"], "propagate": ["W7"],
    "share handler": ["W7"], "user filter": ["W8"], "user handler": ["W7"], "formatter": ["W10"],
    "stream": ["W11"], "roll by time": ["W11"], "time zone": [], "profile": ["W1"],
    "console stream": ["W12"], "console level": ["W7"], "colour env": ["W12"], "escape codes": ["W12"],
    "traceback": ["W4", "W13"], "traceback handler": ["W7", "W13"], "traceback source": ["W13"],
    "traceback lines": ["W13"], "re cache": ["W13"], "traceback limit": ["W13"], "traceback colours": ["W13"],
    "traceback monitoring": ["W13"], "environ": ["W12"],
}


class PassThrough(logging.Filter):
    def filter(self, record):
        return True


class Seen(logging.Handler):
    def __init__(self, side):
        super().__init__(logging.DEBUG)
        self.side = side

    def emit(self, record):
        self.side.seen.append((record.name.replace(self.side.tag, "<tag>"), record.getMessage()))


def _clock_text(ns):
    """The time text logging gives a record made at ns (LogRecord.__init__ and formatTime)."""
    record = logging.makeLogRecord({})
    record.created = ns / 1e9
    record.msecs = (ns % 1_000_000_000) // 1_000_000 + 0.0
    if record.msecs == 999.0 and int(record.created) != ns // 1_000_000_000:
        record.msecs = 0.0
    return logging.Formatter().formatTime(record)


class WSide:
    def __init__(self, tag, folder, full):
        self.tag, self.folder, self.seen = tag, folder, []
        self.tracebacks = None   # the example's WTracebacks, shared by both sides
        join = functools.partial(os.path.join, folder)
        # The parent first: a name whose child exists already gets a name of its own.
        self.objs = {"time": log_main.OsprelLog(tag, file=join("time.log"), handler_type="timerotating",
                                                console=False, backupCount=2),
                     "size": log_main.OsprelLog(tag + ".c", file=join("size.log"), handler_type="rotating",
                                                maxBytes=700, backupCount=2),
                     "plain": log_main.OsprelLog(tag + ".p", file=join("plain.log"), console=False)}
        self.handlers = {k: obj._file_handler for k, obj in self.objs.items()}
        self.loggers = {"child": self.objs["size"]._logger, "parent": self.objs["time"]._logger}
        self.user = {"filter": PassThrough(), "handler": Seen(self), "meddling": Meddling(self)}
        # The console: a file in the folder (compared with the others), or a StringIO.
        self.console, self.sio = self.objs["size"]._console_handler, None
        self.console.setStream(open(join("console.txt"), "a", encoding="utf-8"))
        if full:
            for h in [*self.handlers.values(), self.console]:
                h.addFilter(PassThrough())
        # A miss of a logger's cache makes the full call (D4): start with the caches filled.
        for logger in self.loggers.values():
            for level in (logging.DEBUG, logging.INFO, logging.WARNING, logging.ERROR, logging.CRITICAL):
                logger.isEnabledFor(level)

    def files(self):
        out = {}
        for name in sorted(os.listdir(self.folder)):
            with open(os.path.join(self.folder, name), "rb") as f:
                out[name] = f.read()
        return out

    def masked(self, files=None):
        texts = {name: text.decode("utf-8", "replace") for name, text in (files or self.files()).items()}
        if self.sio is not None and not self.sio.closed:
            texts["<StringIO>"] = self.sio.getvalue()
        return {name: TIME_TEXT.sub("<time>", self.unplaced(text)).replace(self.tag, "<tag>")
                for name, text in texts.items()}

    def unplaced(self, text):
        """The folders a traceback names, before the tag is masked (a folder's name may hold it)."""
        if self.tracebacks is not None:
            text = text.replace(self.tracebacks.folder, "<raising>")
        return text.replace(TESTS_FOLDER, "<tests>")

    def unclose(self):
        """A stream closed under a handler is dropped (its flush would raise)."""
        for h in [*self.handlers.values(), self.console]:
            if h.stream is not None and h.stream.closed:
                h.stream = None

    def close(self):
        self.unclose()
        stream = self.console.stream
        for obj in self.objs.values():
            obj.close()
        if stream is not None and stream is not self.sio:
            stream.close()
        # Each example has loggers of its own names; left in the manager, every setLevel of later
        # examples would clear their caches too (time growing with the square of the examples).
        known = logging.Logger.manager.loggerDict
        for name in [name for name in known if name == self.tag or name.startswith(self.tag + ".")]:
            del known[name]


WPARTS = {"text": "order", "int": 42, "float": 2.5, "wide": "größe ✓", "percent": "%d%%", "none": None,
          "surrogate": "\ud800"}

# Records with a traceback. The exception comes from the example's raising module (RAISING_SOURCE,
# a file of its own in the examples' folder), called from one helper (_wtraceback), so both
# sides' tracebacks have the same frames, file names and line numbers; steps rewrite that file,
# replace its linecache entry, change re's cache, sys.tracebacklimit, the traceback colours and
# watch traceback code with sys.monitoring between records.
RAISING_SOURCE = '''\
def raise_it(exc):
    raise exc


def nested(exc, depth):
    if depth > 0:
        return 1 + nested(exc, depth - 1) * 2
    raise_it(exc)


def subscript(key, depth):
    if depth > 0:
        return [subscript(key, depth - 1)][0]
    table = {}
    return table[key]


def divide(value, depth):
    if depth > 0:
        return divide(value, depth - 1) or value
    return (value +
            value / 0)


def run(kind, payload, chain, depth):
    body = {"subscript": subscript, "divide": divide}.get(kind, nested)
    if chain is None:
        return body(payload, depth)
    try:
        subscript("first", 0)
    except KeyError as first:
        try:
            return body(payload, depth)
        except Exception as exc:
            if chain == "cause":
                raise exc from first
            if chain == "suppressed":
                raise exc from None
            raise
'''
# Edits of the raising module's indented lines: the texts a traceback then shows.
RAISING_EDITS = {
    "same": lambda line: line,
    "escape": lambda line: line[:-1] + "  # \x1b[1mbold\x1b[0m\n",
    "form feed": lambda line: "\f" + line,
    "wide": lambda line: line[:-1] + "  # 数据 ✓ e\u0301\n",
    "tabs": lambda line: line.replace("    ", "\t"),
    "breaks": lambda line: line[:-1] + "  # \x0b\x1c\u2028\x85.\n",
    "carriage return": lambda line: line.replace("(", "(\r", 1),
}


def _raising_text(edit):
    if edit in ("short", "empty"):
        return "".join(RAISING_SOURCE.splitlines(keepends=True)[:4 if edit == "short" else 0])
    return "".join(RAISING_EDITS[edit](line) if line.startswith(" ") else line
                   for line in RAISING_SOURCE.splitlines(keepends=True))


RAISING_TEXTS = [*RAISING_EDITS, "short", "empty"]
WCOUNTS = collections.Counter()   # calls of code that the steps plant on the traceback's path


class WPlainError(ValueError):
    pass


class WSpokenError(ValueError):
    def __str__(self):
        WCOUNTS["__str__"] += 1
        return "spoken " + ValueError.__str__(self)


class WFalsyError(KeyError):
    def __bool__(self):
        WCOUNTS["__bool__"] += 1
        return False


class WCountedArg:
    def __repr__(self):
        WCOUNTS["__repr__ of an argument"] += 1
        return "<argument>"

    def __str__(self):
        WCOUNTS["__str__ of an argument"] += 1
        return "argument"


class WCountedLines(list):
    def __getitem__(self, index):
        WCOUNTS["lines[...]"] += 1
        return list.__getitem__(self, index)


WKINDS = {"KeyError": KeyError, "ValueError": ValueError, "OSError": OSError, "plain subclass": WPlainError,
          "own __str__": WSpokenError, "own __bool__": WFalsyError,
          "group": lambda *a: ExceptionGroup("group", [ValueError(*a), KeyError(*a)]),
          "syntax": lambda *a: SyntaxError(*a[:1], ("example.py", 1, 5, "x = (1 +\n", 1, 8)),
          "subscript": None, "divide": None, "none": None}
WARGS = {"str": ("SKU-9",), "int": (42,), "none": (None,), "no args": (), "two": (2, "gone"),
         "escape": ("\x1b[31mred\x1b[0m",), "breaks": ("a\rb\x0cc\x85d",), "wide": ("数据 ✓",),
         "newline": ("two\nlines",), "counted": None}


def _wnotes(exc, notes):
    if notes in ("one", "escape", "several"):
        for note_text in {"one": ["checked twice"], "escape": ["\x1b[1mloud\x1b[0m"],
                          "several": ["first", "second\nline", ""]}[notes]:
            exc.add_note(note_text)
    elif notes == "tuple":
        exc.__notes__ = ("in a tuple",)
    elif notes == "not a str":
        exc.__notes__ = ["text", 7]


TRACEBACK_CODES = {"format_frame_summary": lambda: traceback.StackSummary.format_frame_summary,
                   "_safe_string": lambda: getattr(traceback, "_safe_string", None),
                   "linecache.getline": lambda: linecache.getline, "textwrap.dedent": lambda: textwrap.dedent}
# Colours of the coloured traceback: other SGR sequences, and codes that are not SGR sequences.
TRACEBACK_COLOURS = {
    (3, 13): {"SGR": {"BOLD_MAGENTA": "\x1b[1;36m", "MAGENTA": "\x1b[36m", "BOLD_RED": "\x1b[1;4;33m", "RED": "",
                      "RESET": "\x1b[0m"},
              "other": {"BOLD_MAGENTA": ">>", "MAGENTA": "\x1b]8;;file:///x\x1b\\", "RESET": "<<"}},
    (3, 14): {"SGR": {"type": "\x1b[1;36m", "message": "\x1b[36m", "filename": "", "line_no": "\x1b[4m",
                      "frame": "\x1b[36m", "error_highlight": "\x1b[1;4;33m", "error_range": "\x1b[33m",
                      "reset": "\x1b[0m"},
              "other": {"type": ">>", "message": "\x1b]8;;file:///x\x1b\\", "reset": "<<"}},
}


class WTracebacks:
    """What an example's tracebacks depend on: the raising module (made when a step first needs
    it) and the process-wide settings the steps change, all restored by close()."""

    def __init__(self, base, n):
        self.folder = os.path.join(base, f"raising{n}")
        self.path = os.path.join(self.folder, f"raising{n}.py")
        self.name, self._module = f"log_main_raising{n}", None
        self.tool = self.colours = None
        self.limit = sys.__dict__.get("tracebacklimit", DELETED)

    @property
    def module(self):
        if self._module is None:
            os.makedirs(self.folder)
            self.write("same")
            spec = importlib.util.spec_from_file_location(self.name, self.path)
            self._module = importlib.util.module_from_spec(spec)
            spec.loader.exec_module(self._module)
        return self._module

    def write(self, edit):
        with open(self.path, "w", encoding="utf-8", newline="") as f:
            f.write(_raising_text(edit))

    def source(self, edit):
        self.module
        if edit == "deleted":
            pathlib.Path(self.path).unlink(missing_ok=True)
        else:
            self.write(edit)

    def lines(self, how, edit):
        self.module
        lines = _raising_text(edit).splitlines(keepends=True)
        cache = linecache.cache
        if how == "drop":
            cache.pop(self.path, None)
        elif how == "clear":
            linecache.clearcache()
        elif how == "lazy":
            def source():
                WCOUNTS["lazy source"] += 1
                return "".join(lines)
            cache[self.path] = (source,)
        else:   # kept: no mtime, so checkcache keeps it; stale: an mtime that makes checkcache drop it
            kept = WCountedLines(lines) if how == "counted" else lines
            cache[self.path] = (len("".join(lines)), 1.0 if how == "stale" else None, kept, self.path)

    def watch(self, name):
        mon = sys.monitoring
        if self.tool is not None:
            tool, code = self.tool
            mon.set_local_events(tool, code, 0)
            mon.register_callback(tool, mon.events.PY_START, None)
            mon.free_tool_id(tool)
            self.tool = None
        function = TRACEBACK_CODES[name]() if name else None
        if function is not None:
            tool = next(t for t in range(6) if mon.get_tool(t) is None)
            mon.use_tool_id(tool, "log_main tests")
            mon.register_callback(tool, mon.events.PY_START, lambda code, offset: WCOUNTS.update([name]))
            mon.set_local_events(tool, function.__code__, mon.events.PY_START)
            self.tool = (tool, function.__code__)

    def colour(self, which):
        new = sys.version_info >= (3, 14)
        if self.colours is None:
            self.colours = (_colorize.get_theme(force_color=True) if new else
                            {k: getattr(_colorize.ANSIColors, k) for k in TRACEBACK_COLOURS[3, 13]["SGR"]})
        codes = TRACEBACK_COLOURS[(3, 14) if new else (3, 13)].get(which)
        if new:
            _colorize.set_theme(self.colours if codes is None else
                                self.colours.copy_with(traceback=_colorize.Traceback(**codes)))
        else:
            for key, value in {**self.colours, **(codes or {})}.items():
                setattr(_colorize.ANSIColors, key, value)

    def set_limit(self, value):
        if value is not DELETED:
            sys.tracebacklimit = value
        elif hasattr(sys, "tracebacklimit"):
            del sys.tracebacklimit

    def close(self):
        self.watch(None)
        if self.colours is not None:
            self.colour("shipped")
        self.set_limit(self.limit)
        linecache.cache.pop(self.path, None)
        shutil.rmtree(self.folder, ignore_errors=True)


class Meddling(logging.Handler):
    """A handler that a record reaches after the console and before the file: it changes what the
    file's traceback shows (a note on the exception, or the lines linecache holds for the raising
    module), so the console's text is not the file's."""

    def __init__(self, side):
        super().__init__(logging.DEBUG)
        self.side, self.what = side, None

    def emit(self, record):
        if not record.exc_info or record.exc_info[1] is None:
            return
        if self.what == "note":
            record.exc_info[1].add_note("added by a handler")
        else:
            self.side.tracebacks.lines("kept", "wide")


def _tb_caches():
    """linecache's and re's caches as they stand, to put back before the other side's step."""
    return dict(linecache.cache), dict(re._cache), dict(re._cache2)


def _tb_caches_left(before):
    """What a step left in those caches: for each linecache entry its size, mtime and whether it
    is the entry that was there before; re's patterns in the order evictions take them."""
    return ({name: (len(entry), entry[:2] if len(entry) == 4 else None, before[0].get(name) is entry)
             for name, entry in linecache.cache.items()}, list(re._cache), list(re._cache2))


def _tb_caches_put_back(before):
    for cache, saved in zip((linecache.cache, re._cache, re._cache2), before):
        cache.clear()
        cache.update(saved)


WSTEP = st.one_of(
    st.tuples(st.just("emit"), st.sampled_from(LEVEL_NAMES),
              st.lists(st.sampled_from(sorted(WPARTS)), min_size=1, max_size=3),
              st.sampled_from([OMIT, (), (7,), ("x", 2.5), (1, 2, 3)]),
              st.sampled_from([OMIT, {}, {"stacklevel": 1}, {"exc_info": False}])),
    st.tuples(st.just("file level"), st.sampled_from(["size", "time", "plain"]), LEVELS),
    st.tuples(st.just("logger level"), st.sampled_from(["child", "parent"]), LEVELS),
    st.tuples(st.just("propagate"), st.booleans()),
    st.tuples(st.just("share handler"), st.sampled_from(["child", "parent"]), st.sampled_from(["plain", "time"]),
              st.booleans()),
    st.tuples(st.just("user filter"), st.sampled_from(["size", "plain"]), st.booleans()),
    st.tuples(st.just("user handler"), st.sampled_from(["child", "parent"]), st.booleans()),
    st.tuples(st.just("formatter"), st.sampled_from(["size", "time", "plain"]),
              st.sampled_from(["module", "other", "datefmt", "subclass"])),
    st.tuples(st.just("stream"), st.sampled_from(["size", "time", "plain"]),
              st.sampled_from(["reopen", "close", "close stream"])),
    st.tuples(st.just("roll by time"), st.booleans()),
    st.tuples(st.just("time zone"), st.sampled_from(["UTC", "Asia/Kathmandu", "America/St_Johns", "EST+5"])),
    st.tuples(st.just("profile"), st.booleans()),
    st.tuples(st.just("console stream"), st.sampled_from(["file", "stringio", "close"])),
    st.tuples(st.just("console level"), LEVELS),
    st.tuples(st.just("colour env"), st.sampled_from(["FORCE_COLOR", "NO_COLOR"]), st.booleans()),
    st.tuples(st.just("escape codes"), st.sampled_from(["green", "yellow", "reset", "message"]),
              st.sampled_from(["\x1b[1;35m", "", None, DELETED])),
    st.tuples(st.just("traceback"), st.sampled_from(["error", "error", "critical", "warning", "info"]),
              st.sampled_from(list(WKINDS)), st.sampled_from(list(WARGS)),
              st.sampled_from([None, "cause", "context", "suppressed"]),
              st.sampled_from([None, "one", "escape", "several", "tuple", "not a str"]),
              st.sampled_from([0, 1, 2, 5]), st.sampled_from(["True", "exception", "tuple"])),
    st.tuples(st.just("traceback handler"), st.sampled_from([None, "note", "lines"])),
    st.tuples(st.just("traceback source"), st.sampled_from([*RAISING_TEXTS, "deleted"])),
    st.tuples(st.just("traceback lines"), st.sampled_from(["kept", "stale", "counted", "lazy", "drop", "clear"]),
              st.sampled_from(RAISING_TEXTS)),
    st.tuples(st.just("re cache"), st.sampled_from(["purge", "fill"])),
    st.tuples(st.just("traceback limit"), st.sampled_from([0, 1, None, -1, DELETED])),
    st.tuples(st.just("traceback colours"), st.sampled_from(["SGR", "other", "shipped"])),
    st.tuples(st.just("traceback monitoring"), st.sampled_from([None, *TRACEBACK_CODES])),
    st.tuples(st.just("environ"), st.sampled_from(["data", "data with NO_COLOR", "encodekey", "put back"])),
)
SHARED_WSTEPS = {"time zone", "profile", "colour env", "escape codes", "traceback source", "traceback lines",
                 "re cache", "traceback limit", "traceback colours", "traceback monitoring", "environ"}


class _FormatterSub(logging.Formatter):
    pass


def _wapply(step, side):
    kind = step[0]
    if kind == "emit":
        _emit(side.objs["size"], step, WPARTS.__getitem__)
    elif kind == "file level":
        side.objs[step[1]].set_file_level(step[2])
    elif kind == "logger level":
        side.loggers[step[1]].setLevel(step[2])
    elif kind == "propagate":
        side.loggers["child"].propagate = step[1]
    elif kind == "share handler":
        logger, handler = side.loggers[step[1]], side.handlers[step[2]]
        (logger.addHandler if step[3] else logger.removeHandler)(handler)
    elif kind == "user filter":
        handler = side.handlers[step[1]]
        (handler.addFilter if step[2] else handler.removeFilter)(side.user["filter"])
    elif kind == "user handler":
        logger = side.loggers[step[1]]
        (logger.addHandler if step[2] else logger.removeHandler)(side.user["handler"])
    elif kind == "formatter":
        fmt = log_main._fformatter
        side.handlers[step[1]].setFormatter({"module": lambda: logging.Formatter(fmt),
                                             "other": lambda: logging.Formatter("%(levelname)s:%(message)s"),
                                             "datefmt": lambda: logging.Formatter(fmt, "%H:%M"),
                                             "subclass": lambda: _FormatterSub(fmt)}[step[2]]())
    elif kind == "stream":
        handler = side.handlers[step[1]]
        if step[2] == "close stream":
            if handler.stream is not None:
                handler.stream.close()
            return
        side.unclose()
        if step[2] == "close":
            handler.close()
        else:
            old = handler.setStream(open(handler.baseFilename, "a", encoding="utf-8"))
            if old is not None:
                old.close()
    elif kind == "roll by time" and step[1]:
        side.handlers["time"].rolloverAt = int(time.time()) - 1
    elif kind == "console stream":
        if step[1] == "close":
            if side.console.stream is not None:
                side.console.stream.close()
            return
        side.unclose()
        stream = (open(os.path.join(side.folder, "console.txt"), "a", encoding="utf-8") if step[1] == "file"
                  else io.StringIO())
        old = side.console.setStream(stream)
        side.sio = stream if step[1] == "stringio" else side.sio
        if old is not None and old is not side.sio:
            old.close()
    elif kind == "console level":
        side.objs["size"].set_console_level(step[1])
    elif kind == "traceback":
        _wtraceback(side, step)
    elif kind == "traceback handler":
        logger, meddling = side.loggers["child"], side.user["meddling"]
        logger.removeHandler(meddling)
        meddling.what = step[1]
        if step[1]:   # just before the child's file handler
            logger.handlers.insert(logger.handlers.index(side.handlers["size"]), meddling)


def _wtraceback(side, step):
    """A record with a traceback, logged from inside the except block that caught the exception."""
    _, level, kind, arg, chain, notes, depth, how = step
    log = getattr(side.objs["size"], level)
    if kind == "none":   # exc_info=True with no exception being handled
        log("failed", kwargs={"exc_info": True})
        return
    args = (WCountedArg(),) if arg == "counted" else WARGS[arg]
    if kind == "subscript":
        payload = args[0] if len(args) == 1 else args
    elif kind == "divide":
        payload = 2.5
    else:
        payload = WKINDS[kind](*args)
    try:
        side.tracebacks.module.run(kind, payload, chain, depth)
    except Exception as caught:
        _wnotes(caught, notes)
        log("failed", kwargs={"exc_info": {"True": True, "exception": caught, "tuple": sys.exc_info()}[how]})


ESCAPE_CODES = colorlog.escape_codes.escape_codes
PLAIN_ESCAPE_CODES = dict(ESCAPE_CODES)


ENVIRON_PLAIN = (os.environ._data, os.environ.encodekey)


def _environ(kind):
    """os.environ's own values replaced where colorlog's `"NO_COLOR" in os.environ` reads them."""
    environ = os.environ
    if kind == "data":
        environ._data = dict(environ._data)
    elif kind == "data with NO_COLOR":
        environ._data = {**environ._data, b"NO_COLOR": b"1"}
    elif kind == "encodekey":   # NO_COLOR and FORCE_COLOR kept under other names
        plain = ENVIRON_PLAIN[1]
        environ.encodekey = lambda key: plain("LOG_MAIN_" + key if key in ("NO_COLOR", "FORCE_COLOR") else key)
    else:   # put back: the first dict again, with what was set since
        data, environ.encodekey = environ._data, ENVIRON_PLAIN[1]
        if data is not ENVIRON_PLAIN[0]:
            ENVIRON_PLAIN[0].clear()
            ENVIRON_PLAIN[0].update(data)
            environ._data = ENVIRON_PLAIN[0]
        for key in ("LOG_MAIN_NO_COLOR", "LOG_MAIN_FORCE_COLOR"):
            environ.pop(key, None)


def _wapply_shared(step, tracebacks):
    if step[0] == "environ":
        _environ(step[1])
    elif step[0] == "colour env":
        if step[2]:
            os.environ[step[1]] = "1"
        else:
            os.environ.pop(step[1], None)
    elif step[0] == "escape codes":
        key, value = step[1], step[2]
        if value is DELETED:
            ESCAPE_CODES.pop(key, None)
        else:
            ESCAPE_CODES[key] = PLAIN_ESCAPE_CODES.get(key, "") if value is None else value
    elif step[0] == "time zone":
        os.environ["TZ"] = step[1]
        time.tzset()
    elif step[0] == "profile":
        sys.setprofile((lambda frame, event, arg: None) if step[1] else None)
    elif step[0] == "traceback source":
        tracebacks.source(step[1])
    elif step[0] == "traceback lines":
        tracebacks.lines(step[1], step[2])
    elif step[0] == "re cache":
        if step[1] == "purge":
            re.purge()
        else:   # as many patterns as the newer cache holds: the traceback's own ones get evicted
            for i in range(getattr(re, "_MAXCACHE2", 256)):
                re.compile(f"f{i}")
    elif step[0] == "traceback limit":
        tracebacks.set_limit(step[1])
    elif step[0] == "traceback colours":
        tracebacks.colour(step[1])
    elif step[0] == "traceback monitoring":
        tracebacks.watch(step[1])


def test_written_sequences_cover_every_condition():
    assert set(re.findall(r"just\('([^']+)'\)", repr(WSTEP))) == set(WRITTEN_STEP_CONDITIONS)
    covered = {w for ws in WRITTEN_STEP_CONDITIONS.values() for w in ws}
    # W2 (monitoring on the handlers' code), W3 (no calling frame) and W9 (the lock) have tests of
    # their own below. W13 is the traceback taken from the console's text.
    assert covered | {"W2", "W3", "W9"} == set(W_CONDITIONS) | {"W13"}


WRITTEN_EXAMPLE = [0]
WRITTEN_EXAMPLES = examples(int(os.environ.get("WRITTEN_EXAMPLES", "2000")))


@pytest.fixture(scope="module")
def written_folders(tmp_path_factory):
    """Where the examples keep their files: in memory where the system has a folder for it
    (creating and removing files on disk took most of an example's time), else under pytest's
    temporary folder. Each example removes its own."""
    shm = "/dev/shm"
    if os.path.isdir(shm) and os.access(shm, os.W_OK | os.X_OK):
        base = tempfile.mkdtemp(prefix="log_main-written-", dir=shm)
    else:
        base = str(tmp_path_factory.mktemp("written"))
    yield base
    shutil.rmtree(base, ignore_errors=True)


@pytest.mark.slow
@settings(max_examples=WRITTEN_EXAMPLES, deadline=None, database=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(st.lists(WSTEP, min_size=1, max_size=20))
def test_written_records_match_the_full_path(written_folders, steps):
    WRITTEN_EXAMPLE[0] += 1
    n = WRITTEN_EXAMPLE[0]
    sides = {"module": WSide(f"wm{n}", tempfile.mkdtemp(dir=written_folders), full=False),
             "reference": WSide(f"wr{n}", tempfile.mkdtemp(dir=written_folders), full=True)}
    saved = (os.environ.get("TZ"), sys.stderr, {k: os.environ.get(k) for k in ("FORCE_COLOR", "NO_COLOR")})
    err = io.StringIO()
    sys.stderr = err
    m, r = sides["module"], sides["reference"]
    m.tracebacks = r.tracebacks = tracebacks = WTracebacks(written_folders, n)
    try:
        before = m.files()
        for step in steps:
            note(repr(step))
            if step[0] in SHARED_WSTEPS:
                _wapply_shared(step, tracebacks)
                continue
            mark = len(err.getvalue())
            caches = _tb_caches() if step[0] == "traceback" else None
            counts = collections.Counter(WCOUNTS)
            t0 = time.time_ns()
            _wapply(step, m)
            t1 = time.time_ns()
            m_err = err.getvalue()[mark:]
            m_seen = WCOUNTS - counts, caches and _tb_caches_left(caches)
            if caches:
                _tb_caches_put_back(caches)
            counts = collections.Counter(WCOUNTS)
            _wapply(step, r)
            r_err = err.getvalue()[len(m_err) + mark:]
            # Only the steps write files: what one step leaves is what the next finds.
            after = m.files()
            assert m.masked(after) == r.masked()
            assert m.seen == r.seen
            assert _unstacked(m.unplaced(m_err).replace(m.tag, "<tag>")) == \
                _unstacked(r.unplaced(r_err).replace(r.tag, "<tag>"))
            # The code a step's tracebacks ran and what they left in linecache's and re's caches.
            # An error reported by handleError prints the stack of where it was raised, which
            # the full path does not share.
            if not m_err and not r_err:
                assert m_seen == (WCOUNTS - counts, caches and _tb_caches_left(caches))
            # The time text of each new line (rollovers move lines between files) lies between
            # the clock before and after the call.
            def lines(files):
                return collections.Counter(line for text in files.values()
                                           for line in text.decode("utf-8", "replace").splitlines())
            low, high = _clock_text(t0), _clock_text(t1)
            for line in lines(after) - lines(before):
                for stamp in TIME_TEXT.findall(line):
                    assert low <= stamp <= high, (line, low, high)
            before = after
    finally:
        sys.setprofile(None)
        sys.stderr = saved[1]
        _environ("put back")
        if saved[0] is None:
            os.environ.pop("TZ", None)
        else:
            os.environ["TZ"] = saved[0]
        time.tzset()
        for key, value in saved[2].items():
            if value is None:
                os.environ.pop(key, None)
            else:
                os.environ[key] = value
        ESCAPE_CODES.clear()
        ESCAPE_CODES.update(PLAIN_ESCAPE_CODES)
        tracebacks.close()
        for side in sides.values():
            side.close()
            shutil.rmtree(side.folder, ignore_errors=True)


def test_an_example_of_the_written_differential_leaves_no_logger_behind(tmp_path):
    """Each example has loggers of its own names; left in the manager, every setLevel of the
    examples after it would clear their caches too, and the run would slow with their square."""
    before = set(logging.Logger.manager.loggerDict)
    side = WSide("wleft", str(tmp_path), full=True)
    assert set(logging.Logger.manager.loggerDict) - before == {"wleft", "wleft.c", "wleft.p"}
    side.close()
    assert set(logging.Logger.manager.loggerDict) == before


def _check_written_tables():
    """Has a record written in place once in this process, on a set-up of its own: the tables are
    checked (their functions fingerprinted, which caches each one's co_code) at the first record a
    handler takes, which is a fresh logger's second (its first fills the logger's level cache)."""
    if _check_written_tables.done:
        return
    folder = tempfile.mkdtemp()
    obj = log_main.OsprelLog("w-tables", file=os.path.join(folder, "w.log"), console=False)
    try:
        for _ in range(2):
            obj.info("tables")
    finally:
        obj.close()
        shutil.rmtree(folder)
    _check_written_tables.done = True


_check_written_tables.done = False


def _written_in_place(call):
    """Whether the call wrote its record without making one: a LogRecord and logging's calls
    allocate several kilobytes; the line written in place a few hundred bytes."""
    _check_written_tables()
    started = not tracemalloc.is_tracing()
    if started:
        tracemalloc.start()
    try:
        call()   # the first call of a set-up may check the table
        tracemalloc.reset_peak()
        base = tracemalloc.get_traced_memory()[0]
        call()
        return tracemalloc.get_traced_memory()[1] - base < 2500
    finally:
        if started:
            tracemalloc.stop()


class _StringIOSub(io.StringIO):
    pass


@pytest.mark.parametrize("kind", ["file", "rotating", "timerotating"])
def test_written_in_place_for_each_file_handler_and_not_otherwise(tmp_path, kind):
    path = str(tmp_path / "w.log")
    obj = log_main.OsprelLog(f"w-{kind}", file=path, handler_type=kind)
    obj.set_console_level(logging.ERROR)
    handler, logger = obj._file_handler, obj._logger
    try:
        assert _written_in_place(lambda: obj.info("order", 42))              # console above the record
        obj._console_handler.setStream(_StringIOSub())
        assert not _written_in_place(lambda: obj.error("to both"))           # W12: not io's own stream
        obj._console_handler.setStream(console := io.StringIO())
        assert _written_in_place(lambda: obj.error("to both"))               # the console too (W12)
        assert console.getvalue().count(f" - w-{kind} - ERROR - to both\x1b[0m\n") == 2
        assert _written_in_place(lambda: obj.warning("%s of %d", args=("3", 4)))
        assert not _written_in_place(lambda: obj.warning("%d left", args=(3,)))          # W5
        assert not _written_in_place(lambda: obj.info("x", kwargs={"stacklevel": 1}))    # W4
        logger.name = StrSub(logger.name)
        assert not _written_in_place(lambda: obj.info("x"))                               # W6
        logger.name = str(logger.name)
        handler.lock, lock = threading._PyRLock(), handler.lock
        assert not _written_in_place(lambda: obj.info("x"))                               # W9
        handler.lock = lock
        handler.stream.write = handler.stream.write
        assert not _written_in_place(lambda: obj.info("x"))                               # W11
        del handler.stream.write
        assert _written_in_place(lambda: obj.info("x"))
        mon, tool = sys.monitoring, 5
        mon.use_tool_id(tool, "written")
        try:                                                                              # W2
            mon.set_local_events(tool, logging.Formatter.format.__code__, mon.events.PY_START)
            assert not _written_in_place(lambda: obj.info("x"))
            mon.set_local_events(tool, logging.Formatter.format.__code__, 0)
        finally:
            mon.free_tool_id(tool)
        assert _written_in_place(lambda: obj.info("x"))
    finally:
        obj.close()
    with open(path, encoding="utf-8") as f:
        lines = TIME_TEXT.sub("T", f.read()).splitlines()
    assert lines[:3] == [f"T - w-{kind} - INFO - order 42", f"T - w-{kind} - INFO - order 42",
                         f"T - w-{kind} - ERROR - to both"]
    assert len(lines) == 24


def _tracebacks_once():
    """log_main_tracebacks_once(): how many records so far had their file traceback taken from
    the console's text. Skips where the build does not export it."""
    import ctypes
    return hook_function("log_main_tracebacks_once", ctypes.c_longlong, [])


def test_a_traceback_is_formatted_once_unless_its_exception_runs_code(tmp_path, monkeypatch):
    count = _tracebacks_once()
    monkeypatch.delenv("NO_COLOR", raising=False)
    obj = log_main.OsprelLog("w-once", file=str(tmp_path / "w.log"))
    obj._console_handler.setStream(console := open(tmp_path / "console.txt", "a", encoding="utf-8"))
    try:
        # The first record of a traceback shape takes the full path: it loads the source into
        # linecache (and on 3.13 compiles the dedent pattern) that the later ones find there.
        for kind, taken in [(KeyError, None), (KeyError, 5), (WSpokenError, 0), (KeyError, 5)]:
            before = count()
            for _ in range(5):
                try:
                    raise kind("SKU-9")
                except Exception:
                    obj.error("lookup failed", kwargs={"exc_info": True})
            assert taken is None or count() - before == taken, kind
    finally:
        obj.close()
        console.close()
    text = (tmp_path / "w.log").read_text(encoding="utf-8")
    assert "\x1b" not in text and text.count("Traceback (most recent call last):") == 20
    assert text.count("KeyError: 'SKU-9'\n") == 15 and text.count("WSpokenError: spoken SKU-9\n") == 5
    assert (tmp_path / "console.txt").read_text(encoding="utf-8").count("\x1b[1;35mKeyError\x1b[0m") == 15


# Each condition of the traceback taken once (docs/traceback-once.md) broken alone, after a record
# of the same shape went the full path and one was taken once (so linecache holds the source and
# re's cache the dedent patterns): the console's and the file's bytes, and the calls of the code
# the break planted, against the full path. Each break makes a second formatting differ from the
# first (a text that changes at each use) or run code that counts its calls.

def _said(calls):
    class Said(ValueError):
        def __str__(self):
            calls["Said.__str__"] += 1
            return f"said {calls['Said.__str__']}"
    return Said("x")


def _suggested(calls):
    class Thing:
        def __dir__(self):
            calls["Thing.__dir__"] += 1
            return [f"colour{calls['Thing.__dir__']}"]
    return AttributeError("'Thing' object has no attribute 'colour'", name="colour", obj=Thing())


def _noted(calls):
    class Notes(list):
        def __iter__(self):
            calls["notes"] += 1
            return iter([f"note {calls['notes']}"])
    exc = ValueError("x")
    exc.__notes__ = Notes(["note"])
    return exc


class _Limit:
    """sys.tracebacklimit that is no int: islice() takes its __index__, one more each time."""

    def __init__(self, calls):
        self.calls = calls

    def __lt__(self, other):
        return False

    def __ge__(self, other):
        return True

    def __index__(self):
        self.calls["limit"] += 1
        return self.calls["limit"]


def _replaced(mapping, key, value):
    old = mapping[key]
    mapping[key] = value
    return lambda: mapping.__setitem__(key, old)


def _alternating_lines(tracebacks, calls):
    class Lines(list):
        def __getitem__(self, index):
            calls["lines[...]"] += 1
            line = list.__getitem__(self, index)
            return line if calls["lines[...]"] % 2 else line.rstrip("\n") + "  # again\n"
    size, _, lines, full = linecache.cache[tracebacks.path]
    return _replaced(linecache.cache, tracebacks.path, (size, None, Lines(lines), full))


def _margins_evicted(tracebacks, calls):
    """re's cache full, with the first dedent pattern the record's formatting looks up the oldest
    entry and the second one missing: the coloured pass compiles the second, which evicts the
    first, which a second formatting then compiles again (3.13)."""
    re.purge()
    try:
        tracebacks.module.run("nested", ValueError("x"), None, 1)
    except ValueError as exc:
        traceback.format_exception(exc, colorize=False)
    margins = [key for key in re._cache2 if isinstance(key[1], str) and key[1].startswith("(?m)^")]
    assert len(margins) >= 2, margins
    re.purge()
    re.compile(margins[0][1])
    for key in margins[2:]:
        re.compile(key[1])
    for i in range(re._MAXCACHE2 - len(re._cache2)):
        re.compile(f"filler{i}")

    def undo():
        calls["re._cache2"] = tuple(re._cache2)
    return undo


def _import_counted(calls):
    plain = builtins.__import__

    def counted(*args, **kwargs):
        calls["__import__"] += 1
        return plain(*args, **kwargs)
    return _replaced(vars(builtins), "__import__", counted)


def _counting_monitor(code, calls, name):
    """A sys.monitoring tool counting under `name` each start of `code`; gives its undo."""
    mon = sys.monitoring
    tool = next(t for t in range(6) if mon.get_tool(t) is None)
    mon.use_tool_id(tool, "log_main tests")
    mon.register_callback(tool, mon.events.PY_START, lambda c, offset: calls.update([name]))
    mon.set_local_events(tool, code, mon.events.PY_START)

    def undo():
        mon.set_local_events(tool, code, 0)
        mon.register_callback(tool, mon.events.PY_START, None)
        mon.free_tool_id(tool)
    return undo


def _monitored_frames(calls):
    return _counting_monitor(traceback.StackSummary.format_frame_summary.__code__, calls, "format_frame_summary")


def _safe_string_counted(calls):
    plain = traceback._safe_string

    def counted(*args, **kwargs):
        calls["_safe_string"] += 1
        return f"{plain(*args, **kwargs)} ({calls['_safe_string']})"
    traceback._safe_string = counted
    return lambda: setattr(traceback, "_safe_string", plain)


def _formatter_shadowed(obj, calls):
    formatter = obj._file_handler.formatter

    def format_exception(ei):
        calls["formatException"] += 1
        return "a formatException of the instance's own"
    formatter.formatException = format_exception
    return lambda: delattr(formatter, "formatException")


def _colours_changed():
    saved = _colorize.ANSIColors.RED
    _colorize.ANSIColors.RED = "<red>"
    return lambda: setattr(_colorize.ANSIColors, "RED", saved)


def _note_while_the_file_waits(obj, exc):
    """Another thread holds the file handler's lock until the console has written the record,
    then adds a note to its exception: the file's turn finds the exception changed since the
    console formatted it, however the two threads interleave."""
    lock, path = obj._file_handler.lock, obj._console_handler.stream.name
    written = os.path.getsize(path)
    held = threading.Event()

    def hold():
        with lock:
            held.set()
            deadline = time.monotonic() + 60
            while os.path.getsize(path) == written and time.monotonic() < deadline:
                time.sleep(0.001)
            exc.add_note("added while the file waited")

    thread = threading.Thread(target=hold)
    thread.start()
    held.wait()
    return thread.join


# case: (the exception, given the side's call counts; what breaks the condition, given the side's
# module object, that exception, the counts and the raising module; returns its undo)
TRACEBACK_BREAKS = {
    "T1 formatException set on the file's formatter": (
        lambda calls: ValueError("x"), lambda obj, exc, calls, tb: _formatter_shadowed(obj, calls)),
    "T3 a str of its own": (_said, lambda obj, exc, calls, tb: lambda: None),
    "T4 suggestions from dir()": (_suggested, lambda obj, exc, calls, tb: lambda: None),
    "T5 a group": (lambda calls: ExceptionGroup("group", [_said(calls)]), lambda obj, exc, calls, tb: lambda: None),
    "T6 notes not a list": (_noted, lambda obj, exc, calls, tb: lambda: None),
    "T7 a limit that is no int": (lambda calls: ValueError("x"),
                                  lambda obj, exc, calls, tb: (setattr(sys, "tracebacklimit", _Limit(calls)),
                                                               lambda: tb.set_limit(tb.limit))[1]),
    "T8 source lines not a list": (lambda calls: ValueError("x"),
                                   lambda obj, exc, calls, tb: _alternating_lines(tb, calls)),
    "T10 __import__ replaced": (lambda calls: ValueError("x"), lambda obj, exc, calls, tb: _import_counted(calls)),
    "T11 an escape in the message": (lambda calls: ValueError("\x1b[31mred\x1b[0m"),
                                     lambda obj, exc, calls, tb: lambda: None),
    "T11 colours not the shipped ones": (lambda calls: ValueError("x"), lambda obj, exc, calls, tb: _colours_changed()),
    "T13 changed while the file waits": (lambda calls: ValueError("x"),
                                         lambda obj, exc, calls, tb: _note_while_the_file_waits(obj, exc)),
    "T14 monitoring events on the formatting": (lambda calls: ValueError("x"),
                                                lambda obj, exc, calls, tb: _monitored_frames(calls)),
    "T15 a function of the formatting replaced": (lambda calls: ValueError("x"),
                                                  lambda obj, exc, calls, tb: _safe_string_counted(calls)),
}
if sys.version_info < (3, 14):
    TRACEBACK_BREAKS["T9 a dedent pattern evicted"] = (lambda calls: ValueError("x"),
                                                      lambda obj, exc, calls, tb: _margins_evicted(tb, calls))
else:
    del TRACEBACK_BREAKS["T11 colours not the shipped ones"]   # 3.13's ANSIColors


def _raised_and_logged(obj, tracebacks, exc):
    try:
        tracebacks.module.run("nested", exc, None, 1)
    except Exception:
        obj.error("failed", kwargs={"exc_info": True})


def _traceback_break(case, folder, full, tracebacks):
    """The record of `case` logged by a module object of its own in `folder`, made in full (a filter
    of the caller's on both handlers) or not: the files, the calls of the planted code, and how
    many records of the shape were taken once before the break."""
    WRITTEN_EXAMPLE[0] += 1
    tag = f"tbb{WRITTEN_EXAMPLE[0]}"
    obj = log_main.OsprelLog(tag, file=os.path.join(folder, "f.log"))
    console = open(os.path.join(folder, "console.txt"), "w", encoding="utf-8")
    obj._console_handler.setStream(console)
    if full:
        for h in (obj._file_handler, obj._console_handler):
            h.addFilter(PassThrough())
    make, spoil = TRACEBACK_BREAKS[case]
    calls, count = collections.Counter(), _tracebacks_once()
    try:
        obj.info("warm")   # fills the logger's cache
        _raised_and_logged(obj, tracebacks, ValueError("the first of its shape"))
        before = count()
        _raised_and_logged(obj, tracebacks, ValueError("taken"))
        taken = count() - before
        exc = make(calls)
        undo = spoil(obj, exc, calls, tracebacks)
        try:
            _raised_and_logged(obj, tracebacks, exc)
        finally:
            undo()
    finally:
        obj.close()
        console.close()
    files = {}
    for name in sorted(os.listdir(folder)):
        with open(os.path.join(folder, name), encoding="utf-8") as f:
            text = TIME_TEXT.sub("<time>", f.read()).replace(tag, "<tag>")
            files[name] = text.replace(tracebacks.folder, "<raising>").replace(TESTS_FOLDER, "<tests>")
    return files, calls, taken


@pytest.mark.parametrize("case", sorted(TRACEBACK_BREAKS))
def test_each_condition_of_the_traceback_once_is_needed(tmp_path, monkeypatch, case):
    monkeypatch.delenv("NO_COLOR", raising=False)
    tracebacks = WTracebacks(str(tmp_path), 0)
    out = {}
    try:
        for mode in ("in place", "full"):
            folder = tmp_path / mode.replace(" ", "-")
            folder.mkdir()
            out[mode] = _traceback_break(case, str(folder), mode == "full", tracebacks)
    finally:
        tracebacks.close()
    (files, calls, taken), (full_files, full_calls, _) = out["in place"], out["full"]
    assert taken == 1, "a record of the shape is taken once when nothing is broken"
    assert files == full_files
    assert calls == full_calls
    assert "\x1b" in files["console.txt"] and "Traceback (most recent call last):" in files["f.log"]


# Each condition of the written record (written.cpp) broken alone on a set-up whose records are
# written in place: the console's and the file's bytes, what stderr gets and the calls of the code
# the break planted, against the full path (a filter of the caller's on both handlers). Each break
# makes the full path write other bytes (or run code that counts its calls) than a record written
# in place regardless would. The time text is masked but for its separator and any date that is
# not of this century (a converter of the formatter's own).
STAMP_TEXT = re.compile(r"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)([,.])\d{3}")


def _stamps_masked(text):
    return STAMP_TEXT.sub(lambda m: ("<now>" if m[1].startswith("20") else m[1]) + m[2] + "<ms>", text)


class _CountedStr(str):
    """A str whose str() counts, and says so: formatting it runs code."""

    def __str__(self):
        self.calls["str()"] += 1
        return f"{str.__str__(self)} #{self.calls['str()']}"


def _counted_str(text, calls):
    s = _CountedStr(text)
    s.calls = calls
    return s


def _closed_counted(cls, calls):
    """An io class whose `closed` is a Python property counting its reads."""
    return type(cls.__name__ + "Sub", (cls,), {"closed": property(
        lambda self: (calls.update(["closed"]), cls.closed.__get__(self))[1])})


def _file_subclass_stream(obj, calls):
    h = obj._file_handler
    stream = _closed_counted(io.TextIOWrapper, calls)(
        io.BufferedWriter(io.FileIO(h.baseFilename, "a")), encoding="utf-8")
    h.setStream(stream).close()
    return lambda: None


def _console_subclass_stream(obj, calls):
    old = obj._console_handler.setStream(_closed_counted(io.StringIO, calls)())
    return lambda: (obj._console_handler.stream.close(), obj._console_handler.setStream(old))


def _monitored_flush(calls):
    return _counting_monitor(logging.StreamHandler.flush.__code__, calls, "StreamHandler.flush")


def _set(obj, name, value):
    setattr(obj, name, value)
    return lambda: delattr(obj, name)


def _class_set(cls, name, value):
    old = vars(cls)[name]
    setattr(cls, name, value)
    return lambda: setattr(cls, name, old)


def _filter_subclass(obj):
    handler = obj._file_handler
    plain = handler.filters[0]

    class Renaming(type(plain)):
        def filter(self, record):
            record.name = "renamed by a filter of its own"
            return True
    sub = copy.copy(plain)
    sub.__class__ = Renaming
    handler.filters[0] = sub
    return lambda: handler.filters.__setitem__(0, plain)


def _handler_subclass(obj):
    """The file handler swapped for one of a subclass of its class, with its filters and formatter."""
    logger, plain = obj._logger, obj._file_handler
    cls = type(plain)
    marking = type("Marking" + cls.__name__, (cls,),
                   {"format": lambda self, record: cls.format(self, record) + " (marked)"})
    sub = marking(plain.baseFilename, maxBytes=plain.maxBytes, backupCount=plain.backupCount, encoding="utf-8")
    sub.setFormatter(plain.formatter)
    sub.setLevel(plain.level)
    for f in plain.filters:
        sub.addFilter(f)
    at = logger.handlers.index(plain)
    logger.handlers[at] = sub

    def undo():
        logger.handlers[at] = plain
        sub.close()
    return undo


def _renamed_level(calls):
    plain = logging._levelToName[logging.INFO]
    logging.addLevelName(logging.INFO, _counted_str(plain, calls))
    return lambda: logging.addLevelName(logging.INFO, plain)


def _at_the_size_limit(obj):
    """maxBytes such that this record's line ends exactly at it: shouldRollover's `>=` rolls over."""
    handler = obj._file_handler
    line = "2026-01-01 00:00:00,000 - " + obj._logger.name + " - INFO - at the limit"
    handler.maxBytes = handler.stream.tell() + len(line.encode()) + 1
    return lambda: None


def _without_a_frame(obj, calls):
    """The call made by a thread that runs no Python frame (C calling C: a partial of the method),
    to a device that refuses the text: the report of handleError names the caller it finds. Records
    do not name their thread, which threading does not know (D10 would make the call)."""
    log_threads, logging.logThreads = logging.logThreads, False
    obj._file_handler.setStream(open("/dev/full", "w", encoding="utf-8")).close()
    try:
        _thread.start_joinable_thread(functools.partial(obj.info, "no frame calls")).join(60)
    finally:
        logging.logThreads = log_threads
        # The text the device refused stays buffered: the stream is dropped without a flush.
        hook, sys.unraisablehook = sys.unraisablehook, lambda unraisable: None
        obj._file_handler.stream = None
        gc.collect()
        sys.unraisablehook = hook
    return lambda: None


def _exception_apart(obj):
    """A record whose exc_info is the tuple of another exception than the one being handled."""
    try:
        raise KeyError("given")
    except KeyError:
        given = sys.exc_info()
    try:
        raise ValueError("handled")
    except ValueError:
        obj.error("first of its shape", kwargs={"exc_info": True})
        obj.error("given", kwargs={"exc_info": given})


def _logged_with_traceback(obj):
    try:
        raise ValueError("handled")
    except ValueError:
        obj.error("with a traceback", kwargs={"exc_info": True})


def _coloured_exception_replaced(obj, calls):
    """colorlog's formatException replaced after a record of the shape loaded its source."""
    _logged_with_traceback(obj)

    def format_exception(self, ei):
        calls["formatException"] += 1
        return "\x1b[31m>> a formatException of its own\x1b[0m"
    undo = _class_set(colorlog.ColoredFormatter, "formatException", format_exception)
    _logged_with_traceback(obj)
    return undo


def _default_emit(obj):
    obj.info("order %s of %d", args=("x", 2))


# case: (what breaks the condition, given the side's module object and call counts, returning
# its undo; the call, given the module object (default: an INFO record with two arguments))
WRITTEN_BREAKS = {
    "W1 shouldRollover replaced on the class": (
        lambda obj, calls: _class_set(logging.handlers.RotatingFileHandler, "shouldRollover", lambda self, r: True),
        None),
    "W2 monitoring events on StreamHandler.flush": (lambda obj, calls: _monitored_flush(calls), None),
    "W3 no calling frame": (_without_a_frame, lambda obj: None),
    "W4 extra overwriting the message": (
        lambda obj, calls: lambda: None, lambda obj: obj.info("m", kwargs={"extra": {"message": "mine"}})),
    "W4 exc_info the tuple of another exception": (lambda obj, calls: lambda: None, _exception_apart),
    "W5 an argument whose str runs code": (
        lambda obj, calls: lambda: None,
        lambda obj: obj.info("%s and %s", args=(_counted_str("a", obj.calls), "b"))),
    "W6 a level name whose str runs code": (lambda obj, calls: _renamed_level(calls), None),
    "W7 a subclass of the handler's class": (lambda obj, calls: _handler_subclass(obj), None),
    "W7 emit set on the handler": (
        lambda obj, calls: _set(obj._file_handler, "emit", lambda record: obj._file_handler.stream.write("own\n")),
        None),
    "W8 a filter of a subclass": (lambda obj, calls: _filter_subclass(obj), None),
    "W10 a converter of the formatter's own": (
        lambda obj, calls: _set(obj._file_handler.formatter, "converter", lambda t: time.localtime(0)), None),
    "W10 another millisecond format": (
        lambda obj, calls: _set(obj._file_handler.formatter, "default_msec_format", "%s.%03d"), None),
    "W11 rollover at the size limit": (
        lambda obj, calls: _at_the_size_limit(obj), lambda obj: obj.info("at the limit")),
    "W11 a TextIOWrapper subclass": (_file_subclass_stream, None),
    "W12 a StringIO subclass on the console": (_console_subclass_stream, None),
    "W13 colorlog's formatException replaced": (_coloured_exception_replaced, lambda obj: None),
}


def _written_break(case, folder, full):
    """The record of `case` logged by a module object of its own in `folder` (a size-rotating file
    and the console, in a file of the folder), made in full or not: the files, stderr and the
    calls of the planted code."""
    WRITTEN_EXAMPLE[0] += 1
    tag = f"wbr{WRITTEN_EXAMPLE[0]}"
    obj = log_main.OsprelLog(tag, file=os.path.join(folder, "f.log"), handler_type="rotating",
                             maxBytes=1 << 20, backupCount=2)
    console = open(os.path.join(folder, "console.txt"), "w", encoding="utf-8")
    obj._console_handler.setStream(console)
    if full:
        for h in (obj._file_handler, obj._console_handler):
            h.addFilter(PassThrough())
    spoil, emit = WRITTEN_BREAKS[case]
    calls = obj.calls = collections.Counter()
    err, saved = io.StringIO(), sys.stderr
    try:
        obj.info("warm")   # fills the logger's cache
        sys.stderr = err
        undo = spoil(obj, calls)
        try:
            (emit or _default_emit)(obj)
        finally:
            undo()
    finally:
        sys.stderr = saved
        obj._file_handler.stream = obj._file_handler.stream if obj._file_handler.stream is None or \
            not obj._file_handler.stream.closed else None
        obj.close()
        console.close()
    files = {}
    for name in sorted(os.listdir(folder)):
        with open(os.path.join(folder, name), encoding="utf-8") as f:
            files[name] = _stamps_masked(f.read()).replace(tag, "<tag>")
    report = _unstacked(err.getvalue().replace(tag, "<tag>").replace(folder, "<folder>"))
    return files, report, calls


@pytest.mark.parametrize("case", sorted(WRITTEN_BREAKS))
def test_each_condition_of_the_written_record_is_needed(tmp_path, monkeypatch, case):
    monkeypatch.delenv("NO_COLOR", raising=False)
    monkeypatch.setenv("TZ", "Asia/Kathmandu")
    time.tzset()
    out = {}
    try:
        for mode in ("in place", "full"):
            folder = tmp_path / mode.replace(" ", "-")
            folder.mkdir()
            out[mode] = _written_break(case, str(folder), mode == "full")
    finally:
        monkeypatch.undo()
        time.tzset()
    assert out["in place"] == out["full"]


def test_time_text_is_formattimes_at_every_millisecond_edge():
    """The written record's time text (log_main_time_text_probe) against logging's for clock
    readings at the edges: the last nanosecond of a second (created rounds up to the next second,
    msecs 999 is taken back to 0), of a millisecond, the first of a second, before 1970."""
    import ctypes
    probe = hook_function("log_main_time_text_probe", ctypes.py_object, [ctypes.c_longlong])
    base = 1_767_225_600 * 10**9   # 2026-01-01 00:00:00 UTC
    readings = [base + s * 10**9 + ns for s in (0, 1, 59, 86_399) for ns in
                (0, 1, 999_999, 1_000_000, 998_999_999, 999_000_000, 999_499_999, 999_500_000, 999_999_999)]
    readings += [-1, -10**9, -999_999_999, 10**9 - 1, 1_699_999_999_999_999_999]
    for ns in readings:
        assert probe(ns) == _clock_text(ns), ns


WRITTEN_CHILD = '''
import faulthandler, logging, os, sys, threading, log_main
faulthandler.dump_traceback_later(100, exit=True)
folder, mode = sys.argv[1], sys.argv[2]
obj = log_main.OsprelLog("threads", file=os.path.join(folder, "t.log"), handler_type="rotating",
                         maxBytes=5000, backupCount=1000)
obj._console_handler.setStream(open(os.path.join(folder, "console.txt"), "w", encoding="utf-8"))
if mode == "full":
    obj._file_handler.addFilter(lambda record: True)
    obj._console_handler.addFilter(lambda record: True)

def work(k):
    for i in range(200):
        obj.info("thread", k, "line", i)

threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
for t in threads: t.start()
for t in threads: t.join()
import atexit
atexit.register(obj.info, "at exit")   # W3: called with no Python frame, so made in full
'''


def _in_place_and_full(tmp_path, script, timeout):
    """The script run in a child process twice, given a folder of its own and the mode: in place,
    and made in full (a filter of the caller's on the handlers). Each run's folder and result."""
    runs = {}
    for mode in ("in place", "full"):
        folder = tmp_path / mode.replace(" ", "-")
        folder.mkdir()
        done = run_process([sys.executable, "-c", script, str(folder), mode.split()[0]],
                           capture_output=True, text=True, timeout=timeout)
        assert done.returncode == 0, done.stderr
        runs[mode] = folder, done
    return runs


def test_threads_writing_to_one_rotating_handler_match_the_full_path(tmp_path):
    """Four threads write through one size-rotating handler and the console: every line whole, in
    one of the files, each rotated file under its limit, the same lines as the full path writes."""
    out = {}
    for mode, (folder, _) in _in_place_and_full(tmp_path, WRITTEN_CHILD, 120).items():
        lines = []
        for name in os.listdir(folder):
            text = (folder / name).read_text(encoding="utf-8")
            assert name == "console.txt" or len(text.encode()) <= 5000 + 60
            lines += TIME_TEXT.sub("T", text).splitlines()
        out[mode] = (sorted(lines), len(os.listdir(folder)))
    assert out["in place"] == out["full"]
    assert len(out["full"][0]) == 2 * 801 and "T - threads - INFO - at exit" in out["full"][0]
    assert "\x1b[32mT - threads - INFO - at exit\x1b[0m" in out["full"][0]


def test_an_error_of_the_write_goes_to_handle_error_as_the_full_path_sends_it(monkeypatch):
    """The declared limit of an OS error: handleError prints the same report but for the frames
    of the traceback (the caller's instead of StreamHandler.emit's)."""
    reports, tracebacks = {}, {}
    for mode in ("in place", "full"):
        obj = log_main.OsprelLog(f"wfull-{mode.split()[0]}", file="/dev/full", console=False)
        if mode == "full":
            obj._file_handler.addFilter(PassThrough())
        monkeypatch.setattr(sys, "stderr", io.StringIO())
        obj.info("first")   # fills the logger's cache: a miss is made in full (D4)
        err = io.StringIO()
        monkeypatch.setattr(sys, "stderr", err)
        obj.info("disk %s", "%s", args=("a", "b"))
        # The text the device refused stays buffered: the stream is dropped without a flush.
        monkeypatch.setattr(sys, "unraisablehook", lambda unraisable: None)
        obj._file_handler.stream = None
        monkeypatch.undo()
        obj.close()
        text = err.getvalue()
        reports[mode] = _unstacked(text)
        tracebacks[mode] = text.split("Traceback (most recent call last):\n")[1].split("\n")[0]
    assert reports["in place"] == reports["full"]
    assert reports["full"][:2] == ["--- Logging error ---", "Traceback (most recent call last):"]
    assert "Message: 'disk %s %s'" in reports["full"] and "Arguments: ('a', 'b')" in reports["full"]
    assert "logging" in tracebacks["full"] and __file__ in tracebacks["in place"]


def _stream_case(case, folder, tag, full):
    """One record through a handler whose stream is closed, refuses the text or is not buffered;
    what the stream, the files and stderr get."""
    obj = log_main.OsprelLog(tag, file=os.path.join(folder, "f.log"))
    if full:
        for h in (obj._file_handler, obj._console_handler):
            h.addFilter(PassThrough())
    path = os.path.join(folder, "console.txt")
    encoding = {"console ascii": "ascii"}.get(case, "utf-8")
    stream = (io.TextIOWrapper(open(path, "wb", buffering=0), encoding="utf-8", errors="backslashreplace",
                               write_through=True) if case == "console unbuffered"
              else open(path, "w", encoding=encoding))
    obj._console_handler.setStream(stream)
    obj.info("warm")   # fills the logger's cache
    err, saved = io.StringIO(), sys.stderr
    sys.stderr = err   # the handler writes to the stream it holds, not to sys.stderr looked up again
    try:
        if case == "file closed":
            obj._file_handler.stream.close()
        elif case == "console closed":
            stream.close()
        obj.warning("lone \ud800" if case == "console strict" else "größe ✓")
    finally:
        sys.stderr = saved
        for h in (obj._file_handler, obj._console_handler):
            if h.stream is not None and h.stream.closed:
                h.stream = None
        obj.close()
        stream.close()
    files = {}
    for name in sorted(os.listdir(folder)):
        with open(os.path.join(folder, name), "rb") as f:
            files[name] = TIME_TEXT.sub("<time>", f.read().decode("utf-8", "replace")).replace(tag, "<tag>")
    return files, err.getvalue().replace(tag, "<tag>").replace(folder, "<folder>")


@pytest.mark.parametrize("case", ["file closed", "console closed", "console ascii", "console strict",
                                  "console unbuffered"])
def test_streams_closed_refusing_or_unbuffered_match_the_full_path(tmp_path, case):
    """A closed stream (file or console), a console encoding that refuses the text, a lone
    surrogate, an unbuffered TextIOWrapper over FileIO: the same bytes and the same report on
    stderr, traceback frames included, as the full path."""
    out = {}
    for mode in ("in place", "full"):
        folder = tmp_path / mode.replace(" ", "-")
        folder.mkdir()
        WRITTEN_EXAMPLE[0] += 1
        out[mode] = _stream_case(case, str(folder), f"st{WRITTEN_EXAMPLE[0]}", mode == "full")
    assert out["in place"] == out["full"]
    files, err = out["full"]
    refused = case != "console unbuffered"
    assert ("--- Logging error ---" in err) == refused, err
    if not refused:
        assert files["console.txt"].endswith(" - <tag> - WARNING - größe ✓\x1b[0m\n")


PIPE_CHILD = '''
import faulthandler, io, os, sys, log_main
faulthandler.dump_traceback_later(50, exit=True)
folder, mode = sys.argv[1], sys.argv[2]
pipe = os.path.join(folder, "pipe")
os.mkfifo(pipe)
reader = os.open(pipe, os.O_RDONLY | os.O_NONBLOCK)   # so that the handler's open does not wait
obj = log_main.OsprelLog("pipe", file=pipe, handler_type="rotating", maxBytes=60, backupCount=1, console=False)
if mode == "full":
    obj._file_handler.addFilter(lambda record: True)
sys.stderr = err = io.StringIO()
for i in range(4):
    obj.info("through the pipe", i)
sys.stderr = sys.__stderr__
obj.close()
print(repr(os.read(reader, 1 << 16).decode()))
print(repr(err.getvalue()))
'''


def test_a_size_rotating_handler_on_a_named_pipe_matches_the_full_path(tmp_path):
    """The pipe's tell() raises: later interpreters' shouldRollover never rolls such a stream over
    and writes, older ones report the error through handleError; in place, the same."""
    import logging.handlers
    out = {}
    for mode, (_, done) in _in_place_and_full(tmp_path, PIPE_CHILD, 60).items():
        written, err = (eval(line) for line in done.stdout.splitlines())
        out[mode] = (TIME_TEXT.sub("T", written), _unstacked(err))
    assert out["in place"] == out["full"]
    written, err = out["full"]
    if "io" in logging.handlers.RotatingFileHandler.shouldRollover.__code__.co_names:
        assert written == "".join(f"T - pipe - INFO - through the pipe {i}\n" for i in range(4)) and not err
    else:
        assert written == "" and err.count("--- Logging error ---") == 4


WAITING_CHILD = '''
import faulthandler, logging, os, sys, threading, time, log_main
faulthandler.dump_traceback_later(60, exit=True)
folder, mode, case = sys.argv[1], sys.argv[2], "CASE"
os.environ["TZ"] = "UTC0"
time.tzset()
join = lambda name: os.path.join(folder, name)
obj = log_main.OsprelLog("waiting", file=join("file.log"), handler_type="rotating", maxBytes=100000)
logger, console, second = obj._logger, obj._console_handler, obj._file_handler
console.setStream(open(join("console.txt"), "w", encoding="utf-8"))
extra = logging.FileHandler(join("extra.log"))
root = logging.FileHandler(join("root.log"))
logging.getLogger().addHandler(root)
if case == "lowered":
    second.setLevel(logging.CRITICAL)
if mode == "full":
    for h in (console, second):
        h.addFilter(lambda record: True)
obj.info("before")

def change():
    if case == "raised":
        second.setLevel(logging.CRITICAL)
    elif case == "lowered":
        second.setLevel(logging.DEBUG)
    elif case == "closed":
        logger.removeHandler(second)
        second.close()
    elif case == "added":
        logger.addHandler(extra)
    elif case == "propagate":
        logger.propagate = True
    elif case == "zone":
        os.environ["TZ"] = "XXX-9"
        time.tzset()
    elif case == "patched":     # a patch made while the record waits: the later turns see it
        logging.Formatter.format = lambda self, record: "patched " + record.getMessage()
    elif case == "stream":      # without the lock, which the record's turn waits for
        second.stream = open(join("file.log"), "a", encoding="utf-8")

held, go = threading.Event(), threading.Event()
waited_for = second if case == "stream" else console
def holder():
    with waited_for.lock:
        held.set()
        go.wait()
def meddler():
    time.sleep(0.3)          # the record waits for the handler's lock by now
    change()
    go.set()
if case == "stream":     # the console caches its coloured traceback; the file waits for its lock
    sys.path.insert(0, folder)
    with open(join("raising.py"), "w") as f:   # every frame of the traceback in a file
        f.write(chr(10).join(["def boom():", "    return {}['waited']", "def record(obj, text):", "    try:",
                              "        boom()", "    except KeyError:",
                              "        obj.error(text, kwargs={'exc_info': True})", ""]))
    import functools, raising
    record = functools.partial(raising.record, obj)
    record("warm-up")    # the first record of a traceback's shape fills linecache
else:
    record = obj.info
threading.Thread(target=holder).start()
held.wait()
threading.Thread(target=meddler).start()
record("waited")
go.wait()
obj.info("after")
print(time.strftime("%H", time.localtime()))
'''


@pytest.mark.parametrize("case", ["raised", "lowered", "closed", "added", "propagate", "zone", "stream", "patched"])
def test_handlers_are_walked_as_logging_walks_them_while_a_record_waits(tmp_path, case):
    """A record waits for the console's lock while another thread changes what callHandlers and
    format() read at the later turns: a handler's level, the handler list, propagate, the time
    zone. The lines are those of the full call, which reads each at its turn."""
    out = {}
    for mode, (folder, done) in _in_place_and_full(tmp_path, WAITING_CHILD.replace("CASE", case), 60).items():
        files = {}
        for name in sorted(os.listdir(folder)):
            if (folder / name).is_dir():      # the raising module's __pycache__
                continue
            text = (folder / name).read_text(encoding="utf-8").replace(str(folder), "<folder>")
            files[name] = [((TIME_TEXT.findall(line) or ["           -"])[0][11:13], TIME_TEXT.sub("T", line))
                           for line in text.splitlines()]
        out[mode] = files, done.stdout.strip()
    assert out["in place"][0] == out["full"][0]
    files, hour = out["in place"]
    waited = {name for name, lines in files.items() if any(re.search(r"\bwaited\b", line) for _, line in lines)}
    # Later releases' removeHandler replaces the list, so the loop goes on over the one it holds.
    probe, handler = logging.getLogger("walked.probe"), logging.NullHandler()
    probe.addHandler(handler)
    held = probe.handlers
    probe.removeHandler(handler)
    closed = {"console.txt"} | ({"file.log"} if probe.handlers is not held else set())
    expected = {"raised": {"console.txt"}, "lowered": {"console.txt", "file.log"}, "closed": closed,
                "added": {"console.txt", "file.log", "extra.log"},
                "propagate": {"console.txt", "file.log", "root.log"}, "zone": {"console.txt", "file.log"},
                "stream": {"console.txt", "file.log", "raising.py"}, "patched": {"console.txt", "file.log"}}
    assert waited == expected[case]
    if case == "stream":  # the file's traceback is plain, though the console cached a coloured one
        assert "\x1b" not in "".join(line for _, line in files["file.log"])
        assert any("\x1b" in line for _, line in files["console.txt"])
    if case == "zone":   # formatted after the wait, so in the new zone (the hour of the clock after it)
        assert {h for name in ("console.txt", "file.log") for h, line in files[name] if "waited" in line} \
            <= {hour, f"{(int(hour) - 1) % 24:02d}"}


FAKE_CLOCK_CHILD = '''
import ctypes, faulthandler, logging, os, sys, time, log_main
faulthandler.dump_traceback_later(60, exit=True)
folder, mode = sys.argv[1], sys.argv[2]
os.environ["TZ"] = "XXX-9"
time.tzset()
obj = log_main.OsprelLog("clock", file=os.path.join(folder, "clock.log"), handler_type="timerotating")
obj._console_handler.setStream(open(os.path.join(folder, "console.txt"), "w", encoding="utf-8"))
if mode == "full":
    for h in (obj._console_handler, obj._file_handler):
        h.addFilter(lambda record: True)
obj.info("now")

# A fake clock as the test libraries make one: the C code behind time's own function objects is
# swapped in place (the method table's pointer), so no namespace changes.
WORD = ctypes.sizeof(ctypes.c_void_p)
METHOD = ctypes.CFUNCTYPE(ctypes.py_object, ctypes.c_void_p, ctypes.c_void_p)
def code_slot(f):
    table = ctypes.c_void_p.from_address(id(f) + 2 * WORD).value
    return ctypes.c_void_p.from_address(table + WORD)
ahead = time.time_ns() + 2 * 86400 * 10**9 + 123_000_000      # two days on: past a midnight
fakes = {time.time_ns: METHOD(lambda self, args: ahead), time.time: METHOD(lambda self, args: ahead / 1e9),
         time.localtime: METHOD(lambda self, args: time.gmtime(*ctypes.cast(args, ctypes.py_object).value))}
saved = {}
for f, fake in fakes.items():
    slot = code_slot(f)
    saved[f] = slot.value
    slot.value = ctypes.cast(fake, ctypes.c_void_p).value
obj.info("travelled")
obj.warning("travelled again")
for f, value in saved.items():
    code_slot(f).value = value
obj.info("back")
obj.close()
'''


def test_a_fake_clock_that_swaps_the_c_code_is_seen(tmp_path):
    """time's functions keep their objects while their C code is swapped: the records carry the
    fake time (in the fake calendar), and the time-rotating file rolls over as the full call's."""
    out = {}
    for mode, (folder, _) in _in_place_and_full(tmp_path, FAKE_CLOCK_CHILD, 60).items():
        out[mode] = {name: (folder / name).read_text(encoding="utf-8") for name in sorted(os.listdir(folder))}
    assert out["in place"].keys() == out["full"].keys() and len(out["full"]) == 3     # rolled over once
    hours = {mode: {name: [TIME_TEXT.sub(lambda m: m[0][:13], line) for line in text.splitlines()]
                    for name, text in files.items()} for mode, files in out.items()}
    assert hours["in place"] == hours["full"]
    dates = collections.defaultdict(set)
    for text in out["full"].values():
        for line in text.splitlines():
            dates["travelled" in line].add(TIME_TEXT.search(line)[0][:10])
    assert len(dates[True]) == len(dates[False]) == 1 and min(dates[True]) > min(dates[False])


PATCHED_RAISING = """\
def fail(depth):
    if depth:
        return fail(depth - 1) + 1
    return {}['SKU-9']


def failing(obj, text):
    try:
        fail(3)
    except KeyError:
        obj.error(text, kwargs={"exc_info": True})
"""
PATCHED_WHILE_WAITING_CHILD = '''
import contextlib, faulthandler, functools, io, linecache, logging, os, pty, sys, threading, time, traceback
from unittest import mock
import colorlog, colorlog.escape_codes, log_main
faulthandler.dump_traceback_later(100, exit=True)
folder, mode, held_by = sys.argv[1], sys.argv[2], "HELD"
join = lambda name: os.path.join(folder, name)
with open(join("raising.py"), "w", encoding="utf-8") as f:   # tracebacks of a file linecache reads
    f.write(RAISING)
sys.path.insert(0, folder)
import raising
from raising import failing

def wrapped(owner, name):
    plain = getattr(owner, name)
    return mock.patch.object(owner, name, functools.wraps(plain)(lambda *a, **k: plain(*a, **k)))

@contextlib.contextmanager
def profiled():
    threading.setprofile_all_threads(lambda *a: None)
    yield
    threading.setprofile_all_threads(None)

@contextlib.contextmanager
def unimported(name):   # imported again by the formatting where it needs it
    with mock.patch.dict(sys.modules):
        del sys.modules[name]
        yield

def entry():   # an entry equal to linecache's, in new objects (the old ones freed when put back)
    size, mtime, lines, name = linecache.cache[raising.__file__]
    return mock.patch.dict(linecache.cache, {raising.__file__: (size, mtime, list(lines), name)})

# Each changes what the coloured line or the traceback's formatting relies on, and leaves the
# lines as they were: the full call's lines are the same whenever it lands.
PATCHES = {
    "Formatter.format": lambda: wrapped(logging.Formatter, "format"),
    "time.strftime": lambda: wrapped(time, "strftime"),
    "ColoredFormatter.formatMessage": lambda: wrapped(colorlog.ColoredFormatter, "formatMessage"),
    "escape_codes edited": lambda: mock.patch.dict(colorlog.escape_codes.escape_codes, {"reset": "\\x1b[0m"}),
    "escape_codes rebound": lambda: mock.patch.object(colorlog.escape_codes, "escape_codes",
                                                      dict(colorlog.escape_codes.escape_codes)),
    "os.environ's _data": lambda: mock.patch.object(os.environ, "_data", dict(os.environ._data)),
    "format_frame_summary": lambda: wrapped(traceback.StackSummary, "format_frame_summary"),
    "linecache.getline": lambda: wrapped(linecache, "getline"),
    "linecache's entry": entry,
    "a profiler on every thread": profiled,
    "ast out of sys.modules": lambda: unimported("ast"),
}

def pair(tag):
    obj = log_main.OsprelLog(tag, file=join(tag + ".log"))
    obj._console_handler.setStream(open(join(tag + ".txt"), "w", encoding="utf-8"))
    other = log_main.OsprelLog("meddler-" + tag, file=join("meddler-" + tag + ".log"))
    other._console_handler.setStream(io.StringIO())
    if mode == "full":
        for h in (obj._file_handler, obj._console_handler):
            h.addFilter(lambda record: True)
    for side in (obj, other, obj, other):   # linecache, re's cache and the loggers' caches filled
        failing(side, "warm")
    return obj, other

def close(*objs):
    for obj in objs:
        stream = obj._console_handler.stream
        obj.close()
        stream.close()

if held_by != "nobody":
    # The record waits for a handler's lock while another thread patches, logs once and puts back.
    for n, patch in enumerate(PATCHES.values()):
        obj, other = pair(f"w{n}")
        handler = obj._console_handler if held_by == "console" else obj._file_handler
        held, go = threading.Event(), threading.Event()
        def holder():
            with handler.lock:
                held.set()
                go.wait()
        def meddler():
            time.sleep(0.1)          # the record waits for the lock by now
            with patch():
                failing(other, "patched")
            go.set()
        threads = [threading.Thread(target=holder), threading.Thread(target=meddler)]
        threads[0].start()
        held.wait()
        threads[1].start()
        failing(obj, "waited")
        for t in threads:
            t.join()
        failing(obj, "after")
        close(obj, other)
else:
    # No lock waited for: the GIL let go in the console formatter's isatty() (a terminal) and the
    # stat of each source file, while another thread patches, logs and puts back all along.
    obj, other = pair("w")
    obj._console_handler.formatter.stream = tty = open(pty.openpty()[1], "w")
    done = threading.Event()
    def meddle():
        patches = list(PATCHES.values())
        for n in range(1 << 30):
            if done.is_set():
                break
            with patches[n % len(patches)]():
                failing(other, "patched")
    meddler = threading.Thread(target=meddle)
    meddler.start()
    for n in range(150):
        failing(obj, f"round {n}")
    done.set()
    meddler.join()
    close(obj, other)
    tty.close()
'''


@pytest.mark.parametrize("held_by", ["console", "file", "nobody"])
def test_a_record_in_flight_while_another_thread_patches_what_it_relies_on(tmp_path, held_by):
    """A record with a traceback waits for the console's or the file's lock (or lets the GIL go in
    isatty() and the stats of its source) while another thread patches something the coloured
    line, the written record or the traceback's formatting pins, logs once (its check finds the
    table broken and starts again) and puts it back. Nothing crashes, and every line is the one
    the full call writes (each patch leaves the lines as they were)."""
    out = {}
    script = PATCHED_WHILE_WAITING_CHILD.replace("HELD", held_by).replace("RAISING", repr(PATCHED_RAISING))
    for mode, (folder, _) in _in_place_and_full(tmp_path, script, 120).items():
        out[mode] = {name: TIME_TEXT.sub("T", (folder / name).read_text(encoding="utf-8")).replace(str(folder), "")
                     for name in sorted(os.listdir(folder)) if name.startswith("w")}
    assert out["in place"] == out["full"]
    texts = out["full"]
    assert len(texts) == (2 if held_by == "nobody" else 22)
    for name, text in texts.items():
        assert text.count("KeyError") == (152 if held_by == "nobody" else 4), name
        assert ("\x1b[" in text) == name.endswith(".txt"), name


# Each entry breaks one condition of colored.cpp (keyed by its number) on both sides' console
# formatters, or changes what the full call reads there, in a way the line shows (another text,
# other colours, an error reported on stderr, a hook's events): the module's lines must then be
# the full call's, whether it leaves the line to colorlog or follows what colorlog reads.
class _Coloured:
    def __init__(self, mp):
        self.mp, self.formatters, self.events, self.side = mp, [], collections.defaultdict(list), None

    def each(self, name, value):
        for f in self.formatters:
            self.mp.setattr(f, name, value, raising=False)

    def hook(self, *args):   # a profile or trace function, or a monitoring callback
        code = args[0].f_code if isinstance(args[0], types.FrameType) else args[0]
        if code.co_name in ("formatMessage", "_colorize", "_blank_escape_codes", "_append_reset"):
            self.events[self.side].append(code.co_name)
        return self.hook if isinstance(args[0], types.FrameType) else None


class _Untestable:
    def __bool__(self):
        raise ValueError("no truth here")


def _closure_cell(function, value, c):
    c.mp.setattr(function.__closure__[0], "cell_contents", value)


def _compiled_in(module, source, c):
    namespace = {}
    exec(compile(source, module.__file__, "exec"), vars(module), namespace)   # noqa: S102 (test code)
    return next(iter(namespace.values()))


def _environ_with(c, **members):
    """os.environ's class swapped for a subclass with these members (NO_COLOR set)."""
    c.mp.setenv("NO_COLOR", "1")
    c.mp.setattr(os.environ, "__class__", type("Environ", (os._Environ,), members))


def _encoding_changed(c):
    c.mp.setenv("NO_COLOR", "1")
    _closure_cell(os.environ.encodekey, "utf-16", c)


def _monitored_format_message(c):
    mon, tool = sys.monitoring, next(t for t in range(6) if sys.monitoring.get_tool(t) is None)
    code = colorlog.ColoredFormatter.formatMessage.__code__
    mon.use_tool_id(tool, "log_main tests")
    mon.register_callback(tool, mon.events.PY_START, lambda code, offset: c.hook(code))
    mon.set_local_events(tool, code, mon.events.PY_START)
    return lambda: (mon.set_local_events(tool, code, 0), mon.register_callback(tool, mon.events.PY_START, None),
                    mon.free_tool_id(tool))


def _a_tty_on_devnull():
    stream = open(os.devnull, "w")
    stream.isatty = lambda: True
    return stream


COLOURED_BREAKS = {
    "C1 colorlog code replaced in place": lambda c: c.mp.setattr(
        colorlog.ColoredFormatter._append_reset, "__code__",
        (lambda self, message, escapes: message + "<reset>").__code__),
    "C1 a look-alike compiled in colorlog's namespace": lambda c: c.mp.setattr(
        colorlog.ColoredFormatter, "_append_reset", _compiled_in(
            sys.modules["colorlog.formatter"], "def _append_reset(self, message, escapes):\n"
                                                "    return message + '<reset>'\n", c)),
    "C2 ColoredFormatter method patched": lambda c: c.mp.setattr(
        colorlog.ColoredFormatter, "_append_reset", lambda self, message, escapes: message + "<reset>"),
    "C2 Formatter.formatTime patched": lambda c: c.mp.setattr(logging.Formatter, "formatTime",
                                                               lambda self, record, datefmt=None: "<time>"),
    "C2 a fake clock's strftime": lambda c: c.mp.setattr(time, "strftime", lambda fmt, t=None: "<clock>"),
    "C2 super shadowed in colorlog": lambda c: c.mp.setattr(
        sys.modules["colorlog.formatter"], "super",
        lambda *a: types.SimpleNamespace(formatMessage=lambda record: "shadowed"), raising=False),
    "C2 ColoredRecord replaced": lambda c: c.mp.setattr(
        sys.modules["colorlog.formatter"], "ColoredRecord", lambda record, escapes: types.SimpleNamespace(
            **{**vars(record), **escapes, "message": "recorded"})),
    "C2 formatMessage's __class__ cell": lambda c: _closure_cell(colorlog.ColoredFormatter.formatMessage,
                                                                logging.Formatter, c),
    "C3 a method on the instance": lambda c: c.each("formatMessage", lambda record: "own " + record.message),
    "C3 another format": lambda c: c.each("_style", logging.PercentStyle("%(log_color)s%(message)s")),
    "C3 a date format": lambda c: c.each("datefmt", "<date>"),
    "C3 secondary colours": lambda c: c.each("secondary_log_colors", {"message": {"INFO": "no_such_colour"}}),
    "C3 style defaults": lambda c: [c.mp.setattr(f._style, "_defaults", ("not a dict",)) for f in c.formatters],
    "C3 a truth test of its own": lambda c: c.each("force_color", _Untestable()),
    "C3 a colour not a str": lambda c: [c.mp.setitem(f.log_colors, "INFO", StrSub("red")) for f in c.formatters],
    "C3 a stream of Python's": lambda c: c.each("stream", types.SimpleNamespace(isatty=lambda: False)),
    "C3 isatty set on the stream": lambda c: c.each("stream", _a_tty_on_devnull()),
    "C4 an escape code not a str": lambda c: c.mp.setitem(colorlog.escape_codes.escape_codes, "green",
                                                          StrSub("\x1b[32m")),
    "C4 os.environ a dict": lambda c: c.mp.setattr(os, "environ", {**os.environ, "NO_COLOR": "1"}),
    "C4 os.environ's _data another dict": lambda c: c.mp.setattr(os.environ, "_data",
                                                                 {**os.environ._data, b"NO_COLOR": b"1"}),
    "C4 encodekey set on os.environ": lambda c: (c.mp.setenv("NO_COLOR", "1"), c.mp.setattr(
        os.environ, "encodekey", lambda key, plain=os.environ.encodekey: plain("LOG_MAIN_" + key)))[0],
    "C4 decodevalue set on os.environ": lambda c: (c.mp.setenv("NO_COLOR", "1"), c.mp.setattr(
        os.environ, "decodevalue", lambda value: {}[value]))[0],
    "C4 os.environ's class a subclass": lambda c: _environ_with(
        c, __getitem__=lambda self, key: os._Environ.__getitem__(self, "LOG_MAIN_" + key)),
    "C4 os.environ's encoding": _encoding_changed,
    "C5 a profile function": lambda c: (sys.setprofile(c.hook), lambda: sys.setprofile(None))[1],
    "C5 a trace function": lambda c: (sys.settrace(c.hook), lambda: sys.settrace(None))[1],
    "C5 sys.monitoring events on formatMessage": _monitored_format_message,
}


def test_every_condition_of_the_coloured_line_is_broken_by_a_test():
    conditions = set(re.findall(r"^//  (C\d+) ", COLORED_CPP.read_text(), re.M))
    assert len(conditions) >= 5 and {key.split()[0] for key in COLOURED_BREAKS} == conditions


@pytest.mark.parametrize("breaking", sorted(COLOURED_BREAKS))
def test_each_condition_of_the_coloured_line_is_needed(tmp_path, monkeypatch, breaking):
    for key in ("NO_COLOR", "FORCE_COLOR"):
        monkeypatch.delenv(key, raising=False)
    sides, outputs = {}, {}
    for mode in ("module", "reference"):
        obj = log_main.OsprelLog(f"cb-{mode}-{re.sub(r'\W', '_', breaking)}", file=str(tmp_path / f"{mode}.log"))
        obj._console_handler.setStream(open(tmp_path / f"{mode}.txt", "w", encoding="utf-8"))
        if mode == "reference":
            for h in (obj._file_handler, obj._console_handler):
                h.addFilter(PassThrough())
        sides[mode] = obj
    undo = None
    with monkeypatch.context() as mp:
        c = _Coloured(mp)
        c.formatters = [obj._console_handler.formatter for obj in sides.values()]
        mp.setattr(sys, "stderr", io.StringIO())
        # The logger's cache filled (a miss makes the full call) and the line made in place just
        # before the change: nothing else the module watches changes in between (a collection
        # freeing an earlier test's objects would make the module check everything afresh).
        gc.collect()
        gc.disable()
        for obj in [*reversed(sides.values())] * 2:
            obj.info("warm")
        try:
            undo = COLOURED_BREAKS[breaking](c)
            for mode, obj in sides.items():
                c.side, mark = mode, len(sys.stderr.getvalue())
                obj.info("order", 42)
                try:
                    raise KeyError("SKU-9")
                except KeyError:
                    obj.error("failed", kwargs={"exc_info": True})
                outputs[mode] = _unstacked(sys.stderr.getvalue()[mark:].replace(obj._logger.name, "<tag>"))
        finally:
            gc.enable()
            sys.setprofile(None)
            sys.settrace(None)
            if callable(undo):
                undo()
    for mode, obj in sides.items():
        stream, name = obj._console_handler.stream, obj._logger.name
        obj.close()
        stream.close()
        outputs[mode] = (outputs[mode], c.events[mode], *(
            re.sub(r"<clock>,\d{3}", "<clock>", TIME_TEXT.sub("<time>", (tmp_path / f"{mode}.{ext}").read_text(
                encoding="utf-8"))).replace(name, "<tag>") for ext in ("txt", "log")))
    assert outputs["module"] == outputs["reference"]


def test_two_consoles_with_colours_of_their_own_match_the_full_path(tmp_path, monkeypatch):
    """Two console formatters with log_colors dicts of their own, neither changing: each line in
    its own colour, as the full call's (a dict's version on 3.14 and later is a count of watcher
    events, the same for every dict that did not change, so it cannot name the dict alone)."""
    for key in ("NO_COLOR", "FORCE_COLOR"):
        monkeypatch.delenv(key, raising=False)
    objs, texts = {}, {}
    for mode in ("module", "reference"):
        for colour in ("red", "blue"):
            obj = log_main.OsprelLog(f"own-{colour}-{mode}", file=str(tmp_path / f"{colour}-{mode}.log"))
            obj._console_handler.setStream(open(tmp_path / f"{colour}-{mode}.txt", "w", encoding="utf-8"))
            obj._console_handler.formatter.log_colors = {**log_main._colors, "INFO": colour}
            if mode == "reference":
                obj._console_handler.addFilter(PassThrough())
            objs[colour, mode] = obj
    for _ in range(3):
        for obj in objs.values():
            obj.info("in colour")
    for (colour, mode), obj in objs.items():
        stream = obj._console_handler.stream
        obj.close()
        stream.close()
        texts[colour, mode] = TIME_TEXT.sub("T", (tmp_path / f"{colour}-{mode}.txt").read_text(
            encoding="utf-8")).replace(f"own-{colour}-{mode}", "<tag>")
    for colour, code in (("red", "\x1b[31m"), ("blue", "\x1b[34m")):
        assert texts[colour, "module"] == texts[colour, "reference"] == f"{code}T - <tag> - INFO - in colour\x1b[0m\n" * 3
    # The same through the line alone (log_main_colored_probe: None where the module leaves it to colorlog),
    # where the build has the hook.
    if not has_test_hooks():
        return
    import ctypes
    probe = hook_function("log_main_colored_probe", ctypes.py_object, [ctypes.py_object] * 5)
    formatters = [colorlog.ColoredFormatter(fmt=log_main._cformatter, log_colors={**log_main._colors, "INFO": colour})
                  for colour in ("red", "blue")]
    for f in formatters * 2:
        record = logging.LogRecord("app", logging.INFO, __file__, 1, "m", (), None)
        assert probe(f, f.formatTime(record), "app", "INFO", "m") in (None, f.format(record))


# ---------------------------------------------------------------------------------------------
# Functions are trusted as shipped (src/logger/fingerprint.cpp, scripts/shipped-code)

# Libraries that change logging at import, before anything logs: a function of their own put in
# place of logging's, under the name the class looks up (its qualname is the bare name, its code
# comes from its module's own file), or logging's own function with other defaults.
PATCHING_LIBRARIES = {
    "masked makeRecord": '''
import logging, re
_plain = logging.Logger.makeRecord
def makeRecord(self, name, level, fn, lno, msg, args, exc_info, func=None, extra=None, sinfo=None):
    msg = re.sub(r"password=[^ ]+", "password=***", msg)
    return _plain(self, name, level, fn, lno, msg, args, exc_info, func, extra, sinfo)
logging.Logger.makeRecord = makeRecord
''',
    "ISO formatTime": '''
import datetime, logging
def formatTime(self, record, datefmt=None):
    return datetime.datetime.fromtimestamp(record.created).isoformat(timespec="milliseconds")
logging.Formatter.formatTime = formatTime
''',
    "_log with other defaults": '''
import logging
logging.Logger._log.__defaults__ = (True,) + logging.Logger._log.__defaults__[1:]
''',
}

SHIPPED_CHILD = '''
import faulthandler, os, sys
faulthandler.dump_traceback_later(50, exit=True)
folder, mode = sys.argv[1], sys.argv[2]
os.mkdir(os.path.join(folder, "lib"))
with open(os.path.join(folder, "lib", "vendor_patch.py"), "w", encoding="utf-8") as f:
    f.write(LIBRARY)
sys.path.insert(0, os.path.join(folder, "lib"))
import vendor_patch
import log_main
console = CONSOLE
obj = log_main.OsprelLog("shipped", file=os.path.join(folder, "f.log"), console=console)
if console:
    obj._console_handler.setStream(open(os.path.join(folder, "console.txt"), "w", encoding="utf-8"))
if mode == "full":
    obj._file_handler.addFilter(lambda record: True)
    if console:
        obj._console_handler.addFilter(lambda record: True)
for i in range(3):
    obj.info("login user=bob password=hunter2", i)
    obj.warning("retry password=swordfish")
obj.close()
'''
ISO_TIME = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}(?= - )", re.M)


@pytest.mark.parametrize("library", sorted(PATCHING_LIBRARIES))
def test_a_function_patched_before_the_first_log_makes_the_full_call(tmp_path, library):
    """A function in logging's place that was there before anything logged is not trusted for
    being what was first seen: only a function as the interpreter ships it is. Console and file
    get the bytes of the full call (in a fresh interpreter, so that nothing was seen before)."""
    console = library == "masked makeRecord"
    script = SHIPPED_CHILD.replace("LIBRARY", repr(PATCHING_LIBRARIES[library])).replace("CONSOLE", str(console))
    out = {}
    for mode, (folder, _) in _in_place_and_full(tmp_path, script, 60).items():
        out[mode] = {name: ISO_TIME.sub("I", TIME_TEXT.sub("T", (folder / name).read_text(encoding="utf-8")))
                     for name in ("f.log", "console.txt") if (folder / name).exists()}
    assert out["in place"] == out["full"]
    written = out["full"]
    assert len(written) == 1 + console
    for text in written.values():
        if library == "masked makeRecord":
            assert "password=***" in text and "hunter2" not in text and "swordfish" not in text
        elif library == "ISO formatTime":
            assert text.count("I - shipped - ") == 6 and "T - " not in text    # ISO times only
        else:
            assert text.count("NoneType: None\n") == 6


def _exported(name, restype):
    """A function of the module's library for the tests, reached through ctypes."""
    import ctypes
    return hook_function(name, restype, [ctypes.py_object])


def test_the_table_of_shipped_functions_is_this_interpreters():
    """scripts/shipped-code, run on this interpreter (at its optimisation level), finds exactly the rows
    the table holds for this release (a release without rows fails: the table must be written with
    it), and the module
    computes the same fingerprint as the script for every function the script finds."""
    script_path = pathlib.Path(__file__).resolve().parent.parent / "scripts" / "shipped-code"
    done = run_process([sys.executable, *["-O"] * sys.flags.optimize, str(script_path), "--check"],
                       capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr
    import ctypes
    script = _script("shipped-code")
    shipped = _exported("log_main_shipped_function", ctypes.c_int)
    fingerprint = _exported("log_main_function_fingerprint", ctypes.c_uint64)
    functions = list(script.reachable())
    assert len(functions) > 500
    assert [script.key(fn) for fn in functions if fingerprint(fn) != script.function_fingerprint(fn)] == []
    # A function of the same code elsewhere, or another code under a shipped name, is not shipped.
    plain = logging.Logger.makeRecord
    elsewhere = types.FunctionType(plain.__code__, {"__name__": "vendor"}, plain.__name__, plain.__defaults__)
    elsewhere.__qualname__ = plain.__qualname__
    other = types.FunctionType(logging.Logger.handle.__code__, plain.__globals__, plain.__name__)
    other.__qualname__ = plain.__qualname__
    defaults = types.FunctionType(plain.__code__, plain.__globals__, plain.__name__, (None, {}, None))
    defaults.__qualname__ = plain.__qualname__
    assert shipped(plain) and not shipped(elsewhere) and not shipped(other) and not shipped(defaults)
