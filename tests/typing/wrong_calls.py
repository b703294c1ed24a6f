# Calls that a type checker must flag: the lines that end in a "wrong" comment, and no other.
# pyright: reportPrivateUsage=false
from pathlib import Path
from typing import Any

import log_main
from log_main import OsprelLog, _md5

log = OsprelLog("app", file="logs/app.log", handler_type="rotating", maxBytes=1024)
reveal_type(log)
log.info("ok", 1, None, args=(1,), kwargs={"extra": {"k": 1}, "exc_info": True, "stacklevel": 2})
OsprelLog("app", level="DEBUG")  # wrong
OsprelLog("app", handler_type="daily")  # wrong
OsprelLog("app", file=Path("app.log"))  # wrong
OsprelLog("app", maxbytes=1024)  # wrong
OsprelLog("app", backupCount="3")  # wrong
log.info("x", args=[1])  # wrong
log.set_file_level(None)  # wrong
log.flush()  # wrong
x: int = _md5("text")  # wrong
log.error("failed", kwargs={"extras": {"user": "ann"}})  # wrong: the record would be dropped
log.error("failed", kwargs={"exc_info": "yes"})  # wrong
log.warning("x", kwargs={"stacklevel": "2"})  # wrong
log.info("x", exc_info=True)  # wrong
options: dict[str, Any] = {"extra": {}}
log.info("x", kwargs=options)  # wrong: a plain dict may hold any key
print(log_main.hashlib, log_main.colorlog, log_main.uuid)  # wrong
from log_main import os  # wrong
from log_main import Any as _Any  # wrong
