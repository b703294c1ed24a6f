"""Shared fixtures: unique logger names and a clean slate after each test."""
import itertools
import os
import signal
import subprocess
import sys
import uuid

import pytest

import log_main

_counter = itertools.count()


def examples(count):
    """A property test's example count, at most EXAMPLES_CAP where that is set: the sanitizer run
    and the interpreter matrix look for memory errors and differences between interpreters, which
    a few hundred examples find; `make test` and the colorlog releases run the full counts."""
    cap = os.environ.get("EXAMPLES_CAP")
    return min(count, int(cap)) if cap else count


# The functions a development build exports for the tests (src/module/test_hook.hpp), reached
# through ctypes; the release wheel has none of them, and the tests that need one skip there.
TEST_HOOKS = frozenset({
    "log_main_colored_probe", "log_main_traceback_probe", "log_main_traceback_stock",
    "log_main_traceback_stock_codes", "log_main_traceback_stock_failed", "log_main_tracebacks_once",
    "log_main_time_text_probe", "log_main_shipped_function", "log_main_function_fingerprint",
})


def has_test_hooks():
    """Whether the installed module is a development build, one that exports the test hooks."""
    import ctypes
    return hasattr(ctypes.PyDLL(log_main.__file__), "log_main_colored_probe")


needs_test_hooks = pytest.mark.skipif(not has_test_hooks(), reason="a release build: no test hooks")


def hook_function(name, restype, argtypes):
    """The hook `name` as a ctypes function; the calling test skips where the build has none."""
    import ctypes
    function = getattr(ctypes.PyDLL(log_main.__file__), name, None)
    if function is None:
        pytest.skip(f"a release build: no {name}")
    function.restype, function.argtypes = restype, argtypes
    return function


@pytest.fixture
def unique_name():
    """A logger name that no other test has used."""
    return f"t{next(_counter)}_{uuid.uuid4().hex[:8]}"


@pytest.fixture(autouse=True)
def _isolate(tmp_path, monkeypatch):
    """Each test runs in its own directory and leaves the module lock free."""
    monkeypatch.chdir(tmp_path)
    yield
    lock = log_main.__dict__.get("_LOCK")
    if lock is not None and hasattr(lock, "locked") and lock.locked():
        lock.release()
        pytest.fail("_LOCK was left held")


@pytest.fixture
def make(unique_name):
    """Builds _SetLogger objects with fresh names; closes their handlers afterwards."""
    made = []

    def build(*args, **kwargs):
        obj = log_main._SetLogger(f"{unique_name}_{len(made)}", *args, **kwargs)
        made.append(obj)
        return obj

    yield build
    for obj in made:
        for handler in list(obj._logger.handlers):
            obj._logger.removeHandler(handler)
            handler.close()


# A child process that runs out of time leaves the stacks of its threads. Every Python process
# started through run_process() has faulthandler enabled from the start (PYTHONFAULTHANDLER,
# inherited by its own children); shortly before the deadline its process group gets SIGABRT,
# on which faulthandler writes every thread's stack to stderr, and the test fails with an
# AssertionError that shows the end of that output.
def dump_margin(timeout):
    """Seconds before the deadline at which the stacks are asked for."""
    return min(5.0, timeout / 10)


def run_process(args, *, timeout, env=None, input=None, capture_output=False, check=False, **kwargs):
    """subprocess.run(args, timeout=timeout, ...) for tests: on timeout the process group is
    stopped and an AssertionError carries the stacks its Python processes were in."""
    full_env = dict(os.environ if env is None else env, PYTHONFAULTHANDLER="1")
    if input is not None:
        kwargs["stdin"] = subprocess.PIPE
    if capture_output:
        kwargs.update(stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    with subprocess.Popen(args, env=full_env, start_new_session=True, **kwargs) as process:
        try:
            try:
                stdout, stderr = process.communicate(input, timeout=timeout - dump_margin(timeout))
            except subprocess.TimeoutExpired:
                pass
            else:
                done = subprocess.CompletedProcess(args, process.returncode, stdout, stderr)
                if check:
                    done.check_returncode()
                return done
            _signal_group(process, signal.SIGABRT)
            try:
                stdout, stderr = process.communicate(timeout=dump_margin(timeout))
            except subprocess.TimeoutExpired as exc:   # a descendant kept the pipes open
                _signal_group(process, signal.SIGKILL)
                stdout, stderr = exc.output, exc.stderr
                try:
                    stdout, stderr = process.communicate(timeout=5)
                except subprocess.TimeoutExpired:
                    pass
        except BaseException:
            _signal_group(process, signal.SIGKILL)
            raise
        _signal_group(process, signal.SIGKILL)   # what is left of the group
    raise AssertionError(timeout_report(args, timeout, stdout, stderr))


def _signal_group(process, signum):
    try:
        os.killpg(process.pid, signum)
    except ProcessLookupError:
        pass


def timeout_report(args, timeout, stdout, stderr, tail=8000):
    """The failure text of a child that ran out of time: its command and the end of its output,
    where the stacks were written."""
    def text(value):
        if isinstance(value, bytes):
            value = value.decode("utf-8", "replace")
        return value or ""
    command = " ".join(map(str, args)) if not isinstance(args, (str, bytes)) else text(args)
    if len(command) > 300:
        command = command[:300] + " ..."
    parts = [f"child process did not finish within {timeout} s; at {timeout - dump_margin(timeout):g} s "
             f"its Python processes wrote the stacks of their threads (faulthandler, below).\n$ {command}"]
    for label, value in (("stdout", text(stdout)), ("stderr", text(stderr))):
        if value:
            parts.append(f"--- {label}, last {tail} characters ---\n{value[-tail:]}")
    return "\n".join(parts)


def run_python(code, env=None, timeout=120):
    """Runs code in a fresh interpreter (the one running the tests)."""
    full_env = dict(os.environ)
    if env:
        full_env.update(env)
    return run_process([sys.executable, "-c", code], capture_output=True, text=True, env=full_env,
                       timeout=timeout)


class Tracer:
    """Stands in for a module: records each attribute fetched, then delegates."""

    def __init__(self, label, target, events, extra=None):
        object.__setattr__(self, "_t", (label, target, events, extra or {}))

    def __getattr__(self, name):
        label, target, events, extra = object.__getattribute__(self, "_t")
        events.append(f"{label}.{name}")
        return extra[name] if name in extra else getattr(target, name)
