"""Edge cases of message building: the text handed to Logger.log is always an exact str."""
import logging

import pytest

import log_main


class _Marked(str):
    def __str__(self):
        return "marked"


class _GivesMarked:
    """A part whose str() returns an instance of a str subclass."""

    def __str__(self):
        return _Marked("plain")


class _Records(logging.Handler):
    def __init__(self):
        super().__init__()
        self.records = []

    def emit(self, record):
        self.records.append(record)


@pytest.mark.parametrize("parts, text", [
    ((_GivesMarked(),), "plain"),
    ((_GivesMarked(), _GivesMarked()), "plain plain"),
    (("a", _GivesMarked()), "a plain"),
])
@pytest.mark.parametrize("emit", [
    lambda obj, parts: obj.info(*parts),
    lambda obj, parts: log_main._LogBase.error(obj, *parts),
    lambda obj, parts: obj._log(logging.WARNING, parts),
], ids=["method", "through-class", "_log"])
def test_text_is_exact_str_when_str_returns_a_subclass(unique_name, tmp_path, parts, text, emit):
    obj = log_main.OsprelLog(unique_name, file=str(tmp_path / "x.log"), console=False)
    records = _Records()
    logging.getLogger(unique_name).addHandler(records)
    emit(obj, parts)
    (record,) = records.records
    assert type(record.msg) is str
    assert record.getMessage() == text
