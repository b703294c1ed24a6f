"""Logger object state, emission through _log and the level methods, level setters."""
import inspect
import io
import json
import logging
import sys
import textwrap
import traceback
import types

import pytest

import log_main
from conftest import run_python

LEVELS = [("debug", logging.DEBUG), ("info", logging.INFO), ("warning", logging.WARNING),
          ("error", logging.ERROR), ("critical", logging.CRITICAL)]
TYPE_TEXT = "Argument '{}' has incorrect type (expected {}, got {})"


class Sink(logging.Handler):
    def __init__(self):
        super().__init__()
        self.records = []

    def emit(self, record):
        self.records.append(record)


class Bad:
    """A message part whose str() raises the given exception."""

    def __init__(self, exc):
        self.exc = exc

    def __str__(self):
        raise self.exc


@pytest.fixture
def live(unique_name):
    """A live _LogBase on a logger that keeps every record (level 1 and up)."""
    logger = logging.getLogger(unique_name)
    logger.setLevel(1)
    logger.propagate = False
    sink = Sink()
    logger.addHandler(sink)
    obj = log_main._LogBase()
    obj.enable(logger)
    return obj, sink.records


def test_new_object_is_silent_with_initial_state():
    obj, other = log_main._LogBase(), log_main._LogBase()
    assert list(obj.__dict__) == ["name", "file", "handler_type", "file_level", "console", "console_level",
                                  "kwargs", "_logger", "_file_handler", "_console_handler", "_handler_filter"]
    assert obj.__dict__ == dict(name=None, file=None, handler_type=None, file_level=logging.DEBUG, console=True,
                                console_level=logging.DEBUG, kwargs={}, _logger=None, _file_handler=None,
                                _console_handler=None, _handler_filter=None)
    assert obj.kwargs is not other.kwargs
    for method, _ in LEVELS:
        assert getattr(obj, method)("x", Bad(KeyboardInterrupt()), args=(1,)) is None
    assert obj._log(logging.INFO, ("x",)) is None


@pytest.mark.parametrize("method, level", LEVELS)
def test_level_methods_emit_one_record(live, method, level):
    obj, records = live
    assert getattr(obj, method)("m", 1) is None
    [rec] = records
    assert (rec.levelno, rec.msg, rec.args, rec.name) == (level, "m 1", (), obj._logger.name)


class Text(str):
    def __str__(self):
        return "shown"


@pytest.mark.parametrize("parts, text", [
    ((), ""),
    (("a", 1, None, 2.5), "a 1 None 2.5"),
    (("only",), "only"),
    ((" x ", "", "y"), " x   y"),
    ((b"b", [1], Text("hidden")), "b'b' [1] shown"),
    ((Text("hidden"),), "shown"),
])
@pytest.mark.parametrize("via", ["info", "info_with_options", "_log"])
def test_parts_joined_with_single_spaces(live, parts, text, via):
    obj, records = live
    if via == "_log":
        obj._log(logging.INFO, parts)
    elif via == "info":
        obj.info(*parts)
    else:
        obj.info(*parts, args=None, kwargs=None)
    [rec] = records
    assert rec.levelno == logging.INFO and rec.msg == text and type(rec.msg) is str


class Marked(str):
    def __str__(self):
        return "marked"


class GivesMarked:
    """A part whose str() returns an instance of a str subclass."""

    def __str__(self):
        return Marked("plain")


@pytest.mark.parametrize("parts, text", [
    ((GivesMarked(),), "plain"),
    ((GivesMarked(), GivesMarked()), "plain plain"),
    (("a", GivesMarked()), "a plain"),
])
@pytest.mark.parametrize("emit", [
    lambda obj, parts: obj.info(*parts),
    lambda obj, parts: log_main._LogBase.error(obj, *parts),
    lambda obj, parts: obj._log(logging.WARNING, parts),
], ids=["method", "through-class", "_log"])
def test_text_is_exact_str_when_str_returns_a_subclass(unique_name, tmp_path, parts, text, emit):
    obj = log_main.OsprelLog(unique_name, file=str(tmp_path / "x.log"), console=False)
    records = Sink()
    logging.getLogger(unique_name).addHandler(records)
    emit(obj, parts)
    (record,) = records.records
    assert type(record.msg) is str
    assert record.getMessage() == text


@pytest.mark.parametrize("parts, args, rendered", [
    (("value %s and %d",), ("x", 3), "value x and 3"),
    (("%s%%", "done"), ("a",), "a% done"),
    (("100%",), None, "100%"),
    (("100%", "%d"), (), "100% %d"),
])
def test_args_applied_by_percent_formatting(live, parts, args, rendered):
    obj, records = live
    obj.error(*parts, args=args)
    [rec] = records
    assert rec.args == (args or ())
    assert logging.Formatter("%(message)s").format(rec) == rendered


@pytest.mark.parametrize("options", [{}, {"args": ()}, {"kwargs": {}}, {"args": (), "kwargs": {}},
                                     {"args": None, "kwargs": None}])
def test_empty_options_emit_as_if_left_out(live, options):
    obj, records = live
    obj.warning("p %s", **options)
    obj._log(logging.WARNING, ("p %s",), **options)
    for rec in records:
        assert (rec.levelno, rec.msg, rec.args, rec.exc_info, rec.getMessage()) == (
            logging.WARNING, "p %s", (), None, "p %s")
    assert len(records) == 2


def test_kwargs_reach_logger_log(live):
    obj, records = live
    try:
        raise ValueError("boom")
    except ValueError:
        obj.error("failed", kwargs={"exc_info": True, "extra": {"user": "bob"}})
    obj.info("n=%d", args=(5,), kwargs={"stack_info": True})

    def helper():
        obj.info("deep", kwargs={"stacklevel": 2})

    line = inspect.currentframe().f_lineno + 1
    helper()
    wide = tuple(range(20))  # more arguments for Logger.log than its call keeps on the C stack
    obj.info(" ".join(["%d"] * 20), args=wide, kwargs={"extra": {"k": 1}, "stacklevel": 1})
    failed, stacked, deep, many = records
    assert failed.exc_info[0] is ValueError and failed.user == "bob"
    assert stacked.getMessage() == "n=5" and stacked.stack_info.startswith("Stack (most recent call last):")
    assert (deep.funcName, deep.lineno) == ("test_kwargs_reach_logger_log", line)
    assert many.args == wide and many.getMessage() == " ".join(map(str, wide)) and many.k == 1


@pytest.mark.parametrize("kwargs", [{"level": 10}, {"msg": "x"}, {"bogus": 1}, {1: 2}])
def test_kwargs_refused_by_logger_are_swallowed(live, kwargs):
    obj, records = live
    assert obj.info("x", kwargs=kwargs) is None
    assert obj._log(logging.INFO, ("x",), None, kwargs) is None
    assert records == []


def _raising_log(*args, **kwargs):
    raise RuntimeError("log failed")


@pytest.mark.parametrize("parts, logger", [
    ((Bad(ValueError("str")),), None),
    (("ok", Bad(ValueError("str"))), None),
    (("ok",), types.SimpleNamespace(log=_raising_log)),
    (("ok",), 42),
])
def test_emission_errors_swallowed_and_handled_exception_kept(live, parts, logger):
    obj, records = live
    if logger is not None:
        obj.enable(logger)
    try:
        raise LookupError("outer")
    except LookupError as outer:
        assert obj.info(*parts) is None
        assert obj.info(*parts, args=(), kwargs={}) is None
        assert obj._log(logging.INFO, parts) is None
        assert sys.exception() is outer
    assert obj.critical(*parts) is None
    assert sys.exception() is None
    assert records == []


@pytest.mark.parametrize("call, frames", [
    (lambda obj, part: obj.info(part), ["log_main._LogBase.info", "log_main._LogBase._log"]),
    (lambda obj, part: obj.info("a", part, args=()), ["log_main._LogBase.info", "log_main._LogBase._log"]),
    (lambda obj, part: obj._log(logging.INFO, (part,)), ["log_main._LogBase._log"]),
])
def test_keyboard_interrupt_propagates(live, call, frames):
    obj, records = live
    with pytest.raises(KeyboardInterrupt) as caught:
        call(obj, Bad(KeyboardInterrupt()))
    names = [frame.name for frame in traceback.extract_tb(caught.value.__traceback__)]
    assert names[-len(frames) - 1:] == frames + ["__str__"]
    assert records == []


def test_disable_enable(live):
    obj, records = live
    logger = obj._logger
    assert obj.disable() is None and obj._logger is None
    for method, _ in LEVELS:
        assert getattr(obj, method)("x") is None
    assert obj.enable(logger) is None and obj._logger is logger
    obj.info("back")
    obj.enable(42)
    assert obj._logger == 42
    assert obj.info("x") is None and obj.critical("y", args=(1,), kwargs={"extra": {}}) is None
    assert [rec.msg for rec in records] == ["back"]


def test_levels_read_from_logging_at_each_call(live, monkeypatch):
    obj, records = live
    stand_in = types.SimpleNamespace(DEBUG=1, INFO=2, WARNING=3, ERROR=4, CRITICAL=5)
    monkeypatch.setattr(log_main, "logging", stand_in)
    for method, _ in LEVELS:
        getattr(obj, method)(method)
    stand_in.INFO = 7
    obj.info("again")
    obj.info("again", args=())
    fresh = log_main._LogBase()
    assert [rec.levelno for rec in records] == [1, 2, 3, 4, 5, 7, 7]
    assert (fresh.file_level, fresh.console_level) == (1, 1)


def test_level_constant_read_through_a_module_class_change():
    result = run_python(textwrap.dedent("""
        import json, logging, types, log_main
        lg = logging.getLogger("cls"); lg.setLevel(1); lg.propagate = False
        seen = []
        class Keep(logging.Handler):
            def emit(self, record): seen.append(record.levelno)
        lg.addHandler(Keep())
        obj = log_main._LogBase(); obj.enable(lg)
        obj.warning("a")
        class Module(types.ModuleType):
            WARNING = property(lambda self: 33)
        logging.__class__ = Module
        obj.warning("b")
        logging.__class__ = types.ModuleType
        print(json.dumps(seen))
    """))
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout.strip().splitlines()[-1]) == [30, 33]


def test_overridden_log_receives_the_call():
    calls = []

    class Spy(log_main._LogBase):
        def _log(self, *received):
            calls.append(received)
            return "ignored"

    obj = Spy()
    args, kwargs = ("a",), {"k": 1}
    for method, level in LEVELS:
        assert getattr(obj, method)(method, 2) is None
    obj.warning(args=args, kwargs=kwargs)
    assert calls[:5] == [(level, (method, 2), None, None) for method, level in LEVELS]
    assert calls[5] == (logging.WARNING, (), args, kwargs)
    assert calls[5][2] is args and calls[5][3] is kwargs

    plain = log_main._LogBase()
    plain._log = lambda *received: calls.append(received)
    plain.error("e")
    assert calls[6] == (logging.ERROR, ("e",), None, None)


@pytest.mark.parametrize("call, text", [
    (lambda o: o.info("x", args=["a"]), TYPE_TEXT.format("args", "tuple", "list")),
    (lambda o: o.critical(kwargs=[("a", 1)]), TYPE_TEXT.format("kwargs", "dict", "list")),
    (lambda o: o._log(logging.INFO, ["x"]), TYPE_TEXT.format("message", "tuple", "list")),
    (lambda o: o._log(True, ("x",)), TYPE_TEXT.format("level", "int", "bool")),
])
@pytest.mark.parametrize("silent", [False, True])
def test_type_errors_also_when_silent(live, call, text, silent):
    obj, records = live
    if silent:
        obj.disable()
    with pytest.raises(TypeError) as caught:
        call(obj)
    assert str(caught.value) == text
    assert records == []


@pytest.mark.parametrize("options", [{}, {"args": ()}, {"kwargs": {}}])
def test_record_names_the_calling_line(live, options):
    obj, _ = live
    out = io.StringIO()
    handler = logging.StreamHandler(out)
    handler.setFormatter(logging.Formatter("%(filename)s:%(lineno)d %(funcName)s"))
    obj._logger.addHandler(handler)
    line = inspect.currentframe().f_lineno + 1
    obj.info("here", **options)
    assert out.getvalue() == f"test_emission.py:{line} test_record_names_the_calling_line\n"


class FailingLevel(logging.Handler):
    def setLevel(self, level):
        raise RuntimeError("refused")


@pytest.mark.parametrize("setter, attr, handler_attr, other_attr", [
    ("set_console_level", "console_level", "_console_handler", "file_level"),
    ("set_file_level", "file_level", "_file_handler", "console_level"),
])
def test_level_setters(setter, attr, handler_attr, other_attr):
    obj = log_main._LogBase()
    set_level = getattr(obj, setter)
    assert set_level(logging.ERROR) is None and getattr(obj, attr) == logging.ERROR
    handler = logging.NullHandler()
    setattr(obj, handler_attr, handler)
    set_level(level=logging.WARNING)
    assert handler.level == getattr(obj, attr) == logging.WARNING
    with pytest.raises(TypeError, match=r"^Argument 'level' has incorrect type \(expected int, got bool\)$"):
        set_level(True)
    assert handler.level == getattr(obj, attr) == logging.WARNING
    setattr(obj, handler_attr, FailingLevel())
    with pytest.raises(RuntimeError, match="refused"):
        set_level(5)
    assert getattr(obj, attr) == 5 and getattr(obj, other_attr) == logging.DEBUG
