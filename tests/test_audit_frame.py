"""Regressions found by an audit of the module frame, call conventions, emission and
handler construction: evaluation order, cached lookups, the md5 fast path."""
import json
import logging
import os
import textwrap

import pytest

import log_main
from conftest import run_python


def _child(code):
    result = run_python(textwrap.dedent(code))
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout.strip().splitlines()[-1])


def test_md5_calls_a_replaced_constructor_without_arguments():
    out = _child("""
        import hashlib, json, log_main
        real, calls = hashlib.md5, []
        def md5(*args, **kwargs):
            calls.append([list(map(repr, args)), sorted(kwargs)])
            return real()
        hashlib.md5 = md5
        digest = log_main._md5("abc")
        print(json.dumps([digest, calls]))
    """)
    assert out == ["900150983cd24fb0d6963f7d28e17f72", [[[], []]]]


def test_non_str_keyword_name_is_refused():
    # The interpreter unpacks **{...} into a keyword call itself and refuses a
    # non-str name before the function is reached; the binder's own text for
    # that case is checked where the binder is reached directly.
    with pytest.raises(TypeError, match="keywords must be strings"):
        log_main._md5(**{1: "a"})


def test_level_constant_read_through_module_class_change():
    out = _child("""
        import json, logging, types, log_main
        lg = logging.getLogger("audit_cls"); lg.setLevel(1); lg.propagate = False
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
    """)
    assert out == [30, 33]


class _Tracer:
    """Stands in for a module: records each attribute fetched, then delegates."""

    def __init__(self, label, target, events, extra=None):
        object.__setattr__(self, "_t", (label, target, events, extra or {}))

    def __getattr__(self, name):
        label, target, events, extra = object.__getattribute__(self, "_t")
        events.append(f"{label}.{name}")
        return extra[name] if name in extra else getattr(target, name)


def test_file_handler_directory_step_evaluation_order(monkeypatch, tmp_path, unique_name):
    events = []
    path = _Tracer("os.path", os.path, events)
    monkeypatch.setattr(log_main, "os", _Tracer("os", os, events, {"path": path}))

    class Traced(log_main._LogBase):
        @property
        def file(self):
            events.append("self.file")
            return str(tmp_path / "d" / "a.log")

        @file.setter
        def file(self, value):
            pass

    obj = Traced()
    obj._logger = logging.getLogger(unique_name)
    obj._handler_filter = log_main._ContextFilter(unique_name)
    obj.handler_type = "none of the three"  # stops after the directory step
    with pytest.raises(ValueError, match="不是有效的处理器类型"):
        obj._create_file_handler()
    assert events[:5] == ["self.file", "os.makedirs", "os.path", "os.path.dirname", "self.file"]


def test_file_normalisation_evaluation_order(monkeypatch, tmp_path, unique_name):
    events = []
    path = _Tracer("os.path", os.path, events)
    monkeypatch.setattr(log_main, "os", _Tracer("os", os, events, {"path": path}))
    monkeypatch.setitem(log_main._FHANDLERS, str(tmp_path / "a.log"), "rotating")
    with pytest.raises(ValueError, match="处理器冲突"):
        log_main._SetLogger(unique_name, 10, "a.log", "file")
    fetched = [e for e in events if e in ("os.path.abspath", "os.path.normpath")]
    assert fetched == ["os.path.normpath", "os.path.abspath"]


def test_setup_logger_set_level_evaluation_order(monkeypatch, unique_name):
    events = []

    class Logger:
        def __getattr__(self, name):
            events.append(f"logger.{name}")
            return lambda *args: None

        def __setattr__(self, name, value):
            events.append(f"set logger.{name}")

    monkeypatch.setattr(log_main, "logging",
                        _Tracer("logging", logging, events, {"getLogger": lambda name: Logger()}))

    class Quiet(log_main._SetLogger):
        def _create_console_handler(self):
            pass

        def _create_file_handler(self):
            pass

    obj = Quiet.__new__(Quiet)
    obj.name = unique_name
    obj._setup_logger()
    assert events[:4] == ["logging.getLogger", "logger.setLevel", "logging.DEBUG", "set logger.propagate"]
