"""The VPC's backup folder in S3, and the lock that keeps two runs apart.

``S3BackupCmdV2(s3_client, backup_des).download()`` brings the local backup
folder up to date with the VPC's backup in S3; ``upload()`` makes S3 a copy
of the local folder (objects gone locally are deleted).  ``download()``
never throws a local record away: the local folder may hold what a run that
ended early (killed, S3 unavailable) could not store.  It merges:

- the histories (``command_history.json``, ``memento_history.json``): when
  one copy's entries begin the other's, the longer copy is kept, and a
  longer local copy is stored in S3 at once; copies that have diverged stop
  the run before any change, with both places and what to do;
- every other file (route table backups, snapshots, NAT gateway
  descriptions: all uniquely named, for people): files only in S3 are
  fetched, local-only files stay (the next upload stores them), and of a
  file that differs the local copy stays.

Only what changed is transferred.  The process remembers, per S3 client,
the ETag and the content digest of every object it read or stored: an object
whose listed ETag is the remembered one and whose local copy has the
remembered digest holds the local content already, so ``download()`` does
not fetch it and ``upload()`` does not store it again (the histories'
write-through has stored most of the folder by the time a run uploads it).
While the process holds the VPC's lock no other run writes the folder, and
every change made through the client is followed (hooks on its requests),
so one listing of the folder serves the whole run; without the lock (a dry
run, or a run not started by the command line) each transfer lists it.

A dry run works in a scratch folder that is a plain copy of S3, and stores
nothing.  A real run's ``download()`` registers the command as the S3
mirror of the folder (``morvent.core.backup``): from then on the histories
store each file they write in S3 at once, through :meth:`S3BackupCmdV2.store`.

When S3 cannot be written during a run (a history's write-through, the
final upload), :class:`BackupUnavailable` stops the run without a rollback;
see ``morvent.core.exceptions``.

``VpcLock`` is an object next to the backup folder, written with a
conditional put (``IfNoneMatch="*"``), so exactly one of two runs that start
together gets it.  The store must honour that condition; AWS S3 and the
simulated cloud used in tests do.
"""

from __future__ import annotations

import getpass
import hashlib
import json
import logging
import os
import socket
import sys
import uuid
import weakref
from collections.abc import Mapping
from datetime import datetime, timezone
from typing import Any

import botocore.exceptions

from morvent.commands.history import HISTORY_FILES, HistoryDiverged, newer_copy
from morvent.core import backup
from morvent.core.backup import BackupDescriptor
from morvent.core.exceptions import BackupUnavailable
from morvent.core.files import write_atomically
from morvent.core.Globals import Globals

__all__ = ["BackupError", "BackupDiverged", "BackupUnavailable", "LockHeldError",
           "S3BackupCmdV2", "VpcLock", "default_owner", "describe_holder"]


class BackupError(Exception):
    """The backup could not be read or written; ``str()`` is one line."""


class BackupDiverged(BackupError):
    """The local and the S3 copy of a history hold different records; nothing was changed."""


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


def _digest(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


# -- what this process knows of the objects in S3 -----------------------------------

_HOOK_ID = "morvent-backup-folders"


class _Known:
    """What this process knows of the objects behind one S3 client.

    ``contents``: (bucket, key) -> (ETag, SHA-256 of the content) of what the
    process last read from or stored under that key.

    ``folders``: (bucket, folder key) -> the objects of a backup folder
    whose lock this process holds (relative path -> (key, ETag)), from one
    listing kept up to date by the hooks below; None before the first
    listing, and after a change whose outcome is unknown (listed again then).
    """

    def __init__(self) -> None:
        self.contents: dict[tuple[str, str], tuple[str, str]] = {}
        self.folders: dict[tuple[str, str], dict[str, tuple[str, str | None]] | None] = {}

    def touched(self, params: Mapping) -> list[tuple[tuple[str, str], list[str]]]:
        """The held folders that a request with ``params`` changes, with the keys in each."""
        bucket = params.get("Bucket")
        keys = [params["Key"]] if "Key" in params else [
            o.get("Key") for o in (params.get("Delete") or {}).get("Objects", ())]
        found = []
        for folder in self.folders:
            if folder[0] != bucket:
                continue
            inside = [k for k in keys if isinstance(k, str) and k.startswith(folder[1])]
            if inside or not keys:
                found.append((folder, inside))
        return found

    def before_request(self, params: Mapping, model: Any, context: dict, **_: Any) -> None:
        """Before a request that changes S3: the folders it touches are unknown until it ends."""
        if model.name.startswith(("Get", "Head", "List")):
            return
        changes = []
        for folder, keys in self.touched(params):
            changes.append((folder, keys, self.folders[folder]))
            self.folders[folder] = None
        if changes:
            context[_HOOK_ID] = changes

    def after_call(self, model: Any, parsed: Mapping, context: dict, http_response: Any,
                   **_: Any) -> None:
        """After it: a PUT or DELETE that succeeded is applied to the folder's listing.

        Anything else (a failure, another kind of change, no answer at all)
        leaves the folder unknown, to be listed again.
        """
        changes = context.pop(_HOOK_ID, None)
        if (not changes or getattr(http_response, "status_code", 500) >= 300
                or model.name not in ("PutObject", "DeleteObject", "DeleteObjects")):
            return
        failed = {e.get("Key") for e in parsed.get("Errors", ())}
        for folder, keys, listing in changes:
            if listing is None or folder not in self.folders:
                continue
            for key in keys:
                rel = key[len(folder[1]):]
                if model.name == "PutObject":
                    listing[rel] = (key, parsed.get("ETag"))
                elif key in failed:
                    listing[rel] = (key, None)  # still there
                else:
                    listing.pop(rel, None)
            self.folders[folder] = listing


_known: weakref.WeakKeyDictionary[Any, _Known] = weakref.WeakKeyDictionary()


def _known_for(client: Any) -> _Known | None:
    """What is known behind ``client``; None for a client whose requests cannot be followed."""
    try:
        known = _known.get(client)
    except TypeError:
        return None
    if known is None:
        events = getattr(getattr(client, "meta", None), "events", None)
        if events is None:
            return None
        known = _known[client] = _Known()
        events.register("before-parameter-build.s3", known.before_request,
                        unique_id=_HOOK_ID + "-before")
        events.register("after-call.s3", known.after_call, unique_id=_HOOK_ID + "-after")
    return known


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

    def _folder(self) -> tuple[str, str]:
        return self.backup_des.bucket, self.backup_des.folder_key

    def _remote_objects(self, failed: Any = _failed) -> dict[str, tuple[str, str | None]]:
        """Relative path -> (key, ETag) of every object of the backup folder.

        Listed in S3, unless this process holds the folder's lock and has
        listed it already.  ``failed(what, error)`` makes the exception
        raised when S3 fails.
        """
        known = _known_for(self.s3_client)
        folder = self._folder()
        if known is not None and known.folders.get(folder) is not None:
            return dict(known.folders[folder])
        objects = self._list(failed)
        if known is not None and folder in known.folders:
            known.folders[folder] = dict(objects)
        return objects

    def _list(self, failed: Any) -> dict[str, tuple[str, str | None]]:
        des = self.backup_des
        objects = {}
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
                    objects[rel] = (key, item.get("ETag"))
        except botocore.exceptions.ClientError as e:
            if _error_code(e) == "NoSuchBucket":
                raise BackupError(f"S3 bucket {des.bucket!r} does not exist (s3_bucket in the "
                                  "configuration)") from e
            raise failed(f"listing {des.url}", e) from e
        except botocore.exceptions.BotoCoreError as e:
            raise failed(f"listing {des.url}", e) from e
        return objects

    def _holds(self, key: str, etag: str | None, path: str | None) -> bytes | None:
        """The content of ``path`` when S3 holds exactly it under ``key``, else None.

        Known when ``etag`` (as listed) is the ETag this process last read
        or stored there and the file has the content it had then.
        """
        known = _known_for(self.s3_client)
        seen = known.contents.get((self.backup_des.bucket, key)) if known else None
        if seen is None or etag is None or seen[0] != etag or path is None:
            return None
        try:
            data = _read(path)
        except OSError:
            return None
        return data if _digest(data) == seen[1] else None

    def _remember(self, key: str, answer: Any, data: bytes) -> None:
        known = _known_for(self.s3_client)
        etag = answer.get("ETag") if isinstance(answer, Mapping) else None
        if known is not None and etag:
            known.contents[(self.backup_des.bucket, key)] = (etag, _digest(data))

    def _get(self, key: str) -> bytes:
        try:
            answer = self.s3_client.get_object(Bucket=self.backup_des.bucket, Key=key)
            data = answer["Body"].read()
        except (botocore.exceptions.ClientError, botocore.exceptions.BotoCoreError) as e:
            raise _failed(f"reading s3://{self.backup_des.bucket}/{key}", e) from e
        self._remember(key, answer, data)
        return data

    def _fetch(self, key: str, etag: str | None, path: str | None) -> bytes:
        """The object's content: the local copy's when S3 holds exactly that, else read."""
        data = self._holds(key, etag, path)
        return data if data is not None else self._get(key)

    def _put(self, rel: str, path: str) -> None:
        des = self.backup_des
        key = des.folder_key + rel
        data = _read(path)
        try:
            answer = self.s3_client.put_object(Bucket=des.bucket, Key=key, Body=data)
        except (botocore.exceptions.ClientError, botocore.exceptions.BotoCoreError) as e:
            raise self._unavailable(f"storing s3://{des.bucket}/{key}", e) from e
        self._remember(key, answer, data)

    def _unavailable(self, what: str, e: Exception) -> BackupUnavailable:
        des = self.backup_des
        folder = des.getAbsolutePath()
        return BackupUnavailable(
            f"S3 cannot be written: {_failed(what, e)}; stopped before any further change "
            f"(no rollback); the records are kept in {folder} and the next run stores them "
            f"in {des.url}", folder=folder, url=des.url)

    # -- the two directions ----------------------------------------------------

    def download(self) -> None:
        """Bring the local backup folder up to date with the backup in S3.

        No backup in S3 yet gives an empty folder (or keeps the local one).
        Local records are never discarded (see the module's description);
        diverged histories raise BackupDiverged before anything changes.
        Not in a dry run: this command becomes the folder's S3 mirror.
        """
        log = logging.getLogger(__name__)
        des = self.backup_des
        folder = des.getAbsolutePath()
        backup.finish_pending(folder)
        objects = self._remote_objects()
        local = _local_files(folder)
        remote = {rel: self._fetch(key, etag, local.get(rel))
                  for rel, (key, etag) in objects.items()}
        os.makedirs(folder, exist_ok=True)
        if Globals.dry_run:
            self._copy_for_dry_run(folder, local, remote)
        else:
            self._merge(folder, local, remote)
        _remove_empty_dirs(folder)
        if remote:
            log.info("- Downloaded backup %s (%s) to %s", des.url, _files(len(remote)), folder)
        else:
            log.info("- No backup in %s yet; starting with %s folder %s", des.url,
                     "the local" if local and not Globals.dry_run else "an empty", folder)
        if not Globals.dry_run:
            backup.set_mirror(folder, self)

    @staticmethod
    def _copy_for_dry_run(folder: str, local: dict[str, str], remote: dict[str, bytes]) -> None:
        """Make the scratch folder a copy of S3.

        What differs is the scratch copy of an earlier dry run in this
        process: never meant to be kept.
        """
        for rel, path in local.items():
            if rel not in remote or _read(path) != remote[rel]:
                os.unlink(path)
        for rel, data in remote.items():
            path = os.path.join(folder, *rel.split("/"))
            if not os.path.exists(path):
                write_atomically(path, data)

    def _merge(self, folder: str, local: dict[str, str], remote: dict[str, bytes]) -> None:
        """Fetch what only S3 holds or holds newer; keep every local record."""
        log = logging.getLogger(__name__)
        url = self.backup_des.url
        # Every history is checked before anything changes.  A history that
        # one side lacks is empty there: the other copy is the longer one.
        fetch, push = [], []
        for rel in HISTORY_FILES:
            if rel in local and rel in remote:
                newer = self._newer_history(rel, local[rel], remote[rel])
            else:
                newer = "local" if rel in local else "remote" if rel in remote else "same"
            if newer == "remote":
                fetch.append(rel)
                if rel in local:
                    log.info("  %s holds a newer %s than %s; taken", url, rel, local[rel])
            elif newer == "local":
                push.append(rel)
                log.warning("  %s holds records that %s lacks (a run ended before storing "
                            "them); storing them there now", local[rel], url)
        others = sorted(set(remote) - set(HISTORY_FILES))
        fetch += [rel for rel in others if rel not in local]
        differing = [rel for rel in others if rel in local and _read(local[rel]) != remote[rel]]
        only_local = sorted(local.keys() - remote.keys() - set(HISTORY_FILES))

        for rel in fetch:
            write_atomically(os.path.join(folder, *rel.split("/")), remote[rel])
        for rel in push:
            self._put(rel, local[rel])
        for rel in differing:
            log.info("  kept the local %s, which differs from the copy in %s", local[rel], url)
        if only_local:
            log.info("  kept %s that %s does not hold (the next upload stores them): %s",
                     _files(len(only_local)), url, ", ".join(only_local))

    def _newer_history(self, rel: str, path: str, remote: bytes) -> str:
        """Which copy holds the other (see ``newer_copy``); BackupDiverged when neither does."""
        s3_url = self.backup_des.url + rel
        local = _read(path)
        if local == remote:
            return "same"
        try:
            return newer_copy(rel, local, remote)
        except HistoryDiverged as e:
            raise BackupDiverged(
                f"the local and the S3 copy of {rel} cannot be merged: {e}; local {path}, "
                f"S3 {s3_url}; nothing was changed. To keep the S3 copy, remove {path}; to "
                f"keep the local copy, delete {s3_url}; then run again") from None

    def store(self, path: str) -> None:
        """Store one file of the local backup folder in S3 now (the histories' write-through).

        Nothing is stored in a dry run.  BackupUnavailable when S3 cannot be
        written; the local file stays as it is.
        """
        if Globals.dry_run:
            return
        folder = self.backup_des.getAbsolutePath()
        rel = os.path.relpath(os.path.abspath(path), folder).replace(os.sep, "/")
        if rel.startswith("../"):
            raise ValueError(f"{path} is not in the backup folder {folder}")
        self._put(rel, path)

    def upload(self) -> None:
        """Store the local backup folder in S3; objects gone locally are deleted.

        In a dry run nothing is stored: the log says what would have been.
        BackupUnavailable when S3 cannot be written.
        """
        log = logging.getLogger(__name__)
        des = self.backup_des
        folder = des.getAbsolutePath()
        if not os.path.isdir(folder):
            # Never mirror a missing folder: that would delete the whole backup.
            raise BackupError(f"local backup folder {folder} does not exist; nothing uploaded, "
                              f"{des.url} left as it was")
        backup.finish_pending(folder)
        local = _local_files(folder)
        failed = _failed if Globals.dry_run else self._unavailable
        objects = self._remote_objects(failed)
        stale = sorted(key for rel, (key, _) in objects.items() if rel not in local)
        changed = [rel for rel, path in local.items()
                   if rel not in objects or self._holds(*objects[rel], path) is None]
        if Globals.dry_run:
            log.info("- Dry run: would upload %s to %s and delete %d objects there; "
                     "nothing stored", _files(len(changed)), des.url, len(stale))
            return
        for rel in changed:
            self._put(rel, local[rel])
        for start in range(0, len(stale), 1000):
            batch = stale[start:start + 1000]
            try:
                answer = self.s3_client.delete_objects(
                    Bucket=des.bucket,
                    Delete={"Objects": [{"Key": k} for k in batch], "Quiet": True})
            except (botocore.exceptions.ClientError, botocore.exceptions.BotoCoreError) as e:
                raise self._unavailable(f"deleting old objects of {des.url}", e) from e
            if answer.get("Errors"):
                first = answer["Errors"][0]
                raise BackupError(f"deleting s3://{des.bucket}/{first.get('Key')} failed: "
                                  f"{first.get('Code')}: {first.get('Message')}")
        log.info("- Uploaded backup folder %s (%s, %d stored, the rest held there already) "
                 "to %s%s", folder, _files(len(local)), len(changed), des.url,
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
        known = _known_for(self.s3_client)
        if known is not None:
            known.folders[self._folder()] = None  # held: the first listing is kept
        logging.getLogger(__name__).info("- Locked %s", self.url)

    def release(self) -> None:
        """Give the lock back, unless someone broke it and took it meanwhile."""
        if self.token is None:
            return
        log = logging.getLogger(__name__)
        token, self.token = self.token, None
        self._forget_folder()
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

    def _folder(self) -> tuple[str, str]:
        return self.backup_des.bucket, self.backup_des.folder_key

    def _forget_folder(self) -> None:
        """Not held any more: the folder's listing may change behind this process."""
        known = _known_for(self.s3_client)
        if known is not None:
            known.folders.pop(self._folder(), None)

    def break_lock(self) -> dict | None:
        """Remove the lock whoever holds it; returns the holder's record (None: no lock)."""
        self._forget_folder()
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

