"""Several processes writing one rotating log file: how many lines survive the rollovers.

Each of --processes forked workers writes --lines numbered lines through its own handler on
the same file, which rotates every --max-bytes bytes (backups are never deleted), once with a
log_main object per worker and once with logging's own RotatingFileHandler set up by hand in
the same format. Then every line in every file is counted.

    bench/processes.py                  4 processes x 5000 lines, 20 kB files, 3 runs each
"""

import argparse
import logging
import logging.handlers
import multiprocessing
import os
import tempfile
from pathlib import Path

import snapshot  # noqa: F401  (before log_main: a private copy of the binary is imported)
from log_main import OsprelLog


def worker(kind, path, k, lines, max_bytes):
    if kind == "log_main":
        log = OsprelLog("worker", file=str(path), handler_type="rotating", maxBytes=max_bytes,
                        backupCount=100000, console=False)
    else:
        log = logging.getLogger("worker")
        log.setLevel(logging.DEBUG)
        handler = logging.handlers.RotatingFileHandler(path, maxBytes=max_bytes, backupCount=100000,
                                                       encoding="utf-8")
        handler.setFormatter(logging.Formatter("%(asctime)s - worker - %(levelname)s - %(message)s"))
        log.addHandler(handler)
    logging.raiseExceptions = False          # a failed rename loses the record quietly, as in production
    for i in range(lines):
        log.info(f"p{k} line {i:06d}")


def run(kind, processes, lines, max_bytes):
    with tempfile.TemporaryDirectory(prefix="log_main_processes") as folder:
        path = Path(folder) / "app.log"
        context = multiprocessing.get_context("fork")
        workers = [context.Process(target=worker, args=(kind, path, k, lines, max_bytes))
                   for k in range(processes)]
        for process in workers:
            process.start()
        for process in workers:
            process.join()
        found = sum(len(p.read_text(encoding="utf-8").splitlines()) for p in Path(folder).iterdir())
        files = len(os.listdir(folder))
    sent = processes * lines
    return sent, found, files


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--processes", type=int, default=4)
    parser.add_argument("--lines", type=int, default=5000)
    parser.add_argument("--max-bytes", type=int, default=20000)
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args(argv)
    for kind in ("log_main", "logging"):
        for _ in range(args.runs):
            sent, found, files = run(kind, args.processes, args.lines, args.max_bytes)
            print(f"{kind:<9} {args.processes} processes x {args.lines} lines: {found} of {sent} in {files} files, "
                  f"{sent - found} lost ({100 * (sent - found) / sent:.1f} %)", flush=True)


if __name__ == "__main__":
    main()
