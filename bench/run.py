"""Side-by-side benchmarks of log_main against plain `logging` (what `make bench` runs).

Every scenario times its sides interleaved in one process: each round runs candidate, baseline
(and the pure-Python facade where there is one) once, in alternating order, each a loop of N
calls timed with perf_counter_ns with the garbage collector off. Every side gets its own
generated loop function of the same shape, calling a callable held in a local variable, so
loop overhead and call-site specialisation are equal. Reported: the median ns per call over
the rounds and the median of the per-round ratios candidate / baseline (adjacent in time, so
slow drift of the machine cancels).

    bench/run.py                 all scenarios, writes docs/bench.md and docs/bench.png
    bench/run.py --quick         fewer, shorter rounds
    bench/run.py --scenario 4    one scenario, stdout only
    bench/run.py --callgrind     afterwards, instruction counts (bench/callgrind.py)

Scenario 8 is bench/callgrind.py; scenario 9 (a DEBUG call that no handler takes) gives two rows
from one interleaved run of three sides.
"""

import argparse
import gc
import hashlib
import io
import logging
import logging.handlers
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time
from itertools import repeat

import colorlog

import snapshot  # before log_main: a private copy of the binary is imported
import log_main
import figures
from pyfacade import PyLogger

BENCH = os.path.dirname(os.path.abspath(__file__))
DOCS = os.path.join(os.path.dirname(BENCH), "docs")
perf = time.perf_counter_ns


class Settings:
    def __init__(self, quick):
        self.quick = quick
        # Short loops and many rounds: on a shared machine most rounds then escape preemption
        # and the median ignores those that do not.
        self.loop_ms = 2                         # length of one timed loop
        self.rounds = 31 if quick else 401       # rounds of the call scenarios
        self.setup_iters = 50 if quick else 200  # set-ups per side and round (scenario 6)
        self.setup_rounds = 7 if quick else 61
        self.import_runs = 8 if quick else 100   # interpreter starts per side (scenario 7)


# ---------------------------------------------------------------------------------------------
# Timing harness

def make_loop(call_src, params):
    """A fresh loop function (own code object, own specialisation) that makes one call n times."""
    src = (f"def loop(n, {', '.join(params)}):\n"
           f"    for _ in repeat(None, n):\n"
           f"        {call_src}\n")
    namespace = {"repeat": repeat}
    exec(compile(src, f"<bench loop: {call_src}>", "exec"), namespace)
    return namespace["loop"]


class Side:
    """One contestant: a call written as source, with its operands bound as loop locals."""

    def __init__(self, call_src, **operands):
        self.call_src = call_src
        self.operands = tuple(operands.values())
        self.loop = make_loop(call_src, list(operands))

    def run(self, n):
        loop, operands = self.loop, self.operands
        gc.disable()
        try:
            t0 = perf()
            loop(n, *operands)
            t1 = perf()
        finally:
            gc.enable()
        return t1 - t0


def calibrate(sides, loop_ms):
    """Calls per loop so that the slowest side takes about loop_ms."""
    n = 64
    while True:
        worst = max(side.run(n) for side in sides)
        if worst >= 2_000_000 or n >= 1 << 22:
            break
        n *= 4
    return max(16, int(n * loop_ms * 1e6 / max(worst, 1)))


def interleave(sides, n, rounds):
    """ns per call of every side for every round, order alternating A B C / C B A. n is the
    calls per loop, one for all sides or a list with one per side."""
    counts = list(n) if isinstance(n, (list, tuple)) else [n] * len(sides)
    for side, k in zip(sides, counts):                  # warm-up: caches, specialisation
        side.run(k)
    gc.collect()
    times = [[] for _ in sides]
    for r in range(rounds):
        order = range(len(sides)) if r % 2 == 0 else range(len(sides) - 1, -1, -1)
        for i in order:
            times[i].append(sides[i].run(counts[i]) / counts[i])
    return times


def summary(row, cand, base, facade=None):
    ratios = sorted(c / b for c, b in zip(cand, base))
    q = statistics.quantiles(ratios, n=4) if len(ratios) > 1 else [ratios[0]] * 3
    row.update(cand=statistics.median(cand), base=statistics.median(base),
               ratio=statistics.median(ratios), q1=q[0], q3=q[2])
    if facade is not None:
        row.update(facade=statistics.median(facade),
                   facade_ratio=statistics.median(f / b for f, b in zip(facade, base)))
    return row


def run_calls(key, title, target, sides, cfg):
    n = calibrate(sides, cfg.loop_ms)
    times = interleave(sides, n, cfg.rounds)
    row = summary({"key": key, "title": title, "target": target, "calls": n}, *times)
    return row


# ---------------------------------------------------------------------------------------------
# Set-ups shared with bench/callgrind.py

_serial = iter(range(1, 1 << 30))


def unique(prefix):
    return f"bench_{prefix}_{os.getpid()}_{next(_serial)}"


def quiet_object():
    """A live object whose console handler drops every record (level above CRITICAL)."""
    obj = log_main.OsprelLog(unique("quiet"))
    obj.set_console_level(logging.CRITICAL + 1)
    return obj


def silent_object():
    obj = log_main.OsprelLog(unique("silent"))
    obj.disable()
    return obj


def debug_object(path, sink):
    """The object as a new user makes it: level INFO, a log file, the console handler on (its
    stream sent to sink), so both handlers stand at INFO and a DEBUG record reaches neither."""
    obj = log_main.OsprelLog(unique("debug"), level=logging.INFO, file=path)
    obj._console_handler.setStream(sink)
    return obj


def stdlib_at_info(path):
    """A logger wired by hand with `logging`: its own level INFO, one file handler, no
    propagation."""
    logger = logging.getLogger(unique("stdlib"))
    logger.setLevel(logging.INFO)
    logger.propagate = False
    handler = logging.FileHandler(path, encoding="utf-8")
    handler.setFormatter(logging.Formatter(fmt=log_main._fformatter))
    logger.addHandler(handler)
    return logger


def dropped_debug_sides(tmp, sink):
    """Scenario 9: obj.debug("msg", 42) on debug_object, (i) logger.debug("msg %s", 42) on
    stdlib_at_info, (ii) logger.log(DEBUG, "msg 42") on the object's own logger (at DEBUG, so
    the record is made and then dropped by both handlers). Each call is first checked to make
    the DEBUG record "msg 42" once something takes DEBUG (a probe handler at level 0; the
    hand-wired logger lowered to DEBUG for its check), then everything is put back."""
    obj = debug_object(os.path.join(tmp, "object.log"), sink)
    stdlib = stdlib_at_info(os.path.join(tmp, "stdlib.log"))
    logger = obj._logger
    check_emits(logger, lambda: obj.debug("msg", 42), "msg 42", levelno=logging.DEBUG)
    check_emits(logger, lambda: logger.log(logging.DEBUG, "msg 42"), "msg 42",
                levelno=logging.DEBUG)
    stdlib.setLevel(logging.DEBUG)
    check_emits(stdlib, lambda: stdlib.debug("msg %s", 42), "msg 42", levelno=logging.DEBUG)
    stdlib.setLevel(logging.INFO)
    return [Side('call("msg", 42)', call=obj.debug),
            Side('call("msg %s", 42)', call=stdlib.debug),
            Side('call(DEBUG, "msg 42")', call=logger.log, DEBUG=logging.DEBUG)]


def file_sizes(tmp):
    return {name: os.path.getsize(os.path.join(tmp, name)) for name in sorted(os.listdir(tmp))}


def check_dropped(tmp, sizes, sink, what):
    """Since the set-up (whose check wrote one line to the hand-wired logger's file) nothing
    reached the log files or the console."""
    if file_sizes(tmp) != sizes or sink.getvalue():
        raise SystemExit(f"{what}: records were written: files {sizes} -> {file_sizes(tmp)}, "
                         f"console {sink.getvalue()[:200]!r}")


class Plain:
    def info(self, *message, args=None, kwargs=None):
        pass


def check_emits(logger, call, message, **attrs):
    """The call must reach logger.log and make the record we claim to time."""
    records = []
    probe = logging.Handler(0)
    probe.emit = records.append
    logger.addHandler(probe)
    try:
        call()
    finally:
        logger.removeHandler(probe)
    if len(records) != 1 or records[0].getMessage() != message or any(
            getattr(records[0], k, None) != v for k, v in attrs.items()):
        raise SystemExit(f"bench set-up broken: {call!r} logged {[r.__dict__ for r in records]}")


# ---------------------------------------------------------------------------------------------
# Scenarios

def msg_42_sides(obj):
    """obj.info("msg", 42), logger.log(INFO, "msg 42") and the facade, checked to emit alike."""
    logger, facade = obj._logger, PyLogger(obj._logger)
    for call in (lambda: obj.info("msg", 42), lambda: logger.log(logging.INFO, "msg 42"),
                 lambda: facade.info("msg", 42)):
        check_emits(logger, call, "msg 42")
    return [Side('call("msg", 42)', call=obj.info),
            Side('call(INFO, "msg 42")', call=logger.log, INFO=logging.INFO),
            Side('call("msg", 42)', call=facade.info)]


def scenario_1(cfg):
    obj = quiet_object()
    yield run_calls("1", "record dropped by handler level", ("<=", 1.03), msg_42_sides(obj), cfg)


def scenario_2(cfg):
    with tempfile.TemporaryDirectory(prefix="log_main_bench") as tmp:
        path = os.path.join(tmp, "bench.log")
        obj = log_main.OsprelLog(unique("file"), file=path, handler_type="file", console=False)
        row = run_calls("2", "record written to a file", ("<=", 1.02), msg_42_sides(obj), cfg)
        obj.close()
        with open(path, encoding="utf-8") as f:
            lines = sum(1 for line in f if line.endswith(" - INFO - msg 42\n"))
        if lines < 3 * row["calls"] * (cfg.rounds + 1):
            raise SystemExit(f"scenario 2: only {lines} lines reached the file")
    yield row


def scenario_3(cfg):
    obj, plain = silent_object(), Plain()
    facade = PyLogger(None)
    sides = [Side('call("msg", 42)', call=obj.info),
             Side('call("msg", 42)', call=plain.info),
             Side('call("msg", 42)', call=facade.info)]
    yield run_calls("3", "silenced object vs empty method", ("<=", 1.0), sides, cfg)


def scenario_4(cfg):
    with tempfile.TemporaryDirectory(prefix="log_main_bench") as tmp:
        obj = log_main.OsprelLog(unique("file"), file=os.path.join(tmp, "bench.log"), console=False)
        yield from options_rows(obj, cfg)
        obj.close()


def options_rows(obj, cfg):
    """Written records (a "file" handler), so the rows measure the parts and the options."""
    logger, facade = obj._logger, PyLogger(obj._logger)
    extra = {"extra": {"user": "bob"}}
    cases = [
        ("4a", "four parts of mixed types",
         'call("a", 1, None, 2.5)', 'call(INFO, f"{A} {B} {C} {D}")', "a 1 None 2.5", {},
         {"A": "a", "B": 1, "C": None, "D": 2.5}),
        ("4b", "args=(3,)",
         'call("%s done", args=ARGS)', 'call(INFO, "%s done", 3)', "3 done", {"ARGS": (3,)}, {}),
        ("4c", "kwargs={'extra': {...}}",
         'call("x", kwargs=KW)', 'call(INFO, "x", extra=EXTRA)', "x",
         {"KW": extra}, {"EXTRA": extra["extra"]}),
    ]
    for key, title, cand_src, base_src, message, cand_ops, base_ops in cases:
        for src, call, ops in ((cand_src, obj.info, cand_ops), (base_src, logger.log, base_ops),
                               (cand_src, facade.info, cand_ops)):
            once = make_loop(src, ["call", "INFO", *ops])
            check_emits(logger, lambda: once(1, call, logging.INFO, *ops.values()), message,
                        **({"user": "bob"} if key == "4c" else {}))
        sides = [Side(cand_src, call=obj.info, **cand_ops),
                 Side(base_src, call=logger.log, INFO=logging.INFO, **base_ops),
                 Side(cand_src, call=facade.info, **cand_ops)]
        yield run_calls(key, title, ("<=", 1.05), sides, cfg)


def py_md5(text):
    if type(text) is not str:
        raise TypeError(
            f"Argument 'text' has incorrect type (expected str, got {type(text).__name__})")
    return hashlib.md5(text.encode("utf-8")).hexdigest()


def scenario_5(cfg):
    text = "x" * 64
    assert log_main._md5(text) == py_md5(text)
    sides = [Side("call(TEXT)", call=log_main._md5, TEXT=text),
             Side("call(TEXT)", call=py_md5, TEXT=text)]
    yield run_calls("5", '_md5("x" * 64) vs Python function', ("<", 1.0), sides, cfg)


class NameFilter(logging.Filter):
    def __init__(self, logger_name):
        super().__init__()
        self._logger_name = logger_name

    def filter(self, record):
        record.name = self._logger_name
        return True


FILE_HANDLERS = {
    "file": (logging.FileHandler, {"encoding": "utf-8", "mode": "a"}),
    "rotating": (logging.handlers.RotatingFileHandler,
                 {"encoding": "utf-8", "mode": "a", "maxBytes": 104857600, "backupCount": 100}),
    "timerotating": (logging.handlers.TimedRotatingFileHandler,
                     {"encoding": "utf-8", "when": "midnight", "interval": 1, "backupCount": 365}),
}


def by_hand_setup(name, path, kind):
    """What an application writes without the module: the same logger, handlers and filter."""
    logger = logging.getLogger(name)
    logger.setLevel(logging.DEBUG)
    logger.propagate = False
    name_filter = NameFilter(name)
    console = colorlog.StreamHandler()
    console.setLevel(logging.DEBUG)
    console.setFormatter(colorlog.ColoredFormatter(fmt=log_main._cformatter,
                                                   log_colors=log_main._colors))
    console.addFilter(name_filter)
    logger.addHandler(console)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    cls, options = FILE_HANDLERS[kind]
    handler = cls(filename=path, **options)
    if kind == "timerotating":
        handler.namer = lambda name: name.replace(".log", "") + ".log"
    handler.setLevel(logging.DEBUG)
    handler.setFormatter(logging.Formatter(fmt=log_main._fformatter))
    handler.addFilter(name_filter)
    logger.addHandler(handler)
    return logger


def by_hand_teardown(logger):
    for handler in logger.handlers[:]:
        logger.removeHandler(handler)
        handler.close()


def time_setups(make, names):
    """Median of set-up + close timed one by one. Each logger is then dropped from the manager
    (untimed), so the manager does not grow and slow later rounds (setLevel walks all of it).
    The median, because a few of these 30 µs operations take milliseconds when the process is
    preempted or the file system stalls, and those outliers would swamp a mean."""
    logger_dict = logging.Logger.manager.loggerDict
    times = []
    gc.disable()
    try:
        for name in names:
            t0 = perf()
            make(name)
            t1 = perf()
            times.append(t1 - t0)
            del logger_dict[name]
    finally:
        gc.enable()
    return statistics.median(times)


def scenario_6(cfg):
    with tempfile.TemporaryDirectory(prefix="log_main_bench") as tmp:
        for kind in ("file", "rotating", "timerotating"):
            path = os.path.join(tmp, kind, "app.log")
            factory = log_main.OsprelLog

            def candidate(name, factory=factory, path=path, kind=kind):
                factory(name, file=path, handler_type=kind).close()

            def baseline(name, path=path, kind=kind):
                by_hand_teardown(by_hand_setup(name, path, kind))

            sides = [candidate, baseline]
            for make in sides:                         # warm-up
                time_setups(make, [unique("setup") for _ in range(cfg.setup_iters)])
            gc.collect()
            times = [[], []]
            for r in range(cfg.setup_rounds):
                order = (0, 1) if r % 2 == 0 else (1, 0)
                for i in order:
                    names = [unique("setup") for _ in range(cfg.setup_iters)]
                    times[i].append(time_setups(sides[i], names))
                gc.collect()
            row = {"key": f"6{'abc'['file rotating timerotating'.split().index(kind)]}",
                   "title": f'set-up + close, "{kind}"', "target": ("<=", 1.10),
                   "calls": cfg.setup_iters}
            yield summary(row, *times)


IMPORTS = {
    "candidate": "import log_main",
    "baseline": "import logging.handlers, colorlog, hashlib, uuid, typing, threading, os",
}


def scenario_7(cfg):
    cmds = [[sys.executable, "-c", IMPORTS[side]] for side in ("candidate", "baseline")]
    env = snapshot.child_env()                          # same for both sides
    for cmd in cmds:                                    # warm the page cache
        subprocess.run(cmd, check=True, env=env)
    times = [[], []]
    for r in range(cfg.import_runs):
        order = (0, 1) if r % 2 == 0 else (1, 0)
        for i in order:
            t0 = perf()
            subprocess.run(cmds[i], check=True, env=env)
            times[i].append(perf() - t0)
    yield summary({"key": "7", "title": "import in a fresh interpreter", "target": ("<=", 1.05),
                   "calls": 1}, *times)


def scenario_9(cfg):
    with tempfile.TemporaryDirectory(prefix="log_main_bench") as tmp:
        sink = io.StringIO()
        sides = dropped_debug_sides(tmp, sink)
        sizes = file_sizes(tmp)
        # The old path costs tens of times the others: each side gets its own call count, so
        # every loop lasts about loop_ms.
        counts = [calibrate([side], cfg.loop_ms) for side in sides]
        cand, base, old = interleave(sides, counts, cfg.rounds)
        check_dropped(tmp, sizes, sink, "scenario 9")
    yield summary({"key": "9a", "title": "dropped DEBUG vs stdlib logger at INFO",
                   "target": ("<=", 1.0), "calls": counts[0]}, cand, base)
    yield summary({"key": "9b", "title": "dropped DEBUG vs record made and dropped",
                   "target": None, "calls": counts[0]}, cand, old)


SCENARIOS = {1: scenario_1, 2: scenario_2, 3: scenario_3, 4: scenario_4, 5: scenario_5,
             6: scenario_6, 7: scenario_7, 9: scenario_9}


# ---------------------------------------------------------------------------------------------
# Output

def met(row):
    """Target met; a row without a target (shown for comparison only) counts as met."""
    if row["target"] is None:
        return True
    op, value = row["target"]
    return row["ratio"] < value if op == "<" else row["ratio"] <= value


def fmt_time(ns):
    if ns >= 1e6:
        return f"{ns / 1e6:.2f} ms"
    if ns >= 1e4:
        return f"{ns / 1e3:.1f} µs"
    return f"{ns:.0f} ns"


HEADER = ["scenario", "", "candidate", "baseline", "ratio", "IQR", "target", "met?",
          "py facade", "facade ratio"]


def cells(row):
    facade = "facade" in row
    if row["target"] is None:
        target, verdict = "—", ""
    else:
        op, value = row["target"]
        target, verdict = f"{'≤' if op == '<=' else '<'} {value:.2f}", "yes" if met(row) else "NO"
    return [row["key"], row["title"], fmt_time(row["cand"]), fmt_time(row["base"]),
            f"{row['ratio']:.3f}", f"{row['q1']:.3f}-{row['q3']:.3f}", target, verdict,
            fmt_time(row["facade"]) if facade else "", f"{row['facade_ratio']:.3f}" if facade else ""]


def text_table(rows):
    table = [HEADER] + [cells(r) for r in rows]
    widths = [max(len(line[i]) for line in table) for i in range(len(HEADER))]
    return "\n".join("  ".join(c.ljust(w) if i < 2 else c.rjust(w)
                               for i, (c, w) in enumerate(zip(line, widths))).rstrip()
                     for line in table)


def machine():
    cpu = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next(line.split(":", 1)[1].strip() for line in f if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    return (f"CPython {platform.python_version()}, {platform.system()} {platform.machine()}, "
            f"{cpu}, {os.cpu_count()} CPUs, load average {os.getloadavg()[0]:.2f} at start; "
            f"{snapshot.describe()}")


COMPARED = [
    "1: `obj.info(\"msg\", 42)` against `logger.log(logging.INFO, \"msg 42\")` on the same "
    "logger, whose console handler is set above CRITICAL; no file. The baseline makes the "
    "record and drops it at the handler; the candidate, which no handler takes, returns "
    "before making it (as in 9).",
    "2: the same pair, \"file\" handler on a file in a temporary directory, console off.",
    "3: `obj.info(\"msg\", 42)` after `obj.disable()` against the empty method "
    "`def info(self, *message, args=None, kwargs=None): pass` of a plain object.",
    "4a: `obj.info(\"a\", 1, None, 2.5)` against `logger.log(INFO, f\"{a} {b} {c} {d}\")` with "
    "the same values in locals; 4b: `obj.info(\"%s done\", "
    "args=(3,))` against `logger.log(INFO, \"%s done\", 3)`; 4c: `obj.info(\"x\", "
    "kwargs={\"extra\": {...}})` against `logger.log(INFO, \"x\", extra={...})`, dicts built once. "
    "Records written, logger as in 2.",
    "5: `_md5(\"x\" * 64)` against `hashlib.md5(text.encode(\"utf-8\")).hexdigest()` behind the "
    "same exact-`str` check.",
    "6: `OsprelLog(name, file=..., handler_type=kind).close()` against the same logger, console "
    "handler, file handler and name filter built and removed by hand with `logging` and "
    "`colorlog`; a new name each time, dropped from the `logging` manager after each (untimed); "
    "per round the median of the set-ups.",
    "7: `python -c \"import log_main\"` against `python -c \"import logging.handlers, "
    "colorlog, hashlib, uuid, typing, threading, os\"`, wall time including interpreter start.",
    "9a: `obj.debug(\"msg\", 42)` on `OsprelLog(name, level=logging.INFO, file=...)` as a new "
    "user makes it (console handler on, its stream sent to a sink; both handlers at INFO, the "
    "underlying logger at DEBUG) against a logger wired by hand with `logging` at INFO "
    "(`setLevel(logging.INFO)`, a `FileHandler`, `propagate = False`), `logger.debug(\"msg %s\", "
    "42)`; nothing reaches a file or the console. 9b: the same candidate against "
    "`obj._logger.log(logging.DEBUG, \"msg 42\")` on the object's own logger, which makes the "
    "record and drops it at both handlers (no target; what the call cost before it returned "
    "early). Each side loops its own number of calls, about 2 ms' worth; ratios per round as "
    "elsewhere.",
]


def markdown(rows, cfg, seconds):
    lines = [
        "# Benchmarks",
        "",
        f"`bench/run.py{' --quick' if cfg.quick else ''}` ({seconds:.0f} s) on {machine()}.",
        "",
        "Each row times the log_main call (candidate) and the same work done without it "
        "(baseline) interleaved in one process. Times are medians over "
        f"{cfg.rounds} rounds ({cfg.setup_rounds} for scenario 6, {cfg.import_runs} "
        "interpreter starts per side for 7); the ratio is the median of the per-round ratios "
        "candidate / baseline, IQR their interquartile range. Py facade: the same logger object "
        "written in plain Python (`bench/pyfacade.py`) on the same `logging.Logger`, with its "
        "ratio to the baseline.",
        "",
        "| " + " | ".join(h or "what" for h in HEADER) + " |",
        "|" + "|".join("---" if i < 2 else "---:" for i in range(len(HEADER))) + "|",
    ]
    lines += ["| " + " | ".join(cells(r)) + " |" for r in rows]
    missed = [r for r in rows if not met(r)]
    if missed:
        lines += ["", "Targets not met: " + "; ".join(
            f"{r['key']} ({r['ratio']:.3f} against {r['target'][1]:.2f})" for r in missed) + "."]
    lines += ["", "![ratios](bench.png)", "", "What each row compares:", ""]
    lines += [f"- {line}" for line in COMPARED]
    lines += ["", "Instruction counts for scenarios 1, 3 and 9: [callgrind.md](callgrind.md).", ""]
    return "\n".join(lines)


SHORT = {"1": "dropped", "2": "to file", "3": "silenced", "4a": "4 parts", "4b": "args",
         "4c": "kwargs", "5": "_md5", "6a": "set-up\nfile", "6b": "set-up\nrotating",
         "6c": "set-up\ntimerot.", "7": "import", "9a": "DEBUG\ndropped"}


def plot(rows, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.lines import Line2D
    from matplotlib.patches import Patch

    # Rows without a target (9b, far below 1) would squash the scale of the others.
    rows = [r for r in rows if r["target"] is not None]
    fig, ax = plt.subplots(figsize=(11, 4.8))
    xs = list(range(len(rows)))
    width = 0.38
    # Bars grow from 1.0 (equal cost) up or down, so small differences and the targets show.
    ratios = [r["ratio"] for r in rows]
    ax.bar([x - width / 2 for x in xs], [v - 1 for v in ratios], width, bottom=1,
           yerr=[[r["ratio"] - r["q1"] for r in rows], [r["q3"] - r["ratio"] for r in rows]],
           color=["#3a7d44" if met(r) else "#d1495b" for r in rows], capsize=3,
           error_kw={"lw": 0.8})
    for x, v, r in zip(xs, ratios, rows):
        ax.annotate(f"{v:.3f}", (x - width / 2, max(v, r["target"][1], r["q3"])), ha="center", va="bottom",
                    fontsize=7, xytext=(0, 2), textcoords="offset points")
    fac = [(x, r["facade_ratio"]) for x, r in zip(xs, rows) if "facade_ratio" in r]
    if fac:
        ax.bar([x + width / 2 for x, _ in fac], [v - 1 for _, v in fac], width, bottom=1,
               color="#9db4c0")
        for x, v in fac:
            ax.annotate(f"{v:.2f}", (x + width / 2, max(v, 1)), ha="center", va="bottom",
                        fontsize=7, xytext=(0, 2), textcoords="offset points", color="#4a6470")
    for x, r in zip(xs, rows):
        ax.hlines(r["target"][1], x - 0.45, x + 0.05, colors="black", lw=1.6)
    handles = [Patch(color="#3a7d44", label="log_main / baseline, target met (IQR whiskers)"),
               Patch(color="#d1495b", label="log_main / baseline, target missed"),
               Patch(color="#9db4c0", label="Python facade / baseline"),
               Line2D([], [], color="black", lw=1.6, label="target")]
    ax.axhline(1.0, color="grey", lw=0.6)
    ax.set_xticks(xs, [f"{r['key']}\n{SHORT.get(r['key'], '')}" for r in rows], fontsize=8)
    ax.set_ylabel("time ratio to baseline (lower is better)")
    ax.set_title("log_main against plain logging, per scenario")
    ax.legend(handles=handles, fontsize=8, loc="upper right")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer and shorter rounds")
    parser.add_argument("--scenario", type=int, choices=sorted(SCENARIOS),
                        help="run one scenario; nothing is written to docs/")
    parser.add_argument("--callgrind", action="store_true",
                        help="afterwards, count instructions (scenario 8, bench/callgrind.py)")
    args = parser.parse_args(argv)
    cfg = Settings(args.quick)
    start = time.monotonic()
    rows = []
    for number in ([args.scenario] if args.scenario else sorted(SCENARIOS)):
        for row in SCENARIOS[number](cfg):
            rows.append(row)
            print(f"  {row['key']:<3} {row['title']:<36} ratio {row['ratio']:.3f}", flush=True)
    seconds = time.monotonic() - start
    print()
    print(text_table(rows))
    if not args.scenario:
        os.makedirs(DOCS, exist_ok=True)
        with open(os.path.join(DOCS, "bench.md"), "w", encoding="utf-8") as f:
            f.write(markdown(rows, cfg, seconds))
        plot(rows, os.path.join(DOCS, "bench.png"))
        missing = figures.update(figures.store("run", {
            "date": time.strftime("%Y-%m-%d"), "machine": machine(), "quick": cfg.quick,
            "seconds": round(seconds), "rows": rows, "table": table_lines(markdown(rows, cfg, seconds))}))
        print(f"\nwrote docs/bench.md, docs/bench.png, bench/results.json and the table of bench/README.md "
              f"({seconds:.0f} s)")
        if missing:
            sys.exit("no markers for the generated regions: " + ", ".join(missing))
    if args.callgrind:
        import callgrind
        callgrind.main([])


def table_lines(report):
    """The report's table, as bench/README.md shows it."""
    table = []
    for line in report.splitlines():
        if line.startswith("|"):
            table.append(line)
        elif table:
            break
    return table


if __name__ == "__main__":
    main()
