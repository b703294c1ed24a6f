"""Benchmark a private copy of the installed module binary.

Imported before log_main: copies the installed extension into a temporary directory and puts
that first on sys.path, so a rebuild while the benchmarks run cannot mix two builds. Child
processes (scenario 7, the callgrind drivers) find the same copy through the environment
variable below and PYTHONPATH.
"""

import atexit
import importlib.util
import os
import shutil
import sys
import tempfile
import time

ENV = "LOG_MAIN_BENCH_MODULE_DIR"


def _take():
    origin = importlib.util.find_spec("log_main").origin
    directory = tempfile.mkdtemp(prefix="log_main_bench_module")
    atexit.register(shutil.rmtree, directory, True)
    shutil.copy2(origin, directory)
    os.environ[ENV] = directory
    return directory, origin


if os.environ.get(ENV):
    MODULE_DIR, ORIGIN = os.environ[ENV], "(inherited)"
else:
    MODULE_DIR, ORIGIN = _take()
sys.path.insert(0, MODULE_DIR)


def describe():
    """The installed binary that was copied, with its time of installation."""
    name = next(f for f in os.listdir(MODULE_DIR) if f.startswith("log_main"))
    built = time.strftime("%Y-%m-%d %H:%M UTC",
                          time.gmtime(os.stat(os.path.join(MODULE_DIR, name)).st_mtime))
    return f"{name} built {built}"


def child_env():
    """Environment for a child interpreter that must import the same copy."""
    return dict(os.environ, PYTHONPATH=MODULE_DIR)
