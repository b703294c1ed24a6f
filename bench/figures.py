"""The figures of the latest `make bench` and the text they become in the READMEs.

bench/run.py and bench/peers.py store what they measured in bench/results.json (one section
each) and call update(), which rewrites every generated region of README.md and
bench/README.md from that file alone. A region sits between `<!-- bench:NAME:start -->` and
`<!-- bench:NAME:end -->`; tests/test_docs.py renders the regions from bench/results.json again
and fails when a README holds anything else. Only the standard library is used here, so the
test needs no bench tools.
"""

import json
import os
import re
import textwrap

BENCH = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(BENCH)
RESULTS = os.path.join(BENCH, "results.json")
README = os.path.join(ROOT, "README.md")
BENCH_README = os.path.join(BENCH, "README.md")
SIDES = ["log_main", "logging + colorlog", "loguru"]
WHAT = {"written": "INFO record written to console and file",
        "file": "INFO record written to a file only",
        "dropped": "DEBUG call below every handler's level",
        "traceback": "ERROR record with a traceback"}


def load(path=RESULTS):
    try:
        with open(path, encoding="utf-8") as f:
            return json.load(f)
    except FileNotFoundError:
        return {}


def store(section, data, path=RESULTS):
    """Replaces one section (run or peers) of the results file."""
    results = load(path)
    results[section] = data
    with open(path, "w", encoding="utf-8") as f:
        json.dump(results, f, indent=1, ensure_ascii=False, sort_keys=True)
        f.write("\n")
    return results


def fmt(ns):
    return f"{ns / 1000:.2f} µs" if ns >= 1000 else f"{ns:.0f} ns"


def fmt_instructions(n):
    return f"{n / 1e6:.2f}M" if n >= 1e6 else f"{n / 1000:.1f}k" if n >= 10_000 else f"{n:,.0f}"


def peers_table(peers):
    """Time per call; below it, where the run counted them, instructions per call."""
    head = ["| call | log_main | logging + colorlog | loguru | log_main / logging | log_main / loguru |",
            "|---|---:|---:|---:|---:|---:|"]
    lines = list(head)
    for row in peers["rows"]:
        lines.append(f"| {WHAT[row['call']]} | {' | '.join(fmt(ns) for ns in row['ns'])} | "
                     f"{row['ratios'][0]:.2f} | {row['ratios'][1]:.2f} |")
    if all("instructions" in row for row in peers["rows"]):
        lines += ["", "Instructions per call (callgrind):", ""] + head
        for row in peers["rows"]:
            ours, plain, guru = row["instructions"]
            lines.append(f"| {WHAT[row['call']]} | "
                         f"{' | '.join(fmt_instructions(n) for n in row['instructions'])} | "
                         f"{ours / plain:.2f} | {ours / guru:.2f} |")
    return "\n".join(lines)


def caption(peers):
    load_note = (f"; the load average was {peers['load']:.1f} when it started, from other work "
                 f"sharing the {peers['cores']} cores" if peers["load"] >= 0.5 else "")
    counted = (" Instructions per call: the difference of two runs of each side under callgrind, "
               "with few and with many calls, over the difference of the counts."
               if all("instructions" in row for row in peers["rows"]) else "")
    return (f"Measured by `make bench` (`bench/peers.py`) on {peers['date']}: Linux {peers['machine']}, "
            f"{peers['cores']} cores{load_note}. Python {peers['python']}, colorlog {peers['colorlog']}, "
            f"loguru {peers['loguru']}. Median time per call over {peers['rounds']} interleaved rounds; "
            f"the ratios are medians of the per-round ratios.{counted} Raw figures: "
            f"[bench/results.json](bench/results.json).")


def _bullet(text):
    """A list item wrapped at 100 columns; no line may start with the "+" of "logging + colorlog"."""
    text = textwrap.fill(text.replace(" + ", "\0+\0"), width=100, initial_indent="- ", subsequent_indent="  ",
                         break_on_hyphens=False)
    return text.replace("\0", " ")


def peers_prose(peers):
    ratios = {row["call"]: row["ratios"] for row in peers["rows"]}
    coloured = "logging + colorlog" in peers["coloured"]
    file_text = ("and writes the coloured text into the file as well" if coloured
                 else f"and colorlog {peers['colorlog']} leaves it without colour")
    written, traceback, dropped = ratios["written"], ratios["traceback"], ratios["dropped"]
    file_only = ([f"Written to a **file only**, it takes {ratios['file'][0]:.2f} times the time of `logging` "
                  f"and {ratios['file'][1]:.2f} times that of loguru."] if "file" in ratios else [])
    return "\n".join(_bullet(text) for text in [
        f"A **written record** takes {written[0]:.2f} times the time of the hand-wired `logging` + "
        f"colorlog set-up and {written[1]:.2f} times that of loguru.",
        *file_only,
        f"A **traceback** takes {traceback[0]:.2f} times the time of `logging` + colorlog and "
        f"{traceback[1]:.2f} times that of loguru. log_main renders the traceback twice, in colour for "
        f"the console and plain for the file; `logging` + colorlog renders it once {file_text}.",
        f"A **DEBUG call below every handler's level** takes {dropped[0]:.2f} times the time of "
        f"`logging` + colorlog and {dropped[1]:.2f} times that of loguru. It returns before any record "
        "is made when no handler, filter or record factory could see it.",
    ])


def compared_table(peers):
    ns = {row["call"]: row["ns"] for row in peers["rows"]}
    coloured = set(peers["coloured"])
    traceback_in_file = " | ".join("with colour codes" if side in coloured else "plain" for side in SIDES)
    rows = [
        "| | log_main | `logging` + colorlog | loguru |",
        "|---|---|---|---|",
        "| Console and file set up | one call | handlers, formatters and levels by hand (about ten lines) "
        "| `logger.add(...)` per sink |",
        "| Records | `logging.LogRecord`s through `logging` handlers | the same | its own; records of "
        "libraries that use `logging` need a forwarding handler |",
        "| Take over a library's logger and give it back | `rehandler=True`, then `close()` | by hand | no |",
        "| Names of rotated files | `app.log.1`; `app.2024-05-01.log` | `app.log.1`; `app.log.2024-05-01` "
        "| `app.2024-05-01_12-00-00_123456.log` |",
        f"| Traceback in the log file (colorlog {peers['colorlog']}) | {traceback_in_file} |",
        "| Several processes on one rotating file | loses lines at rollovers "
        "([measured](#behaviour-that-surprises)) | the same | not measured |",
    ]
    for call, label in (("written", "Written record, console and file"),
                        ("file", "Written record, file only"),
                        ("dropped", "DEBUG call below the level"),
                        ("traceback", "Error record with a traceback")):
        if call not in ns:
            continue
        rows.append(f"| {label} ([measured](#performance)) | {' | '.join(fmt(v) for v in ns[call])} |")
    rows += ["| Runs on | CPython 3.13-3.15, Linux (compiled) | any Python | any Python |",
             "| Type information | stubs (`kwargs` keys checked) | typeshed | inline |"]
    return "\n".join(rows)


def regions(results):
    """{file: {region name: text}} for every generated region the results cover."""
    out = {}
    peers = results.get("peers")
    if peers:
        out[README] = {"peers": f"{peers_table(peers)}\n\n{caption(peers)}",
                       "peers-prose": peers_prose(peers),
                       "compared": compared_table(peers)}
    run = results.get("run")
    if run:
        out[BENCH_README] = {"run": "\n".join(run["table"])}
    return out


def _pattern(name):
    return re.compile(rf"(<!-- bench:{re.escape(name)}:start -->\n)(.*?)(<!-- bench:{re.escape(name)}:end -->)",
                      re.S)


def region(text, name):
    """The text of a generated region, or None when the markers are missing."""
    found = _pattern(name).search(text)
    return found.group(2).rstrip("\n") if found else None


def update(results):
    """Rewrites the generated regions of the READMEs; returns the regions whose markers were missing."""
    missing = []
    for path, parts in regions(results).items():
        with open(path, encoding="utf-8") as f:
            text = f.read()
        for name, body in parts.items():
            if region(text, name) is None:
                missing.append(f"{os.path.relpath(path, ROOT)}: {name}")
                continue
            text = _pattern(name).sub(lambda m: m.group(1) + body + "\n" + m.group(3), text)
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
    return missing


if __name__ == "__main__":   # rewrite the regions from the stored results, measuring nothing
    import sys
    gone = update(load())
    sys.exit("no markers for the generated regions: " + ", ".join(gone) if gone else 0)
