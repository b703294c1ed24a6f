"""Exceptions crossing the module keep their identity, context and traceback; swallowed errors
leave no trace in the caller's exception state."""
import io
import logging
import sys
import traceback

import pytest

import log_main
from log_main import OsprelLog, _SetLogger

HERE = __file__


class Bad:
    def __init__(self, exc):
        self.exc = exc

    def __str__(self):
        raise self.exc


def entries(exc):
    """(function name, file name) of every traceback entry, outermost first."""
    return [(frame.name, frame.filename) for frame in traceback.extract_tb(exc.__traceback__)]


def ours(name):
    return (f"log_main.{name}", "log_main.py")


def mine(name):
    return (name, HERE)


def new_live(name, tmp_path):
    # Made inside the test: pytest hands its capture handlers to every non-propagating logger
    # that exists when a test phase starts, and a take-over would record those too.
    return OsprelLog(name, file=str(tmp_path / "own.log"), console=False)


# -- tracebacks -------------------------------------------------------------------------------------

class OwnLog(log_main._LogBase):
    def _log(self, level, message, args, kwargs):
        raise KeyboardInterrupt("from _log")


@pytest.mark.parametrize("call, path, last", [
    (lambda obj: obj.info(Bad(KeyboardInterrupt())), ["info", "_log"], "__str__"),
    (lambda obj: obj.critical("a", Bad(KeyboardInterrupt()), args=()), ["critical", "_log"], "__str__"),
    (lambda obj: obj._log(20, ("a", Bad(KeyboardInterrupt()))), ["_log"], "__str__"),
    (lambda obj: log_main._LogBase.debug(self=OwnLog(), kwargs={}), ["debug"], "_log"),
], ids=["info", "critical-with-options", "_log", "debug-by-keyword"])
def test_body_exception_keeps_its_traceback(unique_name, tmp_path, call, path, last):
    live = new_live(unique_name, tmp_path)
    with pytest.raises(KeyboardInterrupt) as caught:
        call(live)
    assert entries(caught.value) == [mine("test_body_exception_keeps_its_traceback"), mine("<lambda>")] + \
        [ours("_LogBase." + p) for p in path] + [mine(last)]


def test_failure_deep_in_set_up_names_every_step(unique_name):
    class Sub(_SetLogger):
        def _create_console_handler(self):
            raise OSError("no console")

    with pytest.raises(ValueError) as caught:
        OsprelLog(unique_name, file="x.log", handler_type="daily")
    assert entries(caught.value) == [
        mine("test_failure_deep_in_set_up_names_every_step"), ours("OsprelLog.__new__"),
        ours("_SetLogger.__init__"), ours("_SetLogger._setup_logger"), ours("_LogBase._create_file_handler")]

    with pytest.raises(OSError) as caught:
        Sub(unique_name + "_sub")
    assert entries(caught.value) == [
        mine("test_failure_deep_in_set_up_names_every_step"), ours("_SetLogger.__init__"),
        ours("_SetLogger._setup_logger"), mine("_create_console_handler")]


def test_failure_of_a_handler_inside_a_setter(unique_name, tmp_path):
    live = new_live(unique_name, tmp_path)
    class Refusing(logging.StreamHandler):
        def setLevel(self, level):
            raise RuntimeError("refused")

    live._console_handler = Refusing(io.StringIO())
    with pytest.raises(RuntimeError) as caught:
        live.set_console_level(logging.ERROR)
    assert entries(caught.value) == [mine("test_failure_of_a_handler_inside_a_setter"),
                                     ours("_LogBase.set_console_level"), mine("setLevel")]


def test_binding_errors_add_one_entry_type_errors_none(unique_name, tmp_path):
    live = new_live(unique_name, tmp_path)
    with pytest.raises(TypeError) as binding:
        live.info("x", bogus=1)
    assert entries(binding.value) == [mine("test_binding_errors_add_one_entry_type_errors_none"),
                                      ours("_LogBase.info")]
    with pytest.raises(TypeError) as checking:
        live.info("x", args=["not", "a", "tuple"])
    assert entries(checking.value) == [mine("test_binding_errors_add_one_entry_type_errors_none")]


# -- context --------------------------------------------------------------------------------------

def test_exception_raised_while_handling_another_keeps_its_context(unique_name, tmp_path):
    live = new_live(unique_name, tmp_path)
    outer = RuntimeError("being handled")
    inner = KeyboardInterrupt("from str()")
    try:
        raise outer
    except RuntimeError:
        with pytest.raises(KeyboardInterrupt) as caught:
            live.warning("a", Bad(inner))
        assert sys.exception() is outer
    assert caught.value is inner and inner.__context__ is outer and inner.__cause__ is None


# Each action provokes an error that the module swallows.
def _unstringable(obj, tmp_path):
    assert obj.info("x", Bad(ValueError("no text"))) is None


def _duplicate_option(obj, tmp_path):
    assert obj.error("x", kwargs={"level": 1}) is None


def _logger_without_log(obj, tmp_path):
    obj.enable(42)
    assert obj.warning("x", args=(1,)) is None


class CloseRaises(logging.StreamHandler):
    def __init__(self):
        super().__init__(io.StringIO())
        self.failed = False

    def close(self):
        super().close()
        if not self.failed:
            self.failed = True
            raise OSError("close failed")


def _failing_close_in_close(obj, tmp_path):
    handler = CloseRaises()
    obj._logger.addHandler(handler)
    assert obj.close() is None and handler.failed


def _failing_close_in_capture(obj, tmp_path):
    handler = CloseRaises()
    obj._logger.addHandler(handler)
    top = OsprelLog(obj.name, level=logging.CRITICAL + 10, rehandler=True)
    assert handler.failed
    top.close()


@pytest.mark.parametrize("action", [_unstringable, _duplicate_option, _logger_without_log,
                                    _failing_close_in_close, _failing_close_in_capture])
@pytest.mark.parametrize("handling", [False, True], ids=["outside", "inside-except"])
def test_swallowed_error_leaves_the_callers_exception_state(unique_name, tmp_path, action, handling):
    live = new_live(unique_name, tmp_path)
    def run():
        before = sys.exception()
        action(live, tmp_path)
        assert sys.exception() is before and sys.exc_info()[1] is before
        # A later exception links to what the caller handles, not to the swallowed error.
        later = KeyboardInterrupt()
        with pytest.raises(KeyboardInterrupt):
            log_main._LogBase._log(type("Live", (), {"_logger": True})(), 10, (Bad(later),))
        assert later.__context__ is before

    if handling:
        outer = LookupError("being handled")
        try:
            raise outer
        except LookupError:
            run()
            assert sys.exception() is outer
    else:
        run()
    assert sys.exception() is None
