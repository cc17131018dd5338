"""A change to a library that several simulators in one process share."""

from __future__ import annotations

import contextlib
import threading
from collections.abc import Callable, Iterator


class SharedPatch:
    """``install()`` on the first entry, ``uninstall()`` when the last user leaves.

    Calling it gives a context manager; nested and concurrent uses (several
    simulated endpoints of one process, each on its own thread) share one
    installation.
    """

    def __init__(self, install: Callable[[], None], uninstall: Callable[[], None]) -> None:
        self._install, self._uninstall = install, uninstall
        self._lock = threading.Lock()
        self._users = 0

    @contextlib.contextmanager
    def __call__(self) -> Iterator[None]:
        with self._lock:
            if self._users == 0:
                self._install()
            self._users += 1
        try:
            yield
        finally:
            with self._lock:
                self._users -= 1
                if self._users == 0:
                    self._uninstall()
