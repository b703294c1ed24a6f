"""Hostile Python code run from inside the module's calls. A hook (a colliding str-subclass key's
__eq__, a __hash__, a message part's __str__, a __del__, a property of a subclass) fires while a
callable of the module runs and changes what that call is working on: the classes' functions, the
object's instance dict, the module globals, logging's constants, the registries. Whatever the call
then does (finish, raise), it must not crash the interpreter or raise SystemError.

A crash kills the interpreter, so the examples run in one child process; it writes each example
to a file before running it, so a crash names its example."""
import gc
import hashlib
import itertools
import json
import logging
import os
import sys
import threading
import traceback
import types

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import log_main
from conftest import examples, run_python

EXAMPLES = examples(2000)
TESTS = os.path.dirname(os.path.abspath(__file__))

METHODS = ("_log", "debug", "info", "warning", "error", "critical", "close", "enable", "disable",
           "set_console_level", "set_file_level", "__init__", "_create_console_handler", "_create_file_handler")
ATTRS = ("_logger", "name", "file", "handler_type", "file_level", "console", "console_level", "kwargs",
         "_file_handler", "_console_handler", "_handler_filter")
GLOBALS = ("logging", "_LOCK", "_LOGGERS", "_FHANDLERS", "_CAPTURES", "_SetLogger", "_GetLogger",
           "_ContextFilter", "os", "hashlib", "uuid", "colorlog", "RotatingFileHandler", "_fformatter", "_colors")
LOGGING_NAMES = ("DEBUG", "INFO", "WARNING", "ERROR", "CRITICAL", "getLogger", "Logger", "FileHandler",
                 "StreamHandler", "Formatter", "Filter", "handlers")
REGISTRIES = ("_LOGGERS", "_FHANDLERS", "_CAPTURES")
LEVELS = ("DEBUG", "INFO", "WARNING", "ERROR", "CRITICAL")
CLASSES = (log_main._LogBase, log_main._SetLogger, log_main._GetLogger, log_main.OsprelLog, log_main._ContextFilter)

# -- what the hooks do ----------------------------------------------------------------------------

actions = st.one_of(
    st.tuples(st.just("del_method"), st.sampled_from(METHODS)),
    st.tuples(st.just("swap_method"), st.tuples(st.sampled_from(METHODS), st.sampled_from(METHODS + ("stand-in",)))),
    st.tuples(st.just("dict"), st.sampled_from(("empty", "logger_none", "copy", "other"))),
    st.tuples(st.just("del_attr"), st.sampled_from(ATTRS)),
    st.tuples(st.just("set_attr"), st.tuples(st.sampled_from(ATTRS),
                                             st.sampled_from(("none", "zero", "bomb", "logger", "text", "chameleon")))),
    st.tuples(st.just("global"), st.tuples(st.sampled_from(GLOBALS),
                                           st.sampled_from(("delete", "none", "fresh", "real", "bomb")))),
    st.tuples(st.just("registry"), st.tuples(st.sampled_from(REGISTRIES), st.sampled_from(("clear", "pop", "hostile")))),
    st.tuples(st.just("level"), st.tuples(st.sampled_from(LEVELS), st.sampled_from(("int", "delete", "real")))),
    st.tuples(st.just("md5"), st.sampled_from(("stand-in", "delete", "real"))),
    st.tuples(st.just("class"), st.sampled_from(("property", "plain", "base"))),
    st.tuples(st.just("gc"), st.none()),
    st.tuples(st.just("raise"), st.none()),   # the hook itself fails
    st.tuples(st.just("reenter"), st.deferred(lambda: calls)),
)

# -- where they fire from -------------------------------------------------------------------------

key_targets = st.one_of(
    st.tuples(st.just("instance"), st.sampled_from(ATTRS + ("_log", "close", "enable", "disable", "_setup_logger",
                                                            "_captures_logger", "_create_file_handler"))),
    st.tuples(st.just("log_main"), st.sampled_from(GLOBALS)),
    st.tuples(st.just("logging"), st.sampled_from(LOGGING_NAMES)),
    st.tuples(st.sampled_from(REGISTRIES), st.sampled_from(("name", "file"))),
)
triggers = st.one_of(
    st.tuples(st.just("key"), st.tuples(key_targets, st.booleans())),   # (target, what __eq__ answers)
    st.tuples(st.just("hash"), st.sampled_from(("name", "file", "extra"))),
    st.tuples(st.just("str"), st.sampled_from(("part", "args"))),
    st.tuples(st.just("del"), st.sampled_from(("cycle", "capture") + tuple(f"attr:{a}" for a in ATTRS))),
    st.tuples(st.just("property"), st.sampled_from(ATTRS + ("_log",))),
)

# -- the calls they fire in -----------------------------------------------------------------------

PARTS = (("msg",), ("a", 42, 1.5, None), (), ("%s",), ("x",) * 3)
ARGS = (None, (), (1,), ("y",))
KWARGS = (None, {}, {"extra": {"k": 1}}, {"stacklevel": 2}, {"exc_info": True}, {"bad": 1})
calls = st.one_of(
    st.tuples(st.just("level"), st.tuples(st.sampled_from(LEVELS), st.sampled_from(PARTS), st.sampled_from(ARGS),
                                          st.sampled_from(KWARGS))),
    st.tuples(st.just("_log"), st.tuples(st.sampled_from((10, 20, 50)), st.sampled_from(PARTS), st.sampled_from(ARGS),
                                         st.sampled_from(KWARGS))),
    st.tuples(st.just("setter"), st.tuples(st.sampled_from(("set_console_level", "set_file_level")),
                                           st.sampled_from((10, 40)))),
    st.tuples(st.just("enable"), st.sampled_from(("logger", "none", "chameleon", "bomb"))),
    st.tuples(st.just("disable"), st.none()),
    st.tuples(st.just("close"), st.none()),
    st.tuples(st.just("factory"), st.tuples(st.sampled_from(("same", "fresh")), st.booleans(), st.booleans(),
                                            st.booleans(), st.sampled_from(("file", "rotating", "timerotating")))),
    st.tuples(st.just("md5"), st.sampled_from(("abc", "é"))),
)
steps = st.tuples(triggers, actions, st.integers(1, 3), calls)   # (trigger, action, times it may fire, call)
programs = st.tuples(st.booleans(), st.booleans(), st.lists(steps, min_size=1, max_size=4))   # (file, second layer, steps)


# -- the child process ----------------------------------------------------------------------------

class Hooks:
    """Hook state shared by every hostile object: armed only while a call of the module runs."""
    armed = False
    left = 0
    action = None
    env = None
    fired = 0
    system_errors = []

    @classmethod
    def fire(cls):
        if not cls.armed or cls.left <= 0:
            return False
        cls.left -= 1
        cls.armed = False   # no hook fires inside an action
        try:
            cls.fired += 1
            cls.env.act(cls.action)
        finally:
            cls.armed = True
        if cls.action[0] == "raise":
            raise LookupError("from a hook")
        return True


def guarded(fn, *args, **kwargs):
    """Runs fn; a SystemError is recorded, any other failure is what hostile code may cause."""
    try:
        return fn(*args, **kwargs)
    except SystemError as exc:
        Hooks.system_errors.append("".join(traceback.format_exception(exc)))
    except BaseException:   # noqa: BLE001 - an exception is an allowed outcome here
        pass


class Chameleon:
    """A stand-in logger, callable and truthy: whatever looks it up gets something to call."""
    def __call__(self, *args, **kwargs):
        return None

    def log(self, *args, **kwargs):
        return None

    def setLevel(self, level):
        return None


class Bomb:
    """Runs the armed action when it is freed."""
    def __del__(self):
        Hooks.fire()


class StrBomb:
    def __str__(self):
        Hooks.fire()
        return "part"


class HashStr(str):
    def __hash__(self):
        Hooks.fire()
        return str.__hash__(self)

    __eq__ = str.__eq__


def colliding_key(name, answer, tag=itertools.count()):
    """A str-subclass key with the hash of `name`: compared with it on every lookup of `name`;
    while armed its __eq__ runs the action and answers `answer`, else it is an ordinary str."""
    class Key(str):
        def __hash__(self):
            return hash(name)

        def __eq__(self, other):
            if Hooks.fire():
                return answer
            return str.__eq__(self, other)

    return Key(f"\0hook{next(tag)}")


def insert_ahead(d, key, name, value):
    """d[key] = value, placed before d[name] in the probe order so that a lookup of name meets it."""
    present = name in d
    old = d.pop(name, None)
    d[key] = value
    if present:
        d[name] = old


def stand_in(self, *args, **kwargs):
    return None


def property_class(base, attr):
    def get(self):
        Hooks.fire()
        if attr == "_log":
            found = getattr(base, "_log", stand_in)
            return found.__get__(self)
        try:
            return vars(self)[attr]
        except KeyError:
            raise AttributeError(attr) from None

    def put(self, value):
        Hooks.fire()
        vars(self)[attr] = value

    def drop(self):
        vars(self).pop(attr, None)

    return type(f"Hooked{base.__name__}", (base,), {attr: property(get, put, drop)})


class Example:
    """One program: a logger object (with a file, and a second layer on top, or not) and steps."""
    counter = itertools.count()

    def __init__(self, folder, saved):
        self.folder, self.saved = folder, saved
        self.undo = []   # what puts the triggers' keys and attributes back

    def fresh_name(self):
        return f"hh{next(self.counter)}"

    def path(self):
        return os.path.join(self.folder, f"{self.fresh_name()}.log")

    def setup(self, with_file, layered):
        self.name = self.fresh_name()
        self.obj = log_main.OsprelLog(self.name, file=self.path() if with_file else None, console=False)
        if layered:
            top = log_main.OsprelLog(self.name, file=self.path(), console=False, rehandler=True)
            self.bottom, self.obj = self.obj, top
        self.logger = self.obj._logger
        self.other = log_main._LogBase()

    # -- actions ----------------------------------------------------------------------------------
    def value(self, kind):
        return {"none": None, "zero": 0, "bomb": Bomb(), "logger": self.logger, "text": "text",
                "chameleon": Chameleon()}[kind]

    def act(self, action):
        kind, arg = action
        guarded(getattr(self, f"act_{kind}"), arg)

    def act_del_method(self, m):
        delattr(log_main._LogBase, m)

    def act_swap_method(self, arg):
        m, other = arg
        setattr(log_main._LogBase, m, stand_in if other == "stand-in" else vars(log_main._LogBase)[other])

    def act_dict(self, variant):
        self.obj.__dict__ = {"empty": {}, "logger_none": {"_logger": None}, "copy": dict(vars(self.obj)),
                             "other": dict(vars(self.other))}[variant]

    def act_del_attr(self, attr):
        delattr(self.obj, attr)

    def act_set_attr(self, arg):
        attr, kind = arg
        setattr(self.obj, attr, self.value(kind))

    def act_global(self, arg):
        name, kind = arg
        if kind == "delete":
            del vars(log_main)[name]
            return
        real = self.saved["log_main"][name]
        fresh = {"_LOCK": threading.RLock(), "logging": types.SimpleNamespace(**vars(logging))}.get(
            name, {} if name in REGISTRIES else object())
        setattr(log_main, name, {"none": None, "fresh": fresh, "real": real, "bomb": Bomb()}[kind])

    def act_registry(self, arg):
        registry, op = arg
        reg = vars(log_main).get(registry)
        if op == "clear":
            reg.clear()
        elif op == "pop":
            reg.pop(self.name if registry != "_FHANDLERS" else getattr(self.obj, "file", None), None)
        elif registry == "_LOGGERS":
            reg[self.name] = {1: self.obj, 2: Bomb(), "3": Chameleon()}
        elif registry == "_CAPTURES":
            reg[self.name] = {0: {"handlers": [Chameleon()], "handler_ids": [Bomb()], "bomb": Bomb()}}
        else:
            reg[getattr(self.obj, "file", None)] = Bomb()

    def act_level(self, arg):
        const, kind = arg
        if kind == "delete":
            delattr(logging, const)
        else:
            setattr(logging, const, 15 if kind == "int" else self.saved["logging"][const])

    def act_md5(self, kind):
        if kind == "delete":
            del hashlib.md5
        else:
            hashlib.md5 = self.saved["hashlib"]["md5"] if kind == "real" else (lambda *a: hashlib.sha1(*a))

    def act_class(self, kind):
        base = type(self.obj) if kind != "base" else log_main._SetLogger
        self.obj.__class__ = property_class(base, "_logger") if kind == "property" else base

    def act_gc(self, _):
        gc.collect(0)

    def act_raise(self, _):
        pass

    def act_reenter(self, call):
        self.call(call)

    # -- triggers ---------------------------------------------------------------------------------
    def install(self, trigger, call):
        """Places the hostile object; returns the call, changed where the trigger lives in it."""
        kind, arg = trigger
        if kind == "key":
            (where, name), answer = arg
            if where == "instance":
                d = vars(self.obj)
            elif where in ("log_main", "logging"):
                d = vars(log_main if where == "log_main" else logging)
            else:
                d = vars(log_main).get(where)
                name = self.name if name == "name" else getattr(self.obj, "file", None)
                if not isinstance(d, dict) or name is None:
                    return call
            key = colliding_key(name, answer)
            insert_ahead(d, key, name, Chameleon())
            self.undo.append(lambda: d.pop(key, None))
        elif kind == "hash":
            if arg == "extra" and call[0] in ("level", "_log"):
                head, (a, parts, args, _) = call
                return head, (a, parts, args, {"extra": {HashStr("k"): 1}})
            if arg != "extra":
                value = getattr(self.obj, arg, None)
                if isinstance(value, str):
                    setattr(self.obj, arg, HashStr(value))
        elif kind == "str" and call[0] in ("level", "_log"):
            head, (a, parts, args, kwargs) = call
            return (head, (a, parts + (StrBomb(),), args, kwargs)) if arg == "part" else \
                (head, (a, parts + ("%s",), (StrBomb(),), kwargs))
        elif kind == "del":
            if arg == "cycle":
                for _ in range(3):
                    bomb = Bomb()
                    bomb.me = bomb
                thresholds = gc.get_threshold()
                gc.set_threshold(1)
                self.undo.append(lambda: gc.set_threshold(*thresholds))
            elif arg == "capture":
                captures = vars(log_main).get("_CAPTURES")      # an earlier step may have replaced it
                layers = captures.get(self.name) if type(captures) is dict else None
                if isinstance(layers, dict):
                    for entry in layers.values():
                        if isinstance(entry, dict):
                            entry["bomb"] = Bomb()
            else:
                guarded(setattr, self.obj, arg[5:], Bomb())
        elif kind == "property":
            guarded(setattr, self.obj, "__class__", property_class(type(self.obj), arg))
        return call

    # -- calls ------------------------------------------------------------------------------------
    def call(self, call):
        kind, arg = call
        o = self.obj
        if kind == "level":
            method, parts, args, kwargs = arg
            guarded(lambda: getattr(o, method.lower())(*parts, args=args, kwargs=kwargs))
        elif kind == "_log":
            level, parts, args, kwargs = arg
            guarded(lambda: o._log(level, parts, args, kwargs))
        elif kind == "setter":
            guarded(lambda: getattr(o, arg[0])(arg[1]))
        elif kind == "enable":
            guarded(lambda: o.enable(self.logger if arg == "logger" else self.value(arg)))
        elif kind in ("disable", "close"):
            guarded(lambda: getattr(o, kind)())
        elif kind == "factory":
            same, with_file, console, rehandler, handler_type = arg
            guarded(log_main.OsprelLog, self.name if same else self.fresh_name(),
                    file=self.path() if with_file else None, console=console, rehandler=rehandler,
                    handler_type=handler_type)
        else:
            guarded(log_main._md5, arg)

    def step(self, trigger, action, times, call):
        """The trigger stays in place for the later steps; this step's action is the one armed."""
        call = self.install(trigger, call)
        Hooks.action, Hooks.left, Hooks.env, Hooks.armed = action, times, self, True
        try:
            self.call(call)
        finally:
            Hooks.armed = False

    def finish(self):
        while self.undo:
            guarded(self.undo.pop())


def snapshot():
    return {"classes": [(cls, dict(vars(cls))) for cls in CLASSES], "log_main": dict(vars(log_main)),
            "logging": dict(vars(logging)), "hashlib": dict(vars(hashlib))}


def restore(saved, known_loggers):
    for cls, attrs in saved["classes"]:
        for name in [n for n in vars(cls) if n not in attrs]:
            delattr(cls, name)
        for name, value in attrs.items():
            if vars(cls).get(name) is not value:
                setattr(cls, name, value)
    for mod in (log_main, logging, hashlib):
        d, attrs = vars(mod), saved[mod.__name__]
        ids = {id(k) for k in attrs}
        for key in [k for k in d if id(k) not in ids]:
            del d[key]
        for name, value in attrs.items():
            if d.get(name) is not value:
                d[name] = value
    for registry in REGISTRIES:
        vars(log_main)[registry].clear()
    # Every logger the example made: its handlers closed, itself forgotten.
    made = logging.Logger.manager.loggerDict
    for name in set(made) - known_loggers:
        for handler in list(getattr(made[name], "handlers", ())):
            guarded(handler.close)
        del made[name]


def run_program(program, folder, saved, known_loggers):
    with_file, layered, program_steps = program
    example = Example(folder, saved)
    try:
        guarded(example.setup, with_file, layered)
        if hasattr(example, "obj"):
            for step in program_steps:
                example.step(*step)
    finally:
        Hooks.armed = False
        example.finish()
        restore(saved, known_loggers)
    errors, Hooks.system_errors[:] = list(Hooks.system_errors), []
    assert not errors, errors[0]


def replay(program, folder):
    """Runs one program (as the child wrote it down) in this process."""
    sys.stderr = open(os.devnull, "w")
    log_main._LOCK = threading.RLock()
    run_program(program, folder, snapshot(), set(logging.Logger.manager.loggerDict))


def child_main(examples, folder):
    """Runs the examples; prints a summary line (JSON) and exits 0, or prints the failure and exits 1."""
    sys.stderr = open(os.devnull, "w")   # console handlers and logging's own error reports
    # A hook may set a logger up from inside a call that holds the lock: the same thread takes it again.
    log_main._LOCK = threading.RLock()
    saved = snapshot()
    known_loggers = set(logging.Logger.manager.loggerDict)
    sys.unraisablehook = lambda u: isinstance(u.exc_value, SystemError) and Hooks.system_errors.append(repr(u))
    trace = open(os.path.join(folder, "example.txt"), "w")
    count = itertools.count(1)

    @settings(max_examples=examples, deadline=None, database=None, suppress_health_check=list(HealthCheck))
    @given(programs)
    def run(program):
        trace.seek(0)
        trace.truncate()
        trace.write(repr(program))
        trace.flush()
        next(count)
        run_program(program, folder, saved, known_loggers)

    try:
        run()
    except BaseException:   # noqa: BLE001 - reported to the parent
        print(traceback.format_exc())
        sys.exit(1)
    print(json.dumps({"examples": next(count) - 1, "fired": Hooks.fired}))


@pytest.mark.slow
def test_hostile_hooks_crash_nothing_and_raise_no_system_error(tmp_path):
    code = f"import sys; sys.path.insert(0, {TESTS!r}); import {__name__} as t; t.child_main({EXAMPLES}, {str(tmp_path)!r})"
    example = tmp_path / "example.txt"
    try:
        result = run_python(code, timeout=1200)
    except AssertionError as timed_out:
        timed_out.add_note(f"last example: {example.read_text() if example.exists() else '(none)'}")
        raise
    last = example.read_text() if example.exists() else "(none)"
    # test_hostile_hooks.replay(<last example>, folder) runs it again on its own.
    assert result.returncode == 0, f"last example: {last}\n{result.stdout[-3000:]}\n{result.stderr[-3000:]}"
    summary = json.loads(result.stdout.strip().splitlines()[-1])
    assert summary["examples"] >= EXAMPLES
    assert summary["fired"] >= EXAMPLES // 2   # the hooks did fire inside the calls


# Programs the search once found crashing, run again on every test run.
FOUND = [
    # A key of the instance's __dict__ whose __eq__ replaces __dict__ while enable() stores _logger:
    # the insertion went on in the freed dict.
    (False, True, [(("key", (("instance", "_logger"), False)), ("dict", "copy"), 2, ("enable", "none"))]),
]


@pytest.mark.parametrize("program", FOUND)
def test_programs_found_crashing_run_to_the_end(program, tmp_path):
    code = (f"import sys; sys.path.insert(0, {TESTS!r}); import {__name__} as t; "
            f"t.replay({program!r}, {str(tmp_path)!r}); print('done')")
    result = run_python(code, timeout=60)
    assert result.returncode == 0 and result.stdout.strip().endswith("done"), result.stderr[-3000:]
