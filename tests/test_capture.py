"""Serving a name that logging already knows: private child loggers and take-overs."""
import io
import logging
import uuid
from logging.handlers import RotatingFileHandler, TimedRotatingFileHandler

import pytest

import log_main
from log_main import OsprelLog, _CAPTURES, _GetLogger, _LOGGERS
from thirdparty import ListHandler, ThirdParty

RECORD_KEYS = ["id", "type", "level", "name", "filters", "formatter", "kwargs"]
TIMED_KEYS = ["filename", "encoding", "delay", "errors", "when", "interval", "backupCount", "utc",
              "atTime"]


def entry_of(name, index=0):
    return _CAPTURES[name][index]


def record_of(handler, name, index=0):
    entry = entry_of(name, index)
    return entry["handlers"][entry["handler_ids"].index(id(handler))]


# -- default mode ------------------------------------------------------------------------------

def test_default_mode_works_on_private_children(unique_name, tmp_path):
    layer1 = OsprelLog(unique_name, file="base.log")
    logger = logging.getLogger(unique_name)
    before = logger.handlers[:]
    layers_before = dict(_LOGGERS[unique_name])

    first = OsprelLog(unique_name, logging.WARNING, file="child.log")
    second = OsprelLog(unique_name, console=False)

    assert type(first) is _GetLogger and type(second) is _GetLogger
    for child in (first, second):
        prefix, dot, suffix = child.name.partition(".")
        assert (prefix, dot) == (unique_name, ".")
        assert len(suffix) == 36 and str(uuid.UUID(suffix)) == suffix
        assert uuid.UUID(suffix).version == 4
        assert child._logger is logging.getLogger(child.name)
        assert child._logger.level == logging.DEBUG and child._logger.propagate is False
    assert first.name != second.name and first._logger is not second._logger

    assert first._logger.handlers == [first._console_handler, first._file_handler]
    assert first._file_handler.baseFilename == str(tmp_path / "child.log")
    assert first._file_handler.level == logging.WARNING
    assert second._logger.handlers == []

    assert logger.handlers == before
    assert _LOGGERS[unique_name] == layers_before and unique_name not in _CAPTURES
    assert first.name not in _LOGGERS and first.name not in _CAPTURES
    assert layer1._logger is logger

    first.warning("from", "child")
    layer1.warning("from", "base")
    child_text = (tmp_path / "child.log").read_text(encoding="utf-8")
    base_text = (tmp_path / "base.log").read_text(encoding="utf-8")
    assert f"{first.name} - WARNING - from child" in child_text and "from base" not in child_text
    assert "from base" in base_text and "from child" not in base_text


def test_default_mode_leaves_a_foreign_logger_alone(unique_name, tmp_path):
    party = ThirdParty(unique_name, tmp_path)
    child = OsprelLog(unique_name, console=False)
    assert party.logger.handlers == party.handlers
    assert all(h.stream is not None for h in party.file_handlers)
    assert unique_name not in _CAPTURES and unique_name not in _LOGGERS
    child.info("quiet")
    assert party.listing.messages == ["before"]


# -- handler records ---------------------------------------------------------------------------

def test_take_over_records_every_handler(unique_name, tmp_path):
    party = ThirdParty(unique_name, tmp_path)
    obj = OsprelLog(unique_name, rehandler=True)

    entry = entry_of(unique_name)
    assert list(entry) == ["handlers", "handler_ids"]
    assert entry["handler_ids"] == [id(h) for h in party.handlers]
    for handler, record in zip(party.handlers, entry["handlers"]):
        assert type(record) is dict
        assert list(record)[:6] == RECORD_KEYS[:6]
        assert record["id"] == id(handler)
        assert record["type"] is type(handler)
        assert record["level"] == handler.level and record["name"] == handler.name
        assert record["filters"] is handler.filters
        assert record["formatter"] is handler.formatter

    listing, console, plain, sized, timed = entry["handlers"]
    assert "kwargs" not in listing
    assert list(console) == RECORD_KEYS and console["kwargs"] == {"stream": party.stream}
    assert console["kwargs"]["stream"] is party.stream
    assert plain["kwargs"] == {"filename": party.plain.baseFilename, "mode": "a",
                               "encoding": "utf-8", "delay": False, "errors": None}
    assert list(plain["kwargs"]) == ["filename", "mode", "encoding", "delay", "errors"]
    assert list(sized["kwargs"]) == ["filename", "mode", "encoding", "delay", "errors",
                                     "maxBytes", "backupCount"]
    assert (sized["kwargs"]["maxBytes"], sized["kwargs"]["backupCount"]) == (4096, 3)
    assert list(timed["kwargs"]) == TIMED_KEYS
    assert timed["kwargs"] == {"filename": party.timed.baseFilename, "encoding": "utf-8",
                               "delay": False, "errors": None, "when": "H", "interval": 2,
                               "backupCount": 5, "utc": True, "atTime": None}
    assert obj.rehandler is True and obj.name == unique_name


@pytest.mark.parametrize("when, interval, expected", [
    ("S", 5, 5), ("M", 3, 3), ("H", 2, 2), ("D", 2, 2), ("midnight", 1, 1), ("W3", 1, 1),
    ("W0", 2, 2),
    # A float interval that divides exactly is recorded as an int as well.
    ("H", 2.0, 2), ("M", 3.0, 3), ("W2", 1.0, 1), ("MIDNIGHT", 2.0, 2),
])
def test_time_rotating_interval_is_recorded_in_units(unique_name, tmp_path, when, interval,
                                                     expected):
    handler = TimedRotatingFileHandler(tmp_path / "t.log", when=when, interval=interval)
    logging.getLogger(unique_name).addHandler(handler)
    OsprelLog(unique_name, rehandler=True, console=False)
    options = record_of(handler, unique_name)["kwargs"]
    assert options["when"] == when.upper()
    assert options["interval"] == expected and type(options["interval"]) is int
    assert "mode" not in options


def test_time_rotating_interval_that_does_not_divide(unique_name, tmp_path):
    handler = TimedRotatingFileHandler(tmp_path / "t.log", when="M")
    handler.interval = 90
    logging.getLogger(unique_name).addHandler(handler)
    OsprelLog(unique_name, rehandler=True, console=False)
    assert record_of(handler, unique_name)["kwargs"]["interval"] == 1.5


@pytest.mark.parametrize("cls", [logging.FileHandler, RotatingFileHandler])
@pytest.mark.parametrize("mode, recorded", [
    ("w", "a"), ("w+", "a+"), ("x", "a"), ("x+", "a+"), ("a", "a"), ("a+", "a+"),
])
def test_truncating_modes_are_recorded_as_append(unique_name, tmp_path, cls, mode, recorded):
    handler = cls(tmp_path / "m.log", mode=mode, encoding="utf-8")
    assert handler.mode == mode
    logging.getLogger(unique_name).addHandler(handler)
    OsprelLog(unique_name, rehandler=True, console=False)
    assert record_of(handler, unique_name)["kwargs"]["mode"] == recorded


@pytest.mark.parametrize("make", [
    lambda path: logging.NullHandler(),
    lambda path: logging.handlers.MemoryHandler(10),
    lambda path: ListHandler(),
])
def test_handlers_outside_the_stream_family_have_no_kwargs(unique_name, make, tmp_path):
    handler = make(tmp_path)
    logging.getLogger(unique_name).addHandler(handler)
    OsprelLog(unique_name, rehandler=True, file="own.log")
    record = record_of(handler, unique_name)
    assert list(record) == RECORD_KEYS[:6]
    assert logging.getLogger(unique_name).handlers[0] is handler


# -- what is detached ---------------------------------------------------------------------------

@pytest.mark.parametrize("console, file, detached", [
    (True, None, ["console", "plain", "sized", "timed"]),
    ("yes", "own.log", ["console", "plain", "sized", "timed"]),
    (False, "own.log", ["plain", "sized", "timed"]),
    (0, None, []),
])
def test_detach_rule(unique_name, tmp_path, console, file, detached):
    party = ThirdParty(unique_name, tmp_path)
    obj = OsprelLog(unique_name, file=file, console=console, rehandler=True)
    logger = party.logger
    gone = [attr for attr in ("console", "plain", "sized", "timed")
            if getattr(party, attr) not in logger.handlers]
    assert gone == detached
    for attr in detached:
        handler = getattr(party, attr)
        if handler in party.file_handlers:
            assert handler.stream is None
    kept = [h for h in party.handlers if h in logger.handlers]
    own = [h for h in (obj._console_handler, obj._file_handler) if h is not None]
    assert logger.handlers == kept + own
    assert bool(obj._console_handler) == bool(console)
    assert (obj._file_handler is not None) == bool(file)
    assert len(entry_of(unique_name)["handlers"]) == 5
    assert logger.level == logging.DEBUG and logger.propagate is False


class StubbornHandler(logging.StreamHandler):
    def __init__(self, error):
        super().__init__(io.StringIO())
        self.error = error

    def close(self):
        if self.error is not None:
            error, self.error = self.error, None
            raise error
        super().close()


def test_failing_close_while_detaching_is_swallowed(unique_name):
    logger = logging.getLogger(unique_name)
    stubborn = StubbornHandler(ValueError("no"))
    plain = logging.StreamHandler(io.StringIO())
    logger.addHandler(stubborn)
    logger.addHandler(plain)
    obj = OsprelLog(unique_name, rehandler=True)
    assert logger.handlers == [stubborn, obj._console_handler]
    assert entry_of(unique_name)["handler_ids"] == [id(stubborn), id(plain)]


def test_base_exception_while_detaching_propagates(unique_name):
    logger = logging.getLogger(unique_name)
    stubborn = StubbornHandler(KeyboardInterrupt())
    logger.addHandler(stubborn)
    with pytest.raises(KeyboardInterrupt):
        OsprelLog(unique_name, rehandler=True)
    assert not log_main._LOCK.locked()
    assert unique_name not in _CAPTURES
    logger.removeHandler(stubborn)


# -- capture entries and layers -----------------------------------------------------------------

def test_take_over_of_an_unregistered_logger(unique_name, tmp_path):
    party = ThirdParty(unique_name, tmp_path)
    obj = OsprelLog(unique_name, rehandler=True)
    assert list(_CAPTURES[unique_name]) == [0]
    assert unique_name not in _LOGGERS
    assert party.logger.handlers == [party.listing, obj._console_handler]
    assert obj._console_handler.filters == [obj._handler_filter]
    assert party.listing.filters == party.filters


def test_logger_without_handlers_is_not_recorded(unique_name):
    logging.getLogger(f"{unique_name}.child")
    obj = OsprelLog(unique_name, rehandler=True)
    assert obj.name == unique_name
    assert unique_name not in _CAPTURES and unique_name not in _LOGGERS
    assert obj._logger.handlers == [obj._console_handler]


def test_takeovers_stack_layers(unique_name, tmp_path):
    layer1 = OsprelLog(unique_name, file="app.log")
    logger = layer1._logger
    layer1_handlers = logger.handlers[:]

    layer2 = OsprelLog(unique_name, file="app.log", console=False, rehandler=True)
    assert _LOGGERS[unique_name] == {1: layer1, 2: layer2}
    assert layer1._logger is None and layer2._logger is logger
    assert list(_CAPTURES[unique_name]) == [1]
    assert entry_of(unique_name, 1)["handler_ids"] == [id(h) for h in layer1_handlers]
    assert logger.handlers == [layer1._console_handler, layer2._file_handler]
    layer2.error("second")
    assert "second" in (tmp_path / "app.log").read_text(encoding="utf-8")
    layer2_handlers = logger.handlers[:]

    layer3 = OsprelLog(unique_name, rehandler=True)
    assert _LOGGERS[unique_name] == {1: layer1, 2: layer2, 3: layer3}
    assert layer2._logger is None and layer3._logger is logger
    assert list(_CAPTURES[unique_name]) == [1, 2]
    assert entry_of(unique_name, 2)["handler_ids"] == [id(h) for h in layer2_handlers]
    assert logger.handlers == [layer3._console_handler]
    assert layer2._file_handler.stream is None

    layer1.error("silent")
    layer2.error("silent")
    text = (tmp_path / "app.log").read_text(encoding="utf-8")
    assert "silent" not in text


def test_second_takeover_of_unregistered_logger_replaces_entry(unique_name, tmp_path):
    party = ThirdParty(unique_name, tmp_path)
    first = OsprelLog(unique_name, rehandler=True)
    OsprelLog(unique_name, rehandler=True)
    assert list(_CAPTURES[unique_name]) == [0]
    assert entry_of(unique_name)["handler_ids"] == [id(party.listing), id(first._console_handler)]
    assert unique_name not in _LOGGERS
