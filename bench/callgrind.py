"""Scenario 8: instructions per call under valgrind's callgrind, for scenarios 1, 2, 3 and 9.

Every side runs in its own interpreter under callgrind twice, with a small and a large number
of calls; instructions per call are (Ir(large) - Ir(small)) / (large - small), so interpreter
start-up, imports, set-up and warm-up cancel. Instruction counts do not depend on the load of
the machine. Same set-ups and loop functions as bench/run.py.

    bench/callgrind.py                     all three scenarios, writes docs/callgrind.md
    bench/callgrind.py --scenario 3        one scenario, stdout only
    bench/callgrind.py --keep /tmp/cg      keep the callgrind.out files (callgrind_annotate)
"""

import argparse
import concurrent.futures
import io
import logging
import os
import subprocess
import sys
import tempfile

import run
from pyfacade import PyLogger

# Scenario 9's third side is the old path, logger.log(DEBUG, ...), in place of the facade.
# Scenario 2's too: the record written to a file only, against a logger wired by hand with
# `logging` (file handler, the module's format) and against the old path.
SIDES = {1: ("candidate", "baseline", "facade"), 2: ("candidate", "baseline", "old"),
         3: ("candidate", "baseline", "facade"), 9: ("candidate", "baseline", "old")}


def sides_of(scenario, tmp):
    if scenario == 1:
        obj = run.quiet_object()
        logger = obj._logger
        return {"candidate": run.Side('call("msg", 42)', call=obj.info),
                "baseline": run.Side('call(INFO, "msg 42")', call=logger.log, INFO=logging.INFO),
                "facade": run.Side('call("msg", 42)', call=PyLogger(logger).info)}
    if scenario == 2:
        obj = run.log_main.OsprelLog(run.unique("file"), file=os.path.join(tmp, "object.log"),
                                     handler_type="file", console=False)
        stdlib, logger = run.stdlib_at_info(os.path.join(tmp, "stdlib.log")), obj._logger
        return {"candidate": run.Side('call("msg", 42)', call=obj.info),
                "baseline": run.Side('call("msg %s", 42)', call=stdlib.info),
                "old": run.Side('call(INFO, "msg 42")', call=logger.log, INFO=logging.INFO)}
    if scenario == 3:
        return {"candidate": run.Side('call("msg", 42)', call=run.silent_object().info),
                "baseline": run.Side('call("msg", 42)', call=run.Plain().info),
                "facade": run.Side('call("msg", 42)', call=PyLogger(None).info)}
    if scenario == 9:
        return dict(zip(SIDES[9], run.dropped_debug_sides(tmp, io.StringIO())))
    raise ValueError(scenario)


def drive(scenario, side, calls):
    """Body of one valgrind run: set up, warm up (a fixed 1000 calls), then the counted calls."""
    with tempfile.TemporaryDirectory(prefix="log_main_callgrind") as tmp:
        chosen = sides_of(scenario, tmp)[side]
        chosen.run(1000)
        chosen.run(calls)


def instructions(out_file):
    with open(out_file) as f:
        for line in f:
            if line.startswith(("summary:", "totals:")):
                return int(line.split()[1])
    raise RuntimeError(f"no instruction total in {out_file}")


def count(scenario, side, calls, out_dir):
    out = os.path.join(out_dir, f"callgrind.out.s{scenario}.{side}.{calls}")
    cmd = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
           sys.executable, os.path.abspath(__file__), "--drive", str(scenario), side, str(calls)]
    env = dict(run.snapshot.child_env(), PYTHONHASHSEED="0")
    done = subprocess.run(cmd, env=env, capture_output=True, text=True)
    if done.returncode:
        raise RuntimeError(f"{' '.join(cmd)} failed:\n{done.stderr[-2000:]}")
    return instructions(out)


def measure(scenarios, small, large, out_dir):
    jobs = [(s, side, n) for s in scenarios for side in SIDES[s] for n in (small, large)]
    with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 1) as pool:
        totals = dict(zip(jobs, pool.map(lambda job: count(*job, out_dir), jobs)))
    return {(s, side): (totals[s, side, large] - totals[s, side, small]) / (large - small)
            for s in scenarios for side in SIDES[s]}


TITLES = {1: "record dropped by handler level", 3: "silenced object vs empty method",
          "2a": "INFO to file only vs stdlib logger", "2b": "INFO to file only vs record made in full",
          "9a": "dropped DEBUG vs stdlib logger at INFO",
          "9b": "dropped DEBUG vs record made and dropped"}
HEADER = ["scenario", "", "candidate Ir/call", "baseline Ir/call", "added per call",
          "py facade Ir/call", "facade adds"]


def rows_of(per_call, scenarios):
    rows = []
    for s in scenarios:
        if s in (2, 9):           # a: against the hand-wired logger, b: against the old path
            c, b, old = (per_call[s, side] for side in SIDES[s])
            rows.append([f"{s}a", TITLES[f"{s}a"], f"{c:.0f}", f"{b:.0f}", f"{c - b:+.0f}", "", ""])
            rows.append([f"{s}b", TITLES[f"{s}b"], f"{c:.0f}", f"{old:.0f}", f"{c - old:+.0f}", "", ""])
            continue
        c, b, f = (per_call[s, side] for side in SIDES[s])
        rows.append([str(s), TITLES[s], f"{c:.0f}", f"{b:.0f}", f"{c - b:+.0f}", f"{f:.0f}",
                     f"{f - b:+.0f}"])
    return rows


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scenario", type=int, choices=sorted(SIDES))
    parser.add_argument("--counts", type=int, nargs=2, default=(20000, 120000),
                        metavar=("SMALL", "LARGE"))
    parser.add_argument("--keep", metavar="DIR", help="keep the callgrind output files here")
    parser.add_argument("--drive", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.drive:
        drive(int(args.drive[0]), args.drive[1], int(args.drive[2]))
        return
    scenarios = [args.scenario] if args.scenario else sorted(SIDES)
    small, large = args.counts
    if args.keep:
        os.makedirs(args.keep, exist_ok=True)
        per_call = measure(scenarios, small, large, args.keep)
    else:
        with tempfile.TemporaryDirectory(prefix="log_main_callgrind") as tmp:
            per_call = measure(scenarios, small, large, tmp)
    rows = rows_of(per_call, scenarios)
    table = [HEADER] + rows
    widths = [max(len(r[i]) for r in table) for i in range(len(HEADER))]
    print("instructions per call (callgrind Ir), "
          f"(Ir({large} calls) - Ir({small} calls)) / {large - small}")
    for r in table:
        print("  ".join(c.ljust(w) if i < 2 else c.rjust(w)
                        for i, (c, w) in enumerate(zip(r, widths))).rstrip())
    if not args.scenario:
        lines = ["# Instruction counts", "",
                 "`bench/callgrind.py`: instructions per call under `valgrind --tool=callgrind`, "
                 f"from runs of {small} and {large} calls per side "
                 f"((Ir({large}) - Ir({small})) / {large - small}, so start-up cancels). "
                 "Added per call: candidate - baseline. Scenario 1 compares with "
                 "`logger.log(logging.INFO, \"msg 42\")` on the same logger, scenario 3 with an "
                 "empty Python method; 9a: `obj.debug(\"msg\", 42)` on an object at INFO "
                 "against `logger.debug(\"msg %s\", 42)` on a logger wired by hand with "
                 "`logging` at INFO, 9b: the same call against "
                 "`obj._logger.log(logging.DEBUG, \"msg 42\")` (record made, then dropped by "
                 "the handlers), as in [bench.md](bench.md); 2a: `obj.info(\"msg\", 42)` on an "
                 "object with a file handler only against `logger.info(\"msg %s\", 42)` on the "
                 "same logger wired by hand, 2b: against `obj._logger.log(logging.INFO, \"msg 42\")` "
                 "(the record made in full). Loop overhead is included on both "
                 f"sides. Module: {run.snapshot.describe()}.", "",
                 "| " + " | ".join(h or "what" for h in HEADER) + " |",
                 "|" + "|".join("---" if i < 2 else "---:" for i in range(len(HEADER))) + "|"]
        lines += ["| " + " | ".join(r) + " |" for r in rows]
        with open(os.path.join(run.DOCS, "callgrind.md"), "w", encoding="utf-8") as f:
            f.write("\n".join(lines) + "\n")
        print("wrote docs/callgrind.md")


if __name__ == "__main__":
    main()
