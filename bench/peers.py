"""What a logging call costs with log_main, with plain `logging` + colorlog, and with loguru.

Each library is set up as its documentation shows for the same job: coloured lines on the
console (standard error, here pointed at /dev/null) and plain lines in a log file, both at
INFO, in the format log_main writes; for the file-only call, a second logger of each with the
file alone. Four calls are timed, side by side in one process with the harness of bench/run.py
(interleaved rounds, median ns per call):

    written   an INFO record with one argument, to the console and the file
    file      the same record, to a file only
    dropped   a DEBUG call, below the level of every handler
    traceback an ERROR record with the traceback of a caught exception (raise and catch included)

loguru is set up with backtrace=False and diagnose=False, so its traceback is the plain one the
other two print. loguru's sinks belong to its one logger: before each call's rounds they are
set up anew, the file alone for the file-only call. With --callgrind, each side of each call
also runs in an interpreter of its own under valgrind's callgrind, with a small and a large
number of calls; instructions per call are the difference of the two totals over the
difference of the counts (as bench/callgrind.py counts them). Stores its figures in
bench/results.json, from which it writes docs/peers.md, docs/peers.png and the README's
performance table, the prose below it and the "Compared" table (bench/figures.py).

    bench/peers.py              about a minute
    bench/peers.py --callgrind  and the instruction counts: several minutes more
    bench/peers.py --quick      a smoke run (still writes docs/)
"""

import argparse
import concurrent.futures
import logging
import os
import platform
import re
import statistics
import subprocess
import sys
import tempfile
import time

import colorlog
import loguru

import snapshot  # before log_main: a private copy of the binary is imported
import log_main
import figures
from callgrind import instructions
from figures import SIDES, WHAT, fmt
from run import Side, calibrate, interleave

BENCH = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(BENCH)
DOCS = os.path.join(ROOT, "docs")
LOGURU_FORMAT = "{time:YYYY-MM-DD HH:mm:ss,SSS} - {extra[name]} - {level} - {message}"


def set_up(folder, console):
    """The loggers: one of each library writing to the console stream and to its own file, and
    one of log_main and of `logging` writing to a file only (loguru's sinks: guru_sinks())."""
    saved, sys.stderr = sys.stderr, console   # the console handlers take sys.stderr when made
    try:
        ours = log_main.OsprelLog("peer-ours", level=logging.INFO, file=os.path.join(folder, "ours.log"))
        ours_file = log_main.OsprelLog("peer-ours-file", level=logging.INFO,
                                       file=os.path.join(folder, "ours-file.log"), console=False)
        plain, plain_file = logging.getLogger("peer-plain"), logging.getLogger("peer-plain-file")
        to_console = colorlog.StreamHandler()
        to_console.setFormatter(colorlog.ColoredFormatter(log_main._cformatter, log_colors=log_main._colors))
        plain.addHandler(to_console)
        for logger, name in ((plain, "plain.log"), (plain_file, "plain-file.log")):
            logger.setLevel(logging.INFO)
            logger.propagate = False
            to_file = logging.FileHandler(os.path.join(folder, name), encoding="utf-8")
            to_file.setFormatter(logging.Formatter(log_main._fformatter))
            logger.addHandler(to_file)
    finally:
        sys.stderr = saved
    return ours, ours_file, plain, plain_file, loguru.logger.bind(name="peer-guru")


def guru_sinks(folder, console, call):
    """loguru's sinks for one call: console and file, or for the file-only call the file alone."""
    guru = loguru.logger
    guru.remove()
    sinks = ((os.path.join(folder, "loguru-file.log"), False),) if call == "file" else \
        ((console, True), (os.path.join(folder, "loguru.log"), False))
    for sink, colour in sinks:
        guru.add(sink, level="INFO", format="<level>" + LOGURU_FORMAT + "</level>", colorize=colour,
                 backtrace=False, diagnose=False)


def traceback_call(log):
    def call():
        try:
            raise KeyError("SKU-9")
        except KeyError:
            log()
    return call


def scenarios(ours, ours_file, plain, plain_file, guru):
    return {
        "written": [Side("f('order', 42, 'paid')", f=ours.info),
                    Side("f('order %s paid', 42)", f=plain.info),
                    Side("f('order {} paid', 42)", f=guru.info)],
        "file": [Side("f('order', 42, 'paid')", f=ours_file.info),
                 Side("f('order %s paid', 42)", f=plain_file.info),
                 Side("f('order {} paid', 42)", f=guru.info)],
        "dropped": [Side("f('msg', 42)", f=ours.debug),
                    Side("f('msg %s', 42)", f=plain.debug),
                    Side("f('msg {}', 42)", f=guru.debug)],
        "traceback": [Side("f()", f=traceback_call(lambda: ours.error("failed", kwargs={"exc_info": True}))),
                      Side("f()", f=traceback_call(lambda: plain.error("failed", exc_info=True))),
                      Side("f()", f=traceback_call(lambda: guru.opt(exception=True).error("failed")))],
    }


def check_outputs(folder):
    """Every side wrote the same lines into its file, so none is fast by doing less. Returns the
    sides whose file got colour codes (plain logging + colorlog 6.10 and later, in tracebacks)."""
    coloured = []
    for side, name in zip(SIDES, ("ours", "plain", "loguru")):
        with open(os.path.join(folder, name + ".log"), encoding="utf-8") as f:
            text = f.read()
        assert "- INFO - order 42 paid\n" in text and "msg 42" not in text, name
        assert "- ERROR - failed\nTraceback (most recent call last):" in text, name
        assert re.search(r"KeyError(\x1b\[0m)?: (\x1b\[\d+m)?'SKU-9'", text), name
        if "\x1b" in text:
            coloured.append(side)
        with open(os.path.join(folder, name + "-file.log"), encoding="utf-8") as f:
            text = f.read()
        lines = text.splitlines()
        assert lines and all(line.endswith(" - INFO - order 42 paid") for line in lines), name
    assert "log_main" not in coloured and "loguru" not in coloured
    return coloured


def report(peers):
    return (f"# log_main beside its peers\n\nWritten by `bench/peers.py` on {peers['date']}, "
            f"{peers['machine']} with {peers['cores']} cores (load average {peers['load']:.2f} at start), "
            f"Python {peers['python']}, colorlog {peers['colorlog']}, loguru {peers['loguru']}; "
            f"{peers['build']}. {peers['rounds']} interleaved rounds per call, median time per call, "
            f"ratios are medians of the per-round ratios; {peers['seconds']:.0f} s.\n\n"
            + figures.peers_table(peers) + "\n")


def version(package):
    from importlib.metadata import version as of
    return of(package)


def plot(peers, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(10, 3.6))
    colours = ["#3a7d44", "#9db4c0", "#e0a458"]
    height = 0.26
    rows = [(row["call"], row["ns"]) for row in peers["rows"]]
    for i, (key, medians) in enumerate(rows):
        for j, ns in enumerate(medians):
            y = i + (j - 1) * height
            ax.barh(y, ns / 1000, height, color=colours[j], label=SIDES[j] if i == 0 else None)
            ax.annotate(fmt(ns), (ns / 1000, y), xytext=(3, 0), textcoords="offset points", va="center",
                        fontsize=8)
    ax.set_yticks(range(len(rows)), [WHAT[key] for key, _ in rows], fontsize=8)
    ax.invert_yaxis()
    ax.set_xscale("log")
    ax.set_xlim(right=max(max(m) for _, m in rows) / 1000 * 5)   # room for the labels
    ax.set_xlabel("µs per call (log scale, shorter is better)")
    ax.set_title("One logging call, three libraries, measured side by side")
    ax.legend(fontsize=8, loc="upper left", bbox_to_anchor=(1.01, 1))
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


# Calls per callgrind run (small, large): enough that the difference dwarfs the noise of set-up
# and start-up, few enough that the slowest side runs in seconds under valgrind.
CALLGRIND_COUNTS = {"written": (1000, 6000), "file": (2000, 12000), "dropped": (20000, 120000),
                    "traceback": (100, 600)}


def drive(call, side, calls):
    """Body of one valgrind run: the loggers, loguru's sinks for the call, a fixed warm-up, then
    the counted calls of one side."""
    with tempfile.TemporaryDirectory(prefix="log_main_peers") as folder, open(os.devnull, "w") as console:
        os.environ.pop("NO_COLOR", None)
        loggers = set_up(folder, console)
        guru_sinks(folder, console, call)
        chosen = scenarios(*loggers)[call][side]
        chosen.run(200)
        chosen.run(calls)
        loguru.logger.remove()


def count(call, side, calls, out_dir):
    out = os.path.join(out_dir, f"callgrind.out.{call}.{side}.{calls}")
    cmd = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
           sys.executable, os.path.abspath(__file__), "--drive", call, str(side), str(calls)]
    done = subprocess.run(cmd, env=dict(snapshot.child_env(), PYTHONHASHSEED="0"), capture_output=True,
                          text=True)
    if done.returncode:
        raise RuntimeError(f"{' '.join(cmd)} failed:\n{done.stderr[-2000:]}")
    return instructions(out)


def count_instructions(calls):
    """Instructions per call of each side of each call: {call: [log_main, logging, loguru]}."""
    jobs = [(call, side, n) for call in calls for side in range(len(SIDES)) for n in CALLGRIND_COUNTS[call]]
    with tempfile.TemporaryDirectory(prefix="log_main_peers_callgrind") as out_dir, \
            concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 1) as pool:
        totals = dict(zip(jobs, pool.map(lambda job: count(*job, out_dir), jobs)))
    per_call = {}
    for call in calls:
        small, large = CALLGRIND_COUNTS[call]
        per_call[call] = [(totals[call, side, large] - totals[call, side, small]) / (large - small)
                          for side in range(len(SIDES))]
    return per_call


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="few short rounds")
    parser.add_argument("--callgrind", action="store_true", help="also count instructions per call")
    parser.add_argument("--drive", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.drive:
        drive(args.drive[0], int(args.drive[1]), int(args.drive[2]))
        return
    rounds = 11 if args.quick else 401
    load = os.getloadavg()[0]
    start = time.monotonic()
    rows = []
    with tempfile.TemporaryDirectory(prefix="log_main_peers") as folder, open(os.devnull, "w") as console:
        os.environ.pop("NO_COLOR", None)
        sides = scenarios(*set_up(folder, console))
        for key, trio in sides.items():
            guru_sinks(folder, console, key)
            times = interleave(trio, calibrate(trio, 2), rounds)
            medians = [statistics.median(t) for t in times]
            ratios = [statistics.median(a / b for a, b in zip(times[0], other)) for other in times[1:]]
            rows.append({"call": key, "ns": medians, "ratios": ratios})
            print(f"  {key:<10} " + "  ".join(f"{s}: {fmt(m)}" for s, m in zip(SIDES, medians)), flush=True)
        loguru.logger.remove()   # closes its file before the checks read it
        for name in ("peer-plain", "peer-plain-file"):
            for handler in logging.getLogger(name).handlers:
                handler.flush()
        coloured = check_outputs(folder)
    if args.callgrind:
        per_call = count_instructions([row["call"] for row in rows])
        for row in rows:
            row["instructions"] = per_call[row["call"]]
            print(f"  {row['call']:<10} " + "  ".join(f"{s}: {figures.fmt_instructions(n)}"
                                                     for s, n in zip(SIDES, row["instructions"])))
    peers = {"date": time.strftime("%Y-%m-%d"), "machine": platform.machine(), "cores": os.cpu_count(),
             "load": round(load, 2), "python": platform.python_version(), "colorlog": version("colorlog"),
             "loguru": version("loguru"), "build": snapshot.describe(), "rounds": rounds,
             "quick": args.quick, "seconds": round(time.monotonic() - start), "rows": rows,
             "coloured": coloured}
    text = report(peers)
    if coloured:
        text += (f"\nColour codes in the log file's tracebacks: {', '.join(coloured)} "
                 f"(colorlog {peers['colorlog']} colours tracebacks and `logging` hands the cached "
                 "text on to the file handler).\n")
    print()
    print(figures.peers_table(peers))
    os.makedirs(DOCS, exist_ok=True)
    with open(os.path.join(DOCS, "peers.md"), "w", encoding="utf-8") as f:
        f.write(text)
    plot(peers, os.path.join(DOCS, "peers.png"))
    missing = figures.update(figures.store("peers", peers))
    print(f"\nwrote bench/results.json, docs/peers.md, docs/peers.png and the README's figures "
          f"({peers['seconds']} s)")
    if missing:
        sys.exit("no markers for the generated regions: " + ", ".join(missing))


if __name__ == "__main__":
    main()
