"""Lines a shipper sends again when it watches a pattern that matches rotated names.

rsyslogd's imfile (inotify) runs with the README's configuration, once watching the live name
and once a pattern, and numbered lines are written through a rotating logger object, each
forced rollover after rsyslog caught up (tests/shipping.py does the work). A pattern that
matches a rotated name makes rsyslog read the renamed file again as a new one; whether it does
so before it has noticed the rename is a race inside rsyslog, so every set-up runs several
times and the table gives the spread.

    .venv/bin/python bench/shipping_patterns.py [--runs 5] [--lines 20000] [--rollovers 20]

Needs rsyslogd (Debian: apt-get install rsyslog); takes about 10 s a run on 2 cores.
"""

import argparse
import logging
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import shipping  # noqa: E402

SETUPS = [   # (handler_type, what rsyslog watches)
    ("timerotating", "live"),
    ("timerotating", "glob"),
    ("rotating", "glob"),
    ("rotating", "prefix"),
]


def spread(values):
    low, high = min(values), max(values)
    return f"{low:,}" if low == high else f"{low:,} to {high:,}"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--lines", type=int, default=20000)
    parser.add_argument("--rollovers", type=int, default=20)
    args = parser.parse_args(argv)
    if not shipping.rsyslogd():
        sys.exit("rsyslogd not found (Debian: apt-get install rsyslog)")
    logging.raiseExceptions = True
    version = subprocess.run([shipping.rsyslogd(), "-v"], capture_output=True, text=True).stdout.split("\n")[0]
    print(f"{args.runs} runs of {args.lines:,} numbered lines per set-up, {args.rollovers} forced rollovers, "
          f"each after rsyslog caught up; {' '.join(version.split()[:2])}, imfile in inotify mode\n")
    print("| handler_type | rsyslog watches | rollovers | runs with lines sent again | extra copies of lines "
          "| out of order | lost |")
    print("|---|---|---|---|---|---|---|")
    for kind, watch in SETUPS:
        results = []
        for _ in range(args.runs):
            result, _ = shipping.run(kind, args.lines, args.rollovers, watch=watch)
            results.append(result)
            print(f"  {kind} {shipping.WATCHED[watch]}: " + " ".join(f"{k}={v}" for k, v in result.items()),
                  file=sys.stderr, flush=True)
        doubled = sum(1 for r in results if r["doubled"])
        print(f'| `"{kind}"` | `{shipping.WATCHED[watch]}` | {spread([r["rollovers"] for r in results])} '
              f'| {doubled} of {len(results)} | {spread([r["doubled"] for r in results])} '
              f'| {spread([r["out of order"] for r in results])} | {spread([r["lost"] for r in results])} |',
              flush=True)


if __name__ == "__main__":
    main()
