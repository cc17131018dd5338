"""Where a VPC's backup lives: in S3, and in a local folder while a run works on it.

The S3 layout is ``s3://<bucket>/<prefix>/<account name>/<region>/<vpc id>/``
with the run's lock object ``.../<vpc id>.lock`` beside that folder (outside
it, so mirroring the folder never touches the lock).  The local folder
mirrors the same path under the work directory.

In a dry run the local folder is a scratch folder instead: a dry run works on
a copy of the backup and must never leave files in the real folder that a
later real run could take for its own records.  The choice is made each time
the folder is asked for, from ``Globals.dry_run`` at that moment; one scratch
folder serves every descriptor of the same VPC in a process and is removed
when the process ends.

While a run works in the real folder, the folder has an S3 mirror: the
histories store every file they write there at once (write-through), so an
undo record is in S3 before the next change goes out.  ``download()`` of
``morvent.lib.s3`` registers itself as the mirror (never in a dry run); the
histories look it up by folder with :func:`mirror_of` each time they write
and know nothing about S3 themselves.  A history may also hold back one
write (a popped undo record stays on disk until its undo is done):
:func:`finish_pending` makes it, and the transfers call it before they read
or replace the folder.

While a run holds the VPC's lock, the lock registers a *fence* for the
folder (:func:`set_fence`): a check that raises when the lock is no longer
the run's (broken by another run).  The histories call :func:`check_fence`
before each step, and the S3 mirror before each store, so a run whose lock
was broken stops before its next change.
"""

from __future__ import annotations

import atexit
import logging
import os
import shutil
import tempfile
from collections.abc import Callable
from typing import Protocol

from morvent.core.Globals import Globals

_log = logging.getLogger(__name__)

#: The longest key S3 stores, in bytes of UTF-8.
S3_KEY_LIMIT = 1024
#: Room kept after the backup folder's key for the path of every file the tool
#: writes in the folder.  The longest today is the temporary file of a route
#: snapshot while it is written (a run killed then leaves it, and the next
#: upload stores it): ".route-snapshot-<VPC id>-s1-<UTC time>-<n>.json.<8
#: random>.tmp", 79 characters for a 21-character VPC id and n below 1000.
#: Log files ("logs/<UTC time>-<command>-<n>.log") and NAT gateway
#: descriptions are shorter.  The rest is room for files to come; a test
#: holds every key a run stores to it.
FILE_NAME_ROOM = 128

_scratch: dict[str, str] = {}


def _remove_scratch() -> None:
    for folder in _scratch.values():
        shutil.rmtree(folder, ignore_errors=True)
    _scratch.clear()


atexit.register(_remove_scratch)


class BackupDescriptor:
    """Names one VPC's backup in S3 and its local folder."""

    def __init__(self, bucket: str, prefix: str, local_folder: str | os.PathLike):
        #: The S3 bucket holding the backup.
        self.bucket = bucket
        #: Key prefix of the backup folder, without a trailing '/'.
        self.prefix = prefix.strip("/")
        #: The real local folder (used when not in a dry run).
        self.local_folder = os.path.abspath(os.fspath(local_folder))

    @classmethod
    def for_vpc(cls, bucket: str, s3_prefix: str, work_dir: str, account_name: str,
                region: str, vpc_id: str) -> "BackupDescriptor":
        parts = [account_name, region, vpc_id]
        prefix = "/".join([s3_prefix.strip("/")] + parts if s3_prefix.strip("/") else parts)
        return cls(bucket, prefix, os.path.join(work_dir, *parts))

    @property
    def folder_key(self) -> str:
        """Key prefix of the objects of the backup folder (ends with '/')."""
        return self.prefix + "/"

    @property
    def lock_key(self) -> str:
        """Key of the lock object, next to the backup folder."""
        return self.prefix + ".lock"

    @property
    def longest_key(self) -> int:
        """Bytes of the longest key the tool may write for this VPC (see FILE_NAME_ROOM)."""
        return max(len(self.folder_key.encode("utf-8")) + FILE_NAME_ROOM,
                   len(self.lock_key.encode("utf-8")))

    @property
    def url(self) -> str:
        return f"s3://{self.bucket}/{self.folder_key}"

    def getAbsolutePath(self) -> str:
        """The local backup folder: the real one, or a scratch folder in a dry run."""
        if not Globals.dry_run:
            return self.local_folder
        folder = _scratch.get(self.local_folder)
        if folder is None or not os.path.isdir(folder):
            folder = tempfile.mkdtemp(prefix="morvent-dry-run-")
            _scratch[self.local_folder] = folder
            _log.info("  dry run: working in scratch folder %s instead of %s", folder,
                      self.local_folder)
        return folder

    def __repr__(self) -> str:
        return f"BackupDescriptor({self.url!r}, local={self.local_folder!r})"


# -- what a backup folder is tied to while a run works in it -----------------------

class Mirror(Protocol):
    """Where the files written into a local backup folder are stored at once."""

    def store(self, path: str) -> None:
        """Store the file ``path`` of the folder; raise BackupUnavailable when it cannot."""

    def url_of(self, path: str) -> str:
        """The S3 URL of the object that holds the file ``path`` of the folder."""


_mirrors: dict[str, Mirror] = {}
_pending: dict[str, Callable[[], None]] = {}
_fences: dict[str, Callable[[bool], None]] = {}


def _key(folder: str | os.PathLike) -> str:
    return os.path.realpath(os.fspath(folder))


def set_mirror(folder: str | os.PathLike, mirror: Mirror | None) -> None:
    """Make ``mirror`` the S3 mirror of ``folder`` (None: the folder has none)."""
    if mirror is None:
        _mirrors.pop(_key(folder), None)
    else:
        _mirrors[_key(folder)] = mirror


def mirror_of(folder: str | os.PathLike) -> Mirror | None:
    """The mirror registered for ``folder``, or None."""
    return _mirrors.get(_key(folder))


def url_of(path: str | os.PathLike) -> str | None:
    """The S3 URL of the file ``path`` of a folder that has a mirror, else None."""
    mirror = mirror_of(os.path.dirname(os.path.abspath(os.fspath(path))))
    return mirror.url_of(os.fspath(path)) if mirror is not None else None


def set_fence(folder: str | os.PathLike, check: Callable[[bool], None] | None) -> None:
    """Make ``check(thorough)`` the fence of ``folder`` (None: the folder has none)."""
    if check is None:
        _fences.pop(_key(folder), None)
    else:
        _fences[_key(folder)] = check


def check_fence(folder: str | os.PathLike, thorough: bool = False) -> None:
    """Raise (BackupUnavailable) when the lock that the run on ``folder`` held is gone.

    ``thorough``: ask S3 now rather than trust what the lock's heartbeat saw last.
    """
    check = _fences.get(_key(folder))
    if check is not None:
        check(thorough)


def set_pending(folder: str | os.PathLike, finish: Callable[[], None] | None) -> None:
    """Note that ``finish()`` must run before ``folder`` is read or replaced (None: nothing)."""
    if finish is None:
        _pending.pop(_key(folder), None)
    else:
        _pending[_key(folder)] = finish


def finish_pending(folder: str | os.PathLike) -> None:
    """Make the write held back for ``folder``, if there is one."""
    finish = _pending.get(_key(folder))
    if finish is not None:
        finish()
