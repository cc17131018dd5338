"""The VPC's lock: one run at a time changes a VPC, and a lock whose holder runs is never broken.

The lock is an S3 object beside the backup folder (``<vpc id>.lock``), taken
with a conditional put (``If-None-Match: *``), so exactly one of two runs
that start together gets it.  Its record (JSON)::

    {"id": "<32 hex digits>", "host": "ops-1", "pid": 4242,
     "pid_start": 1234567,            # the process's start, in clock ticks after boot
     "boot_id": "…",                  # the host's boot, to tell a restart
     "user": "alice", "time": "<taken, UTC>", "command": "morvent execute …",
     "heartbeat": "<last renewal, UTC>", "renew_every": 30}

While the run holds it, a thread renews the heartbeat every ``renew_every``
seconds with a put conditional on the lock's own ETag.  Breaking a lock
names its id (``--break-lock ID``) and is refused while its holder is
alive:

- on the same host (same host name and boot): while a process with the
  holder's pid and start time exists;
- seen from another host: while the heartbeat -- S3's time of the last
  renewal, so no two clocks are compared -- is younger than
  ``STALE_PERIODS`` renewals.

Locks written by earlier releases have no id and no heartbeat: their id is
their ``token`` (or, lacking one, derived from their content), and they are
broken only when their holder is provably gone, that is on the same host
with no process of that pid; otherwise the refusal names the object to
delete by hand once the operator is sure (the explicit confirmation).

Fencing: the lock registers itself as the fence of the local backup folder
(``morvent.core.backup.check_fence``).  A run whose lock was broken anyway
finds out before its next step (the lock no longer holds its id, or the
heartbeat found it gone) or at its next history write (which is conditional
on S3's copy, see ``morvent.lib.s3``), and stops with BackupConflict, its
records kept locally.
"""

from __future__ import annotations

import email.utils
import getpass
import hashlib
import json
import logging
import os
import socket
import sys
import threading
import uuid
from collections.abc import Mapping
from dataclasses import dataclass
from datetime import datetime, timezone
from typing import Any

import botocore.exceptions

from morvent.core import backup
from morvent.core.backup import BackupDescriptor
from morvent.core.exceptions import BackupConflict
from morvent.lib.s3 import error_code, failed, follow_folder, is_conflict

__all__ = ["LockHeldError", "LockState", "RENEW_EVERY", "STALE_PERIODS", "VpcLock",
           "default_owner", "describe_holder", "judge"]

#: Seconds between two heartbeats of a running holder.
RENEW_EVERY = 30.0
#: Renewal periods without a heartbeat after which a holder on another host is gone.
STALE_PERIODS = 3


class LockHeldError(Exception):
    """Another run holds the VPC's lock, or breaking it was refused.

    ``holder`` is the lock's record (or None), ``state`` what was judged of
    its holder (a LockState, or None).
    """

    def __init__(self, message: str, holder: Mapping | None, state: "LockState | None" = None):
        super().__init__(message)
        self.holder = holder
        self.state = state


# -- this host and its processes ---------------------------------------------------------

def _read_text(path: str) -> str | None:
    try:
        with open(path, encoding="ascii", errors="replace") as f:
            return f.read()
    except OSError:
        return None


def boot_id() -> str | None:
    """This host's boot (Linux); None where it cannot be read."""
    text = _read_text("/proc/sys/kernel/random/boot_id")
    return text.strip() or None if text else None


def process_start(pid: int) -> tuple[bool, int | None]:
    """(whether process ``pid`` runs here, its start in clock ticks after boot or None).

    A zombie does not run: it will never renew anything.
    """
    if not isinstance(pid, int) or isinstance(pid, bool) or pid <= 0:
        return False, None
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False, None
    except PermissionError:
        pass  # runs, under another user
    except OSError:
        return False, None
    stat = _read_text(f"/proc/{pid}/stat")
    if stat is None:
        return True, None
    fields = stat.rsplit(")", 1)[-1].split()
    try:
        if fields[0] == "Z":
            return False, None
        return True, int(fields[19])
    except (IndexError, ValueError):
        return True, None


def default_owner(command: str | None = None) -> dict[str, Any]:
    """Who takes a lock: host, process (with its start), user, time and command line."""
    try:
        user = getpass.getuser()
    except Exception:  # no user name in some containers
        user = str(os.getuid()) if hasattr(os, "getuid") else "?"
    return {
        "host": socket.gethostname(),
        "pid": os.getpid(),
        "pid_start": process_start(os.getpid())[1],
        "boot_id": boot_id(),
        "user": user,
        "time": _utcnow().isoformat(timespec="seconds"),
        "command": command if command is not None else " ".join(sys.argv),
    }


def describe_holder(holder: Mapping | None) -> str:
    if not holder:
        return "an unknown holder"
    return (f"{holder.get('user', '?')} on host {holder.get('host', '?')} "
            f"(pid {holder.get('pid', '?')}, since {holder.get('time', '?')}, "
            f"running {holder.get('command', '?')!r})")


def _utcnow() -> datetime:
    return datetime.now(timezone.utc)


# -- what a lock record says of its holder ------------------------------------------------

@dataclass
class LockState:
    """A lock as found in S3, and whether its holder is alive."""

    #: What ``--break-lock`` takes.
    id: str
    #: The record as stored ({} when it cannot be read).
    record: dict
    #: True: the holder runs; False: it is provably gone; None: it cannot be told
    #: (a lock of an earlier release).
    alive: bool | None
    #: How that was decided, in words.
    why: str
    #: Written by an earlier release: no id, no heartbeat.
    legacy: bool
    #: Seconds since S3 last stored the lock (its last heartbeat).
    heartbeat_age: float | None = None

    def describe(self) -> str:
        return f"{describe_holder(self.record)} (lock id {self.id})"

    def to_dict(self) -> dict[str, Any]:
        return {**self.record, "id": self.id, "alive": self.alive, "why": self.why,
                "legacy": self.legacy, "heartbeat_age": self.heartbeat_age}


def judge(record: Mapping, heartbeat_age: float | None) -> tuple[bool | None, str]:
    """Whether the holder of the lock ``record`` is alive, and why so."""
    if not record:
        return None, "the lock object cannot be read, so its holder is not known"
    legacy = "heartbeat" not in record
    host, pid = record.get("host"), record.get("pid")
    same_boot = record.get("boot_id") in (None, boot_id()) or boot_id() is None
    if host == socket.gethostname() and same_boot:
        runs, start = process_start(pid) if isinstance(pid, int) else (False, None)
        if not runs:
            return False, f"no process {pid} runs on this host ({host})"
        recorded = record.get("pid_start")
        if isinstance(recorded, int) and start is not None:
            if recorded != start:
                return False, (f"process {pid} on this host started after the lock was "
                               "taken: another program")
            return True, f"process {pid} still runs on this host"
        if legacy:
            return None, (f"a process {pid} runs on this host, and a lock of an earlier "
                          "morvent does not tell whether it is that run")
        return True, f"process {pid} runs on this host"
    if legacy:
        return None, (f"an earlier morvent took it on host {host}, without heartbeat: whether "
                      "that run still runs cannot be seen from here")
    period = record.get("renew_every")
    period = float(period) if isinstance(period, (int, float)) and period > 0 else RENEW_EVERY
    if heartbeat_age is None:
        return True, "the time of its last heartbeat cannot be read"
    if heartbeat_age < STALE_PERIODS * period:
        return True, (f"its heartbeat is {heartbeat_age:.0f} s old (renewed every "
                      f"{period:g} s on host {host})")
    return False, (f"no heartbeat for {heartbeat_age:.0f} s (it is renewed every {period:g} s "
                   f"on host {host}): that run stopped")


def _lock_id(record: Mapping, raw: bytes) -> str:
    """The id of a lock: its own, an earlier release's token, or one made of its content."""
    for key in ("id", "token"):
        if isinstance(record.get(key), str) and record[key]:
            return record[key]
    return "old-" + hashlib.sha256(raw).hexdigest()[:16]


# -- the lock ------------------------------------------------------------------------------

class VpcLock:
    """Exclusive right to change one VPC's backup, as a context manager.

    ``with VpcLock(s3, des):`` takes the lock or raises :class:`LockHeldError`
    at once (no waiting), renews its heartbeat while the block runs, and gives
    it back on the way out, whatever ends the block (an exception,
    ``SystemExit``, Ctrl-C).  ``break_lock(id)`` removes a lock whose holder
    is gone.
    """

    #: Seconds between heartbeats of a lock this process holds.
    renew_every: float = RENEW_EVERY

    def __init__(self, s3_client: Any, backup_des: BackupDescriptor,
                 owner: Mapping | None = None):
        self.s3_client = s3_client
        self.backup_des = backup_des
        self.owner = dict(owner) if owner is not None else default_owner()
        #: The id of the lock while this object holds it.
        self.id: str | None = None
        #: Why the lock is no longer this run's, once that is known.
        self.lost: str | None = None
        self._record: dict = {}
        self._etag: str | None = None
        self._stop: threading.Event | None = None
        self._thread: threading.Thread | None = None

    @property
    def url(self) -> str:
        return f"s3://{self.backup_des.bucket}/{self.backup_des.lock_key}"

    @property
    def _name(self) -> str:
        return self.backup_des.prefix.rsplit("/", 1)[-1]

    # -- reading -------------------------------------------------------------------

    def _read(self) -> tuple[dict, bytes, str | None, float | None] | None:
        """(record, raw content, ETag, seconds since stored) of the lock; None: no lock."""
        try:
            answer = self.s3_client.get_object(Bucket=self.backup_des.bucket,
                                               Key=self.backup_des.lock_key)
            raw = answer["Body"].read()
        except botocore.exceptions.ClientError as e:
            if error_code(e) in ("NoSuchKey", "404", "NotFound"):
                return None
            raise failed(f"reading the lock {self.url}", e) from e
        try:
            record = json.loads(raw)
        except ValueError:
            record = None
        stored = answer.get("LastModified")
        date = answer.get("ResponseMetadata", {}).get("HTTPHeaders", {}).get("date")
        now = _utcnow()
        if date:
            try:
                now = email.utils.parsedate_to_datetime(date)
            except (TypeError, ValueError):
                pass
        age = (now - stored).total_seconds() if isinstance(stored, datetime) else None
        return (record if isinstance(record, dict) else {}), raw, answer.get("ETag"), age

    def holder(self) -> dict | None:
        """The current holder's record, or None when the VPC is not locked."""
        found = self._read()
        return found[0] if found is not None else None

    def state(self) -> LockState | None:
        """The lock as found now and whether its holder is alive; None: not locked."""
        return self._state_of(self._read())

    @staticmethod
    def _state_of(found: tuple | None) -> LockState | None:
        if found is None:
            return None
        record, raw, _, age = found
        alive, why = judge(record, age)
        return LockState(_lock_id(record, raw), record, alive, why, "heartbeat" not in record,
                         age)

    def held_error(self, state: LockState | None) -> LockHeldError:
        """The refusal of acquire() while ``state`` (None: gone just now) holds the lock."""
        return LockHeldError(self._refusal(state), state.record if state else None, state)

    def _refusal(self, state: LockState | None) -> str:
        """Why the VPC is locked, and what to do."""
        if state is None:
            return f"{self._name} is locked by a run that has just let go of it; run again"
        held = f"{self._name} is locked by {state.describe()}"
        if state.alive:
            return f"{held}: that run is still running ({state.why}); wait for it to end"
        if state.alive is False:
            return (f"{held}: that run is gone ({state.why}); run again with --break-lock "
                    f"{state.id}")
        return (f"{held}: {state.why}; once you are sure that run is gone, delete {self.url} "
                f"(e.g. `aws s3 rm {self.url}`) and run again")

    # -- taking and giving back -------------------------------------------------------------

    def acquire(self) -> None:
        lock_id = uuid.uuid4().hex
        record = {"id": lock_id, **self.owner, "heartbeat": _utcnow().isoformat(timespec="seconds"),
                  "renew_every": self.renew_every}
        try:
            answer = self.s3_client.put_object(
                Bucket=self.backup_des.bucket, Key=self.backup_des.lock_key,
                Body=json.dumps(record, indent=1).encode(), ContentType="application/json",
                IfNoneMatch="*")
            etag = answer.get("ETag")
        except botocore.exceptions.ClientError as e:
            if not is_conflict(e):
                raise failed(f"taking the lock {self.url}", e) from e
            found = self._read()
            if found is None or found[0].get("id") != lock_id:  # not a retry of our own put
                raise self.held_error(self._state_of(found)) from None
            etag = found[2]
        self.id, self.lost, self._record, self._etag = lock_id, None, record, etag
        follow_folder(self.s3_client, self.backup_des, held=True)
        backup.set_fence(self.backup_des.local_folder, self.check)
        self._start_heartbeat()
        logging.getLogger(__name__).info("- Locked %s (lock id %s)", self.url, lock_id)

    def release(self) -> None:
        """Give the lock back, unless someone broke it (and maybe took it) meanwhile."""
        self._stop_heartbeat()
        if self.id is None:
            return
        log = logging.getLogger(__name__)
        lock_id, self.id = self.id, None
        backup.set_fence(self.backup_des.local_folder, None)
        follow_folder(self.s3_client, self.backup_des, held=False)
        try:
            found = self._read()
            if found is None:
                log.warning("  the lock %s was already gone (broken by another run?)", self.url)
                return
            if found[0].get("id") != lock_id:
                log.warning("  the lock %s now belongs to %s; left in place", self.url,
                            describe_holder(found[0]))
                return
            self.s3_client.delete_object(Bucket=self.backup_des.bucket,
                                         Key=self.backup_des.lock_key)
        except Exception as e:  # never hide the error that ended the run
            log.error("  could not release the lock %s: %s; `morvent status` shows it, and "
                      "--break-lock %s removes it once this run is gone", self.url, e, lock_id)
            return
        log.info("- Released %s", self.url)

    def break_lock(self, lock_id: str) -> LockState | None:
        """Remove the lock ``lock_id`` whose holder is gone; returns what was removed
        (None: no lock).  LockHeldError, changing nothing, for another id or a holder
        that is alive or cannot be told gone."""
        log = logging.getLogger(__name__)
        state = self.state()
        if state is None:
            log.info("  no lock to break at %s", self.url)
            return None
        if state.id != lock_id:
            raise LockHeldError(f"{self._name} is locked under lock id {state.id}, not "
                                f"{lock_id}, by {describe_holder(state.record)}; nothing was "
                                f"broken. {self._refusal(state)}", state.record, state)
        if state.alive is not False:
            raise LockHeldError(f"refusing to break the lock: {self._refusal(state)}",
                                state.record, state)
        try:
            self.s3_client.delete_object(Bucket=self.backup_des.bucket,
                                         Key=self.backup_des.lock_key)
        except (botocore.exceptions.ClientError, botocore.exceptions.BotoCoreError) as e:
            raise failed(f"breaking the lock {self.url}", e) from e
        follow_folder(self.s3_client, self.backup_des, held=False)
        log.warning("  broke the lock %s held by %s: %s", self.url, state.describe(), state.why)
        return state

    # -- while held --------------------------------------------------------------------

    def check(self, thorough: bool = False) -> None:
        """The fence: BackupConflict when the lock is no longer this run's.

        ``thorough``: read the lock in S3 now; otherwise trust what the
        heartbeat saw last.  When S3 cannot be read the run goes on: its next
        write, conditional, finds out.
        """
        if self.id is None:
            return
        if self.lost is None and thorough:
            try:
                found = self._read()
            except Exception:  # noqa: BLE001 - see the docstring
                logging.getLogger(__name__).debug("lock check failed", exc_info=True)
                return
            self._note_lost(found)
        if self.lost is not None:
            folder = self.backup_des.local_folder
            raise BackupConflict(
                f"the lock {self.url} is no longer this run's (lock id {self.id}): {self.lost}; "
                f"stopped before any further change (no rollback); this run's records are kept "
                f"in {folder}; `morvent status` shows who holds the lock now and where the "
                "migration stands", folder=folder, url=self.backup_des.url)

    def _note_lost(self, found: tuple | None) -> None:
        if found is None:
            self.lost = "it was removed (broken by hand or by another run)"
        elif found[0].get("id") != self.id:
            self.lost = f"it is now held by {describe_holder(found[0])}"

    def _start_heartbeat(self) -> None:
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._beat, args=(self._stop,), daemon=True,
                                        name=f"morvent-lock-heartbeat-{self._name}")
        self._thread.start()

    def _stop_heartbeat(self) -> None:
        if self._stop is not None:
            self._stop.set()
        if self._thread is not None and self._thread is not threading.current_thread():
            self._thread.join(timeout=5)
        self._stop = self._thread = None

    def _beat(self, stop: threading.Event) -> None:
        while not stop.wait(self.renew_every):
            try:
                self._renew()
            except Exception:  # noqa: BLE001 - a missed beat shows in its age; try again
                logging.getLogger(__name__).debug("lock heartbeat failed", exc_info=True)
            if self.lost is not None:
                logging.getLogger(__name__).warning(
                    "  the lock %s is no longer this run's: %s; the run stops before its next "
                    "change", self.url, self.lost)
                return

    def _renew(self) -> None:
        lock_id = self.id
        if lock_id is None:
            return
        if self._etag is None:  # never renew on a lock not known to be this run's
            found = self._read()
            if found is None or found[0].get("id") != lock_id:
                self._note_lost(found)
                return
            self._etag = found[2]
        record = {**self._record, "heartbeat": _utcnow().isoformat(timespec="seconds")}
        try:
            answer = self.s3_client.put_object(
                Bucket=self.backup_des.bucket, Key=self.backup_des.lock_key,
                Body=json.dumps(record, indent=1).encode(), ContentType="application/json",
                IfMatch=self._etag)
        except botocore.exceptions.ClientError as e:
            if not is_conflict(e):
                raise
            found = self._read()
            if found is not None and found[0].get("id") == lock_id:
                self._etag = found[2]  # our own renewal, whose answer was lost
                return
            if self.id == lock_id:
                self._note_lost(found)
            return
        self._record, self._etag = record, answer.get("ETag")

    def __enter__(self) -> "VpcLock":
        self.acquire()
        return self

    def __exit__(self, *exc_info) -> bool:
        self.release()
        return False
