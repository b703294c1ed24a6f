"""Faults inside and around the module: each one surfaces its error, loses no record that was
accepted, and leaves the module working with `_LOCK` free."""
import io
import json
import logging
import re
import signal
import textwrap
import threading
import time
import types

import pytest

import log_main
from conftest import run_python
from log_main import OsprelLog, _CAPTURES, _FHANDLERS, _LOGGERS


def lines(path):
    """The message of every line of a log file (bare lines come from handlers without a format)."""
    with open(path, encoding="utf-8") as stream:
        return [line.rstrip("\n").split(" - ", 3)[-1] for line in stream]


def assert_module_works(name, tmp_path):
    """A new logger can be set up, write a line and be closed; the lock is free before and after."""
    assert not log_main._LOCK.locked()
    path = tmp_path / f"{name}_check.log"
    obj = OsprelLog(f"{name}_check", file=str(path), console=False)
    obj.info("still working")
    assert obj.close() is None
    assert lines(path) == ["still working"]
    assert not log_main._LOCK.locked()


def lock_free_for_other_threads(lock):
    """True when another thread can take `lock` (an RLock held by this thread would not show)."""
    taken = []

    def probe():
        if lock.acquire(timeout=1):
            lock.release()
            taken.append(True)

    thread = threading.Thread(target=probe)
    thread.start()
    thread.join()
    return taken == [True]


class Failing(Exception):
    pass


class CloseRaises(logging.Handler):
    """A handler that keeps its messages and whose close() raises `exc`."""

    def __init__(self, exc):
        super().__init__()
        self.exc, self.messages = exc, []

    def emit(self, record):
        self.messages.append(record.getMessage())

    def close(self):
        super().close()
        exc, self.exc = self.exc, None   # once: logging closes it again at exit
        if exc is not None:
            raise exc


class FileCloseRaises(logging.FileHandler):
    """A file handler (so a take-over with a file detaches it) whose close() raises `exc`."""
    exc = None

    def close(self):
        super().close()
        if self.exc is not None:
            raise self.exc


class Unstringable:
    def __init__(self, exc):
        self.exc = exc

    def __str__(self):
        raise self.exc


# -- handlers that fail -------------------------------------------------------------------------

@pytest.mark.parametrize("exc", [Failing("close failed"), KeyboardInterrupt()], ids=["Exception", "KeyboardInterrupt"])
def test_handler_close_failing_in_close(unique_name, tmp_path, exc):
    path = tmp_path / "own.log"
    obj = OsprelLog(unique_name, file=str(path), console=False)
    logger = obj._logger
    failing = CloseRaises(exc)
    logger.addHandler(failing)
    obj.info("before")
    if isinstance(exc, Exception):
        assert obj.close() is None
    else:
        with pytest.raises(KeyboardInterrupt):
            obj.close()
        # Stopped in the sweep: both handlers are off, the layer is still registered.
        assert logger.handlers == [] and _LOGGERS[unique_name] == {1: obj}
        assert not log_main._LOCK.locked()
        assert obj.close() is None
    assert logger.handlers == [] and unique_name not in _LOGGERS and obj._logger is None
    assert lines(path) == ["before"] and failing.messages == ["before"]
    assert_module_works(unique_name, tmp_path)


@pytest.mark.parametrize("exc", [Failing("close failed"), KeyboardInterrupt()], ids=["Exception", "KeyboardInterrupt"])
def test_handler_close_failing_in_capture(unique_name, tmp_path, exc):
    own, other, top_file = (str(tmp_path / f) for f in ("own.log", "other.log", "top.log"))
    bottom = OsprelLog(unique_name, file=own, console=False)
    logger = bottom._logger
    failing = FileCloseRaises(other)
    logger.addHandler(failing)
    bottom.info("before")
    FileCloseRaises.exc = exc
    try:
        if isinstance(exc, Exception):
            top = OsprelLog(unique_name, file=top_file, console=False, rehandler=True)
            # The failing handler stays attached beside the new one; the capture completed.
            assert logger.handlers == [failing, top._file_handler]
            assert _LOGGERS[unique_name] == {1: bottom, 2: top} and bottom._logger is None
            top.info("on top")
            FileCloseRaises.exc = None
            assert top.close() is None
            assert [type(h) for h in logger.handlers] == [FileCloseRaises, logging.FileHandler]
            assert logger.handlers[0] is failing
            assert lines(top_file) == ["on top"]
        else:
            with pytest.raises(KeyboardInterrupt):
                OsprelLog(unique_name, file=top_file, console=False, rehandler=True)
            # The module's handler was detached before the interruption; nothing was pushed.
            assert logger.handlers == [failing]
            assert _LOGGERS[unique_name] == {1: bottom} and unique_name not in _CAPTURES
            assert bottom._logger is logger and not log_main._LOCK.locked()
            FileCloseRaises.exc = None
            top = OsprelLog(unique_name, file=top_file, console=False, rehandler=True)
            assert _LOGGERS[unique_name] == {1: bottom, 2: top}
            assert top.close() is None
    finally:
        FileCloseRaises.exc = None
    bottom.info("after")
    if isinstance(exc, Exception):
        assert lines(other) == ["before", "on top", "after"] and lines(own) == ["before", "after"]
    else:   # the module's own handler was closed before the interruption and is not rebuilt
        assert lines(other) == ["before", "after"] and lines(own) == ["before"]
    assert bottom.close() is None
    assert_module_works(unique_name, tmp_path)


class Flaky(logging.FileHandler):
    """A file handler whose constructor fails while `refuse` is set."""
    refuse = False

    def __init__(self, *args, **kwargs):
        if Flaky.refuse:
            raise OSError("cannot reopen")
        super().__init__(*args, **kwargs)


def test_handler_class_failing_while_rebuilt(unique_name, tmp_path):
    own, flaky_file, top_file = (str(tmp_path / f) for f in ("own.log", "flaky.log", "top.log"))
    bottom = OsprelLog(unique_name, file=own, console=False)
    logger = bottom._logger
    logger.addHandler(Flaky(flaky_file))
    bottom.info("one")
    top = OsprelLog(unique_name, file=top_file, console=False, rehandler=True)
    top.info("two")
    Flaky.refuse = True
    try:
        with pytest.raises(OSError, match="cannot reopen"):
            top.close()
        assert not log_main._LOCK.locked()
        # Swept and half restored, but the layer and its capture entry are still there.
        assert _LOGGERS[unique_name] == {1: bottom, 2: top} and list(_CAPTURES[unique_name]) == [1]
        assert [type(h) for h in logger.handlers] == [logging.FileHandler]
    finally:
        Flaky.refuse = False
    assert top.close() is None   # the retry rebuilds both, without a second handler on own.log
    assert [type(h) for h in logger.handlers] == [logging.FileHandler, Flaky]
    assert _LOGGERS[unique_name] == {1: bottom} and unique_name not in _CAPTURES
    bottom.info("three")
    assert lines(own) == lines(flaky_file) == ["one", "three"]
    assert lines(top_file) == ["two"]
    assert bottom.close() is None
    assert_module_works(unique_name, tmp_path)


# -- message parts that fail ----------------------------------------------------------------------

@pytest.mark.parametrize("method", ["debug", "critical"])
def test_part_whose_str_raises(unique_name, tmp_path, method):
    path = tmp_path / "parts.log"
    obj = OsprelLog(unique_name, file=str(path), console=False)
    emit = getattr(obj, method)
    emit("first")
    assert emit("lost", Unstringable(ValueError("no text"))) is None
    assert obj._log(logging.INFO, (Unstringable(ValueError("no text")),)) is None
    emit("second")
    with pytest.raises(KeyboardInterrupt):
        emit("interrupted", Unstringable(KeyboardInterrupt()))
    emit("third")
    assert lines(path) == ["first", "second", "third"]
    assert obj.close() is None
    assert_module_works(unique_name, tmp_path)


# -- the file system ------------------------------------------------------------------------------

def test_log_directory_under_a_regular_file(unique_name, tmp_path):
    (tmp_path / "plain").write_text("not a directory")
    path = str(tmp_path / "plain" / "sub" / "app.log")
    with pytest.raises(NotADirectoryError):
        OsprelLog(unique_name, file=path, console=False)
    assert not log_main._LOCK.locked()
    assert unique_name not in _LOGGERS and path not in _FHANDLERS
    assert logging.getLogger(unique_name).handlers == []
    # The name is known to logging now, so the next request gets a child logger that works.
    good = tmp_path / "good.log"
    child = OsprelLog(unique_name, file=str(good), console=False)
    child.warning("served")
    assert child.close() is None and lines(good) == ["served"]
    assert_module_works(unique_name, tmp_path)


def test_full_disk(unique_name, tmp_path, capsys):
    obj = OsprelLog(unique_name, file="/dev/full", console=False)
    assert obj.info("nowhere to go") is None
    assert obj.error("nor this", args=()) is None
    err = capsys.readouterr().err
    # logging reports each failed write itself, naming the message and the caller.
    assert err.count("--- Logging error ---") == 2
    assert "No space left on device" in err and "Message: 'nowhere to go'" in err
    assert "test_faults.py" in err
    assert obj.close() is None
    assert unique_name not in _LOGGERS and obj._logger is None
    assert_module_works(unique_name, tmp_path)


# -- module globals rebound -----------------------------------------------------------------------

class OnlyExit:
    def __exit__(self, *exc_info):
        return False


def raised_text(action):
    """The text of the error the interpreter raises for action: its wording varies between versions."""
    try:
        action()
    except Exception as exc:
        return str(exc)
    raise AssertionError("nothing raised")


DELETED = object()
NO_MANAGER = types.SimpleNamespace(Logger=types.SimpleNamespace(manager=types.SimpleNamespace(loggerDict=5)))

# (global, value, exception, text); DELETED removes the global.
FACTORY_FAULTS = [
    ("_LOCK", DELETED, NameError, "name '_LOCK' is not defined"),
    ("_LOCK", object(), AttributeError, "__exit__"),
    ("_LOCK", OnlyExit(), AttributeError, "__enter__"),
    ("logging", DELETED, NameError, "name 'logging' is not defined"),
    ("logging", object(), AttributeError, "'object' object has no attribute 'Logger'"),
    ("logging", NO_MANAGER, TypeError, raised_text(lambda: "name" in 5)),
]


@pytest.mark.parametrize("glob, value, exc, text", FACTORY_FAULTS)
def test_factory_with_unsuitable_global(unique_name, tmp_path, monkeypatch, glob, value, exc, text):
    if value is DELETED:
        monkeypatch.delattr(log_main, glob)
    else:
        monkeypatch.setattr(log_main, glob, value)
    with pytest.raises(exc) as caught:
        OsprelLog(unique_name, file=str(tmp_path / "f.log"), console=False)
    assert str(caught.value) == text and type(caught.value) is exc
    monkeypatch.undo()
    # Failed before the membership test: not even a logging logger was made.
    assert unique_name not in logging.Logger.manager.loggerDict and unique_name not in _LOGGERS
    assert str(tmp_path / "f.log") not in _FHANDLERS
    assert_module_works(unique_name, tmp_path)


@pytest.mark.parametrize("value, text", [
    (DELETED, "name '_LOGGERS' is not defined"),
    ([], "'list' object has no attribute 'update'"),
    (types.MappingProxyType({}), "'mappingproxy' object has no attribute 'update'"),
], ids=["deleted", "list", "mappingproxy"])
def test_factory_registering_into_unsuitable_loggers(unique_name, tmp_path, monkeypatch, value, text):
    real = _LOGGERS
    if value is DELETED:
        monkeypatch.delattr(log_main, "_LOGGERS")
    else:
        monkeypatch.setattr(log_main, "_LOGGERS", value)
    with pytest.raises(NameError if value is DELETED else AttributeError) as caught:
        OsprelLog(unique_name, console=False)
    assert str(caught.value) == text
    monkeypatch.undo()
    assert unique_name not in real and unique_name not in _CAPTURES
    assert_module_works(unique_name, tmp_path)


@pytest.mark.parametrize("value, exc, text", [
    (DELETED, NameError, "name '_LOGGERS' is not defined"),
    ([], AttributeError, "'list' object has no attribute 'get'"),
], ids=["deleted", "list"])
def test_capture_with_unsuitable_loggers(unique_name, tmp_path, monkeypatch, value, exc, text):
    bottom = OsprelLog(unique_name, file=str(tmp_path / "own.log"), console=False)
    if value is DELETED:
        monkeypatch.delattr(log_main, "_LOGGERS")
    else:
        monkeypatch.setattr(log_main, "_LOGGERS", value)
    with pytest.raises(exc) as caught:
        OsprelLog(unique_name, file=str(tmp_path / "top.log"), console=False, rehandler=True)
    assert str(caught.value) == text
    monkeypatch.undo()
    # No capture entry, no layer, the bottom layer still live.
    assert _LOGGERS[unique_name] == {1: bottom} and unique_name not in _CAPTURES
    assert bottom._logger is logging.getLogger(unique_name)
    assert bottom.close() is None
    assert_module_works(unique_name, tmp_path)


@pytest.mark.parametrize("glob, value, exc, text", [
    ("_LOCK", DELETED, NameError, "name '_LOCK' is not defined"),
    ("_LOCK", object(), AttributeError, "__exit__"),
    ("_LOCK", OnlyExit(), AttributeError, "__enter__"),
    ("logging", DELETED, NameError, "name 'logging' is not defined"),
    ("logging", object(), AttributeError, "'object' object has no attribute 'getLogger'"),
    ("_LOGGERS", DELETED, NameError, "name '_LOGGERS' is not defined"),
    ("_LOGGERS", [], AttributeError, "'list' object has no attribute 'get'"),
    ("_LOGGERS", "layers", TypeError, "'>' not supported between instances of 'str' and 'int'"),
])
def test_close_with_unsuitable_global(unique_name, tmp_path, monkeypatch, glob, value, exc, text):
    path = tmp_path / "own.log"
    obj = OsprelLog(unique_name, file=str(path), console=False)
    handlers = list(obj._logger.handlers)
    obj.info("before")
    if value == "layers":   # a layer dict whose keys cannot be ordered
        value = {unique_name: {1: obj, "2": obj}}
    if value is DELETED:
        monkeypatch.delattr(log_main, glob)
    else:
        monkeypatch.setattr(log_main, glob, value)
    with pytest.raises(exc) as caught:
        obj.close()
    assert str(caught.value) == text and type(caught.value) is exc
    monkeypatch.undo()
    # Nothing was unwound: same handlers, same registration, still live.
    assert obj._logger.handlers == handlers and _LOGGERS[unique_name] == {1: obj}
    obj.info("after")
    assert obj.close() is None
    assert lines(path) == ["before", "after"]
    assert_module_works(unique_name, tmp_path)


@pytest.mark.parametrize("value, exc, text", [
    (DELETED, NameError, "name 'logging' is not defined"),
    (object(), AttributeError, "'object' object has no attribute 'INFO'"),
    (types.SimpleNamespace(INFO=True), TypeError, "Argument 'level' has incorrect type (expected int, got bool)"),
], ids=["deleted", "object", "bool-level"])
def test_emission_with_unsuitable_logging(unique_name, tmp_path, monkeypatch, value, exc, text):
    path = tmp_path / "own.log"
    obj = OsprelLog(unique_name, file=str(path), console=False)
    obj.info("before")
    if value is DELETED:
        monkeypatch.delattr(log_main, "logging")
    else:
        monkeypatch.setattr(log_main, "logging", value)
    for call in (lambda: obj.info("lost"), lambda: obj.info("lost", args=())):
        with pytest.raises(exc) as caught:
            call()
        assert str(caught.value) == text
    monkeypatch.undo()
    obj.info("after")
    assert lines(path) == ["before", "after"]
    assert obj.close() is None
    assert_module_works(unique_name, tmp_path)


# -- KeyboardInterrupt from a signal handler --------------------------------------------------------

class Spinner(logging.StreamHandler):
    """Spins in emit() or close() until a signal handler interrupts it (at most 5 s)."""

    def __init__(self):
        super().__init__(io.StringIO())
        self.spin_in = None
        self.timed_out = False
        self.messages = []

    def _spin(self, where):
        if self.spin_in == where:
            self.spin_in = None
            deadline = time.monotonic() + 5
            while time.monotonic() < deadline:
                pass
            self.timed_out = True

    def emit(self, record):
        self._spin("emit")
        self.messages.append(record.getMessage())

    def close(self):
        self._spin("close")
        super().close()


@pytest.fixture
def interrupt_soon():
    """Arms a one-shot timer whose signal handler raises KeyboardInterrupt."""
    def raise_interrupt(signum, frame):
        raise KeyboardInterrupt("from the signal handler")

    previous = signal.signal(signal.SIGALRM, raise_interrupt)
    yield lambda: signal.setitimer(signal.ITIMER_REAL, 0.05)
    signal.setitimer(signal.ITIMER_REAL, 0)
    signal.signal(signal.SIGALRM, previous)


def test_signal_interrupts_an_emission(unique_name, tmp_path, interrupt_soon):
    path = tmp_path / "own.log"
    obj = OsprelLog(unique_name, file=str(path), console=False)
    spinner = Spinner()
    obj._logger.addHandler(spinner)
    obj.info("before")
    spinner.spin_in = "emit"
    interrupt_soon()
    with pytest.raises(KeyboardInterrupt, match="from the signal handler"):
        obj.warning("interrupted")
    assert not spinner.timed_out
    assert not log_main._LOCK.locked() and lock_free_for_other_threads(spinner.lock)
    obj.error("after")
    # The file handler had written the interrupted record before the spinner got it.
    assert lines(path) == ["before", "interrupted", "after"]
    assert spinner.messages == ["before", "after"]
    assert obj.close() is None
    assert_module_works(unique_name, tmp_path)


@pytest.mark.parametrize("where", ["capture", "close"])
def test_signal_interrupts_while_the_lock_is_held(unique_name, tmp_path, interrupt_soon, where):
    path = tmp_path / "own.log"
    bottom = OsprelLog(unique_name, file=str(path), console=False)
    spinner = Spinner()
    bottom._logger.addHandler(spinner)
    spinner.spin_in = "close"
    interrupt_soon()
    with pytest.raises(KeyboardInterrupt, match="from the signal handler"):
        if where == "capture":   # console=True detaches the spinner: its close() spins
            OsprelLog(unique_name, level=logging.CRITICAL + 10, console=True, rehandler=True)
        else:
            bottom.close()
    assert not spinner.timed_out
    assert not log_main._LOCK.locked() and lock_free_for_other_threads(log_main._LOCK)
    assert _LOGGERS[unique_name] == {1: bottom} and unique_name not in _CAPTURES
    assert spinner not in bottom._logger.handlers or where == "capture"
    bottom.info("after")
    assert bottom.close() is None
    assert "after" in spinner.messages or where == "close"
    assert_module_works(unique_name, tmp_path)


# -- hostile objects ------------------------------------------------------------------------------

def test_options_dict_emptied_while_log_is_looked_up():
    # As in Python, `self._logger.log` is looked up before `**kwargs` is unpacked, so the
    # call sees the dict as it is then: empty. It must never see freed objects.
    result = run_python(textwrap.dedent("""
        import log_main
        received = []
        class Value:
            def __repr__(self):
                return "Value()"
        class Logger:
            @property
            def log(self):
                options.clear()
                return lambda *args, **kwargs: received.append((args, kwargs))
        obj = log_main._LogBase()
        obj._logger = Logger()
        options = {"extra": Value()}
        obj._log(10, ("x",), None, options)
        print(received)
    """))
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.strip() == "[((10, 'x'), {})]"


# Python code run in the middle of a lookup (a str-subclass key of the instance dict whose
# __eq__ is called while `_log` or `_logger` is looked up, a finaliser of the level constant)
# changes the class, the instance dict or logging: the call goes on with what it had found,
# as the same object written in Python would, and never touches what was freed.
HOOKED = textwrap.dedent("""
    import logging, log_main
    from log_main import OsprelLog
    seen = []
    class Keep(logging.Handler):
        def emit(self, record): seen.append(record.getMessage())
    o = OsprelLog("hooked", console=False)
    o._logger.handlers[:] = [Keep()]
    o.info("warm-up")
    armed, done = False, []
    def once():
        if not armed or done:
            return False
        done.append(1)
        return True
    def collide(name, eq):
        class Key(str):
            def __hash__(self): return hash(name)
            __eq__ = eq
        # The key ahead of `name` in the probe order, so the lookup of `name` compares with it.
        d = o.__dict__
        value = d.pop(name, None)
        d[Key("k")] = lambda *received: seen.append(received)
        if value is not None:
            d[name] = value
""")

COLLISIONS = {
    "class function deleted": ("""
        def eq(key, other):
            if once(): del log_main._LogBase._log
            return False
        collide("_log", eq)
        armed = True
        o.info("boom")
        try:
            o.info("gone")
        except AttributeError as exc:
            seen.append(str(exc))
    """, "['warm-up', 'boom', \"'_SetLogger' object has no attribute '_log'\"]"),
    "class function replaced": ("""
        def eq(key, other):
            if once(): log_main._LogBase._log = lambda self, level, message, *rest: seen.append(message)
            return False
        collide("_log", eq)
        armed = True
        o.info("boom")
        o.info("next")
    """, "['warm-up', 'boom', ('next',)]"),
    "instance dict replaced while _logger is read": ("""
        def eq(key, other):
            if once(): o.__dict__ = {"_logger": None}
            return False
        collide("_logger", eq)
        armed = True
        o.info("boom")   # the second read of _logger finds None: the failure is swallowed
        o.info("after")
    """, "['warm-up']"),
    "instance dict replaced while _log is read": ("""
        def eq(key, other):
            if once(): o.__dict__ = {}
            return True
        collide("_log", eq)
        armed = True
        o.info("boom")   # the colliding key's value is the instance's own _log
    """, "['warm-up', (20, ('boom',), None, None)]"),
    "level constant rebound by the old one's finaliser": ("""
        class Level:
            def __del__(self):
                logging.INFO = 25
        logging.INFO = Level()
        try:
            o.info("refused")
        except TypeError:
            pass
        logging.INFO = 15
        o._logger.handlers[:] = [type("H", (logging.Handler,), {"emit": lambda h, r: seen.append(r.levelno)})()]
        o.info("fifteen")   # dropping the old constant rebinds INFO: the next call sees it
        o.info("twenty-five")
    """, "['warm-up', 15, 25]"),
}


@pytest.mark.parametrize("case", list(COLLISIONS))
def test_code_run_inside_a_lookup(case):
    body, expected = COLLISIONS[case]
    result = run_python(HOOKED + textwrap.dedent(body) + "print(seen)\n", timeout=60)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.strip() == expected


def test_first_read_of_a_level_constant_sees_what_ran_during_it():
    # The first read of logging.INFO in the process: a key of logging's dict compared during the
    # read rebinds the module's `logging`; the next call reads the new one.
    result = run_python(textwrap.dedent("""
        import logging, types, log_main
        seen, calls = [], []
        lg = logging.getLogger("first"); lg.setLevel(1); lg.propagate = False
        lg.addHandler(type("Keep", (logging.Handler,), {"emit": lambda h, r: seen.append(r.levelno)})())
        o = log_main._LogBase(); o.enable(lg)
        class Key(str):
            def __hash__(self): return hash("INFO")
            def __eq__(self, other):
                calls.append(other)
                if len(calls) == 3:   # in the read that checks the value against logging's dict
                    log_main.logging = types.SimpleNamespace(INFO=7)
                return False
        d = vars(logging)
        info = d.pop("INFO"); d[Key("k")] = 0; d["INFO"] = info   # the key ahead of INFO
        o.info("a")
        o.info("b")
        print(seen)
    """), timeout=60)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.strip() == "[20, 7]"


# The check that a DEBUG record no handler takes can be dropped without the call: code it runs
# (a key of threading._active, a key of a handler class's dict, the loader of logging) clears
# the logger's attributes or rebinds logging.__file__. Freed memory is overwritten in the child
# (PYTHONMALLOC=malloc_debug), so a read of it fails at once.
DROPPED = textwrap.dedent("""
    import logging, threading, log_main
    o = log_main.OsprelLog("dropped", level=logging.INFO, console=False)
    lg = o._logger
    lg.handlers[:] = [logging.NullHandler(logging.INFO)]
    lg.isEnabledFor(50)   # a cache entry of its own, freed with the attributes
    armed = False
    def clear_logger():
        global armed
        if armed:
            armed = False
            d = lg.__dict__
            d[1] = 0   # the attributes leave the instance's inline layout
            d.clear()
""")
DROPPED_CASES = {
    "thread table key": """
        class Ident(int):
            def __hash__(self): return hash(threading.get_ident())
            def __eq__(self, other): clear_logger(); return False
        me = threading.get_ident()
        entry = threading._active.pop(me); threading._active[Ident(0)] = None; threading._active[me] = entry
    """,
    "handler class key": """
        class Key(str):
            def __hash__(self): return hash("level")
            def __eq__(self, other): clear_logger(); return False
        Quiet = type("Quiet", (logging.NullHandler,), {Key("k"): 1})
        lg.handlers[:] = [Quiet(logging.INFO)]
        Quiet.changed = True   # its lookups are made afresh
    """,
    "module file": """
        original = logging.__file__
        class Loader:
            @property
            def __name__(self):
                if armed: logging.__file__ = "".join(original)   # the one read before is let go
                return "SourceFileLoader"
        logging.__file__ = "".join(original)
        logging.__loader__ = Loader()
    """,
}


@pytest.mark.parametrize("case", list(DROPPED_CASES))
def test_code_run_inside_the_dropped_record_check(case):
    program = DROPPED + textwrap.dedent(DROPPED_CASES[case]) + "armed = True\no.debug('boom')\nprint('survived')\n"
    result = run_python(program, env={"PYTHONMALLOC": "malloc_debug"}, timeout=60)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.strip() == "survived"


@pytest.mark.parametrize("rebind, call", [
    ("log_main._LogBase._log = log_main._LogBase.info", "o.info('boom')"),
    ("log_main._LogBase._create_file_handler = log_main._SetLogger._setup_logger", "o._setup_logger()"),
], ids=["level method as _log", "setup as file handler step"])
def test_calls_that_never_leave_the_module_end_in_recursion_error(rebind, call):
    # Each call re-enters the module's own functions without a Python frame in between: the
    # recursion limit stops it, as it stops builtins calling each other.
    result = run_python(textwrap.dedent(f"""
        import log_main
        o = log_main.OsprelLog("recursive", console=False)
        {rebind}
        try:
            {call}
        except RecursionError as exc:
            print(exc)
    """), timeout=60)
    assert result.returncode == 0, result.stderr[-2000:]
    # The interpreter's own text for C code nested too deeply ("maximum recursion depth exceeded"
    # up to 3.13, "Stack overflow (used N kB)" since), from its JSON decoder's nesting.
    deep = raised_text(lambda: json.loads("[" * 10 ** 6)).split(" while ")[0]
    assert re.sub(r"\d+", "N", result.stdout).startswith(re.sub(r"\d+", "N", deep)), (result.stdout, deep)


@pytest.mark.slow
def test_a_child_that_hangs_fails_the_test_with_the_stacks_of_its_threads():
    # The harness's own guarantee: a set-up blocked behind another thread's (a FIFO nobody reads)
    # ends in an AssertionError that shows where both threads were, not a bare timeout.
    with pytest.raises(AssertionError) as hung:
        run_python(textwrap.dedent("""
            import os, threading, time, log_main
            os.mkfifo("pipe.log")
            def hold():
                log_main.OsprelLog("fifo", file="pipe.log", console=False)
            threading.Thread(target=hold, name="holder").start()
            while not log_main._LOCK.locked():
                time.sleep(0.01)
            log_main.OsprelLog("waiting", console=False)
        """), timeout=6)
    report = str(hung.value)
    assert "did not finish within 6 s" in report
    # One Python stack per thread (3.14+ adds the C stack of the current thread after them).
    assert len(re.findall(r"^(?:Current thread|Thread) 0x[0-9a-f]+ .*\(most recent call first\)", report, re.M)) == 2
    assert 'line 5 in hold' in report and 'line 9 in <module>' in report
