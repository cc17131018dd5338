"""The VPC's backup folder in S3, and the lock that keeps two runs apart.

``S3BackupCmdV2(s3_client, backup_des).download()`` brings the local backup
folder up to date with the VPC's backup in S3; ``upload()`` makes S3 a copy
of the local folder (objects gone locally are deleted, histories never).
``download()`` never throws a local record away unless S3 holds a newer
version of it:

- the histories (``command_history.json``, ``memento_history.json``) are
  versioned (``morvent.commands.versions``): a local copy behind S3 is
  replaced by S3's, one ahead of the version it was based on is kept and
  stored when S3 did not move since, and anything else is *diverged*: the
  run stops before any change, naming both copies and what to do.  Both
  copies are checked first (``morvent.commands.records``): a damaged copy
  stops the run the same way, never read as "no history";
- every other file (route table backups, snapshots, NAT gateway
  descriptions, logs: all uniquely named, for people): files only in S3 are
  fetched, local-only files stay (the next upload stores them), and of a
  file that differs the local copy stays.

Every write of a history to S3 is conditional: ``If-Match`` on the ETag of
the S3 copy the local one was last in step with, ``If-None-Match: *`` for a
history S3 does not hold yet.  A write based on a copy that is no longer
S3's fails instead of landing, and :class:`BackupConflict` stops the run
before its next change, its records kept in the local folder.

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
nothing; :meth:`S3BackupCmdV2.preview` places the local histories against
it for the commands that only read.  A real run's ``download()`` registers
the command as the S3 mirror of the folder (``morvent.core.backup``): from
then on the histories store each file they write in S3 at once, through
:meth:`S3BackupCmdV2.store`.

When S3 cannot be written during a run (a history's write-through, the
final upload), :class:`BackupUnavailable` stops the run without a rollback;
see ``morvent.core.exceptions``.

``VpcLock`` is an object next to the backup folder, taken with a
conditional put (``If-None-Match: *``), so exactly one of two runs that
start together gets it.  It names its holder (host, process and the
process's start time) and carries a heartbeat that the holder renews while
it runs; it is broken only by its id, and only when its holder is gone.
The store must honour both conditions; AWS S3 and the simulated cloud used
in tests do.
"""

from __future__ import annotations

import logging
import os
import weakref
from collections.abc import Mapping
from typing import Any

import botocore.exceptions

from morvent.commands import records, versions
from morvent.commands.records import HISTORY_FILES, HistoryDamaged
from morvent.commands.versions import Copy, HistoryDiverged, Synced
from morvent.core import backup
from morvent.core.backup import BackupDescriptor
from morvent.core.exceptions import BackupConflict, BackupUnavailable
from morvent.core.files import write_atomically
from morvent.core.Globals import Globals

__all__ = ["BackupError", "BackupDiverged", "BackupConflict", "BackupUnavailable",
           "HistoryDamaged", "S3BackupCmdV2", "error_code", "failed", "follow_folder",
           "is_conflict"]


class BackupError(Exception):
    """The backup could not be read or written; ``str()`` is one line."""


class BackupDiverged(BackupError):
    """The local and the S3 copy of a history hold different records; nothing was changed."""


def error_code(e: botocore.exceptions.ClientError) -> str:
    return str(e.response.get("Error", {}).get("Code", ""))


def failed(what: str, e: Exception) -> BackupError:
    if isinstance(e, botocore.exceptions.ClientError):
        code = error_code(e)
        message = e.response.get("Error", {}).get("Message", "")
        return BackupError(f"{what} failed: {code}: {message}".rstrip(": "))
    return BackupError(f"{what} failed: {e}")


def _files(n: int) -> str:
    return f"{n} file" if n == 1 else f"{n} files"


def _read(path: str) -> bytes:
    with open(path, "rb") as f:
        return f.read()


def _local_files(folder: str) -> dict[str, str]:
    """Relative path ('/'-separated) -> absolute path of every file under ``folder``.

    Hidden files are left out: temporary files of a write under way, and the
    folder's record of the S3 versions (``versions.SYNC_FILE``).
    """
    files = {}
    for root, dirs, names in os.walk(folder):
        dirs.sort()
        for name in sorted(names):
            if name.startswith("."):
                continue
            path = os.path.join(root, name)
            files[os.path.relpath(path, folder).replace(os.sep, "/")] = path
    return files


def is_conflict(e: botocore.exceptions.ClientError) -> bool:
    """A conditional write refused: S3 holds another object (or none) under the key."""
    status = e.response.get("ResponseMetadata", {}).get("HTTPStatusCode")
    return error_code(e) in ("PreconditionFailed", "ConditionalRequestConflict", "NoSuchKey") \
        or status in (404, 409, 412)


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

    def _remote_objects(self, failing: Any = None) -> dict[str, tuple[str, str | None]]:
        """Relative path -> (key, ETag) of every object of the backup folder.

        Listed in S3, unless this process holds the folder's lock and has
        listed it already.  ``failing(what, error)`` makes the exception
        raised when S3 fails (by default a BackupError).
        """
        known = _known_for(self.s3_client)
        folder = self._folder()
        if known is not None and known.folders.get(folder) is not None:
            return dict(known.folders[folder])
        objects = self._list(failing or failed)
        if known is not None and folder in known.folders:
            known.folders[folder] = dict(objects)
        return objects

    def _list(self, failing: Any) -> dict[str, tuple[str, str | None]]:
        des = self.backup_des
        objects = {}
        try:
            pages = self.s3_client.get_paginator("list_objects_v2").paginate(
                Bucket=des.bucket, Prefix=des.folder_key)
            for page in pages:
                for item in page.get("Contents", ()):
                    key = item["Key"]
                    rel = key[len(des.folder_key):]
                    if not rel or rel.endswith("/") or rel == versions.SYNC_FILE:
                        continue  # folder markers made by consoles; never ours to fetch
                    if any(part in ("", ".", "..") for part in rel.split("/")) or "\\" in rel:
                        raise BackupError(f"refusing the object s3://{des.bucket}/{key}: its "
                                          "name would leave the local backup folder")
                    objects[rel] = (key, item.get("ETag"))
        except botocore.exceptions.ClientError as e:
            if error_code(e) == "NoSuchBucket":
                raise BackupError(f"S3 bucket {des.bucket!r} does not exist (s3_bucket in the "
                                  "configuration)") from e
            raise failing(f"listing {des.url}", e) from e
        except botocore.exceptions.BotoCoreError as e:
            raise failing(f"listing {des.url}", e) from e
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
        return data if versions.digest(data) == seen[1] else None

    def _remember(self, key: str, answer: Any, data: bytes) -> None:
        known = _known_for(self.s3_client)
        etag = answer.get("ETag") if isinstance(answer, Mapping) else None
        if known is not None and etag:
            known.contents[(self.backup_des.bucket, key)] = (etag, versions.digest(data))

    def _get(self, key: str) -> bytes:
        try:
            answer = self.s3_client.get_object(Bucket=self.backup_des.bucket, Key=key)
            data = answer["Body"].read()
        except (botocore.exceptions.ClientError, botocore.exceptions.BotoCoreError) as e:
            raise failed(f"reading s3://{self.backup_des.bucket}/{key}", e) from e
        self._remember(key, answer, data)
        return data

    def _fetch(self, key: str, etag: str | None, path: str | None) -> bytes:
        """The object's content: the local copy's when S3 holds exactly that, else read."""
        data = self._holds(key, etag, path)
        return data if data is not None else self._get(key)

    def _put(self, rel: str, path: str) -> None:
        """Store the local file ``rel``; a history only on the S3 copy it was based on."""
        if rel in HISTORY_FILES:
            base = versions.read_synced(self.backup_des.getAbsolutePath()).get(rel)
            self._put_history(rel, path, base.etag if base is not None else None)
            return
        des = self.backup_des
        key = des.folder_key + rel
        data = _read(path)
        try:
            answer = self.s3_client.put_object(Bucket=des.bucket, Key=key, Body=data)
        except (botocore.exceptions.ClientError, botocore.exceptions.BotoCoreError) as e:
            raise self._unavailable(f"storing s3://{des.bucket}/{key}", e) from e
        self._remember(key, answer, data)

    def _put_history(self, rel: str, path: str, expect: str | None) -> None:
        """Store the local history ``rel`` if S3 still holds the copy with ETag ``expect``
        (None: if S3 holds none), and remember the version now in step.

        BackupConflict when S3 holds another copy: the write does not land.
        """
        des = self.backup_des
        key = des.folder_key + rel
        data = _read(path)
        history = records.parse(rel, data, path)
        condition = {"IfMatch": expect} if expect else {"IfNoneMatch": "*"}
        try:
            answer = self.s3_client.put_object(Bucket=des.bucket, Key=key, Body=data,
                                               **condition)
        except botocore.exceptions.ClientError as e:
            if not is_conflict(e):
                raise self._unavailable(f"storing s3://{des.bucket}/{key}", e) from e
            # A retry of this very write, whose first answer was lost, finds
            # its own content there: that is not a conflict.
            current = self._current(key)
            if current is None or current[0] != data:
                raise self._moved(rel, path) from None
            answer = {"ETag": current[1]}
        except botocore.exceptions.BotoCoreError as e:
            raise self._unavailable(f"storing s3://{des.bucket}/{key}", e) from e
        self._remember(key, answer, data)
        versions.write_synced(des.getAbsolutePath(), rel,
                              Copy(data, history, answer.get("ETag")).synced())

    def _current(self, key: str) -> tuple[bytes, str | None] | None:
        """The object's content and ETag now; None when there is none or it cannot be read."""
        try:
            answer = self.s3_client.get_object(Bucket=self.backup_des.bucket, Key=key)
            return answer["Body"].read(), answer.get("ETag")
        except (botocore.exceptions.ClientError, botocore.exceptions.BotoCoreError):
            return None

    def _moved(self, rel: str, path: str) -> BackupConflict:
        des = self.backup_des
        folder = des.getAbsolutePath()
        return BackupConflict(
            f"the S3 copy {self.url_of(path)} changed since this run read it (another run "
            f"wrote it, or this run's lock was broken): {rel} was not stored there; stopped "
            f"before any further change (no rollback); this run's records are kept in {path}; "
            f"`morvent status` shows what S3 holds, and the next run says how the two copies "
            f"differ", folder=folder, url=des.url)

    def _unavailable(self, what: str, e: Exception) -> BackupUnavailable:
        des = self.backup_des
        folder = des.getAbsolutePath()
        return BackupUnavailable(
            f"S3 cannot be written: {failed(what, e)}; stopped before any further change "
            f"(no rollback); the records are kept in {folder} and the next run stores them "
            f"in {des.url}", folder=folder, url=des.url)

    def url_of(self, path: str) -> str:
        """The S3 URL of the file ``path`` of the local backup folder."""
        folder = self.backup_des.getAbsolutePath()
        rel = os.path.relpath(os.path.abspath(path), folder).replace(os.sep, "/")
        return self.backup_des.url + rel

    # -- the two directions ----------------------------------------------------

    def download(self) -> None:
        """Bring the local backup folder up to date with the backup in S3.

        No backup in S3 yet gives an empty folder (or keeps the local one).
        The histories are placed on their versions (see the module's
        description); damaged or diverged histories raise HistoryDamaged or
        BackupDiverged before anything changes.  Not in a dry run: this
        command becomes the folder's S3 mirror.
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
            self._merge(folder, local, remote, {rel: etag for rel, (_, etag) in objects.items()})
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

    def _histories(self, folder: str, local: dict[str, str], remote: dict[str, bytes],
                   etags: dict[str, str | None]) -> dict[str, tuple[str, Any, Any]]:
        """Name -> (what to do, local copy, S3 copy) of each history, decided before
        anything changes; HistoryDamaged or BackupDiverged when a history cannot go on."""
        synced = versions.read_synced(self.backup_des.local_folder)
        copies = self._copies({rel: os.path.join(folder, rel) for rel in HISTORY_FILES
                               if rel in local}, remote, etags)
        found = {}
        for rel, (mine, theirs) in copies.items():
            try:
                found[rel] = (versions.decide(mine, theirs, synced.get(rel)), mine, theirs)
            except HistoryDiverged as e:
                raise BackupDiverged(self._diverged(rel, e)) from None
        return found

    def _where(self, rel: str, in_s3: bool) -> str:
        """How a message names one copy of the history ``rel``."""
        url = self.backup_des.url + rel
        path = os.path.join(self.backup_des.local_folder, rel)
        return f"{rel} in S3 ({url}; local copy {path})" if in_s3 \
            else f"the local copy {path} of {url}"

    def _copies(self, paths: dict[str, str], remote: dict[str, bytes],
                etags: dict[str, str | None]) -> dict[str, tuple[Copy | None, Copy | None]]:
        """Name -> (local copy, S3 copy) of each history, checked, each on its own and with
        the other history of its side; HistoryDamaged naming the damaged copy, the other
        one, and how to go on."""
        copies = {}
        for rel in HISTORY_FILES:
            found: list[Copy | None] = [None, None]
            damage = []
            for side, data in enumerate((_read(paths[rel]) if rel in paths else None,
                                         remote.get(rel))):
                if data is None:
                    continue
                try:
                    history = records.parse(rel, data, self._where(rel, in_s3=side == 1))
                    found[side] = Copy(data, history, etags.get(rel) if side else None)
                except HistoryDamaged as e:
                    damage.append((str(e), side == 1))
            if damage:  # the S3 copy's first: it is the truth
                raise HistoryDamaged(self._damaged(rel, *damage[-1], *found, rel in remote))
            copies[rel] = (found[0], found[1])
        # Undo records need the discovery they were made on, on either side.
        for side in (0, 1):
            commands = copies[records.COMMAND_HISTORY_FILE][side]
            mementos = copies[records.MEMENTO_HISTORY_FILE][side]
            if mementos is None or not mementos.history.entries or commands is None \
                    or any(c["natgws"] for c in commands.history.entries):
                continue
            rel = records.COMMAND_HISTORY_FILE
            lacks = ("records no NAT gateway" if commands.history.entries
                     else "has no NAT gateway discovery")
            problem = (f"{self._where(rel, side == 1)} is damaged: it {lacks}, while the "
                       f"{records.MEMENTO_HISTORY_FILE} beside it holds "
                       f"{len(mementos.history.entries)} undo records made on the discovered "
                       "NAT gateways")
            other = copies[rel][1 - side]
            raise HistoryDamaged(self._damaged(rel, problem, side == 1, *(
                (other, None) if side else (None, other)), rel in remote))
        return copies

    def _damaged(self, rel: str, problem: str, in_s3: bool, mine: Copy | None,
                 theirs: Copy | None, in_s3_too: bool) -> str:
        """The message for a damaged copy: what is wrong, and how to go on."""
        url = self.backup_des.url + rel
        local_path = os.path.join(self.backup_des.local_folder, rel)
        if in_s3 and mine is not None:
            hint = (f"the local copy {local_path} reads well ({mine.version}): if it is the "
                    f"latest, delete {url} and run again to store it there; otherwise put back "
                    "an intact copy (an earlier version of the S3 object, if the bucket keeps "
                    "versions)")
        elif in_s3:
            hint = ("put back an intact copy (an earlier version of the S3 object, if the "
                    "bucket keeps versions, or the local copy of the machine that ran last, "
                    f"{local_path} there)")
        elif theirs is not None or in_s3_too:
            hint = f"remove {local_path} to use the S3 copy, then run again"
        else:
            hint = f"put back an intact copy of {rel}, then run again"
        return f"{problem}; nothing was changed; {hint}"

    def _diverged(self, rel: str, e: HistoryDiverged) -> str:
        url = self.backup_des.url + rel
        path = os.path.join(self.backup_des.local_folder, rel)
        return (f"the S3 copy {url} and the local copy {path} of {rel} have diverged: {e}; "
                f"nothing was changed. Compare them (`morvent status` shows the S3 copy); to "
                f"keep the S3 copy, remove {path}; to keep the local copy, delete {url}; then "
                "run again")

    def _merge(self, folder: str, local: dict[str, str], remote: dict[str, bytes],
               etags: dict[str, str | None]) -> None:
        """Place the histories on their versions; fetch the other files that only S3
        holds; keep every other local file."""
        log = logging.getLogger(__name__)
        url = self.backup_des.url
        histories = self._histories(folder, local, remote, etags)
        others = sorted(set(remote) - set(HISTORY_FILES))
        fetch = [rel for rel in others if rel not in local]
        differing = [rel for rel in others if rel in local and _read(local[rel]) != remote[rel]]
        only_local = sorted(local.keys() - remote.keys() - set(HISTORY_FILES))

        for rel, (decision, mine, theirs) in histories.items():
            path = os.path.join(folder, rel)
            if decision == "remote":
                write_atomically(path, theirs.data)
                versions.write_synced(folder, rel, theirs.synced())
                if mine is not None:
                    log.info("  %s holds a newer %s (%s) than %s (%s); taken", url, rel,
                             theirs.version, path, mine.version)
            elif decision == "local":
                log.warning("  %s holds records that %s lacks (a run ended before storing "
                            "them); storing them there now", path, url)
                self._put_history(rel, path, theirs.etag if theirs is not None else None)
            elif decision == "same":
                versions.write_synced(folder, rel, theirs.synced())
            else:
                versions.write_synced(folder, rel, None)
        for rel in fetch:
            write_atomically(os.path.join(folder, *rel.split("/")), remote[rel])
        for rel in differing:
            log.info("  kept the local %s, which differs from the copy in %s", local[rel], url)
        if only_local:
            log.info("  kept %s that %s does not hold (the next upload stores them): %s",
                     _files(len(only_local)), url, ", ".join(only_local))

    def preview(self) -> tuple[str, list[str]]:
        """The backup as the next real run would start from it, for the commands that only
        read: (folder, notes).  Needs a dry run; changes nothing.

        The scratch folder is a copy of S3, with a local history that is
        ahead of it put in its place (noted).  Damaged histories raise
        HistoryDamaged; diverged ones are shown as S3 holds them, with a note.
        """
        if not Globals.dry_run:
            raise RuntimeError("preview() needs Globals.dry_run")
        #: Why each diverged history stops the next run (as download() would say).
        self.diverged: list[str] = []
        self.download()
        des = self.backup_des
        scratch = des.getAbsolutePath()
        objects = self._remote_objects()
        remote = {}
        for rel in HISTORY_FILES:
            if rel in objects and os.path.isfile(os.path.join(scratch, rel)):
                remote[rel] = _read(os.path.join(scratch, rel))
        local = {rel: os.path.join(des.local_folder, rel) for rel in HISTORY_FILES
                 if os.path.isfile(os.path.join(des.local_folder, rel))}
        notes = []
        synced = versions.read_synced(des.local_folder)
        copies = self._copies(local, remote, {rel: etag for rel, (_, etag) in objects.items()})
        for rel, (mine, theirs) in copies.items():
            try:
                decision = versions.decide(mine, theirs, synced.get(rel))
            except HistoryDiverged as e:
                self.diverged.append(self._diverged(rel, e))
                notes.append(f"{self._diverged(rel, e)}. The next run stops before any change; "
                             "shown: the copy in S3")
                continue
            if decision == "local":
                write_atomically(os.path.join(scratch, rel), mine.data)
                notes.append(f"{local[rel]} holds records that {des.url} lacks (a run ended "
                             "before storing them); shown with them, and the next run stores "
                             "them in S3")
        return scratch, notes

    def s3_versions(self) -> dict[str, Synced | None]:
        """The S3 version of each history now (None: S3 holds none); only reads S3.

        HistoryDamaged when an S3 copy is not what morvent writes.
        """
        des = self.backup_des
        found: dict[str, Synced | None] = {}
        for rel in HISTORY_FILES:
            key = des.folder_key + rel
            try:
                answer = self.s3_client.get_object(Bucket=des.bucket, Key=key)
                data = answer["Body"].read()
            except botocore.exceptions.ClientError as e:
                if error_code(e) in ("NoSuchKey", "404", "NotFound"):
                    found[rel] = None
                    continue
                raise failed(f"reading s3://{des.bucket}/{key}", e) from e
            history = records.parse(rel, data, f"{rel} in S3 (s3://{des.bucket}/{key})")
            found[rel] = Copy(data, history, answer.get("ETag")).synced()
        return found

    def store(self, path: str) -> None:
        """Store one file of the local backup folder in S3 now (the histories' write-through).

        Nothing is stored in a dry run.  BackupUnavailable when S3 cannot be
        written, BackupConflict when S3's copy of a history moved on or the
        run's lock is gone; the local file stays as it is.
        """
        if Globals.dry_run:
            return
        folder = self.backup_des.getAbsolutePath()
        rel = os.path.relpath(os.path.abspath(path), folder).replace(os.sep, "/")
        if rel.startswith("../"):
            raise ValueError(f"{path} is not in the backup folder {folder}")
        backup.check_fence(folder)
        self._put(rel, path)

    def upload(self) -> None:
        """Store the local backup folder in S3; objects gone locally are deleted.

        A history in S3 is never deleted, and stored only on the copy it was
        based on.  In a dry run nothing is stored: the log says what would
        have been.  BackupUnavailable when S3 cannot be written.
        """
        log = logging.getLogger(__name__)
        des = self.backup_des
        folder = des.getAbsolutePath()
        if not os.path.isdir(folder):
            # Never mirror a missing folder: that would delete the whole backup.
            raise BackupError(f"local backup folder {folder} does not exist; nothing uploaded, "
                              f"{des.url} left as it was")
        backup.finish_pending(folder)
        if not Globals.dry_run:
            backup.check_fence(folder)
        local = _local_files(folder)
        objects = self._remote_objects(failed if Globals.dry_run else self._unavailable)
        stale = sorted(key for rel, (key, _) in objects.items()
                       if rel not in local and rel not in HISTORY_FILES)
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


def follow_folder(s3_client: Any, des: BackupDescriptor, held: bool) -> None:
    """Tell the transfers that this process holds (``held``) or no longer holds the lock
    of ``des``: while held, one listing of the folder serves the whole run."""
    known = _known_for(s3_client)
    if known is None:
        return
    if held:
        known.folders[(des.bucket, des.folder_key)] = None  # listed at the first transfer
    else:
        known.folders.pop((des.bucket, des.folder_key), None)
