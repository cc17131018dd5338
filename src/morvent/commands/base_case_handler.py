"""Base of the migration commands, and the decorator that logs their runs."""

import functools
import logging
import time

_log = logging.getLogger(__name__)


class BaseCaseHandler:
    """Base class of a migration command; its class methods take a configuration."""


def logged(func):
    """Log the start, the end and the failure of a command run.

    Applied to the plain function before it is made a class method, so the
    wrapper is called with ``(cls, config)``.  Exceptions (``SystemExit``
    included) pass through unchanged after they are logged.
    """

    @functools.wraps(func)
    def wrapper(cls, config):
        name = f"{getattr(cls, '__name__', cls)}.{getattr(func, '__name__', 'run')}"
        _log.info("start %s", name)
        started = time.monotonic()
        try:
            result = func(cls, config)
        except SystemExit as e:
            _log.info("%s ended with exit status %s after %.1fs", name, e.code,
                      time.monotonic() - started)
            raise
        except BaseException as e:
            # The command line says what failed, in words; the class is for the log.
            _log.debug("%s failed after %.1fs: %s: %s", name, time.monotonic() - started,
                       type(e).__name__, e)
            raise
        _log.info("end %s after %.1fs", name, time.monotonic() - started)
        return result

    return wrapper
