"""Leaks: many emissions and many set-up/close cycles give back every object, reference and byte.

Counts of live objects by type (gc), the reference counts of the objects handed in and the bytes
traced by tracemalloc are taken after a warm-up batch (caches filled, files open) and again at
the end. Set-up leaves every new logger in the logging manager and every log file in
`_FHANDLERS` by design; each cycle removes those two entries itself, so nothing else may stay.

Each measurement runs in a fresh interpreter traced from its start. In the test process those
tables hold the entries of every test before, and a table allocated before tracing began and
grown during the measurement would count in full as new bytes, depending on test order.
"""
import collections
import gc
import logging
import os
import sys
import tracemalloc
from pathlib import Path

import pytest

import log_main
from conftest import run_python
from log_main import OsprelLog

EMISSIONS = 100_000
CYCLES = 3_000            # a third to warm up, then two windows
OBJECT_SLACK = 3          # live objects of any one type
BYTES_SLACK = 16 * 1024   # traced bytes (a leak of one small object per round shows)


class Part:
    def __str__(self):
        return "part"


class Unprintable:
    def __str__(self):
        raise ValueError("no text")


class Flag:
    """A console/rehandler flag that is not a bool."""

    def __init__(self, value):
        self.value = value

    def __bool__(self):
        return self.value


def snapshot(watched, before=None):
    """Live objects by type, reference counts and traced bytes. The bytes are read before this
    snapshot's own tables exist, so that two snapshots trace the same bookkeeping."""
    gc.collect()
    traced = tracemalloc.get_traced_memory()[0]
    refs = {name: sys.getrefcount(obj) for name, obj in watched.items()}
    counts = collections.Counter()   # filled by hand: Counter(iterable) would touch ABC caches
    for obj in gc.get_objects():
        counts[type(obj).__qualname__] += 1
    if before is None:   # taken once more, so that it includes the tables just made
        traced = tracemalloc.get_traced_memory()[0]
    return counts, refs, traced


def compare(before, after, window=None):
    """Returns the figures and asserts they are back within the slack. With `window`, the
    (before, after) pair of a window of the same work measured just before, the bytes need to be
    back in one of the two: CPython itself keeps a few dozen small blocks of some text files
    opened, now and then, while a leak grows in every window."""
    (counts0, refs0, bytes0), (counts1, refs1, bytes1) = before, after
    grown = {t: counts1[t] - counts0[t] for t in counts1 if counts1[t] - counts0[t] > OBJECT_SLACK}
    changed = {name: (refs0[name], refs1[name]) for name in refs0 if refs1[name] != refs0[name]}
    assert grown == {} and changed == {}
    figures = f"objects {sum(counts0.values())} -> {sum(counts1.values())}, traced bytes {bytes0} -> {bytes1}"
    if window:
        earlier = window[1][2] - window[0][2]
        assert min(abs(earlier), abs(bytes1 - bytes0)) < BYTES_SLACK, (earlier, bytes1 - bytes0)
        return f"{figures} (the window before: {earlier:+})"
    assert abs(bytes1 - bytes0) < BYTES_SLACK, (bytes0, bytes1)
    return figures


def run_alone(measurement, name, folder):
    """Runs measurement(name, folder) in a fresh interpreter traced from its start; its figures."""
    tests = os.path.dirname(os.path.abspath(__file__))
    code = (f"import sys, tracemalloc; sys.path.insert(0, {tests!r}); import {__name__} as t; "
            f"tracemalloc.start(); print(t.{measurement.__name__}({name!r}, {str(folder)!r}))")
    result = run_python(code, timeout=600)
    assert result.returncode == 0, result.stderr[-3000:]
    return result.stdout.strip().splitlines()[-1]


@pytest.mark.slow
def test_emissions_give_everything_back(unique_name, tmp_path, capsys):
    figures = run_alone(emissions, unique_name, tmp_path)
    with capsys.disabled():
        print(f"\n{EMISSIONS} emissions: {figures}")


def emissions(unique_name, folder):
    assert tracemalloc.is_tracing()
    tmp_path = Path(folder)
    obj = OsprelLog(unique_name, file=str(tmp_path / "e.log"), console=False)
    silent = OsprelLog(unique_name + "_silent", console=False)
    silent.disable()
    watched = {
        "text part": "".join(["te", "xt"]), "int part": int("123456789012"), "object part": Part(),
        "bad part": Unprintable(), "parts tuple": ("a %s", int("98765432101")), "args": (int("4242424242"),),
        "kwargs": {"extra": {"tag": "memory"}}, "level": int("1000003"), "file level": int("-1000"),
        "console level": int("100000"), "object": obj, "logger": obj._logger, "silent": silent,
    }
    w = watched
    w["object"].set_file_level(w["file level"])

    def batch(rounds):
        for i in range(rounds):
            obj.info(w["text part"], w["int part"])
            obj.warning("v %s", w["object part"], args=w["args"])
            obj._log(w["level"], w["parts tuple"], w["args"], w["kwargs"])
            obj.error(w["text part"], kwargs=w["kwargs"])
            obj.debug(w["text part"], w["bad part"])              # swallowed ValueError
            silent.critical(w["text part"], w["int part"])
            obj.set_console_level(w["console level"])
            obj.set_file_level(w["file level"])
            if i % 10 == 0:   # a type-check error and a binding error
                refused = 0
                for call in (lambda: obj.info(w["text part"], args=[w["int part"]]),
                             lambda: obj.info(w["text part"], bogus=w["kwargs"])):
                    try:
                        call()
                    except TypeError:
                        refused += 1
                assert refused == 2
        return rounds * 5   # emissions that reached the logger

    batch(500)
    before = snapshot(watched)
    assert batch(EMISSIONS // 5) == EMISSIONS
    after = snapshot(watched, before)
    figures = compare(before, after)
    obj.close()
    with open(tmp_path / "e.log", encoding="utf-8") as stream:
        assert sum(1 for _ in stream) == (EMISSIONS + 500 * 5) // 5 * 4
    return figures


@pytest.mark.slow
def test_set_up_and_close_cycles_give_everything_back(unique_name, tmp_path, capsys):
    figures = run_alone(set_up_and_close_cycles, unique_name, tmp_path)
    with capsys.disabled():
        print(f"\n{CYCLES} set-up/close cycles: {figures}")


def set_up_and_close_cycles(unique_name, folder):
    assert tracemalloc.is_tracing()
    base = OsprelLog(unique_name, logging.CRITICAL + 10)   # its console handler stays silent
    manager = logging.Logger.manager.loggerDict
    watched = {
        "name": unique_name, "level": int("-1000"), "option": int("1000007"), "no console": Flag(False),
        "rehandler": Flag(True), "base": base, "logger": base._logger,
    }
    w = watched
    kinds = ("file", "rotating", "timerotating")
    # Paths as plain strings: pathlib would intern every new file name for good.
    top_path, child_path = os.path.join(folder, "top.log"), os.path.join(folder, "child.log")

    def cycle(number):
        kind = kinds[number % 3]
        name, path = f"{unique_name}_{number}", os.path.join(folder, f"c{number}.log")
        own = OsprelLog(name, w["level"], path, kind, w["no console"], backupCount=w["option"])
        own.info("cycle", number)
        # A take-over of the base name stacks a layer and is unwound again.
        top = OsprelLog(w["name"], w["level"], top_path, kind, w["no console"], w["rehandler"],
                        backupCount=w["option"])
        top.warning("top")
        assert top.close() is None
        # A child logger of the base name.
        child = OsprelLog(w["name"], w["level"], child_path, kind, w["no console"])
        child.error("child")
        assert child.close() is None and own.close() is None
        # The two entries the design keeps: drop them so that nothing else may remain.
        del manager[name], manager[child.name]
        del log_main._FHANDLERS[path]

    third = CYCLES // 3
    for number in range(third):
        cycle(number)
    first = snapshot(watched)
    for number in range(third, 2 * third):
        cycle(number)
    window = (first, snapshot(watched, first))
    before = snapshot(watched)
    for number in range(2 * third, CYCLES):
        cycle(number)
    after = snapshot(watched, before)
    figures = compare(before, after, window)
    assert log_main._LOGGERS[unique_name] == {1: base} and unique_name not in log_main._CAPTURES
    base.close()
    return figures
