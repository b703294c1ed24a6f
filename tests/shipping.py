"""Ships log files with rsyslog's imfile, configured as the README shows, and counts what arrives.

Used by tests/test_shipping.py, and from the command line for longer runs, for example
    python tests/shipping.py --kind timerotating --lines 20000 --rollovers 20 --watch glob
The rsyslogd started here is a plain child process with its own configuration, work directory
and pid file in a temporary folder; it is stopped when the run ends.
"""

import argparse
import logging
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import uuid
from pathlib import Path

README = Path(__file__).resolve().parent.parent / "README.md"
LIVE = "/srv/app/logs/app.log"          # the paths as the README's configuration names them
SHIPPED = "/var/log/central/app.log"
LINE = re.compile(r"- INFO - line (\d{6})$")
WATCHED = {"live": "app.log", "glob": "*.log", "prefix": "app.log*"}


def readme_config():
    """The rsyslog configuration block of the README's shipping section."""
    section = README.read_text(encoding="utf-8").split("## Shipping", 1)[1]
    return re.search(r"```conf\n(.*?)```", section, re.S).group(1)


def rsyslogd():
    return shutil.which("rsyslogd") or next((p for p in ("/usr/sbin/rsyslogd", "/sbin/rsyslogd")
                                             if os.access(p, os.X_OK)), None)


class Shipper:
    """rsyslogd watching the log folder: the live name only, or a pattern that also matches rotated
    names (*.log: the time-rotated ones; app.log*: the size-rotated ones)."""

    def __init__(self, folder, watch="live", mode="inotify", group=False):
        self.folder = Path(folder)
        self.out = self.folder / "shipped.log"
        (self.folder / "work").mkdir()
        pattern = WATCHED[watch]
        config = readme_config().replace(LIVE, str(self.folder / "logs" / pattern))
        config = config.replace(SHIPPED, str(self.out)).replace('mode="inotify"', f'mode="{mode}"')
        if group:   # one message per record, continuation lines joined to it
            config = config.replace('tag="app"', 'tag="app" startmsg.regex="^[0-9]{4}-[0-9]{2}-[0-9]{2} "')
        # How long nothing may arrive before the lines still missing count as lost: imfile polls
        # every 10 s by default; inotify is prompt, but rsyslogd shares a loaded machine.
        self.settle = 12.0 if mode == "polling" else 5.0
        self.config = self.folder / "rsyslog.conf"
        self.config.write_text(f'global(workDirectory="{self.folder / "work"}")\n' + config)

    def __enter__(self):
        self.errors = open(self.folder / "rsyslogd.err", "w")
        self.process = subprocess.Popen(
            [rsyslogd(), "-n", "-f", str(self.config), "-i", str(self.folder / "rsyslogd.pid")],
            stdin=subprocess.DEVNULL, stdout=self.errors, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 10
        while not (self.folder / "rsyslogd.pid").exists():
            if self.process.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("rsyslogd did not start: " + (self.folder / "rsyslogd.err").read_text())
            time.sleep(0.05)
        return self

    def __exit__(self, *exc):
        self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.errors.close()

    def numbers(self):
        try:
            text = self.out.read_text(encoding="utf-8")
        except FileNotFoundError:
            return []
        return [int(m.group(1)) for m in map(LINE.search, text.splitlines()) if m]

    def wait_for(self, count, timeout):
        """Waits until count lines have arrived, or nothing more arrived for `settle` seconds, or
        timeout; then a little more for stragglers."""
        deadline = time.monotonic() + timeout
        seen, changed = -1, time.monotonic()
        while time.monotonic() < deadline:
            now = len(self.numbers())
            if now >= count:
                break
            if now != seen:
                seen, changed = now, time.monotonic()
            elif time.monotonic() - changed > self.settle:
                break
            time.sleep(0.05)
        time.sleep(0.3)
        return self.numbers()


def write(folder, kind, lines, rollovers, shipper=None, keep_up=True, rate=None):
    """Writes numbered lines through a logger object of the given kind, with `rollovers` forced
    rollovers spread evenly. With keep_up, each rollover waits until the shipper has sent every
    line written so far (a shipper that falls behind fast rollovers loses whole files); else
    the lines go out at `rate` lines a second, or as fast as they can."""
    from log_main import OsprelLog

    per_file = lines // (rollovers + 1)
    name = f"ship-{uuid.uuid4().hex[:8]}"
    size = len(f"2024-05-01 12:00:00,000 - {name} - INFO - line {0:06d}\n")
    options = {"maxBytes": per_file * size + 1, "backupCount": 10 * (rollovers + 1)} if kind == "rotating" else {}
    log = OsprelLog(name, file=str(Path(folder) / "logs" / "app.log"), handler_type=kind, console=False, **options)
    handler = log._file_handler
    midnight = time.mktime((2024, 5, 2, 0, 0, 0, 0, 0, -1))
    start = time.monotonic()
    for i in range(lines):
        if i and i % per_file == 0 and i // per_file <= rollovers:
            if kind == "timerotating":
                # Due at the next record: the file is renamed after the day before this midnight.
                handler.rolloverAt = midnight + 86400 * (i // per_file - 1)
            if keep_up and shipper:
                shipper.wait_for(i, timeout=15)
        log.info(f"line {i:06d}")
        if rate:
            time.sleep(max(0.0, start + (i + 1) / rate - time.monotonic()))
    log.close()
    files = sorted(p.name for p in (Path(folder) / "logs").iterdir())
    return len(files) - 1, files


def verdict(numbers, lines):
    seen = set(numbers)
    return {"sent": lines, "arrived": len(numbers), "lost": lines - len(seen & set(range(lines))),
            "doubled": len(numbers) - len(seen),
            "out of order": sum(1 for a, b in zip(numbers, numbers[1:]) if b < a)}


def run(kind, lines, rollovers, watch="live", mode="inotify", keep_up=True, group=False, rate=None):
    with tempfile.TemporaryDirectory(prefix="log_main_shipping") as folder:
        with Shipper(folder, watch, mode, group) as shipper:
            made, files = write(folder, kind, lines, rollovers, shipper, keep_up and not rate, rate)
            numbers = shipper.wait_for(lines, timeout=30)
        return {"rollovers": made, **verdict(numbers, lines)}, files


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--kind", choices=["file", "rotating", "timerotating"], default="rotating")
    parser.add_argument("--lines", type=int, default=20000)
    parser.add_argument("--rollovers", type=int, default=20)
    parser.add_argument("--watch", choices=list(WATCHED), default="live",
                        help=", ".join(f"{k}: {v}" for k, v in WATCHED.items()))
    parser.add_argument("--mode", choices=["inotify", "polling"], default="inotify")
    parser.add_argument("--fast", action="store_true", help="do not wait for the shipper at rollovers")
    parser.add_argument("--rate", type=float, help="lines a second, not waiting for the shipper at rollovers")
    parser.add_argument("--group", action="store_true", help="group multi-line records (imfile startmsg.regex)")
    args = parser.parse_args(argv)
    if not rsyslogd():
        sys.exit("rsyslogd not found (Debian: apt-get install rsyslog)")
    logging.raiseExceptions = True
    result, _ = run(args.kind, args.lines, 0 if args.kind == "file" else args.rollovers, args.watch, args.mode,
                    not args.fast, args.group, args.rate)
    print(" ".join(f"{k}={v}" for k, v in result.items()))


if __name__ == "__main__":
    main()
