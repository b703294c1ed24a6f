"""The console line: colorlog's ColoredFormatter.format against the module's own line for one record.

Sides, each called on the same INFO record with the module's console formatter:
  format         formatter.format(record): getMessage, formatTime, then formatMessage
  formatMessage  formatter.formatMessage(record): the part the module's line stands in for
  module         colored_known() + colored_line() (src/logger/colored.cpp), reached through
                 ctypes as the tests reach it; under callgrind only the instructions inside the
                 two functions are counted (--toggle-collect), so the ctypes call is left out

    bench/colored_line.py               microseconds per call, rounds interleaved
    bench/colored_line.py --callgrind   instructions per call under valgrind's callgrind
"""
import argparse
import ctypes
import logging
import os
import re
import subprocess
import sys
import tempfile
import timeit

import colorlog

import log_main

SIDES = ("format", "formatMessage", "module")


def setup():
    formatter = colorlog.ColoredFormatter(fmt=log_main._cformatter, log_colors=log_main._colors)
    record = logging.LogRecord("app", logging.INFO, __file__, 1, "request %s served", ("/index",), None)
    formatter.format(record)
    probe = ctypes.PyDLL(log_main.__file__).log_main_colored_probe
    probe.restype = ctypes.py_object
    probe.argtypes = [ctypes.py_object] * 5
    assert probe(formatter, record.asctime, record.name, record.levelname, record.message) == \
        formatter.formatMessage(record)
    calls = {
        "format": lambda: formatter.format(record),
        "formatMessage": lambda: formatter.formatMessage(record),
        "module": lambda: probe(formatter, record.asctime, record.name, record.levelname, record.message),
    }
    return calls


def times(rounds=7, number=20000):
    calls = setup()
    best = {side: float("inf") for side in SIDES}
    for _ in range(rounds):
        for side in SIDES:
            best[side] = min(best[side], timeit.timeit(calls[side], number=number) / number)
    return best


def drive(side, n):
    call = setup()[side]
    for _ in range(1000):
        call()
    for _ in range(n):
        call()


def instructions(side, n, toggle):
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "cg.out")
        args = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}"]
        if toggle:
            args += ["--toggle-collect=log_main::colored_known*", "--toggle-collect=log_main::colored_line*"]
        args += [sys.executable, __file__, "--drive", side, str(n)]
        subprocess.run(args, check=True, capture_output=True, env=dict(os.environ, PYTHONHASHSEED="0"))
        with open(out) as f:
            return int(re.search(r"^summary: (\d+)", f.read(), re.M).group(1))


def main(argv):
    parser = argparse.ArgumentParser()
    parser.add_argument("--callgrind", action="store_true")
    parser.add_argument("--drive", nargs=2)
    parser.add_argument("--counts", nargs=2, type=int, default=(2000, 12000))
    args = parser.parse_args(argv)
    if args.drive:
        return drive(args.drive[0], int(args.drive[1]))
    print(f"Python {sys.version.split()[0]}, colorlog {colorlog.__version__ if hasattr(colorlog, '__version__') else __import__('importlib.metadata').metadata.version('colorlog')}")
    if args.callgrind:
        small, large = args.counts
        for side in SIDES:
            toggle = side == "module"
            a, b = instructions(side, small, toggle), instructions(side, large, toggle)
            print(f"{side:14} {(b - a) / (large - small):10.0f} instructions per call")
        return 0
    for side, seconds in times().items():
        print(f"{side:14} {seconds * 1e6:8.2f} µs per call")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
