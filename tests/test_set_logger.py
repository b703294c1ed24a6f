"""Setting up a logger the logging manager does not know yet."""
import logging
import os

import pytest

import log_main
from conftest import Tracer

ATTRS = ["name", "file", "handler_type", "file_level", "console", "console_level", "kwargs", "_logger",
         "_file_handler", "_console_handler", "_handler_filter"]


@pytest.mark.parametrize("known_as", ["logger", "placeholder"])
def test_known_name_refused(unique_name, known_as):
    if known_as == "logger":
        logging.getLogger(unique_name)
    else:
        logging.getLogger(unique_name + ".child")
    entry = logging.Logger.manager.loggerDict[unique_name]
    with pytest.raises(ValueError):
        log_main._SetLogger(unique_name, logging.INFO, "app.log", "rotating")
    assert logging.Logger.manager.loggerDict[unique_name] is entry
    assert not os.path.exists("app.log")
    if known_as == "logger":
        assert (entry.level, entry.propagate, entry.handlers) == (logging.NOTSET, True, [])


@pytest.mark.parametrize("spelling", [
    "logs/app.log",
    "./logs/app.log",
    "logs//app.log",
    "logs/sub/../app.log",
    "{tmp}/logs/app.log",
    "{tmp}//logs/./app.log",
])
def test_file_claimed_by_another_kind_refused(make, unique_name, tmp_path, spelling):
    make(logging.DEBUG, "logs/app.log", "rotating", False)
    file = spelling.format(tmp=tmp_path)
    before = dict(log_main._FHANDLERS)
    with pytest.raises(ValueError):
        log_main._SetLogger(unique_name, logging.DEBUG, file, "file")
    assert log_main._FHANDLERS == before
    assert unique_name not in logging.Logger.manager.loggerDict


@pytest.mark.parametrize("case", ["logger", "placeholder", "conflict"])
def test_refusal_texts(make, unique_name, case):
    if case == "conflict":
        make(logging.DEBUG, "logs/app.log", "timerotating", False)
        file = "./logs//app.log"
        expected = f"处理器冲突：日志文件 {file} 新增处理器类型 rotating 与已有处理器类型 timerotating 冲突"
    else:
        logging.getLogger(unique_name if case == "logger" else unique_name + ".x.y")
        file, expected = None, f"{unique_name} 已存在"
    with pytest.raises(ValueError) as caught:
        log_main._SetLogger(unique_name, logging.DEBUG, file, "rotating")
    assert str(caught.value) == expected


def test_same_kind_shares_the_file(make, tmp_path):
    first = make(logging.DEBUG, "logs/app.log", "rotating", False)
    second = make(logging.DEBUG, "./logs//app.log", "rotating", False)
    assert second.file == first.file == str(tmp_path / "logs" / "app.log")
    assert log_main._FHANDLERS[first.file] == "rotating"
    first.info("from first")
    second.info("from second")
    for obj in (first, second):
        obj._file_handler.flush()
    text = (tmp_path / "logs" / "app.log").read_text()
    assert f"{first.name} - INFO - from first\n" in text and f"{second.name} - INFO - from second\n" in text


def test_attributes_and_prepared_logger(make, tmp_path):
    obj = make(logging.ERROR, "logs/app.log", "timerotating", 0, maxBytes=1000, custom="x")
    assert list(obj.__dict__) == ATTRS
    assert (obj.file, obj.handler_type, obj.file_level, obj.console_level) == (
        str(tmp_path / "logs" / "app.log"), "timerotating", logging.ERROR, logging.ERROR)
    assert obj.console == 0 and type(obj.console) is int and obj._console_handler is None
    assert obj.kwargs == {"maxBytes": 1000, "custom": "x"}
    logger = obj._logger
    assert logger is logging.getLogger(obj.name)
    assert (logger.level, logger.propagate, logger.handlers) == (logging.DEBUG, False, [obj._file_handler])


def test_console_handler_first_then_file_handler(make):
    obj = make(logging.WARNING, "app.log", "file", "yes")
    logger, filt = obj._logger, obj._handler_filter
    assert obj.console == "yes"
    assert logger.handlers == [obj._console_handler, obj._file_handler]
    assert type(filt) is log_main._ContextFilter and filt._logger_name == obj.name
    for handler in logger.handlers:
        assert handler.level == logging.WARNING and handler.filters == [filt]


@pytest.mark.parametrize("file", [None, ""])
@pytest.mark.parametrize("console", [False, 0, True])
def test_without_file_console_is_forced(make, file, console):
    before = dict(log_main._FHANDLERS)
    obj = make(logging.INFO, file, "no such kind", console)
    assert obj.file is None and obj.console is True and obj._file_handler is None
    assert obj._logger.handlers == [obj._console_handler] and obj._console_handler.level == logging.INFO
    assert log_main._FHANDLERS == before


def test_file_normalisation_fetches_normpath_before_abspath(monkeypatch, tmp_path, unique_name):
    events = []
    path = Tracer("os.path", os.path, events)
    monkeypatch.setattr(log_main, "os", Tracer("os", os, events, {"path": path}))
    monkeypatch.setitem(log_main._FHANDLERS, str(tmp_path / "a.log"), "rotating")
    with pytest.raises(ValueError, match="处理器冲突"):
        log_main._SetLogger(unique_name, 10, "a.log", "file")
    fetched = [e for e in events if e in ("os.path.abspath", "os.path.normpath")]
    assert fetched == ["os.path.normpath", "os.path.abspath"]


def test_setup_logger_fetches_set_level_before_debug(monkeypatch, unique_name):
    events = []

    class Logger:
        def __getattr__(self, name):
            events.append(f"logger.{name}")
            return lambda *args: None

        def __setattr__(self, name, value):
            events.append(f"set logger.{name}")

    monkeypatch.setattr(log_main, "logging",
                        Tracer("logging", logging, events, {"getLogger": lambda name: Logger()}))

    class Quiet(log_main._SetLogger):
        def _create_console_handler(self):
            pass

        def _create_file_handler(self):
            pass

    obj = Quiet.__new__(Quiet)
    obj.name = unique_name
    obj._setup_logger()
    assert events[:4] == ["logging.getLogger", "logger.setLevel", "logging.DEBUG", "set logger.propagate"]
