"""OsprelLog(...): the entry point, its lock and the choice between new and known names."""
import logging
import threading
import time
import types

import pytest

import log_main
from log_main import OsprelLog, _GetLogger, _LOGGERS, _LogBase, _SetLogger

MAKERS = {
    "call": OsprelLog,
    "__new__": lambda *args, **kwargs: OsprelLog.__new__(OsprelLog, *args, **kwargs),
}


@pytest.fixture
def root_logger():
    """The root logger, with its handlers, level and registry entry put back afterwards."""
    root = logging.getLogger()
    handlers, level, propagate = root.handlers[:], root.level, root.propagate
    saved = _LOGGERS.get("root")
    yield root
    for handler in root.handlers[:]:
        if handler not in handlers:
            root.removeHandler(handler)
            handler.close()
    root.setLevel(level)
    root.propagate = propagate
    if saved is None:
        _LOGGERS.pop("root", None)
    else:
        _LOGGERS["root"] = saved


@pytest.mark.parametrize("name", [None, ""])
def test_missing_name_means_root(root_logger, name):
    first = OsprelLog(name)
    second = OsprelLog(name, console=False)
    for obj in (first, second):
        assert type(obj) is _SetLogger
        assert obj.name == "root" and obj._logger is root_logger
    assert _LOGGERS["root"] == {1: second}
    assert root_logger.handlers[-2:] == [first._console_handler, second._console_handler]


@pytest.mark.parametrize("make", MAKERS.values(), ids=MAKERS)
def test_first_call_sets_up_second_call_captures(unique_name, make):
    first = make(unique_name)
    assert type(first) is _SetLogger and isinstance(first, _LogBase)
    assert not isinstance(first, OsprelLog)
    assert _LOGGERS[unique_name] == {1: first}

    second = make(unique_name)
    assert type(second) is _GetLogger and not isinstance(second, OsprelLog)
    assert second.name.startswith(unique_name + ".")
    assert _LOGGERS[unique_name] == {1: first}


def test_a_placeholder_name_is_captured(unique_name):
    logging.getLogger(f"{unique_name}.a.b")
    assert isinstance(logging.Logger.manager.loggerDict[unique_name], logging.PlaceHolder)
    child = OsprelLog(unique_name)
    assert type(child) is _GetLogger and child.name.startswith(unique_name + ".")
    taken = OsprelLog(unique_name, rehandler=True)
    assert type(taken) is _GetLogger and taken.name == unique_name
    assert unique_name not in _LOGGERS


def test_extra_keywords_reach_the_object(unique_name):
    options = {"maxBytes": 2048, "zeta": object(), "backupCount": 4}
    first = OsprelLog(unique_name, file="a.log", handler_type="rotating", **options)
    assert first.kwargs == options and list(first.kwargs) == list(options)
    assert first.kwargs is not options
    assert (first._file_handler.maxBytes, first._file_handler.backupCount) == (2048, 4)

    options = {"backupCount": 2, "when": "H"}
    second = OsprelLog(unique_name, file="b.log", handler_type="timerotating", **options)
    assert type(second) is _GetLogger
    assert second.kwargs == options and list(second.kwargs) == list(options)
    assert second.kwargs is not options
    assert (second._file_handler.when, second._file_handler.backupCount) == ("H", 2)


# -- the lock -----------------------------------------------------------------------------------

def _conflict(path):
    OsprelLog(path.stem + "_other", file=str(path), handler_type="file")


def _unknown_kind(path):
    OsprelLog(path.stem + "_other", file="other.log", handler_type="daily")


@pytest.mark.parametrize("fail", [_conflict, _unknown_kind])
def test_lock_is_released_after_an_exception(unique_name, tmp_path, fail):
    path = tmp_path / f"{unique_name}.log"
    OsprelLog(unique_name, file=str(path), handler_type="rotating")
    with pytest.raises(ValueError):
        fail(path)
    assert not log_main._LOCK.locked()
    assert unique_name + "_other" not in _LOGGERS
    assert type(OsprelLog(unique_name + "_next")) is _SetLogger


class RecordingLock:
    def __init__(self):
        self.inner = threading.Lock()
        self.calls = []

    def __enter__(self):
        self.calls.append("enter")
        return self.inner.__enter__()

    def __exit__(self, kind, value, traceback):
        self.calls.append(("exit", kind))
        self.inner.__exit__(kind, value, traceback)


def test_replaced_lock_is_entered_and_left(unique_name, tmp_path, monkeypatch):
    path = str(tmp_path / "a.log")
    lock = RecordingLock()
    with monkeypatch.context() as patch:
        patch.setattr(log_main, "_LOCK", lock)
        obj = OsprelLog(unique_name, file=path, handler_type="rotating")
        with pytest.raises(ValueError):
            OsprelLog(unique_name + "_b", file=path, handler_type="file")
        obj.close()
    assert lock.calls == ["enter", ("exit", None), "enter", ("exit", ValueError),
                          "enter", ("exit", None)]
    assert not lock.inner.locked()


class OnlyEnter:
    def __init__(self):
        self.entered = False

    def __enter__(self):
        self.entered = True


class OnlyExit:
    def __init__(self):
        self.entered = False

    def __exit__(self, *exc):
        raise AssertionError("left without being entered")


class Neither:
    entered = False


def _instance_level():
    holder = types.SimpleNamespace(entered=False)
    holder.__enter__ = lambda: setattr(holder, "entered", True)
    holder.__exit__ = lambda *exc: None
    return holder


@pytest.mark.parametrize("make_lock, missing", [
    (OnlyEnter, "__exit__"),
    (Neither, "__exit__"),
    (_instance_level, "__exit__"),
    (OnlyExit, "__enter__"),
])
@pytest.mark.parametrize("closing", [False, True], ids=["factory", "close"])
def test_lock_without_context_methods(unique_name, monkeypatch, make_lock, missing, closing):
    obj = OsprelLog(unique_name) if closing else None
    lock = make_lock()
    with monkeypatch.context() as patch:
        patch.setattr(log_main, "_LOCK", lock)
        with pytest.raises(AttributeError) as caught:
            obj.close() if closing else OsprelLog(unique_name)
    assert caught.value.args == (missing,)
    assert lock.entered is False
    if closing:
        assert _LOGGERS[unique_name] == {1: obj} and obj._logger.handlers
    else:
        assert unique_name not in logging.Logger.manager.loggerDict


def test_two_threads_asking_for_one_new_name(unique_name, monkeypatch):
    class SlowSetLogger(_SetLogger):
        def __init__(self, *args, **kwargs):
            assert log_main._LOCK.locked()
            time.sleep(0.2)
            super().__init__(*args, **kwargs)

    monkeypatch.setattr(log_main, "_SetLogger", SlowSetLogger)
    barrier = threading.Barrier(2)
    results, errors = [], []

    def ask():
        barrier.wait()
        try:
            results.append(OsprelLog(unique_name, console=False))
        except BaseException as error:  # reported below
            errors.append(error)

    threads = [threading.Thread(target=ask) for _ in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(10)
    assert errors == []
    assert sorted(type(r).__name__ for r in results) == ["SlowSetLogger", "_GetLogger"]
    made = next(r for r in results if type(r) is SlowSetLogger)
    assert _LOGGERS[unique_name] == {1: made}
