"""Stopping a run cleanly when the process is asked to stop.

Ctrl-C sends SIGINT; ``timeout``, ``docker stop``, systemd and CI time
limits send SIGTERM, whose default action ends the process on the spot:
no backup upload, the VPC's lock left behind.  While a command runs,
``StopOnSignals`` turns both into exceptions that unwind the run like
Ctrl-C does (``KeyboardInterrupt`` for SIGINT, ``Terminated`` for SIGTERM),
so the migration saves its records and the lock is given back.

Only the first signal raises.  The ones after it find the run already
stopping and are logged: a second Ctrl-C must not cut short the upload or
the lock release that the first one started.  SIGKILL cannot be caught;
what protects a killed run is that every undo record is written out as it
is made.

Code that must not be cut short even by the first signal (taking and giving
back the lock) runs under ``shielded()``: a signal that arrives there is
held back and raised when the shielded block ends.
"""

from __future__ import annotations

import contextlib
import logging
import signal
import threading
from collections.abc import Iterable, Iterator
from types import FrameType
from typing import Any

__all__ = ["StopOnSignals", "Terminated", "exit_status", "shielded", "signal_name"]


def signal_name(signum: int) -> str:
    try:
        return signal.Signals(signum).name
    except ValueError:
        return f"signal {signum}"


class Terminated(BaseException):
    """The process was asked to stop by a signal other than SIGINT (SIGTERM).

    Like KeyboardInterrupt it is not an Exception: a run that meets it saves
    what it has done and stops, without rolling anything back.
    """

    def __init__(self, signum: int = signal.SIGTERM):
        super().__init__(f"stopped by {signal_name(signum)}")
        self.signum = signum


def exit_status(stop: BaseException) -> int:
    """The shell's exit status for a process stopped by ``stop``: 128 + signal."""
    if isinstance(stop, Terminated):
        return 128 + stop.signum
    return 128 + signal.SIGINT


class StopOnSignals:
    """Context manager: SIGINT and SIGTERM stop the run with an exception, once.

    The handlers are installed on entry and the previous ones put back on
    exit.  Outside the main thread (where Python cannot take signals) it does
    nothing.
    """

    def __init__(self, signums: Iterable[int] = (signal.SIGINT, signal.SIGTERM)):
        self.signums = tuple(signums)
        #: The signal that stopped the run, once one did.
        self.stopped_by: int | None = None
        self._held: int | None = None
        self._shield_depth = 0
        self._previous: dict[int, Any] = {}

    def __enter__(self) -> "StopOnSignals":
        if threading.current_thread() is not threading.main_thread():
            return self
        for signum in self.signums:
            self._previous[signum] = signal.signal(signum, self._handle)
        _active.append(self)
        return self

    def __exit__(self, *exc_info: object) -> None:
        if self in _active:
            _active.remove(self)
        for signum, previous in reversed(list(self._previous.items())):
            # None: the handler was not set from Python; the default is the
            # closest we can put back.
            signal.signal(signum, previous if previous is not None else signal.SIG_DFL)
        self._previous.clear()

    def _handle(self, signum: int, frame: FrameType | None) -> None:
        log = logging.getLogger(__name__)
        if self.stopped_by is not None or self._held is not None:
            log.warning("  %s received: the run is already stopping; letting it save its "
                        "records and release the lock (SIGKILL stops it at once)",
                        signal_name(signum))
            return
        if self._shield_depth:
            self._held = signum
            log.warning("  %s received: stopping once the lock is settled", signal_name(signum))
            return
        self._stop(signum)

    def _stop(self, signum: int) -> None:
        self.stopped_by = signum
        logging.getLogger(__name__).warning("  %s received: stopping the run",
                                            signal_name(signum))
        if signum == signal.SIGINT:
            raise KeyboardInterrupt
        raise Terminated(signum)

    @contextlib.contextmanager
    def shielded(self) -> Iterator[None]:
        """Run the block to its end; a signal meanwhile is raised after it."""
        self._shield_depth += 1
        try:
            yield
        except BaseException:
            self._shield_depth -= 1
            raise
        self._shield_depth -= 1
        if self._shield_depth == 0 and self._held is not None and self.stopped_by is None:
            held, self._held = self._held, None
            self._stop(held)


_active: list[StopOnSignals] = []


@contextlib.contextmanager
def shielded() -> Iterator[None]:
    """``shielded()`` of the innermost active ``StopOnSignals``; no effect without one."""
    if not _active:
        yield
        return
    with _active[-1].shielded():
        yield
