"""Shared fixtures: unique logger names and a clean slate after each test."""
import itertools
import os
import subprocess
import sys
import uuid

import pytest

import log_main

_counter = itertools.count()


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


def run_python(code, env=None, timeout=120):
    """Runs code in a fresh interpreter (the one running the tests)."""
    full_env = dict(os.environ)
    if env:
        full_env.update(env)
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          env=full_env, timeout=timeout)


class Tracer:
    """Stands in for a module: records each attribute fetched, then delegates."""

    def __init__(self, label, target, events, extra=None):
        object.__setattr__(self, "_t", (label, target, events, extra or {}))

    def __getattr__(self, name):
        label, target, events, extra = object.__getattribute__(self, "_t")
        events.append(f"{label}.{name}")
        return extra[name] if name in extra else getattr(target, name)
