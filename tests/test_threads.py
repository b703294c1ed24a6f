"""Threads and the module lock.

Eight threads working the module at once: set-up, take-over, emission, levels, close. Every
thread runs a fixed, seeded programme, so the run ends by itself. Lines written through
private names (touched by one thread only) are checked to be in their file exactly once;
shared names are taken over and unwound by all threads at once, and their layers and capture
entries are checked for consistency while the threads run and at the end.

Then the lock across fork() and interpreter exit, and the hazards the README documents. Each
of those runs in a child interpreter with a timeout; where the documented behaviour is a block,
a watchdog thread in the child reports it and ends the child.
"""
import collections
import json
import logging
import pathlib
import random
import re
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import log_main
from conftest import run_process, run_python
from log_main import OsprelLog, _CAPTURES, _GetLogger, _LOGGERS, _SetLogger

THREADS = 8
ROUNDS = 45
KINDS = ("file", "rotating", "timerotating")
LEVELS = ("debug", "info", "warning", "error", "critical")
QUIET = logging.CRITICAL + 10   # console handlers made at this level print nothing
JOIN_TIMEOUT = 120
LINE = re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} - \S+ - (DEBUG|INFO|WARNING|ERROR|CRITICAL) - (m\S+)( \d+)?$")


class Worker:
    def __init__(self, tid, prefix, shared, directory):
        self.tid, self.prefix, self.shared, self.dir = tid, prefix, shared, directory
        self.rng = random.Random(1000 + tid)
        self.expected = collections.defaultdict(list)   # file -> messages that must be there once
        self.absent = []                                 # messages that must be in no file
        self.ops = 0
        self.seq = 0

    def message(self):
        self.seq += 1
        return f"m{self.tid}_{self.seq}"

    def call(self, fn, *args, **kwargs):
        self.ops += 1
        return fn(*args, **kwargs)

    def emit(self, obj, level, path):
        """Emits one distinct message; `path` is its file, or None when it must go nowhere."""
        text = self.message()
        assert self.call(getattr(obj, level), text) is None
        if path:
            self.expected[path].append(text)
        else:
            self.absent.append(text)

    def emit_all(self, obj, path):
        for level in LEVELS:
            self.emit(obj, level, path)

    def path(self, tag):
        return str(self.dir / f"{tag}_{self.tid}_{self.seq}.log")

    def private_round(self, number):
        rng = self.rng
        name = f"{self.prefix}_p{self.tid}_{number}"
        own = self.path("own")
        obj = self.call(OsprelLog, name, file=own, handler_type=rng.choice(KINDS), console=False)
        assert type(obj) is _SetLogger and _LOGGERS[name] == {1: obj}
        self.emit_all(obj, own)
        self.call(obj.set_console_level, QUIET)
        self.call(obj.set_file_level, logging.WARNING)
        self.emit(obj, "info", None)
        self.emit(obj, "error", own)
        self.call(obj.set_file_level, logging.DEBUG)
        self.call(obj.disable)
        self.emit(obj, "warning", None)
        self.call(obj.enable, logging.getLogger(name))
        self.emit(obj, "debug", own)

        if rng.random() < 0.6:   # take the private logger over, then give it back
            other = self.path("top")
            top = self.call(OsprelLog, name, file=other, handler_type=rng.choice(KINDS), console=False,
                            rehandler=True)
            assert type(top) is _GetLogger and _LOGGERS[name] == {1: obj, 2: top}
            assert list(_CAPTURES[name]) == [1]
            self.emit(obj, "error", None)
            self.emit_all(top, other)
            assert self.call(rng.choice((obj, top)).close) is None
            self.emit(top, "critical", None)
            self.emit_all(obj, own)
            assert _LOGGERS[name] == {1: obj} and name not in _CAPTURES

        if rng.random() < 0.5:   # a private child logger of the same name
            path = self.path("child")
            child = self.call(OsprelLog, name, file=path, handler_type=rng.choice(KINDS), console=False)
            assert child.name.startswith(name + ".")
            self.emit_all(child, path)
            assert self.call(child.close) is None
            self.emit(child, "info", None)

        assert self.call(obj.close) is None
        self.emit(obj, "critical", None)
        assert name not in _LOGGERS and name not in _CAPTURES
        assert logging.getLogger(name).handlers == []

    def shared_round(self):
        rng = self.rng
        name = rng.choice(self.shared)
        mode = rng.choice(("quiet", "console", "child"))
        path = self.path("shared") if mode == "child" or rng.random() < 0.7 else None
        kind = rng.choice(KINDS)
        if mode == "child":   # a child without handlers would reach logging's last resort
            obj = self.call(OsprelLog, name, file=path, handler_type=kind, console=False)
            assert obj.name.startswith(name + ".")
            self.emit_all(obj, path)
            assert self.call(obj.close) is None
            return
        obj = self.call(OsprelLog, name, QUIET, path, kind, mode == "console", True)
        assert type(obj) is _GetLogger
        self.call(obj.set_file_level, logging.DEBUG)
        self.call(obj.set_console_level, QUIET)
        for level in LEVELS:   # may land in files of other layers: not counted
            self.call(getattr(obj, level), self.message(), rng.randrange(100))
        if rng.random() < 0.3:
            self.call(obj.disable)
            self.call(obj.info, self.message())
            self.call(obj.enable, logging.getLogger(name))
        # Unwinds the top layer, which may belong to another thread.
        assert self.call(obj.close) is None

    def run(self):
        for number in range(ROUNDS):
            self.private_round(number)
            for _ in range(2):
                self.shared_round()


def check_layers():
    """Layer indices run 1..n and capture entries sit under 1..n-1 for every registered name."""
    for name, layers in list(_LOGGERS.items()):
        assert sorted(layers) == list(range(1, len(layers) + 1)), (name, sorted(layers))
        if name in _CAPTURES:
            assert sorted(_CAPTURES[name]) == list(range(1, len(layers))), (name, sorted(_CAPTURES[name]))


@pytest.mark.slow
def test_eight_threads_mixed_operations(unique_name, tmp_path):
    shared = [f"{unique_name}_s{i}" for i in range(3)]
    bottoms = [OsprelLog(name, level=QUIET) for name in shared]
    # Attached by other code and never taken off by a take-over: the shared loggers never
    # run out of handlers, not even while close() rebuilds (no record reaches the last resort).
    keepers = [logging.NullHandler() for _ in shared]
    for name, keeper in zip(shared, keepers):
        logging.getLogger(name).addHandler(keeper)
    workers = [Worker(tid, unique_name, shared, tmp_path) for tid in range(THREADS)]
    errors = []
    start = threading.Barrier(THREADS + 1)

    def body(worker):
        try:
            start.wait()
            worker.run()
        except BaseException as exc:   # reported below with the thread that raised it
            errors.append((worker.tid, exc))

    threads = [threading.Thread(target=body, args=(w,), daemon=True) for w in workers]
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    checks = 0
    try:
        for thread in threads:
            thread.start()
        start.wait()
        began = time.monotonic()
        while any(t.is_alive() for t in threads) and time.monotonic() - began < JOIN_TIMEOUT:
            assert log_main._LOCK.acquire(timeout=JOIN_TIMEOUT)
            try:
                check_layers()
                checks += 1
            finally:
                log_main._LOCK.release()
            time.sleep(0.002)
        for thread in threads:
            thread.join(timeout=max(0.1, JOIN_TIMEOUT - (time.monotonic() - began)))
    finally:
        sys.setswitchinterval(interval)

    assert not [t.name for t in threads if t.is_alive()], "threads did not finish"
    assert errors == []
    assert not log_main._LOCK.locked()
    assert checks > 0
    check_layers()
    for name, bottom, keeper in zip(shared, bottoms, keepers):
        assert _LOGGERS[name] == {1: bottom} and name not in _CAPTURES
        assert bottom._logger is logging.getLogger(name)
        # Back to the set of layer 1: the keeper and one console handler (perhaps rebuilt).
        handlers = logging.getLogger(name).handlers
        assert len(handlers) == 2 and keeper in handlers
        console = handlers[1 - handlers.index(keeper)]
        assert type(console) is type(bottom._console_handler) and console.level == QUIET
        assert bottom.close() is None
        assert name not in _LOGGERS and logging.getLogger(name).handlers == []

    found = collections.defaultdict(collections.Counter)   # message -> file -> count
    for path in tmp_path.glob("*.log"):
        for line in path.read_text(encoding="utf-8").splitlines():
            match = LINE.match(line)
            assert match, (path.name, line)
            found[match.group(2)][str(path)] += 1
    total = 0
    for worker in workers:
        for path, texts in worker.expected.items():
            for text in texts:
                assert found[text] == {path: 1}, (text, path, found[text])
            total += len(texts)
        for text in worker.absent:
            assert text not in found, (text, found[text])
    ops = sum(w.ops for w in workers)
    assert total > 5000 and ops > 15000
    print(f"\n{THREADS} threads, {ops} operations, {total} private lines checked, {checks} layer checks")


# -- the emission shortcuts while other threads change what they depend on -----------------------

STRESS = pathlib.Path(__file__).resolve().parent.parent / "scripts" / "stress"


@pytest.mark.slow
def test_shortcuts_write_only_what_the_full_call_could_while_everything_changes(tmp_path):
    # One round of scripts/stress (`make stress` runs them for minutes): writers through files of
    # the three kinds and coloured consoles, with tracebacks, %-args and calls below the level,
    # while other threads patch what the shortcuts pin, change levels, handlers, streams,
    # formatters, colours and TZ, set loggers up and close them, and hold handlers' locks. No
    # crash, no hang, and every line one the full call could have written: its own message,
    # level, time, colour and traceback, at most once per handler, only where a handler took it
    # at some moment of the call, and there whenever nothing it depends on changed.
    result = run_process([sys.executable, str(STRESS), "--child", "--seconds", "3", "--grace", "15",
                          "--dir", str(tmp_path / "round")], timeout=120, capture_output=True, text=True)
    summary = [json.loads(line.split(" ", 1)[1]) for line in result.stdout.splitlines()
               if line.startswith("STRESS-RESULT ")]
    assert result.returncode == 0 and summary, \
        f"exit {result.returncode}\n{result.stdout[-6000:]}\n--- stderr ---\n{result.stderr[-8000:]}"
    assert summary[0]["lines"] > 0 and summary[0]["checked pairs"] > 0


# -- fork, exit and the documented hazards, each in a child interpreter ------------------------

CHILD_PRELUDE = """
import gc, logging, logging.config, os, signal, sys, threading, time, warnings
import log_main
from log_main import OsprelLog
warnings.simplefilter("ignore", DeprecationWarning)   # fork() with threads running

def watchdog(blocked, seconds=1.0):
    # Prints BLOCKED and ends the process when blocked() still holds after `seconds`.
    def watch():
        time.sleep(seconds)
        if blocked():
            print("BLOCKED", flush=True)
            os._exit(0)
    threading.Thread(target=watch, daemon=True).start()

def wait_child(pid, seconds=15):
    # "exit N" for a child that ended, "hung" for one still running after `seconds` (then killed).
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return f"exit {os.waitstatus_to_exitcode(status)}"
        time.sleep(0.01)
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    return "hung"
"""


def run_child(code, timeout=60):
    result = run_python(CHILD_PRELUDE + textwrap.dedent(code), timeout=timeout)
    assert result.returncode == 0, result.stderr[-3000:]
    return result.stdout.split("\n")[:-1]


def test_forked_children_of_a_busy_process_can_set_up():
    # A thread sets loggers up and closes them without pause while worker processes are forked:
    # a child forked while that thread held the lock used to inherit it held and hang for good.
    assert run_child("""
        import multiprocessing
        def churn():
            for i in range(10 ** 9):
                OsprelLog(f"busy{i % 4}", file=f"busy{i % 4}.log", console=False).close()
        def work(n):
            OsprelLog(f"worker{n}", file=f"worker{n}.log", console=False).close()
        threading.Thread(target=churn, daemon=True).start()
        time.sleep(0.05)
        workers = [multiprocessing.get_context("fork").Process(target=work, args=(n,)) for n in range(20)]
        for p in workers:
            p.start()
        deadline = time.monotonic() + 15
        for p in workers:
            p.join(max(0.01, deadline - time.monotonic()))
        print(sum(p.is_alive() for p in workers), sorted({p.exitcode for p in workers if not p.is_alive()}))
        for p in workers:
            p.kill()
    """) == ["0 [0]"]


def test_fork_inside_the_module_lock_on_its_own_thread():
    # A handler constructor forks while this thread holds the lock for its own set-up. The parent
    # takes nothing (no deadlock with itself); in the child the lock starts free, a worker can set
    # up from there (as a multiprocessing child would), and the interrupted set-up then finishes.
    assert run_child("""
        lock, child = log_main._LOCK, None
        class Forks(log_main._SetLogger):
            def _create_console_handler(self):
                global child
                if child is None:
                    child = os.fork()
                    if child == 0:
                        OsprelLog("inner", file="inner.log", console=False).close()
                super()._create_console_handler()
        base, log_main._SetLogger = log_main._SetLogger, Forks
        obj = OsprelLog("outer", level=60)
        log_main._SetLogger = base
        state = [log_main._LOCK is lock, lock.locked()]
        OsprelLog("after", console=False).close()
        obj.close()
        state += [lock.locked(), sorted(log_main._LOGGERS)]
        if child == 0:
            print("child", state, flush=True)
            os._exit(0)
        print("parent", wait_child(child), state, flush=True)
    """) == ["child [True, False, False, []]", "parent exit 0 [True, False, False, []]"]


@pytest.mark.slow
def test_fork_while_a_set_up_is_blocked_goes_ahead_after_a_bounded_wait(tmp_path):
    # The lock's holder is stuck opening a FIFO: fork() waits a bounded time, then forks
    # without it; the child's lock, the same object, starts free.
    assert run_child("""
        os.mkfifo("pipe.log")
        lock = log_main._LOCK
        holder = threading.Thread(target=OsprelLog, args=("fifo",), kwargs={"file": "pipe.log", "console": False})
        holder.start()
        while not lock.locked():
            time.sleep(0.01)
        pid = os.fork()
        if pid == 0:
            OsprelLog("forked", console=False).close()
            print("child", log_main._LOCK is lock, lock.locked(), flush=True)
            os._exit(0)
        print("parent", wait_child(pid), lock.locked(), flush=True)
        os.close(os.open("pipe.log", os.O_RDONLY | os.O_NONBLOCK))
        holder.join()
        print("released", lock.locked(), sorted(log_main._LOGGERS))
    """) == ["child True False", "parent exit 0 True", "released False ['fifo']"]


def test_fork_leaves_a_rebound_lock_alone():
    assert run_child("""
        calls = []
        class Recorder:
            def __getattr__(self, name):
                calls.append(name)
                return lambda *args, **kwargs: True
        log_main._LOCK = Recorder()
        pid = os.fork()
        if pid == 0:
            print("child", calls, flush=True)
            os._exit(0)
        print("parent", wait_child(pid), calls)
    """) == ["child []", "parent exit 0 []"]


EXIT_TEXT = "the module lock is held by a thread that can no longer run"

# Finalisers that run while the interpreter tears modules down: they live in a module of their
# own, because objects reachable from a daemon thread's frames are never finalised.
TEARDOWN = """
from log_main import OsprelLog
class AtExit:
    def __init__(self, call, *args, **kwargs):
        self.call, self.args, self.kwargs = call, args, kwargs
    def __del__(self):
        self.call(*self.args, **self.kwargs)
closes = AtExit(OsprelLog("kept", file="kept.log", console=False).close)
sets_up = AtExit(OsprelLog, "late", console=False)
"""


# As TEARDOWN and the tests below, with a plain lock; the daemon thread's frames must not reach
# the finaliser.
HELD_LOCK_PROBE = """
import threading
lock = threading.Lock()
class AtExit:
    def __del__(self, lock=lock):
        lock.acquire(timeout=1)
keep = AtExit()
"""
HOLD = """
import threading, probe
held = threading.Event()
def hold():
    probe.lock.acquire(); held.set(); threading.Event().wait()
threading.Thread(target=hold, daemon=True).start()
held.wait()
"""


@pytest.fixture(scope="module")
def exit_error(tmp_path_factory):
    """The line a finaliser at exit reports on acquiring a lock that a stopped daemon thread holds:
    the interpreter's own error where it raises one (3.15+), else the module's, where plain Python
    would wait for good."""
    folder = tmp_path_factory.mktemp("probe")
    (folder / "probe.py").write_text(HELD_LOCK_PROBE)
    result = run_process([sys.executable, "-c", HOLD], cwd=folder, capture_output=True, text=True, timeout=30)
    raised = [line for line in result.stderr.splitlines() if re.match(r"\w+Error: ", line)]
    return raised[-1] if raised else f"RuntimeError: {EXIT_TEXT}"


def test_finalisers_at_exit_do_not_wait_for_a_lock_whose_holder_was_stopped(tmp_path, exit_error):
    # A daemon thread holds the lock for good when the interpreter stops it; finalisers that
    # call close() or OsprelLog() during teardown raise instead of waiting, and the process ends.
    (tmp_path / "teardown.py").write_text(TEARDOWN)
    result = run_python(textwrap.dedent("""
        import threading, log_main
        import teardown
        class Stuck(log_main._SetLogger):
            def _create_console_handler(self):
                holding.set()
                threading.Event().wait()
        holding = threading.Event()
        log_main._SetLogger = Stuck
        threading.Thread(target=log_main.OsprelLog, args=("stuck",), daemon=True).start()
        holding.wait()
        log_main._SetLogger = Stuck.__base__
    """), timeout=30)
    assert result.returncode == 0
    assert result.stderr.count(exit_error) == 2, result.stderr


HELD_AT_EXIT = "is held by a thread that can no longer run (the interpreter is shutting down)"


@pytest.mark.slow
def test_process_with_busy_daemon_threads_exits(tmp_path, exit_error):
    # Daemon threads set loggers up and close them until the interpreter stops them, then the
    # finalisers run. Timing decides whether a lock (the module's, logging's or a handler's) is
    # held then; either way the process ends. scripts/exit-hangs runs this hundreds of times.
    (tmp_path / "teardown.py").write_text(TEARDOWN)
    code = textwrap.dedent("""
        import threading, time
        from log_main import OsprelLog
        import teardown
        def churn(n):
            for i in range(10 ** 9):
                OsprelLog(f"churn{n}", file=f"churn{n}.log", console=False).close()
        for n in range(4):
            threading.Thread(target=churn, args=(n,), daemon=True).start()
        time.sleep(0.1)
    """)
    result = run_python(code, timeout=30)
    assert result.returncode == 0, result.stderr[-6000:]
    assert result.stderr == "" or HELD_AT_EXIT in result.stderr or exit_error in result.stderr, \
        result.stderr[-6000:]


# A daemon thread takes `locks` once logging's own exit handler (which closes every handler) has
# run, and holds them while the interpreter stops it: the atexit hook, registered before logging
# is imported, runs after logging's.
HOLD_AFTER_LOGGING_SHUTDOWN = """
import atexit, threading
grab, held = threading.Event(), threading.Event()
atexit.register(lambda: (grab.set(), held.wait()))
import logging
from log_main import OsprelLog
def hold(locks):
    grab.wait()
    for lock in locks:
        lock.acquire()
    held.set()
    threading.Event().wait()
"""

LOCKS_HELD_AT_EXIT = {   # locks held, what the finalisers raise, how often, whether the record is written
    "none": ("[]", None, 0, True),
    "logging's module lock": ("[logging._lock]", "logging's module lock", 3, False),
    "a handler's lock": ("[logging.getLogger(name).handlers[0].lock for name in ('kept', 'plain', 'emits')]",
                         "the lock of a handler (FileHandler)", 2, False),
}


@pytest.mark.parametrize("case", LOCKS_HELD_AT_EXIT)
def test_finalisers_at_exit_do_not_wait_for_logging_locks_whose_holder_was_stopped(tmp_path, case, exit_error):
    # Finalisers close an object, set one up, take a plain logger over and log a record while a
    # stopped daemon thread holds logging's module lock, or the file handlers' locks: each raises
    # at once instead of waiting for good (the record is dropped, as emission raises nothing),
    # and the process ends. With no lock held, they go ahead.
    locks, text, count, written = LOCKS_HELD_AT_EXIT[case]
    (tmp_path / "teardown.py").write_text(TEARDOWN + textwrap.dedent("""
        import logging
        logging.getLogger("plain").addHandler(logging.FileHandler("plain.log"))
        takes_over = AtExit(OsprelLog, "plain", file="over.log", console=False, rehandler=True)
        emits = AtExit(OsprelLog("emits", file="emits.log", console=False).warning, "at exit")
    """))
    code = HOLD_AFTER_LOGGING_SHUTDOWN + textwrap.dedent(f"""
        import teardown
        threading.Thread(target=hold, args=({locks},), daemon=True).start()
    """)
    result = run_python(code, timeout=30)
    assert result.returncode == 0, result.stderr[-6000:]
    if text is None:   # the take-over's new file handler fails, as `open` is gone by then
        assert HELD_AT_EXIT not in result.stderr, result.stderr[-6000:]
    elif exit_error != f"RuntimeError: {EXIT_TEXT}":   # the interpreter raises its own error (3.15+)
        assert result.stderr.count(exit_error) == count, result.stderr[-6000:]
    else:
        assert result.stderr.count(f"RuntimeError: {text} {HELD_AT_EXIT}, so OsprelLog() and close() "
                                   "cannot go ahead") == count, result.stderr[-6000:]
    assert ("at exit" in (tmp_path / "emits.log").read_text()) == written


HAZARDS = {
    # A signal handler runs on the thread it interrupts, here inside OsprelLog().
    "signal handler": """
        done = threading.Event()
        signal.signal(signal.SIGUSR1, lambda signum, frame: OsprelLog("from_signal", console=False))
        class Signals(log_main._SetLogger):
            def _create_console_handler(self):
                signal.raise_signal(signal.SIGUSR1)
                super()._create_console_handler()
        log_main._SetLogger = Signals
        watchdog(lambda: not done.is_set())
        OsprelLog("interrupted")
        done.set()
    """,
    # A collection inside OsprelLog() runs a finaliser that closes a logger, on the same thread.
    "finaliser run by the collector": """
        gc.disable()
        done = threading.Event()
        victim = OsprelLog("victim", console=False)
        class Finalised:
            def __init__(self):
                self.cycle = self
            def __del__(self):
                victim.close()
        Finalised()
        class Collects(log_main._SetLogger):
            def _create_console_handler(self):
                gc.collect()
                super()._create_console_handler()
        log_main._SetLogger = Collects
        watchdog(lambda: not done.is_set())
        OsprelLog("collecting")
        done.set()
    """,
    # Formatting runs under the file handler's lock; close() holds _LOCK and wants that lock.
    "set-up from formatting during close()": """
        obj = OsprelLog("formatted", file="formatted.log", console=False)
        formatting = threading.Event()
        class Message:
            def __str__(self):
                formatting.set()
                while not log_main._LOCK.locked() and closer.is_alive():
                    time.sleep(0.01)
                OsprelLog("from_format", console=False)
                return "message"
        emitter = threading.Thread(target=lambda: obj.info("%s", args=(Message(),)), daemon=True)
        closer = threading.Thread(target=lambda: (formatting.wait(), obj.close()), daemon=True)
        watchdog(lambda: emitter.is_alive() and closer.is_alive() and log_main._LOCK.locked())
        closer.start(); emitter.start(); emitter.join(); closer.join()
    """,
    # dictConfig holds logging's lock while it calls the factory; a set-up holding _LOCK wants
    # logging's lock for its new handler.
    "dictConfig factory during a set-up": """
        setting_up, in_factory = threading.Event(), threading.Event()
        class Slow(log_main._SetLogger):
            def _create_console_handler(self):
                setting_up.set()
                in_factory.wait()
                super()._create_console_handler()
        def factory():
            setting_up.wait()
            in_factory.set()
            OsprelLog("from_factory", console=False)
            return logging.NullHandler()
        log_main._SetLogger = Slow
        config = {"version": 1, "disable_existing_loggers": False, "handlers": {"h": {"()": factory}}}
        configurer = threading.Thread(target=logging.config.dictConfig, args=(config,), daemon=True)
        setter = threading.Thread(target=OsprelLog, args=("configured",), daemon=True)
        watchdog(lambda: configurer.is_alive() and setter.is_alive() and log_main._LOCK.locked())
        configurer.start(); setter.start(); configurer.join(); setter.join()
    """,
}


@pytest.mark.slow
@pytest.mark.parametrize("case", HAZARDS)
def test_documented_hazard_blocks(case):
    assert run_child(textwrap.dedent(HAZARDS[case]) + "print('RETURNED')\n") == ["BLOCKED"]


@pytest.mark.slow
def test_fifo_log_file_blocks_other_set_ups_until_a_reader_opens_it():
    assert run_child("""
        os.mkfifo("pipe.log")
        fifo = threading.Thread(target=OsprelLog, args=("fifo",), kwargs={"file": "pipe.log", "console": False})
        fifo.start()
        while not log_main._LOCK.locked():
            time.sleep(0.01)
        other = threading.Thread(target=OsprelLog, args=("other",), kwargs={"console": False})
        other.start()
        other.join(1.0)
        print(fifo.is_alive(), other.is_alive())
        os.close(os.open("pipe.log", os.O_RDONLY | os.O_NONBLOCK))
        fifo.join(); other.join()
        print(log_main._LOCK.locked(), sorted(log_main._LOGGERS))
    """) == ["True True", "False ['fifo', 'other']"]
