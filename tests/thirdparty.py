"""A logger configured with plain `logging`, as code outside log_main would do it."""
import io
import logging
from logging.handlers import RotatingFileHandler, TimedRotatingFileHandler


class ListHandler(logging.Handler):
    """A handler outside the stream family: it keeps the messages it sees."""

    def __init__(self):
        super().__init__()
        self.messages = []
        self.closed = False

    def emit(self, record):
        self.messages.append(record.getMessage())

    def close(self):
        self.closed = True
        super().close()


def drop_debug(record):
    return record.levelno > logging.DEBUG


class ThirdParty:
    """Holds the logger and the handlers it was configured with, in order."""

    def __init__(self, name, directory):
        self.logger = logging.getLogger(name)
        self.logger.setLevel(logging.INFO)
        self.stream = io.StringIO()
        self.formatter = logging.Formatter("%(levelname)s|%(name)s|%(message)s")
        self.filters = [logging.Filter(name), drop_debug]

        self.listing = ListHandler()
        self.console = logging.StreamHandler(self.stream)
        self.plain = logging.FileHandler(directory / "plain.log", mode="w", encoding="utf-8")
        self.sized = RotatingFileHandler(directory / "sized.log", maxBytes=4096, backupCount=3,
                                         encoding="utf-8")
        self.timed = TimedRotatingFileHandler(directory / "timed.log", when="H", interval=2,
                                              backupCount=5, utc=True, encoding="utf-8")
        levels = [logging.DEBUG, logging.WARNING, logging.INFO, logging.ERROR, logging.INFO]
        for number, (handler, level) in enumerate(zip(self.handlers, levels)):
            handler.setLevel(level)
            handler.set_name(f"h{number}")
            handler.setFormatter(self.formatter)
            for log_filter in self.filters:
                handler.addFilter(log_filter)
        for handler in self.handlers:
            self.logger.addHandler(handler)
        self.logger.error("before")

    @property
    def handlers(self):
        return [self.listing, self.console, self.plain, self.sized, self.timed]

    @property
    def file_handlers(self):
        return [self.plain, self.sized, self.timed]
