"""The VPC's backup folder in S3, and the lock that keeps two runs apart.

``S3BackupCmdV2(s3_client, backup_des).download()`` makes the local backup
folder a copy of the VPC's backup in S3; ``upload()`` makes S3 a copy of the
local folder.  Both directions mirror: files or objects missing on the source
side are removed on the other side, with one safety net: ``download()`` never
throws local work away.  A local file that S3 does not hold, or holds with
other content, can only come from a run that ended before its upload (it may
be the only undo record of a change already made), so it is moved aside into
a ``<folder>.kept-<time>`` folder and a warning says where.

``VpcLock`` is an object next to the backup folder, written with a
conditional put (``IfNoneMatch="*"``), so exactly one of two runs that start
together gets it.  The store must honour that condition; AWS S3 and the
simulated cloud used in tests do.
"""

from __future__ import annotations

import getpass
import json
import logging
import os
import socket
import sys
import time
import uuid
from collections.abc import Mapping
from datetime import datetime, timezone
from typing import Any

import botocore.exceptions

from morvent.core.backup import BackupDescriptor
from morvent.core.files import write_atomically
from morvent.core.Globals import Globals

__all__ = ["BackupError", "LockHeldError", "S3BackupCmdV2", "VpcLock", "default_owner",
           "describe_holder"]


class BackupError(Exception):
    """The backup could not be read or written; ``str()`` is one line."""


class LockHeldError(Exception):
    """Another run holds the VPC's lock; ``holder`` describes it (or is None)."""

    def __init__(self, message: str, holder: Mapping | None):
        super().__init__(message)
        self.holder = holder


def _error_code(e: botocore.exceptions.ClientError) -> str:
    return str(e.response.get("Error", {}).get("Code", ""))


def _failed(what: str, e: Exception) -> BackupError:
    if isinstance(e, botocore.exceptions.ClientError):
        code = _error_code(e)
        message = e.response.get("Error", {}).get("Message", "")
        return BackupError(f"{what} failed: {code}: {message}".rstrip(": "))
    return BackupError(f"{what} failed: {e}")


def _files(n: int) -> str:
    return f"{n} file" if n == 1 else f"{n} files"


def _read(path: str) -> bytes:
    with open(path, "rb") as f:
        return f.read()


def _local_files(folder: str) -> dict[str, str]:
    """Relative path ('/'-separated) -> absolute path of every file under ``folder``."""
    files = {}
    for root, dirs, names in os.walk(folder):
        dirs.sort()
        for name in sorted(names):
            path = os.path.join(root, name)
            files[os.path.relpath(path, folder).replace(os.sep, "/")] = path
    return files


def _remove_empty_dirs(folder: str) -> None:
    for root, dirs, names in os.walk(folder, topdown=False):
        if root != folder and not dirs and not names:
            try:
                os.rmdir(root)
            except OSError:
                pass


class S3BackupCmdV2:
    """Moves one VPC's backup folder between S3 and the local disk."""

    def __init__(self, s3_client: Any, backup_des: BackupDescriptor):
        self.s3_client = s3_client
        self.backup_des = backup_des

    # -- S3 side -------------------------------------------------------------

    def _remote_keys(self) -> dict[str, str]:
        """Relative path -> key of every object of the backup folder."""
        des = self.backup_des
        keys = {}
        try:
            pages = self.s3_client.get_paginator("list_objects_v2").paginate(
                Bucket=des.bucket, Prefix=des.folder_key)
            for page in pages:
                for item in page.get("Contents", ()):
                    key = item["Key"]
                    rel = key[len(des.folder_key):]
                    if not rel or rel.endswith("/"):
                        continue  # folder markers made by consoles
                    if any(part in ("", ".", "..") for part in rel.split("/")) or "\\" in rel:
                        raise BackupError(f"refusing the object s3://{des.bucket}/{key}: its "
                                          "name would leave the local backup folder")
                    keys[rel] = key
        except botocore.exceptions.ClientError as e:
            if _error_code(e) == "NoSuchBucket":
                raise BackupError(f"S3 bucket {des.bucket!r} does not exist (s3_bucket in the "
                                  "configuration)") from e
            raise _failed(f"listing {des.url}", e) from e
        except botocore.exceptions.BotoCoreError as e:
            raise _failed(f"listing {des.url}", e) from e
        return keys

    def _get(self, key: str) -> bytes:
        try:
            answer = self.s3_client.get_object(Bucket=self.backup_des.bucket, Key=key)
            return answer["Body"].read()
        except (botocore.exceptions.ClientError, botocore.exceptions.BotoCoreError) as e:
            raise _failed(f"reading s3://{self.backup_des.bucket}/{key}", e) from e

    # -- the two directions ----------------------------------------------------

    def download(self) -> None:
        """Make the local backup folder a copy of the backup in S3.

        No backup in S3 yet gives an empty folder.
        """
        log = logging.getLogger(__name__)
        des = self.backup_des
        folder = des.getAbsolutePath()
        remote = {rel: self._get(key) for rel, key in self._remote_keys().items()}
        os.makedirs(folder, exist_ok=True)

        local = _local_files(folder)
        differing = sorted(rel for rel, path in local.items()
                           if rel not in remote or _read(path) != remote[rel])
        if differing and Globals.dry_run:
            # The scratch copy of an earlier dry run in this process: never
            # meant to be kept.
            for rel in differing:
                os.unlink(local[rel])
        elif differing:
            kept = self._keep_aside(folder, local, differing)
            log.warning("  local backup files not in %s kept in %s: %s (a run may have "
                        "ended before its upload; check them before going on)", des.url, kept,
                        ", ".join(differing))
        for rel, data in remote.items():
            path = os.path.join(folder, *rel.split("/"))
            if rel in differing or not os.path.exists(path):
                write_atomically(path, data)
        _remove_empty_dirs(folder)
        if remote:
            log.info("- Downloaded backup %s (%s) to %s", des.url, _files(len(remote)), folder)
        else:
            log.info("- No backup in %s yet; starting with an empty folder %s", des.url, folder)

    @staticmethod
    def _keep_aside(folder: str, local: dict[str, str], rels: list[str]) -> str:
        stamp = time.strftime("%Y%m%dT%H%M%S")
        kept = f"{folder.rstrip(os.sep)}.kept-{stamp}"
        n = 1
        while os.path.exists(kept):
            n += 1
            kept = f"{folder.rstrip(os.sep)}.kept-{stamp}-{n}"
        for rel in rels:
            target = os.path.join(kept, *rel.split("/"))
            os.makedirs(os.path.dirname(target), exist_ok=True)
            os.replace(local[rel], target)
        return kept

    def upload(self) -> None:
        """Store the local backup folder in S3; objects gone locally are deleted.

        In a dry run nothing is stored: the log says what would have been.
        """
        log = logging.getLogger(__name__)
        des = self.backup_des
        folder = des.getAbsolutePath()
        if not os.path.isdir(folder):
            # Never mirror a missing folder: that would delete the whole backup.
            raise BackupError(f"local backup folder {folder} does not exist; nothing uploaded, "
                              f"{des.url} left as it was")
        local = _local_files(folder)
        stale = sorted(key for rel, key in self._remote_keys().items() if rel not in local)
        if Globals.dry_run:
            log.info("- Dry run: would upload %s to %s and delete %d objects there; "
                     "nothing stored", _files(len(local)), des.url, len(stale))
            return
        for rel, path in local.items():
            key = des.folder_key + rel
            try:
                self.s3_client.put_object(Bucket=des.bucket, Key=key, Body=_read(path))
            except (botocore.exceptions.ClientError, botocore.exceptions.BotoCoreError) as e:
                raise _failed(f"storing s3://{des.bucket}/{key}", e) from e
        for start in range(0, len(stale), 1000):
            batch = stale[start:start + 1000]
            try:
                answer = self.s3_client.delete_objects(
                    Bucket=des.bucket,
                    Delete={"Objects": [{"Key": k} for k in batch], "Quiet": True})
            except (botocore.exceptions.ClientError, botocore.exceptions.BotoCoreError) as e:
                raise _failed(f"deleting old objects of {des.url}", e) from e
            if answer.get("Errors"):
                first = answer["Errors"][0]
                raise BackupError(f"deleting s3://{des.bucket}/{first.get('Key')} failed: "
                                  f"{first.get('Code')}: {first.get('Message')}")
        log.info("- Uploaded backup folder %s (%s) to %s%s", folder, _files(len(local)), des.url,
                 f", deleted {len(stale)} old objects" if stale else "")


# ---------------------------------------------------------------------------
# The lock


def default_owner(command: str | None = None) -> dict[str, Any]:
    """Who takes a lock: host, process, user, time and command line."""
    try:
        user = getpass.getuser()
    except Exception:  # no user name in some containers
        user = str(os.getuid()) if hasattr(os, "getuid") else "?"
    return {
        "host": socket.gethostname(),
        "pid": os.getpid(),
        "user": user,
        "time": datetime.now(timezone.utc).isoformat(timespec="seconds"),
        "command": command if command is not None else " ".join(sys.argv),
    }


def describe_holder(holder: Mapping | None) -> str:
    if not holder:
        return "an unknown holder"
    return (f"{holder.get('user', '?')} on host {holder.get('host', '?')} "
            f"(pid {holder.get('pid', '?')}, since {holder.get('time', '?')}, "
            f"running {holder.get('command', '?')!r})")


class VpcLock:
    """Exclusive right to change one VPC's backup, as a context manager.

    ``with VpcLock(s3, des):`` takes the lock or raises :class:`LockHeldError`
    at once (no waiting), and gives it back on the way out, whatever ends the
    block (an exception, ``SystemExit``, Ctrl-C).  ``break_lock()`` removes a
    lock left behind by a run that died.
    """

    def __init__(self, s3_client: Any, backup_des: BackupDescriptor,
                 owner: Mapping | None = None):
        self.s3_client = s3_client
        self.backup_des = backup_des
        self.owner = dict(owner) if owner is not None else default_owner()
        self.token: str | None = None

    @property
    def url(self) -> str:
        return f"s3://{self.backup_des.bucket}/{self.backup_des.lock_key}"

    def _breaking_hint(self) -> str:
        return ("if that run is no longer running, run again with --break-lock "
                f"(or delete {self.url})")

    def holder(self) -> dict | None:
        """The current holder's record, or None when the VPC is not locked."""
        try:
            answer = self.s3_client.get_object(Bucket=self.backup_des.bucket,
                                               Key=self.backup_des.lock_key)
        except botocore.exceptions.ClientError as e:
            if _error_code(e) in ("NoSuchKey", "404", "NotFound"):
                return None
            raise _failed(f"reading the lock {self.url}", e) from e
        try:
            record = json.loads(answer["Body"].read())
        except ValueError:
            record = None
        return record if isinstance(record, dict) else {}

    def acquire(self) -> None:
        token = uuid.uuid4().hex
        body = json.dumps({**self.owner, "token": token}, indent=1).encode()
        try:
            self.s3_client.put_object(Bucket=self.backup_des.bucket,
                                      Key=self.backup_des.lock_key, Body=body,
                                      ContentType="application/json", IfNoneMatch="*")
        except botocore.exceptions.ClientError as e:
            status = e.response.get("ResponseMetadata", {}).get("HTTPStatusCode")
            if _error_code(e) in ("PreconditionFailed", "ConditionalRequestConflict") \
                    or status in (409, 412):
                holder = self.holder()
                raise LockHeldError(
                    f"{self.backup_des.prefix.rsplit('/', 1)[-1]} is locked by "
                    f"{describe_holder(holder)}; {self._breaking_hint()}", holder) from None
            raise _failed(f"taking the lock {self.url}", e) from e
        self.token = token
        logging.getLogger(__name__).info("- Locked %s", self.url)

    def release(self) -> None:
        """Give the lock back, unless someone broke it and took it meanwhile."""
        if self.token is None:
            return
        log = logging.getLogger(__name__)
        token, self.token = self.token, None
        try:
            holder = self.holder()
            if holder is None:
                log.warning("  the lock %s was already gone (broken by another run?)", self.url)
                return
            if holder.get("token") != token:
                log.warning("  the lock %s now belongs to %s; left in place", self.url,
                            describe_holder(holder))
                return
            self.s3_client.delete_object(Bucket=self.backup_des.bucket,
                                         Key=self.backup_des.lock_key)
        except Exception as e:  # never hide the error that ended the run
            log.error("  could not release the lock %s: %s; delete it or use --break-lock "
                      "next time", self.url, e)
            return
        log.info("- Released %s", self.url)

    def break_lock(self) -> dict | None:
        """Remove the lock whoever holds it; returns the holder's record (None: no lock)."""
        holder = self.holder()
        if holder is None:
            logging.getLogger(__name__).info("  no lock to break at %s", self.url)
            return None
        try:
            self.s3_client.delete_object(Bucket=self.backup_des.bucket,
                                         Key=self.backup_des.lock_key)
        except (botocore.exceptions.ClientError, botocore.exceptions.BotoCoreError) as e:
            raise _failed(f"breaking the lock {self.url}", e) from e
        logging.getLogger(__name__).warning("  broke the lock %s held by %s", self.url,
                                            describe_holder(holder))
        return holder

    def __enter__(self) -> "VpcLock":
        self.acquire()
        return self

    def __exit__(self, *exc_info) -> bool:
        self.release()
        return False

