"""A cap on the state-changing controller requests of many processes on one machine.

A fleet runner starts one process per VPC; a controller creates gateways
slowly and may refuse a crowd, so the runner tells its children, in the
environment variable ``MORVENT_CONTROLLER_SLOTS`` (``FOLDER:N``), that at
most N of their state-changing controller requests may be under way at once.
Each such request takes one of N slot files in FOLDER (an exclusive
``flock``) for as long as it waits for its answer; a process that dies lets
go of its slot with it.  Look-ups (``get_*``, ``list_*``) and the login are
not capped.  Without the variable nothing is capped.
"""

from __future__ import annotations

import contextlib
import fcntl
import logging
import os
import time
from collections.abc import Iterator

VARIABLE = "MORVENT_CONTROLLER_SLOTS"
#: Seconds between two tries of the slots while every one is taken.
RETRY = 0.05
#: Actions sent by POST that change nothing.
_READ_ONLY = frozenset({"login"})

log = logging.getLogger(__name__)


def prepare(folder: str, count: int) -> str:
    """Make the slot files of ``count`` slots in ``folder``; the variable's value."""
    if count < 1:
        raise ValueError("at least one controller slot")
    os.makedirs(folder, exist_ok=True)
    for n in range(count):
        with open(os.path.join(folder, f"slot-{n}"), "a"):
            pass
    return f"{os.path.abspath(folder)}:{count}"


def configured() -> tuple[str, int] | None:
    """(folder, count) from the environment, or None when nothing is capped."""
    value = os.environ.get(VARIABLE, "")
    folder, _, count = value.rpartition(":")
    if not folder or not count.isdigit() or int(count) < 1:
        return None
    return folder, int(count)


def changes_state(method: str, action: object) -> bool:
    """Whether a controller request may change something there."""
    if str(method).upper() != "POST":
        return False
    name = str(action or "")
    return name not in _READ_ONLY and not name.startswith(("get_", "list_"))


@contextlib.contextmanager
def slot(method: str, action: object) -> Iterator[None]:
    """Hold a slot around a state-changing request while slots are configured."""
    found = configured() if changes_state(method, action) else None
    if found is None:
        yield
        return
    folder, count = found
    held = _take(folder, count, action)
    try:
        yield
    finally:
        os.close(held)


def _take(folder: str, count: int, action: object) -> int:
    first = os.getpid() % count  # processes start their search at different slots
    waited = 0.0
    while True:
        for n in range(count):
            path = os.path.join(folder, f"slot-{(first + n) % count}")
            fd = os.open(path, os.O_RDWR | os.O_CREAT, 0o600)
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except OSError:
                os.close(fd)
                continue
            if waited:
                log.debug("controller slot taken for %s after %.1f s", action, waited)
            return fd
        if not waited:
            log.debug("waiting for one of %d controller slots for %s", count, action)
        time.sleep(RETRY)
        waited += RETRY
