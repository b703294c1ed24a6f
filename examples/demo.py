"""A tour of log_main in about two seconds (``make demo``).

Log lines go to standard error, coloured by level; the narration goes to standard output.
The log files land under ./demo-logs, or under the directory given as the first argument;
the directory is emptied first, so every run shows the same rollovers.
"""

from __future__ import annotations

import logging
import os
import shutil
import sys
import time
from pathlib import Path

from log_main import OsprelLog


def say(*text: object) -> None:
    print(*text, flush=True)


def section(title: str) -> None:
    say()
    say(f"== {title} ==")


def describe(logger: logging.Logger) -> str:
    """The handlers of a logger, one word each: class and where it writes."""
    parts: list[str] = []
    for handler in logger.handlers:
        if isinstance(handler, logging.FileHandler):
            target = os.path.relpath(handler.baseFilename)
        else:
            stream: object = getattr(handler, "stream", None)
            target = "?" if stream is None else str(getattr(stream, "name", "stream"))
        parts.append(f"{type(handler).__name__}({target})")
    return ", ".join(parts) or "none"


def main(root: Path) -> None:
    shutil.rmtree(root, ignore_errors=True)

    section("every level, in colour, and a plain log file")
    shop = OsprelLog("shop", file=str(root / "shop.log"))
    shop.debug("cache warmed with", 128, "entries")
    shop.info("listening on port", 8080)
    shop.warning("disk", "87%", "full")
    shop.error("payment provider answered", 503)
    shop.critical("database unreachable, shutting down")
    shop.info("%d orders in the last %s", args=(42, "minute"))
    shop.set_console_level(logging.WARNING)
    shop.info("console now shows WARNING and up; this line goes to the file only")
    shop.set_console_level(logging.DEBUG)

    section("size rotation: rotating, maxBytes=2048, backupCount=3, console off")
    uploads = OsprelLog("uploads", file=str(root / "uploads.log"), handler_type="rotating",
                        console=False, maxBytes=2048, backupCount=3)
    for n in range(60):
        uploads.info("stored chunk", n, "of upload", "a1b2c3")
    say("60 lines written; full files are renamed uploads.log.1, uploads.log.2, ...")

    section("time rotation: timerotating, when='S' to see a rollover now")
    jobs = OsprelLog("jobs", file=str(root / "jobs.log"), handler_type="timerotating",
                     console=False, when="S", interval=1, backupCount=5)
    jobs.info("export started")
    time.sleep(1.1)
    jobs.info("export finished")
    say("by default it rolls over at midnight into jobs.<date>.log, keeping 365 files")

    section("the same name again: a private child logger")
    child = OsprelLog("shop")
    say(f"OsprelLog('shop') a second time works on {child.name}")
    child.info("only this child's handlers see this line")
    child.close()

    section("taking over a logger that other code configured")
    vendor = logging.getLogger("vendorlib")
    vendor.setLevel(logging.INFO)
    own_console = logging.StreamHandler(sys.stdout)
    own_console.setFormatter(logging.Formatter("vendorlib says: %(levelname)s %(message)s"))
    vendor.addHandler(own_console)
    vendor.addHandler(logging.FileHandler(root / "vendorlib.log", encoding="utf-8"))
    vendor.info("configured by third-party code")
    say("before:", describe(vendor))

    taken = OsprelLog("vendorlib", file=str(root / "vendorlib-ours.log"), rehandler=True)
    say("taken over (rehandler=True):", describe(vendor))
    vendor.warning("the library's own call, now in our format and colours")
    taken.info("and our calls on the same logger")

    taken.close()
    say("after close():", describe(vendor))
    vendor.info("back on its own handlers")

    for obj in (shop, uploads, jobs):
        obj.close()

    section("where each file went")
    files = sorted(p for p in root.rglob("*") if p.is_file())
    width = max(len(str(p)) for p in files)
    for path in files:
        lines = path.read_text(encoding="utf-8").count("\n")
        say(f"  {str(path):<{width}}  {path.stat().st_size:>5} bytes  {lines:>3} lines")
    first = (root / "shop.log").read_text(encoding="utf-8").splitlines()[0]
    say("files hold plain text, e.g.:", first)


if __name__ == "__main__":
    main(Path(sys.argv[1] if len(sys.argv) > 1 else "demo-logs"))
