"""The name filter, the coloured console handler and the three file handler kinds."""
import calendar
import logging
import os
import re
import sys
from logging.handlers import RotatingFileHandler, TimedRotatingFileHandler

import colorlog
import pytest

import log_main
from conftest import Tracer, needs_test_hooks, run_process, run_python

STAMP = r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3}"


def read(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


def test_context_filter_renames_records():
    assert log_main._ContextFilter.__bases__ == (logging.Filter,)
    filt = log_main._ContextFilter("app")
    assert (filt._logger_name, filt.name) == ("app", "")
    record = logging.LogRecord("app.child", logging.INFO, __file__, 1, "m", (), None)
    assert filt.filter(record) is True and record.name == "app"
    filt._logger_name = "other"
    assert filt.filter(record=record) is True and record.name == "other"


def test_console_handler_colours_each_level(make, capsys, monkeypatch):
    monkeypatch.delenv("NO_COLOR", raising=False)
    obj = make(logging.DEBUG)
    handler = obj._console_handler
    assert type(handler) is colorlog.StreamHandler and handler.stream is sys.stderr
    assert type(handler.formatter) is colorlog.ColoredFormatter
    assert handler.formatter._fmt == log_main._cformatter
    assert handler.level == logging.DEBUG and handler.filters == [obj._handler_filter]
    codes = {"debug": "\x1b[34m", "info": "\x1b[32m", "warning": "\x1b[33m", "error": "\x1b[31m",
             "critical": "\x1b[1;31m\x1b[47m"}
    for method in codes:
        getattr(obj, method)("say", method)
    logging.getLogger(obj.name + ".child").error("child")
    lines = capsys.readouterr().err.splitlines()
    expected = [(code, f"{method.upper()} - say {method}") for method, code in codes.items()]
    expected.append(("\x1b[31m", "ERROR - child"))
    assert len(lines) == len(expected)
    for line, (code, tail) in zip(lines, expected):
        assert re.fullmatch(re.escape(code) + STAMP + re.escape(f" - {obj.name} - {tail}\x1b[0m"), line), line


DEFAULTS = {
    "file": (logging.FileHandler, {"encoding": "utf-8", "mode": "a"}),
    "rotating": (RotatingFileHandler, {"encoding": "utf-8", "mode": "a", "maxBytes": 104857600,
                                       "backupCount": 100}),
    "timerotating": (TimedRotatingFileHandler, {"encoding": "utf-8", "when": "MIDNIGHT", "interval": 86400,
                                                "backupCount": 365, "utc": False}),
}


@pytest.mark.parametrize("kind", DEFAULTS)
def test_file_handler_defaults_and_output(make, tmp_path, kind):
    obj = make(logging.INFO, "logs/sub/app.log", kind, False)
    handler = obj._file_handler
    cls, attrs = DEFAULTS[kind]
    path = str(tmp_path / "logs" / "sub" / "app.log")
    assert type(handler) is cls and {key: getattr(handler, key) for key in attrs} == attrs
    assert handler.baseFilename == obj.file == path and os.path.isfile(path)
    assert callable(getattr(handler, "namer", None)) == (kind == "timerotating")
    assert type(handler.formatter) is logging.Formatter and handler.formatter._fmt == log_main._fformatter
    assert handler.level == logging.INFO and handler.filters == [obj._handler_filter]
    assert obj._logger.handlers == [handler] and log_main._FHANDLERS[path] == kind
    obj.info("café ✓", 1)
    obj.debug("dropped")
    logging.getLogger(obj.name + ".child").warning("from %s", "child")
    handler.flush()
    assert re.fullmatch(f"{STAMP} - {obj.name} - INFO - café ✓ 1\n{STAMP} - {obj.name} - WARNING - from child\n",
                        read(path))


@pytest.mark.parametrize("kind, options, expected", [
    ("file", {"encoding": "latin-1", "mode": "w", "maxBytes": 5, "backupCount": 2, "when": "S", "delay": True,
              "errors": "strict"},
     {"encoding": "latin-1", "mode": "w", "errors": None}),
    ("rotating", {"encoding": "utf-16", "maxBytes": 1000, "backupCount": 3, "when": "S", "delay": True},
     {"encoding": "utf-16", "mode": "a", "maxBytes": 1000, "backupCount": 3}),
    ("timerotating", {"when": "H", "interval": 2, "backupCount": 7, "mode": "w", "utc": True, "maxBytes": 5,
                      "delay": True},
     {"when": "H", "interval": 7200, "backupCount": 7, "mode": "a", "utc": False, "encoding": "utf-8"}),
])
def test_file_handler_options(make, kind, options, expected):
    handler = make(logging.DEBUG, "app.log", kind, False, **options)._file_handler
    assert {key: getattr(handler, key) for key in expected} == expected
    assert handler.stream is not None


@pytest.mark.parametrize("kind, options, kept", [
    ("file", {}, True),
    ("file", {"mode": "w"}, False),
    ("rotating", {"mode": "w", "maxBytes": 0}, False),
    ("timerotating", {"mode": "w"}, True),
])
def test_existing_file_appended_unless_mode_says_otherwise(make, tmp_path, kind, options, kept):
    (tmp_path / "app.log").write_text("old line\n")
    obj = make(logging.DEBUG, "app.log", kind, False, **options)
    obj.info("new line")
    obj._file_handler.flush()
    assert read(tmp_path / "app.log").startswith("old line\n") == kept


UNKNOWN_KINDS = [("File", "File"), ("daily", "daily"), ("", ""), (None, "None"), (3, "3")]


def _refuse_kind(name, folder, kind):
    obj = log_main._LogBase()
    obj.file = str(folder / "app.log")
    obj.handler_type = kind
    obj._logger = logging.getLogger(name)
    obj._handler_filter = log_main._ContextFilter(name)
    with pytest.raises(ValueError) as caught:
        obj._create_file_handler()
    return obj, str(caught.value)


@pytest.mark.parametrize("kind, shown", UNKNOWN_KINDS)
def test_unknown_kind_refused_after_directory_made(unique_name, tmp_path, kind, shown):
    before = dict(log_main._FHANDLERS)
    obj, _ = _refuse_kind(unique_name, tmp_path / "made", kind)
    assert log_main._FHANDLERS == before and (tmp_path / "made").is_dir()
    assert not os.path.exists(obj.file) and obj._file_handler is None and obj._logger.handlers == []


@pytest.mark.parametrize("kind, shown", UNKNOWN_KINDS)
def test_unknown_kind_text(unique_name, tmp_path, kind, shown):
    _, text = _refuse_kind(unique_name, tmp_path, kind)
    assert text == f"{shown} 不是有效的处理器类型，可选值 [file, rotating, timerotating]"


def test_log_directory_made_in_expression_order(monkeypatch, tmp_path, unique_name):
    # os.makedirs(os.path.dirname(self.file), ...) reads self.file, then the
    # function, then its argument; self.file is read again for the handler.
    events = []
    path = Tracer("os.path", os.path, events)
    monkeypatch.setattr(log_main, "os", Tracer("os", os, events, {"path": path}))

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
    obj.handler_type = "none of the three"  # refused once the directory is made
    with pytest.raises(ValueError, match="不是有效的处理器类型"):
        obj._create_file_handler()
    assert events[:5] == ["self.file", "os.makedirs", "os.path", "os.path.dirname", "self.file"]


def test_size_rollover(make, tmp_path):
    obj = make(logging.DEBUG, "logs/app.log", "rotating", False, maxBytes=300, backupCount=2)
    for i in range(12):
        obj.info(f"line {i:02d}", "x" * 40)
    obj._file_handler.flush()
    folder = tmp_path / "logs"
    assert sorted(os.listdir(folder)) == ["app.log", "app.log.1", "app.log.2"]
    texts = [read(folder / name) for name in ("app.log.2", "app.log.1", "app.log")]
    assert all(0 < len(text.encode()) <= 300 for text in texts)
    numbers = [int(n) for n in re.findall(r"INFO - line (\d\d) x{40}\n", "".join(texts))]
    assert numbers == list(range(numbers[0], 12)) and numbers[0] > 0


@pytest.mark.parametrize("folder", ["logs", "x.logs", "a.log/b.log"])
def test_time_rollover_moves_suffix_behind_date(make, tmp_path, folder):
    obj = make(logging.DEBUG, f"{folder}/app.log", "timerotating", False)
    handler = obj._file_handler
    obj.info("before")
    handler.utc = True
    handler.rolloverAt = calendar.timegm((2024, 5, 2, 0, 0, 0))
    obj.info("after")
    handler.flush()
    directory = tmp_path / folder
    assert sorted(os.listdir(directory)) == ["app.2024-05-01.log", "app.log"]
    assert re.fullmatch(f"{STAMP} - {obj.name} - INFO - before\n", read(directory / "app.2024-05-01.log"))
    assert re.fullmatch(f"{STAMP} - {obj.name} - INFO - after\n", read(directory / "app.log"))


@pytest.mark.parametrize("default, renamed", [
    ("/var/log/app.log.2024-05-01", "/var/log/app.2024-05-01.log"),
    ("/var/log/app.txt.2024-05-01", "/var/log/app.txt.2024-05-01.log"),
    ("/srv/app.logs/app.log.2024-05-01", "/srv/app.logs/app.2024-05-01.log"),
    ("/srv/a.log/x.log.log.2024", "/srv/a.log/x.2024.log"),
    ("app.log.2024-05-01_10-00-00", "app.2024-05-01_10-00-00.log"),
])
def test_namer_rewrites_only_the_file_name(make, default, renamed):
    namer = make(logging.DEBUG, "app.log", "timerotating", False)._file_handler.namer
    assert namer(default) == renamed and namer(name=default) == renamed


def test_each_time_rotating_handler_gets_its_own_namer(make):
    first = make(logging.DEBUG, "one.log", "timerotating", False)._file_handler.namer
    second = make(logging.DEBUG, "two.log", "timerotating", False)._file_handler.namer
    assert first is not second
    assert first.__name__ == "lambda" and first.__code__ is None


def test_filter_drops_only_a_cached_traceback_with_colour_codes():
    filt = log_main._ContextFilter("app")
    record = logging.LogRecord("app", logging.ERROR, __file__, 1, "m", (), None)
    for cached, kept in [(None, None), ("Traceback ...\nValueError: x", "Traceback ...\nValueError: x"),
                         ('File \x1b[35m"app.py"\x1b[0m', None), ("", "")]:
        record.exc_text = cached
        assert filt.filter(record) is True and record.exc_text == kept
    bare = type("Bare", (), {})()  # no exc_text at all: only the name is set
    assert filt.filter(bare) is True and vars(bare) == {"name": "app"}


def test_traceback_plain_in_file_and_coloured_on_console(make, tmp_path, capsys, monkeypatch):
    """Run by CI with the newest colorlog and with the oldest supported one (6.6)."""
    from importlib.metadata import version
    coloured_tracebacks = tuple(int(p) for p in version("colorlog").split(".")[:2]) >= (6, 10)
    monkeypatch.setenv("FORCE_COLOR", "1")
    obj = make(logging.DEBUG, "app.log", "file", True)
    for _ in range(2):
        try:
            {}["missing"]
        except KeyError:
            obj.error("failed", kwargs={"exc_info": True})
    obj._file_handler.flush()
    text = read(tmp_path / "app.log")
    assert text.count("KeyError: 'missing'") == 2 and "\x1b" not in text
    console = capsys.readouterr().err
    assert console.count("\x1b[31m") >= 2 and console.count("Traceback (most recent call last):") == 2
    tracebacks = re.findall(r"Traceback \(most recent call last\):(.*?)KeyError", console, re.S)
    assert len(tracebacks) == 2
    assert all(("\x1b[" in tb) == coloured_tracebacks for tb in tracebacks), (version("colorlog"), console)


# ---------------------------------------------------------------------------------------------
# The console line made by the module (src/logger/colored.cpp) against colorlog's own format().
# The module's line is reached through ctypes (log_main_colored_probe: None where the module
# would leave the line to colorlog); every call runs in a child process.

def _probe(name="log_main_colored_probe", arguments=5):
    import ctypes
    probe = getattr(ctypes.PyDLL(log_main.__file__), name)
    probe.restype = ctypes.py_object
    probe.argtypes = [ctypes.py_object] * arguments
    return probe


def _outcome(call):
    try:
        return ("ok", call())
    except Exception as exc:  # the module must raise what colorlog raises
        return ("raised", type(exc), exc.args)


def _streams():
    """isatty() false, true (a pty), an in-memory one, and a Python one the module leaves alone."""
    import io
    import pty
    master, slave = pty.openpty()
    os.close(master)
    plain = type("PlainStream", (), {"isatty": lambda self: True})()
    return {"none": None, "devnull": open(os.devnull, "w"), "tty": open(slave, "w"),
            "stringio": io.StringIO(), "python": plain}


def _colorlog_stock():
    import importlib.machinery
    import types
    path = os.path.join(os.path.dirname(__file__), os.pardir, "scripts", "colorlog-stock")
    loader = importlib.machinery.SourceFileLoader("colorlog_stock", path)
    module = types.ModuleType(loader.name)
    module.__file__ = path
    loader.exec_module(module)
    return module


def _fingerprints_known():
    """Whether the module knows this interpreter's logging and os and the installed colorlog."""
    return all(_colorlog_stock().known_here())


def _skip_unless_fingerprints_known(detail=""):
    """Skips where the module has no rows for this interpreter or the installed colorlog; fails
    instead where LOG_MAIN_REQUIRE_TABLES is set (CI) and the rows missing are the standard
    library's or those of a colorlog release that constraints/colorlog-releases.txt lists."""
    stdlib, release = _colorlog_stock().known_here()
    if stdlib and release:
        return
    from importlib.metadata import version
    listed = os.path.join(os.path.dirname(__file__), os.pardir, "constraints", "colorlog-releases.txt")
    with open(listed, encoding="utf-8") as f:
        releases = {line.strip().partition("==")[2] for line in f if line.startswith("colorlog==")}
    why = f"no fingerprints for this interpreter or colorlog {version('colorlog')}: {detail}"
    if os.environ.get("LOG_MAIN_REQUIRE_TABLES") and (not stdlib or version("colorlog") in releases):
        pytest.fail(why + " (scripts/fingerprints makes them)")
    pytest.skip(why)


def _coloured_differential(examples):
    """colorlog's format() and the module's line over random records, colours, escape codes,
    environments, flags and streams: the same text, or the same exception."""
    from hypothesis import HealthCheck, given, settings
    from hypothesis import strategies as st
    import colorlog.escape_codes as ec

    probe, streams, table = _probe(), _streams(), dict(ec.escape_codes)
    known_here = _fingerprints_known()
    texts = st.text(st.characters(codec="utf-8") | st.sampled_from("%\x1b[0m,()s"), max_size=12)
    colour = st.lists(st.sampled_from(["red", "bold_red", "bg_white", "fg_200", "thin_cyan", "",
                                       "no_such_colour"]), max_size=3).map(",".join)
    value = colour | texts | st.sampled_from([None, 7])
    codes = st.dictionaries(st.sampled_from(["reset", "log_color", "asctime", "name", "levelname",
                                             "message", "red", "green"]),
                            st.sampled_from(["", "\x1b[0m", "<c>", 3]) | texts, max_size=3)
    flag = st.sampled_from([False, True, None, 0, 1, 2])

    @settings(max_examples=examples, deadline=None, database=None,
              suppress_health_check=list(HealthCheck))
    @given(level=st.sampled_from([10, 20, 30, 40, 50, 15, 0]), name=texts, message=texts,
           colours=st.dictionaries(st.sampled_from(["DEBUG", "INFO", "WARNING", "ERROR", "CRITICAL",
                                                    "Level 15"]), value, max_size=6),
           drop=st.lists(st.sampled_from(["reset", "red", "green", "white"]), max_size=2), codes=codes,
           env=st.sampled_from([{}, {"FORCE_COLOR": "1"}, {"NO_COLOR": ""}, {"FORCE_COLOR": "", "NO_COLOR": "1"}]),
           force=flag, no=flag, reset=st.sampled_from([True, False]), stream=st.sampled_from(list(streams)))
    def check(level, name, message, colours, drop, codes, env, force, no, reset, stream):
        for key in drop:
            ec.escape_codes.pop(key, None)
        ec.escape_codes.update(codes)
        for key in ("FORCE_COLOR", "NO_COLOR"):
            os.environ.pop(key, None)
        os.environ.update(env)
        try:
            colours = {**log_main._colors, **colours}
            f = colorlog.ColoredFormatter(fmt=log_main._cformatter, log_colors=colours, force_color=force,
                                          no_color=no, reset=reset, stream=streams[stream])
            record = logging.LogRecord(name, level, __file__, 1, message, (), None)
            full = _outcome(lambda: f.format(record))
            if not hasattr(record, "asctime"):
                record.asctime = f.formatTime(record)
            mine = _outcome(lambda: probe(f, record.asctime, name, record.levelname, message))
            plain = (known_here and stream != "python" and all(type(v) is str for v in colours.values())
                     and all(type(v) is str for v in ec.escape_codes.values()))
            if not plain:
                assert mine == ("ok", None)
            else:
                assert mine[0] != "ok" or mine[1] is not None, "the module left a plain line to colorlog"
                assert mine == full
        finally:
            ec.escape_codes.clear()
            ec.escape_codes.update(table)

    check()
    return examples


def _coloured_sequence(examples):
    """One formatter through a sequence of run-time changes (its attributes and style, log_colors
    and escape_codes edited in place or rebound, the environment, the stream), colorlog's format()
    and the module's line compared after each: nothing the module keeps between lines goes stale."""
    from hypothesis import HealthCheck, given, settings
    from hypothesis import strategies as st
    import colorlog.escape_codes as ec

    probe, streams, table = _probe(), _streams(), ec.escape_codes
    known_here = _fingerprints_known()
    step = st.one_of(
        st.tuples(st.just("colour"), st.sampled_from(["INFO", "ERROR", "Level 15"]),
                  st.sampled_from(["red", "bold_blue,bg_white", "", "fg_9"])),
        st.tuples(st.just("escape"), st.sampled_from(["red", "reset", "name", "log_color"]),
                  st.sampled_from(["<x>", "", None])),
        st.tuples(st.just("env"), st.sampled_from(["FORCE_COLOR", "NO_COLOR"]), st.booleans()),
        st.tuples(st.just("attr"), st.sampled_from(["force_color", "no_color", "reset"]), st.booleans()),
        st.tuples(st.just("stream"), st.sampled_from(["none", "devnull", "tty", "stringio"]), st.none()),
        st.tuples(st.just("style"), st.sampled_from([log_main._cformatter, "%(log_color)s%(message)s"]), st.none()),
        st.tuples(st.just("table"), st.booleans(), st.none()))

    @settings(max_examples=examples, deadline=None, database=None, suppress_health_check=list(HealthCheck))
    @given(steps=st.lists(step, max_size=12), levels=st.lists(st.sampled_from([10, 15, 20, 40]), min_size=13,
                                                                  max_size=13))
    def check(steps, levels):
        for key in ("FORCE_COLOR", "NO_COLOR"):
            os.environ.pop(key, None)
        f = colorlog.ColoredFormatter(fmt=log_main._cformatter, log_colors=dict(log_main._colors))
        try:
            for (kind, a, b), level in zip([("start", None, None)] + steps, levels):
                if kind == "colour":
                    f.log_colors[a] = b
                elif kind == "escape":
                    ec.escape_codes.pop(a, None) if b is None else ec.escape_codes.__setitem__(a, b)
                elif kind == "env":
                    os.environ.__setitem__(a, "1") if b else os.environ.pop(a, None)
                elif kind == "attr":
                    setattr(f, a, b)
                elif kind == "stream":
                    f.stream = streams[a]
                elif kind == "style":
                    f._style = logging.PercentStyle(a)
                elif kind == "table":
                    ec.escape_codes = dict(table) if a else table
                record = logging.LogRecord("app", level, __file__, 1, "m %", (), None)
                full = _outcome(lambda: f.format(record))
                mine = _outcome(lambda: probe(f, f.formatTime(record), "app", record.levelname, "m %"))
                if mine != ("ok", None):
                    assert mine == full
                else:
                    assert not known_here or f._style._fmt != log_main._cformatter
        finally:
            ec.escape_codes = table
            ec.escape_codes.clear()
            ec.escape_codes.update(SAVED_ESCAPE_CODES)

    SAVED_ESCAPE_CODES = dict(table)
    check()
    return examples


def _coloured_left_to_colorlog():
    """What makes the module leave the line to colorlog: each change alone, on a formatter whose
    line the module makes."""
    import colorlog.escape_codes as ec
    probe = _probe()

    def fresh():
        return colorlog.ColoredFormatter(fmt=log_main._cformatter, log_colors=dict(log_main._colors))

    def line(f):
        return probe(f, "2026-01-01 00:00:00,000", "app", "INFO", "m")

    class Sub(colorlog.ColoredFormatter):
        pass

    def undo(obj, attr, value):
        return lambda: setattr(obj, attr, value)

    cases = {
        "subclass": lambda f: Sub(fmt=log_main._cformatter, log_colors=dict(log_main._colors)),
        "method on the instance": lambda f: (setattr(f, "formatMessage", lambda r: "x"), f)[1],
        "another format": lambda f: colorlog.ColoredFormatter(fmt="%(log_color)s%(message)s"),
        "a date format": lambda f: (setattr(f, "datefmt", "%H"), f)[1],
        "secondary colours": lambda f: (setattr(f, "secondary_log_colors", {"x": {"INFO": "red"}}), f)[1],
        "style defaults": lambda f: (setattr(f._style, "_defaults", {"a": 1}), f)[1],
        "a truth test of its own": lambda f: (setattr(f, "force_color", type("B", (), {"__bool__": lambda s: 1})()), f)[1],
    }
    out = {}
    for label, spoil in cases.items():
        f = spoil(fresh())
        out[label] = "left" if line(f) is None else "made"
    # Changes of what format() runs, undone after each.
    f = fresh()
    assert line(f) is not None
    changes = [
        ("parse_colors replaced", ec, "parse_colors", lambda s: ""),
        ("os.environ replaced", __import__("colorlog.formatter").formatter.os, "environ", dict(os.environ)),
        ("_append_reset replaced", colorlog.ColoredFormatter, "_append_reset", lambda s, m, e: m),
        ("Formatter.formatTime replaced", logging.Formatter, "formatTime", lambda s, r, d=None: "t"),
        ("PercentStyle.format replaced", logging.PercentStyle, "format", lambda s, r: "x"),
    ]
    for label, obj, attr, value in changes:
        old = vars(obj)[attr] if isinstance(obj, type) else getattr(obj, attr)
        setattr(obj, attr, value)
        try:
            out[label] = "left" if line(f) is None else "made"
        finally:
            setattr(obj, attr, old)
        assert line(f) is not None, label
    # Changes the class and namespace checks see, but no attribute the line reads: a function's
    # code replaced in place (colorlog's, the standard library's), a global shadowing the builtin
    # formatMessage's super() loads, a key of os.environ's data that is not bytes (finding
    # FORCE_COLOR then compares it, running its __eq__), sys.monitoring on colorlog's code.
    class Key:
        def __hash__(self):
            return hash(b"FORCE_COLOR")

        def __eq__(self, other):
            return False

    def edit_code(function):
        code = function.__code__
        function.__code__ = code.replace(co_consts=code.co_consts + ("x",))
        return lambda: setattr(function, "__code__", code)

    def shadow(module, name, value):
        setattr(module, name, value)
        return lambda: delattr(module, name)

    def environ_key():
        os.environ._data[Key()] = b"1"
        return lambda: os.environ._data.pop(next(k for k in os.environ._data if isinstance(k, Key)))

    def monitored(function):
        mon, tool = sys.monitoring, next(t for t in range(6) if sys.monitoring.get_tool(t) is None)
        mon.use_tool_id(tool, "log_main tests")
        mon.set_local_events(tool, function.__code__, mon.events.PY_START)

        def undo():
            mon.set_local_events(tool, function.__code__, 0)
            mon.free_tool_id(tool)
        return undo

    formatter_module = sys.modules[colorlog.ColoredFormatter.__module__]
    edits = {
        "code replaced in place": lambda: edit_code(colorlog.ColoredFormatter._escape_code_map),
        "logging's code replaced in place": lambda: edit_code(logging.PercentStyle._format),
        "super shadowed": lambda: shadow(formatter_module, "super", super),
        "os.environ data keyed by another type": environ_key,
        "monitoring events on colorlog's code": lambda: monitored(colorlog.ColoredFormatter.formatMessage),
    }
    for label, edit in edits.items():
        undo = edit()
        try:
            out[label] = "left" if line(f) is None else "made"
        finally:
            undo()
        assert line(f) is not None, label
    sys.setprofile(lambda *a: None)
    out["a profiler"] = "left" if line(f) is None else "made"
    sys.setprofile(None)
    assert line(f) is not None
    return out


def _in_child(call):
    code = (f"import sys; sys.path.insert(0, {os.path.dirname(__file__)!r}); import test_handlers; "
            f"print(repr(test_handlers.{call}))")
    done = run_python(code, timeout=600)
    assert done.returncode == 0, done.stderr[-6000:]
    return eval(done.stdout.strip().splitlines()[-1])


@needs_test_hooks
@pytest.mark.slow
def test_coloured_line_is_colorlogs():
    """COLORED_EXAMPLES sets the count (scripts/test-colorlog-releases runs 2,000 per release)."""
    examples = int(os.environ.get("COLORED_EXAMPLES", "300"))
    assert _in_child(f"_coloured_differential({examples})") == examples


@needs_test_hooks
@pytest.mark.slow
def test_coloured_line_follows_run_time_changes():
    examples = max(50, int(os.environ.get("COLORED_EXAMPLES", "300")) // 4)
    assert _in_child(f"_coloured_sequence({examples})") == examples


@needs_test_hooks
def test_coloured_line_left_to_colorlog_when_anything_is_not_as_shipped():
    _skip_unless_fingerprints_known("the module leaves every line to colorlog here")
    out = _in_child("_coloured_left_to_colorlog()")
    assert set(out.values()) == {"left"}, out


def test_colorlog_reads_and_fingerprints_are_derived():
    script = os.path.join(os.path.dirname(__file__), os.pardir, "scripts", "colorlog-stock")
    done = run_process([sys.executable, script], timeout=120, capture_output=True, text=True)
    _skip_unless_fingerprints_known(done.stdout[-300:])
    assert done.returncode == 0, done.stdout + done.stderr


# A record's traceback in the file, taken from the console's coloured text with the colour codes
# removed (log_main_traceback_probe: None where the module would format it a second time). The
# claim: wherever the module takes it, it is exactly what the plain formatting gives.

_SHAPES = [
    "def outer(exc):\n    return helper(exc)\n",
    "def outer(exc):\n    return 1 + helper(exc) * 2\n",
    "def outer(exc):\n    table = {{}}\n    return table[helper(exc)]\n",
    "def outer(exc):\n    value = (1 +\n             helper(\n                 exc)\n             )\n    return value\n",
    "def outer(exc):\n\tx = [helper(exc)\n\t     for _ in range(1)]\n",
    "def outer(exc):\n    数据 = helper(exc) or '宽字符'\n    return 数据\n",
    "def outer(exc):\n    return helper(exc).{name}\n",
    "def outer(exc):\n    return helper(exc) or '\x1b[1m'\n",
    "def outer(exc):\n\f    数据 = helper(exc) or '宽'\n    return 数据\n",
    "def outer(exc):\n\f    数据 = (helper(exc)\n            or 1)\n",
    "def outer(exc):\n\f    value_list = []\n\f    result = (value_list [  # 注释 comment\n            99  \\\n            ]  )\n",
]


def _traceback_differential(examples):
    import importlib.util
    import io
    import linecache
    import tempfile
    import traceback
    from hypothesis import HealthCheck, given, settings
    from hypothesis import strategies as st

    probe = _probe("log_main_traceback_probe", 4)
    folder = tempfile.mkdtemp()
    custom = type("Custom", (ValueError,), {})
    spoken = type("Spoken", (ValueError,), {"__str__": lambda self: "said"})
    falsy = type("Falsy", (ValueError,), {"__bool__": lambda self: False})
    sized = type("Sized", (ValueError,), {"__len__": lambda self: 0})
    # Kinds whose formatting runs code of their own: formatted again, whatever the texts.
    running = {spoken, falsy, sized}
    kinds = [ValueError, KeyError, RuntimeError, custom, OSError, spoken, NameError, ZeroDivisionError, falsy, sized]
    texts = st.lists(st.text(st.characters(codec="utf-8"), max_size=3) |
                     st.sampled_from(["\x1b[31m", "\x1b", "\t", "\n", "宽"]), max_size=4).map("".join)
    arg = texts | st.integers() | st.floats() | st.none() | st.sampled_from([b"x", ("t",)])
    taken = [0]
    counter = [0]

    def load(shape, name, file_name):
        counter[0] += 1
        path = os.path.join(folder, f"{file_name}_{counter[0]}.py")
        with open(path, "w", encoding="utf-8") as f:
            f.write("def helper(exc):\n    raise exc\n" + shape.format(name=name))
        spec = importlib.util.spec_from_file_location(f"tbmod{counter[0]}", path)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        return module

    def text_of(ei, colour):
        sio = io.StringIO()
        traceback.print_exception(ei[0], ei[1], ei[2], limit=None, file=sio, colorize=colour)
        s = sio.getvalue()
        return s[:-1] if s[-1:] == "\n" else s

    @settings(max_examples=examples, deadline=None, database=None, suppress_health_check=list(HealthCheck))
    @given(kind=st.sampled_from(kinds), args=st.lists(arg, max_size=3), notes=st.none() | st.lists(texts, max_size=2),
           shape=st.sampled_from(_SHAPES), name=st.sampled_from(["attr", "数"]),
           file_name=st.sampled_from(["mod", "m\x1bd"]),
           chain=st.sampled_from([None, "cause", "context", "suppressed"]))
    def check(kind, args, notes, shape, name, file_name, chain):
        exc = kind(*args)
        if notes is not None:
            for note in notes:
                exc.add_note(note)
        module = load(shape, name, file_name)
        try:
            if chain is None:
                module.outer(exc)
            try:
                raise KeyError("first")
            except KeyError as first:
                if chain == "cause":
                    raise exc from first
                if chain == "suppressed":
                    raise exc from None
                module.outer(exc)
        except BaseException:
            ei = sys.exc_info()
        coloured, plain = text_of(ei, True), text_of(ei, False)
        got = probe(ei[1], ei[2], coloured, linecache.cache)
        assert got is None or not {type(ei[1]), type(ei[1].__cause__), type(ei[1].__context__)} & running
        if got is not None:
            assert got == plain, (coloured, plain)
            taken[0] += 1

    check()
    return taken[0], examples


@needs_test_hooks
@pytest.mark.skipif(sys.version_info < (3, 13), reason="tracebacks are coloured from 3.13 on")
def test_plain_traceback_is_the_colour_text_without_its_codes():
    examples = int(os.environ.get("TRACEBACK_EXAMPLES", "300"))
    taken, ran = _in_child(f"_traceback_differential({examples})")
    # About a quarter are taken; a tenth leaves the check meaningful with a wide margin.
    assert ran == examples and taken > examples // 10, (taken, ran)
