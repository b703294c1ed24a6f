"""Take over a logger that other code configured, then give it back.

Run: .venv/bin/python examples/takeover.py
"""
import logging
import sys
import tempfile
from pathlib import Path

from log_main import OsprelLog

NAME = "vendor.client"


def configure_vendor_logger(directory: Path) -> logging.Logger:
    """What a third-party library does with plain logging."""
    logger = logging.getLogger(NAME)
    logger.setLevel(logging.INFO)
    to_file = logging.FileHandler(directory / "vendor.log", mode="w", encoding="utf-8")
    to_file.setFormatter(logging.Formatter("vendor | %(levelname)s | %(message)s"))
    to_stdout = logging.StreamHandler(sys.stdout)
    to_stdout.setLevel(logging.WARNING)
    to_stdout.setFormatter(logging.Formatter("vendor on stdout: %(message)s"))
    logger.addHandler(to_file)
    logger.addHandler(to_stdout)
    return logger


def describe(logger: logging.Logger) -> str:
    parts: list[str] = []
    for handler in logger.handlers:
        stream = getattr(handler, "stream", None)
        target = getattr(handler, "baseFilename", None) or getattr(stream, "name", "?")
        parts.append(f"{type(handler).__name__}({logging.getLevelName(handler.level)} -> {target})")
    return ", ".join(parts)


def main() -> None:
    directory = Path(tempfile.mkdtemp(prefix="takeover-"))
    vendor = configure_vendor_logger(directory)
    vendor.warning("before the take-over")
    print("vendor handlers before:", describe(vendor))

    log = OsprelLog(NAME, file=str(directory / "app.log"), handler_type="rotating",
                    rehandler=True)
    print("vendor handlers during:", describe(vendor))
    log.info("the application now logs through", NAME)
    log.close()

    print("vendor handlers after: ", describe(vendor))
    vendor.warning("after close(), back on the vendor's handlers")

    print(f"\nfiles written under {directory}:")
    for path in sorted(directory.iterdir()):
        print(f"--- {path.name}")
        print(path.read_text(encoding="utf-8"), end="")


if __name__ == "__main__":
    main()
