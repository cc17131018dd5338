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
"""

from __future__ import annotations

import atexit
import logging
import os
import shutil
import tempfile

from morvent.core.Globals import Globals

_log = logging.getLogger(__name__)

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
