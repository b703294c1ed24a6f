"""Type information for the log_main extension module."""

# Plain imports: a stub re-exports only names imported as `import x as x`, so
# none of the modules the runtime imports shows up as an attribute of log_main.
import logging
from collections.abc import Callable, Mapping
from threading import Lock
from types import TracebackType
from typing import Any, Literal, NotRequired, TextIO, TypeAlias, TypedDict, Unpack

__all__ = ["OsprelLog"]

_HandlerType: TypeAlias = Literal["file", "rotating", "timerotating"]

class _FileOptions(TypedDict, total=False):
    """Options read by the file handler; every one is optional.

    "file": encoding, mode. "rotating": encoding, mode, maxBytes, backupCount.
    "timerotating": encoding, when, interval, backupCount.
    """

    encoding: str | None
    mode: str
    maxBytes: int
    backupCount: int
    when: str
    interval: int

_ExcInfo: TypeAlias = (
    bool
    | BaseException
    | tuple[type[BaseException], BaseException, TracebackType | None]
    | tuple[None, None, None]
    | None
)

class _LogOptions(TypedDict, total=False):
    """The keyword options of logging.Logger.log that a level method passes on.

    Any other key makes the call drop its record, so a misspelt key is a type error.
    """

    exc_info: _ExcInfo
    stack_info: bool
    stacklevel: int
    extra: Mapping[str, object] | None

class _HandlerRecord(TypedDict):
    """What a take-over writes down about each handler it finds."""

    id: int
    type: type[logging.Handler]
    level: int
    name: str | None
    filters: list[logging.Filter | Callable[[logging.LogRecord], bool | logging.LogRecord]]
    formatter: logging.Formatter | None
    kwargs: NotRequired[dict[str, Any]]

class _CaptureEntry(TypedDict):
    handlers: list[_HandlerRecord]
    handler_ids: list[int]

_fformatter: str
_cformatter: str
_colors: dict[str, str]
_LOGGERS: dict[str, dict[int, _LogBase]]
_FHANDLERS: dict[str, str]
_CAPTURES: dict[str, dict[int, _CaptureEntry]]
_LOCK: Lock
__test__: dict[str, Any]

def _md5(text: str) -> str: ...

class _ContextFilter(logging.Filter):
    _logger_name: str
    def __init__(self, logger_name: str) -> None: ...
    def filter(self, record: logging.LogRecord) -> bool: ...

class _LogBase:
    name: str
    file: str | None
    handler_type: str
    file_level: int
    console: bool
    console_level: int
    kwargs: dict[str, Any]
    _logger: logging.Logger | None
    _file_handler: logging.FileHandler | None
    _console_handler: logging.StreamHandler[TextIO] | None
    _handler_filter: _ContextFilter | None
    def __init__(self) -> None: ...
    def _create_console_handler(self) -> None: ...
    def _create_file_handler(self) -> None: ...
    def disable(self) -> None: ...
    def enable(self, value: logging.Logger) -> None: ...
    def close(self) -> None: ...
    def set_console_level(self, level: int) -> None: ...
    def set_file_level(self, level: int) -> None: ...
    def _log(
        self,
        level: int,
        message: tuple[Any, ...],
        args: tuple[Any, ...] | None = None,
        kwargs: _LogOptions | None = None,
    ) -> None: ...
    def debug(
        self, *message: object, args: tuple[Any, ...] | None = None, kwargs: _LogOptions | None = None
    ) -> None: ...
    def info(
        self, *message: object, args: tuple[Any, ...] | None = None, kwargs: _LogOptions | None = None
    ) -> None: ...
    def warning(
        self, *message: object, args: tuple[Any, ...] | None = None, kwargs: _LogOptions | None = None
    ) -> None: ...
    def error(
        self, *message: object, args: tuple[Any, ...] | None = None, kwargs: _LogOptions | None = None
    ) -> None: ...
    def critical(
        self, *message: object, args: tuple[Any, ...] | None = None, kwargs: _LogOptions | None = None
    ) -> None: ...

class OsprelLog:
    # Constructing it yields a _SetLogger or a _GetLogger, never an OsprelLog.
    def __new__(  # type: ignore[misc]
        cls,
        name: str | None,
        level: int = 10,
        file: str | None = None,
        handler_type: _HandlerType = "file",
        console: bool = True,
        rehandler: bool = False,
        **kwargs: Unpack[_FileOptions],
    ) -> _LogBase: ...

class _SetLogger(_LogBase):
    def __init__(
        self,
        name: str,
        level: int = 10,
        file: str | None = None,
        handler_type: _HandlerType = "file",
        console: bool = True,
        **kwargs: Unpack[_FileOptions],
    ) -> None: ...
    def _setup_logger(self) -> None: ...

class _GetLogger(_LogBase):
    rehandler: bool
    def __init__(
        self,
        name: str,
        level: int = 10,
        file: str | None = None,
        handler_type: _HandlerType = "file",
        console: bool = True,
        rehandler: bool = False,
        **kwargs: Unpack[_FileOptions],
    ) -> None: ...
    def _captures_logger(self) -> None: ...
