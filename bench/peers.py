"""What a logging call costs with log_main, with plain `logging` + colorlog, and with loguru.

Each library is set up as its documentation shows for the same job: coloured lines on the
console (standard error, here pointed at /dev/null) and plain lines in a log file, both at
INFO, in the format log_main writes. Three calls are timed, side by side in one process with
the harness of bench/run.py (interleaved rounds, median ns per call):

    written   an INFO record with one argument, to the console and the file
    dropped   a DEBUG call, below the level of every handler
    traceback an ERROR record with the traceback of a caught exception (raise and catch included)

loguru is set up with backtrace=False and diagnose=False, so its traceback is the plain one the
other two print. Stores its figures in bench/results.json, from which it writes docs/peers.md,
docs/peers.png and the README's performance table, the prose below it and the "Compared" table
(bench/figures.py).

    bench/peers.py           about a minute
    bench/peers.py --quick   a smoke run (still writes docs/)
"""

import argparse
import logging
import os
import platform
import re
import statistics
import sys
import tempfile
import time

import colorlog
import loguru

import snapshot  # before log_main: a private copy of the binary is imported
import log_main
import figures
from figures import SIDES, WHAT, fmt
from run import Side, calibrate, interleave

BENCH = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(BENCH)
DOCS = os.path.join(ROOT, "docs")
LOGURU_FORMAT = "{time:YYYY-MM-DD HH:mm:ss,SSS} - {extra[name]} - {level} - {message}"


def set_up(folder, console):
    """The three loggers, each writing to the console stream and to its own file."""
    saved, sys.stderr = sys.stderr, console   # the console handlers take sys.stderr when made
    try:
        ours = log_main.OsprelLog("peer-ours", level=logging.INFO, file=os.path.join(folder, "ours.log"))
        plain = logging.getLogger("peer-plain")
        plain.setLevel(logging.INFO)
        plain.propagate = False
        to_console = colorlog.StreamHandler()
        to_console.setFormatter(colorlog.ColoredFormatter(log_main._cformatter, log_colors=log_main._colors))
        to_file = logging.FileHandler(os.path.join(folder, "plain.log"), encoding="utf-8")
        to_file.setFormatter(logging.Formatter(log_main._fformatter))
        plain.addHandler(to_console)
        plain.addHandler(to_file)
    finally:
        sys.stderr = saved
    guru = loguru.logger
    guru.remove()
    for sink, colour in ((console, True), (os.path.join(folder, "loguru.log"), False)):
        guru.add(sink, level="INFO", format="<level>" + LOGURU_FORMAT + "</level>", colorize=colour,
                 backtrace=False, diagnose=False)
    return ours, plain, guru.bind(name="peer-guru")


def traceback_call(log):
    def call():
        try:
            raise KeyError("SKU-9")
        except KeyError:
            log()
    return call


def scenarios(ours, plain, guru):
    return {
        "written": [Side("f('order', 42, 'paid')", f=ours.info),
                    Side("f('order %s paid', 42)", f=plain.info),
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


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="few short rounds")
    args = parser.parse_args(argv)
    rounds = 11 if args.quick else 401
    load = os.getloadavg()[0]
    start = time.monotonic()
    rows = []
    with tempfile.TemporaryDirectory(prefix="log_main_peers") as folder, open(os.devnull, "w") as console:
        os.environ.pop("NO_COLOR", None)
        sides = scenarios(*set_up(folder, console))
        for key, trio in sides.items():
            times = interleave(trio, calibrate(trio, 2), rounds)
            medians = [statistics.median(t) for t in times]
            ratios = [statistics.median(a / b for a, b in zip(times[0], other)) for other in times[1:]]
            rows.append({"call": key, "ns": medians, "ratios": ratios})
            print(f"  {key:<10} " + "  ".join(f"{s}: {fmt(m)}" for s, m in zip(SIDES, medians)), flush=True)
        loguru.logger.remove()   # closes its file before the checks read it
        for handler in logging.getLogger("peer-plain").handlers:
            handler.flush()
        coloured = check_outputs(folder)
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
