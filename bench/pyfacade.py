"""The logger object written in plain Python, as an application developer would write it.

Same behaviour as the compiled logger object on the emission path: exact-type checks on
`args`/`kwargs` (and on `level`/`message` in `_log`), `logging.<LEVEL>` read at each call,
`self._log` found through the instance, the parts joined with single spaces, errors of class
`Exception` swallowed. The benchmarks run it on the same `logging.Logger` as the compiled
object, so the two differ only in what the facade itself costs.

One visible difference remains: `Logger.findCaller` names this file, because the facade's own
frames sit between the application and `Logger.log`; the compiled object adds no frame.
"""

import logging


def _wrong_type(name, expected, value):
    return TypeError(
        f"Argument '{name}' has incorrect type (expected {expected}, got {type(value).__name__})")


class PyLogger:
    def __init__(self, logger=None):
        self._logger = logger

    def disable(self):
        self._logger = None

    def enable(self, value):
        self._logger = value

    def _log(self, level, message, args=None, kwargs=None):
        if type(level) is not int:
            raise _wrong_type("level", "int", level)
        if type(message) is not tuple:
            raise _wrong_type("message", "tuple", message)
        if args is not None and type(args) is not tuple:
            raise _wrong_type("args", "tuple", args)
        if kwargs is not None and type(kwargs) is not dict:
            raise _wrong_type("kwargs", "dict", kwargs)
        if not self._logger:
            return
        if args is None:
            args = ()
        if kwargs is None:
            kwargs = {}
        try:
            self._logger.log(level, " ".join(map(str, message)), *args, **kwargs)
        except Exception:
            pass

    def debug(self, *message, args=None, kwargs=None):
        if args is not None and type(args) is not tuple:
            raise _wrong_type("args", "tuple", args)
        if kwargs is not None and type(kwargs) is not dict:
            raise _wrong_type("kwargs", "dict", kwargs)
        self._log(logging.DEBUG, message, args, kwargs)

    def info(self, *message, args=None, kwargs=None):
        if args is not None and type(args) is not tuple:
            raise _wrong_type("args", "tuple", args)
        if kwargs is not None and type(kwargs) is not dict:
            raise _wrong_type("kwargs", "dict", kwargs)
        self._log(logging.INFO, message, args, kwargs)

    def warning(self, *message, args=None, kwargs=None):
        if args is not None and type(args) is not tuple:
            raise _wrong_type("args", "tuple", args)
        if kwargs is not None and type(kwargs) is not dict:
            raise _wrong_type("kwargs", "dict", kwargs)
        self._log(logging.WARNING, message, args, kwargs)

    def error(self, *message, args=None, kwargs=None):
        if args is not None and type(args) is not tuple:
            raise _wrong_type("args", "tuple", args)
        if kwargs is not None and type(kwargs) is not dict:
            raise _wrong_type("kwargs", "dict", kwargs)
        self._log(logging.ERROR, message, args, kwargs)

    def critical(self, *message, args=None, kwargs=None):
        if args is not None and type(args) is not tuple:
            raise _wrong_type("args", "tuple", args)
        if kwargs is not None and type(kwargs) is not dict:
            raise _wrong_type("kwargs", "dict", kwargs)
        self._log(logging.CRITICAL, message, args, kwargs)
