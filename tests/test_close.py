"""close(): unwinding the top layer and giving a taken-over logger its handlers back."""
import datetime
import io
import logging
import os
import sys
import types
from logging.handlers import RotatingFileHandler, TimedRotatingFileHandler

import pytest

import log_main
from log_main import OsprelLog, _CAPTURES, _LOGGERS
from thirdparty import ListHandler, ThirdParty


def _same_settings(rebuilt, original):
    assert type(rebuilt) is type(original) and rebuilt is not original
    assert rebuilt.level == original.level
    assert rebuilt.filters == original.filters
    assert rebuilt.filters is not original.filters
    assert rebuilt.formatter is original.formatter
    if isinstance(original, logging.FileHandler):
        assert rebuilt.baseFilename == original.baseFilename
        assert rebuilt.encoding == original.encoding
    else:
        assert rebuilt.stream is original.stream


def test_close_gives_a_foreign_logger_back(unique_name, tmp_path):
    party = ThirdParty(unique_name, tmp_path)
    timed_path = tmp_path / "timed.log"
    obj = OsprelLog(unique_name, file="own.log", rehandler=True)
    late = ListHandler()
    party.logger.addHandler(late)
    obj.error("during")
    own = [obj._console_handler, obj._file_handler]
    fhandlers = dict(log_main._FHANDLERS)
    # The time-rotating schedule of a file that exists starts from its last write.
    started = party.timed.rolloverAt - party.timed.interval
    os.utime(timed_path, (started, started))

    assert obj.close() is None

    logger = party.logger
    assert logger.handlers[0] is party.listing and not party.listing.closed
    assert late not in logger.handlers and late.closed
    assert own[1].stream is None and not any(h in logger.handlers for h in own)
    rebuilt = logger.handlers[1:]
    assert len(rebuilt) == 4
    for new, old in zip(rebuilt, party.handlers[1:]):
        _same_settings(new, old)
    console, plain, sized, timed = rebuilt
    assert plain.mode == "a" and sized.mode == "a"
    assert (sized.maxBytes, sized.backupCount) == (4096, 3)
    assert (timed.when, timed.interval, timed.backupCount, timed.utc, timed.atTime) == \
        ("H", 7200, 5, True, None)
    assert timed.rolloverAt == party.timed.rolloverAt

    assert obj._logger is None
    assert unique_name not in _CAPTURES and unique_name not in _LOGGERS
    assert log_main._FHANDLERS == fhandlers

    logger.error("after")
    logger.info("quiet")
    assert party.stream.getvalue() == f"ERROR|{unique_name}|before\nERROR|{unique_name}|after\n"
    assert party.listing.messages == ["before", "during", "after", "quiet"]
    expected = {"plain.log": ["before", "after", "quiet"], "sized.log": ["before", "after"],
                "timed.log": ["before", "after", "quiet"]}
    for file, lines in expected.items():
        text = (tmp_path / file).read_text(encoding="utf-8")
        assert text == "".join(f"{'INFO' if m == 'quiet' else 'ERROR'}|{unique_name}|{m}\n"
                               for m in lines)
    assert "during" in (tmp_path / "own.log").read_text(encoding="utf-8")


@pytest.mark.parametrize("when, interval, at_time", [
    ("H", 2, None),
    ("M", 5, None),
    ("D", 3, None),
    ("midnight", 1, datetime.time(3, 30)),
    ("midnight", 2, None),
    ("W2", 1, datetime.time(12, 0)),
])
def test_rebuilt_time_rotation_rolls_over_at_the_same_moments(unique_name, tmp_path, when,
                                                             interval, at_time):
    path = tmp_path / "t.log"
    original = TimedRotatingFileHandler(path, when=when, interval=interval, atTime=at_time,
                                        backupCount=2)
    logger = logging.getLogger(unique_name)
    logger.addHandler(original)
    logger.error("x")
    started = 1_700_000_000
    os.utime(path, (started, started))
    original.rolloverAt = original.computeRollover(started)

    OsprelLog(unique_name, rehandler=True).close()

    (rebuilt,) = logger.handlers
    assert rebuilt is not original
    assert (rebuilt.when, rebuilt.interval, rebuilt.atTime, rebuilt.utc, rebuilt.backupCount) == \
        (original.when, original.interval, original.atTime, original.utc, original.backupCount)
    assert rebuilt.rolloverAt == original.rolloverAt
    for moment in range(started, started + 30 * 86400, 7 * 3600 + 13):
        assert rebuilt.computeRollover(moment) == original.computeRollover(moment)


def test_module_time_rotating_handler_is_rebuilt(unique_name, tmp_path):
    layer1 = OsprelLog(unique_name, file="app.log", handler_type="timerotating", console=False)
    original = layer1._file_handler
    layer2 = OsprelLog(unique_name, file="other.log", rehandler=True)
    assert original.stream is None
    layer2.close()
    (rebuilt,) = layer1._logger.handlers
    assert type(rebuilt) is TimedRotatingFileHandler and rebuilt is not original
    assert (rebuilt.baseFilename, rebuilt.when, rebuilt.interval, rebuilt.backupCount) == \
        (original.baseFilename, "MIDNIGHT", 86400, 365)
    assert rebuilt.rolloverAt == original.rolloverAt
    layer1.info("back")
    assert "back" in (tmp_path / "app.log").read_text(encoding="utf-8")


def test_rebuilt_time_rotating_handler_keeps_its_namer(unique_name, tmp_path):
    # The module's own "timerotating" handler is taken over and given back: the
    # rebuilt handler still names rotated files app.<date>.log.
    path = str(tmp_path / "app.log")
    bottom = OsprelLog(unique_name, file=path, handler_type="timerotating", console=False)
    namer = bottom._file_handler.namer
    top = OsprelLog(unique_name, file=str(tmp_path / "other.log"), console=False, rehandler=True)
    top.close()
    (rebuilt,) = logging.getLogger(unique_name).handlers
    assert rebuilt is not bottom._file_handler and rebuilt.namer is namer
    assert rebuilt.namer(path + ".2024-05-01") == str(tmp_path / "app.2024-05-01.log")
    bottom.close()


@pytest.mark.parametrize("cls", [logging.FileHandler, RotatingFileHandler])
@pytest.mark.parametrize("mode, rebuilt_mode", [("w", "a"), ("w+", "a+")])
def test_restore_never_truncates(unique_name, tmp_path, cls, mode, rebuilt_mode):
    path = tmp_path / "keep.log"
    path.write_text("old\n", encoding="utf-8")
    handler = cls(path, mode=mode, encoding="utf-8")
    logger = logging.getLogger(unique_name)
    logger.addHandler(handler)
    logger.error("first")
    OsprelLog(unique_name, file="own.log", console=False, rehandler=True).close()
    (rebuilt,) = logger.handlers
    assert rebuilt.mode == rebuilt_mode
    logger.error("second")
    assert path.read_text(encoding="utf-8") == "first\nsecond\n"


def test_restored_stream_handler_keeps_its_stream(unique_name, capsys):
    logger = logging.getLogger(unique_name)
    handler = logging.StreamHandler(sys.stdout)
    logger.addHandler(handler)
    OsprelLog(unique_name, rehandler=True).close()
    (rebuilt,) = logger.handlers
    assert rebuilt.stream is sys.stdout
    logger.error("to stdout")
    out, err = capsys.readouterr()
    assert out == "to stdout\n" and "to stdout" not in err


def test_unwinding_three_layers(unique_name, tmp_path):
    layer1 = OsprelLog(unique_name, file="app.log")
    logger = layer1._logger
    layer2 = OsprelLog(unique_name, file="two.log", console=False, rehandler=True)
    layer3 = OsprelLog(unique_name, rehandler=True)
    layer3_console = layer3._console_handler
    entry1 = _CAPTURES[unique_name][1]
    fhandlers = dict(log_main._FHANDLERS)

    layer3.close()
    assert list(_LOGGERS[unique_name]) == [1, 2]
    assert _CAPTURES[unique_name] == {1: entry1}
    assert layer3._logger is None and layer2._logger is logger and layer1._logger is None
    assert layer3_console not in logger.handlers
    assert [type(h) for h in logger.handlers] == [logging.StreamHandler, logging.FileHandler]
    assert logger.handlers[1].baseFilename == str(tmp_path / "two.log")
    layer2.error("two again")
    assert "two again" in (tmp_path / "two.log").read_text(encoding="utf-8")

    layer2.close()
    assert list(_LOGGERS[unique_name]) == [1]
    assert unique_name not in _CAPTURES
    assert layer2._logger is None and layer1._logger is logger
    assert [type(h) for h in logger.handlers] == [logging.StreamHandler, logging.FileHandler]
    assert logger.handlers[1].baseFilename == str(tmp_path / "app.log")
    assert logger.handlers[0].filters == [layer1._handler_filter]
    layer1.error("one again")
    assert "one again" in (tmp_path / "app.log").read_text(encoding="utf-8")
    assert "one again" not in (tmp_path / "two.log").read_text(encoding="utf-8")

    attached = logger.handlers[:]
    layer1.close()
    assert unique_name not in _LOGGERS and unique_name not in _CAPTURES
    assert logger.handlers == [] and attached[1].stream is None
    assert layer1._logger is None
    assert log_main._FHANDLERS == fhandlers


def test_close_on_a_lower_layer_unwinds_the_top(unique_name):
    layer1 = OsprelLog(unique_name)
    layer2 = OsprelLog(unique_name, rehandler=True)
    layer1.close()
    assert _LOGGERS[unique_name] == {1: layer1}
    assert layer2._logger is None and layer1._logger is logging.getLogger(unique_name)
    assert unique_name not in _CAPTURES
    layer1.close()
    assert unique_name not in _LOGGERS


def test_close_reads_the_layer_registry_again_after_the_sweep(unique_name, monkeypatch):
    obj = OsprelLog(unique_name, console=True)
    monkeypatch.setattr(log_main, "_LOGGERS", log_main._LOGGERS)  # restored afterwards
    original = log_main._LOGGERS
    disabled = []

    class Stand:
        def disable(self):
            disabled.append(self)

    stand = Stand()

    class Rebinding(logging.Handler):
        def emit(self, record):
            pass

        def close(self):
            log_main._LOGGERS = {unique_name: {1: stand}}
            super().close()

    logging.getLogger(unique_name).addHandler(Rebinding())
    obj.close()
    assert disabled == [stand]
    assert unique_name not in log_main._LOGGERS
    assert original[unique_name] == {1: obj}
    original.pop(unique_name)


# -- names without layers -----------------------------------------------------------------------

def test_close_of_a_private_child(unique_name, tmp_path):
    base = OsprelLog(unique_name)
    child = OsprelLog(unique_name, file="child.log")
    child_logger = child._logger
    file_handler = child._file_handler
    layers = dict(_LOGGERS[unique_name])
    assert child.close() is None
    assert child_logger.handlers == [] and file_handler.stream is None
    assert child._logger is None and base._logger is logging.getLogger(unique_name)
    assert _LOGGERS[unique_name] == layers
    assert child.name not in _LOGGERS and child.name not in _CAPTURES


def test_second_close_removes_what_is_left(unique_name):
    obj = OsprelLog(unique_name)
    obj.close()
    stray = ListHandler()
    obj_logger = logging.getLogger(unique_name)
    obj_logger.addHandler(stray)
    assert obj.close() is None
    assert obj_logger.handlers == [] and stray.closed
    assert unique_name not in _LOGGERS and unique_name not in _CAPTURES


# -- malformed capture entries ------------------------------------------------------------------

def _corrupt(entry, key, value):
    entry[key] = value


def _record_options(entry, value):
    entry["handlers"][0]["kwargs"] = value


@pytest.mark.parametrize("spoil, error", [
    (lambda e: _corrupt(e, "handlers", tuple(e["handlers"])), "Expected list, got tuple"),
    (lambda e: _corrupt(e, "handler_ids", dict.fromkeys(e["handler_ids"])),
     "Expected list, got dict"),
    (lambda e: _corrupt(e, "handlers", None), "'NoneType' object is not iterable"),
    (lambda e: _record_options(e, None), "argument after ** must be a mapping, not NoneType"),
])
def test_malformed_capture_entry(unique_name, spoil, error):
    layer1 = OsprelLog(unique_name)
    layer2 = OsprelLog(unique_name, rehandler=True)
    spoil(_CAPTURES[unique_name][1])
    with pytest.raises(TypeError) as caught:
        layer2.close()
    assert str(caught.value) == error
    assert not log_main._LOCK.locked()
    assert _LOGGERS[unique_name] == {1: layer1, 2: layer2}
    assert list(_CAPTURES[unique_name]) == [1]


class Options:
    """A mapping that is not a dict."""

    def __init__(self, data):
        self._data = data

    def keys(self):
        return self._data.keys()

    def __getitem__(self, key):
        return self._data[key]


@pytest.mark.parametrize("wrap", [types.MappingProxyType, Options])
def test_mapping_record_options_are_converted(unique_name, wrap):
    stream = io.StringIO()
    logger = logging.getLogger(unique_name)
    original = logging.StreamHandler(stream)
    logger.addHandler(original)
    obj = OsprelLog(unique_name, rehandler=True)
    record = _CAPTURES[unique_name][0]["handlers"][0]
    record["kwargs"] = wrap(record["kwargs"])
    obj.close()
    (rebuilt,) = logger.handlers
    assert rebuilt is not original and rebuilt.stream is stream


def test_records_without_id_are_skipped(unique_name):
    logger = logging.getLogger(unique_name)
    original = logging.StreamHandler(io.StringIO())
    logger.addHandler(original)
    obj = OsprelLog(unique_name, rehandler=True)
    _CAPTURES[unique_name][0]["handlers"][0] = {}
    obj.close()
    assert logger.handlers == [] and unique_name not in _CAPTURES
    assert original.stream is not None


def test_restore_when_only_the_logger_held_the_handler(unique_name):
    for attempt in range(10):
        name = f"{unique_name}_{attempt}"
        stream = io.StringIO()
        logger = logging.getLogger(name)
        logger.addHandler(logging.StreamHandler(stream))
        OsprelLog(name, rehandler=True).close()
        assert [h.stream for h in logger.handlers] == [stream]


class ClosingFails(logging.Handler):
    def __init__(self, error):
        super().__init__()
        self.error = error

    def emit(self, record):
        pass

    def close(self):
        if self.error is not None:
            error, self.error = self.error, None
            raise error
        super().close()


def test_exception_from_a_handler_close_is_swallowed(unique_name):
    obj = OsprelLog(unique_name)
    logger = obj._logger
    failing = ClosingFails(ValueError("no"))
    logger.addHandler(failing)
    obj.close()
    assert logger.handlers == [] and unique_name not in _LOGGERS


def test_base_exception_from_a_handler_close_propagates(unique_name):
    obj = OsprelLog(unique_name)
    logger = obj._logger
    failing = ClosingFails(KeyboardInterrupt())
    logger.addHandler(failing)
    with pytest.raises(KeyboardInterrupt):
        obj.close()
    assert not log_main._LOCK.locked()
    assert failing not in logger.handlers
    assert _LOGGERS[unique_name] == {1: obj}
    obj.close()
    assert logger.handlers == [] and unique_name not in _LOGGERS
