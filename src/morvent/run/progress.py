"""What a run leaves besides its result: its log file, its progress lines, and
what the migration writes to standard error turned into log records.

Progress and notices are log records of the ``morvent.cli`` logger (the
handlers the command line sets up decide where they go); the log file of a
real run takes every record, masked.
"""

from __future__ import annotations

import contextlib
import datetime
import importlib
import itertools
import logging
import logging.handlers
import os
import sys
from collections.abc import Callable, Iterator, Sequence
from typing import Any

from morvent.core.text import PROG

FILE_FORMAT = "%(asctime)s %(levelname)-7s %(name)s: %(message)s"

#: The logger of the command line's own lines (progress, log file notices).
log = logging.getLogger("morvent.cli")


def secret_masking_filter() -> logging.Filter | None:
    """The transport's filter that hides passwords and session ids, when it has one."""
    try:
        backend = importlib.import_module("morvent.lib.corvane_backend")
        return backend.SecretMaskingFilter()
    except Exception:
        return None



# -- what the migration writes to standard error ---------------------------------------

class StderrToLog:
    """A text stream that turns what is written to it into DEBUG records.

    The migration prints the traceback of a failed step with
    ``traceback.print_exc()``; through this stream it reaches the log file
    (masked, like every record) and the console only with -v.  A traceback
    becomes one record: its indented lines are kept with it.
    """

    encoding = "utf-8"
    errors = "backslashreplace"

    def __init__(self, logger: logging.Logger):
        self.logger = logger
        self._pending = ""
        self._block: list[str] = []

    def write(self, text: str) -> int:
        self._pending += text
        while "\n" in self._pending:
            line, self._pending = self._pending.split("\n", 1)
            self._line(line)
        return len(text)

    def writelines(self, lines: Any) -> None:
        for line in lines:
            self.write(line)

    def _line(self, line: str) -> None:
        self._block.append(line)
        if line.startswith((" ", "\t")) or line.startswith("Traceback (most recent call"):
            return  # the traceback goes on
        self._emit()

    def _emit(self) -> None:
        text = "\n".join(self._block).rstrip()
        self._block = []
        if text.strip():
            self.logger.debug("%s", text)

    def flush(self) -> None:
        if self._pending:
            self._line(self._pending)
            self._pending = ""
        if self._block:
            self._emit()

    def isatty(self) -> bool:
        return False


@contextlib.contextmanager
def stderr_to_log() -> Iterator[None]:
    """Send what is written to sys.stderr meanwhile to the log as DEBUG records."""
    stream = StderrToLog(logging.getLogger("morvent.stderr"))
    saved = sys.stderr
    sys.stderr = stream
    try:
        yield
    finally:
        sys.stderr = saved
        stream.flush()


# -- the log file of a run -----------------------------------------------------------

class RunLog:
    """The log file of a real run: every record (DEBUG and up), masked.

    Records are kept from the moment it is made; ``open()`` writes them to
    a new file in the backup folder's "logs" folder (so the run's backup
    upload takes it to S3) and goes on writing there.  Without ``open()``
    (a run refused or cancelled) nothing is written.
    """

    def __init__(self) -> None:
        self.path: str | None = None
        self._buffer = logging.handlers.MemoryHandler(capacity=1 << 20,
                                                      flushLevel=logging.CRITICAL + 1)
        self._file: logging.Handler | None = None
        logging.getLogger().addHandler(self._buffer)

    def open(self, folder: str, command: str) -> str:
        """Start the file in ``folder``/logs; returns its path."""
        logs = os.path.join(folder, "logs")
        os.makedirs(logs, exist_ok=True)
        stamp = datetime.datetime.now(datetime.timezone.utc).strftime("%Y%m%dT%H%M%SZ")
        for n in itertools.count(1):
            path = os.path.join(logs, f"{stamp}-{command}" + (f"-{n}" if n > 1 else "") + ".log")
            try:
                with open(path, "x", encoding="utf-8"):
                    break
            except FileExistsError:
                continue
        handler = logging.FileHandler(path, encoding="utf-8")
        handler.setFormatter(logging.Formatter(FILE_FORMAT))
        handler.setLevel(logging.DEBUG)
        masking = secret_masking_filter()
        if masking is not None:
            handler.addFilter(masking)
        self._buffer.setTarget(handler)
        self._buffer.flush()
        root = logging.getLogger()
        root.removeHandler(self._buffer)
        root.addHandler(handler)
        self._file, self.path = handler, path
        return path

    def close(self) -> None:
        root = logging.getLogger()
        root.removeHandler(self._buffer)
        self._buffer.setTarget(None)
        self._buffer.buffer.clear()
        self._buffer.close()
        if self._file is not None:
            root.removeHandler(self._file)
            self._file.close()
            self._file = None

    def __enter__(self) -> "RunLog":
        return self

    def __exit__(self, kind: Any, error: Any, tb: Any) -> None:
        if error is not None and not isinstance(error, SystemExit) and self.path is not None:
            # Where it stopped, for the bug report; the console shows it with -v.
            self._file.handle(log.makeRecord(log.name, logging.DEBUG, __file__, 0,
                                             "the run stopped with %s", (kind.__name__,),
                                             (kind, error, tb)))
        self.close()
        if error is not None and self.path is not None:
            print(f"{PROG}: the log of this run: {self.path}", file=sys.stderr)


# -- progress ------------------------------------------------------------------------

@contextlib.contextmanager
def listening(listener: Callable[[str, Any], None]) -> Iterator[None]:
    """Have ``listener`` told where the run is (see ``morvent.commands.history``)."""
    from morvent.commands import history

    history.step_listeners.append(listener)
    try:
        yield
    finally:
        history.step_listeners.remove(listener)


class ReplacementProgress:
    """Says which step of the replacement starts: "[3/11] Delete NAT gateway ...".

    The first step that starts is where the run's own discovery is known
    (refreshed, as the run uses it): the steps are laid out again from it.
    """

    def __init__(self, settings: Any, steps: Sequence[Any], dry_run: bool = False):
        self.settings = settings
        self.steps = {s.position: s for s in steps}
        self.total = len(steps)
        self.dry_run = dry_run
        #: The positions started, in order.
        self.started: list[int] = []

    def __call__(self, event: str, value: Any) -> None:
        if event == "step":
            if not self.started:
                self._lay_out(value)
            self.started.append(value)
            step = self.steps.get(value)
            log.info("[%d/%d] %s%s", value, self.total, "(dry run) " if self.dry_run else "",
                     step.title if step is not None else "next step")
        elif event == "undo":
            from morvent.run.plan import undo_title

            log.info("  rolling back: %s", undo_title(value))

    def _lay_out(self, position: int) -> None:
        from morvent.commands.history import CommandHistory
        from morvent.run.plan import replacement_steps

        try:
            steps = replacement_steps(self.settings, CommandHistory.get_discovered_natgws(),
                                      held=position - 1)
        except Exception:  # noqa: BLE001 - the plan's steps still name them
            log.debug("the run's steps could not be laid out again", exc_info=True)
            return
        self.steps = {s.position: s for s in steps}
        self.total = len(steps)


class RevertProgress:
    """Says which undo record a revert restores: "[2/12] Put back NAT gateway ..."."""

    def __init__(self, total: int):
        self.total = total
        self.started = 0

    def __call__(self, event: str, value: Any) -> None:
        if event != "undo":
            return
        from morvent.run.plan import undo_title

        self.started += 1
        log.info("[%d/%d] %s", self.started, self.total, undo_title(value))
