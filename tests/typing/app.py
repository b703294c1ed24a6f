"""A small service as an application writes it: one logger object, made at start."""

import logging
import sys

from log_main import OsprelLog

log = OsprelLog("svc", level=logging.INFO, file="logs/svc.log", handler_type="timerotating", backupCount=14)


def handle(job_id: int, payload: dict[str, int]) -> int:
    log.info("job", job_id, "started", kwargs={"extra": {"job": job_id}})
    try:
        return payload["size"] // payload["parts"]
    except (KeyError, ZeroDivisionError) as error:
        log.error("job %d failed", args=(job_id,), kwargs={"exc_info": error, "stacklevel": 1})
        return -1


def main() -> int:
    log.set_console_level(logging.WARNING)
    results = [handle(i, {"size": 10, "parts": i}) for i in range(3)]
    log.warning("results:", *results, kwargs={"stack_info": False})
    log.debug("not written: below the file level")
    log.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
