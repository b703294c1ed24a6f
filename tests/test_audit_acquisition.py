"""Regression checks for capture records and close() found in an audit of the acquisition code."""
import logging
from logging.handlers import TimedRotatingFileHandler

import pytest

import log_main
from log_main import OsprelLog


@pytest.mark.parametrize("when, interval, expected", [("H", 2.0, 2), ("M", 3.0, 3), ("W2", 1.0, 1), ("MIDNIGHT", 2.0, 2)])
def test_time_rotating_record_interval_is_int_when_exact(unique_name, when, interval, expected):
    logger = logging.getLogger(unique_name)
    handler = TimedRotatingFileHandler("timed.log", when=when, interval=interval, delay=True)
    logger.addHandler(handler)
    obj = OsprelLog(unique_name, rehandler=True, console=False)
    try:
        recorded = log_main._CAPTURES[unique_name][0]["handlers"][0]["kwargs"]["interval"]
        assert type(recorded) is int and recorded == expected
    finally:
        obj.close()
        for h in logger.handlers[:]:
            logger.removeHandler(h)
            h.close()


def test_close_looks_up_the_layer_registry_again_after_the_sweep(unique_name, monkeypatch):
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
