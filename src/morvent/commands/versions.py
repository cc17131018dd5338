"""Which copy of a history is the truth: versions, and what a local folder knows of S3.

The S3 copy of a history is the truth.  Every copy carries a version: a
*lineage*, fixed when the history is born, and a *serial*, raised on every
write (see ``morvent.commands.records``).  A local backup folder remembers,
per history, the S3 version it was last in step with -- lineage, serial, the
S3 object's ETag and the digest of the content -- in the hidden file
``.s3-versions.json`` (:func:`read_synced`), which is never mirrored to S3.
Every write to S3 is conditional on that ETag (``morvent.lib.s3``), so a
write based on a copy that is no longer S3's fails instead of landing.

When a run reads the backup, :func:`decide` places the local copy against
S3's:

- the same content: in step;
- the local copy unchanged since it was last in step and S3 moved on (a run
  elsewhere wrote it, a revert elsewhere emptied it): the local copy is
  behind, S3's replaces it;
- the local copy ahead of the version it was based on (a run that stopped
  before it could store its last records) while S3 did not move: the local
  copy is kept and stored;
- anything else -- another lineage, both moved, S3 older than what the local
  copy was in step with, a local copy changed outside morvent -- is
  *diverged*: :class:`HistoryDiverged`, and the run stops before any change.

Copies without a version (written by an earlier release) are version 0:
where the remembered versions cannot tell, S3's copy is taken only when it
holds every record of the local copy, so that no record is lost.
"""

from __future__ import annotations

import hashlib
import json
import os
from dataclasses import asdict, dataclass
from typing import Any

from morvent.commands.records import HistoryFile
from morvent.core.files import write_atomically

__all__ = ["SYNC_FILE", "Copy", "HistoryDiverged", "Synced", "Version", "decide", "digest",
           "read_synced", "write_synced"]

#: Where a local backup folder keeps the S3 versions its histories were last in step with.
SYNC_FILE = ".s3-versions.json"


class HistoryDiverged(Exception):
    """Two copies of a history cannot be placed on one line; ``str()`` says why."""


def digest(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


@dataclass(frozen=True)
class Version:
    """Where a copy stands in its history."""

    lineage: str | None
    serial: int

    @classmethod
    def of(cls, history: HistoryFile) -> "Version":
        return cls(history.lineage, history.serial)

    def __str__(self) -> str:
        if self.lineage is None:
            return "version 0 (no lineage yet: written by an earlier morvent)"
        return f"serial {self.serial} of lineage {self.lineage[:8]}"


@dataclass(frozen=True)
class Synced:
    """The S3 copy that a local copy was last in step with."""

    lineage: str | None
    serial: int
    #: The S3 object's ETag then (None when it was not known).
    etag: str | None
    #: SHA-256 of the content then, the same bytes in S3 and locally.
    sha256: str

    @property
    def version(self) -> Version:
        return Version(self.lineage, self.serial)


@dataclass
class Copy:
    """One copy of a history file: its bytes, checked, and (in S3) its ETag."""

    data: bytes
    history: HistoryFile
    etag: str | None = None

    @property
    def version(self) -> Version:
        return Version.of(self.history)

    def synced(self) -> Synced:
        return Synced(self.history.lineage, self.history.serial, self.etag, digest(self.data))


# -- what a local folder remembers ---------------------------------------------------

def read_synced(folder: str) -> dict[str, Synced]:
    """History name -> the S3 copy it was last in step with; unreadable entries are left out
    (a copy without a remembered version is judged by its content alone)."""
    try:
        with open(os.path.join(folder, SYNC_FILE), encoding="utf-8") as f:
            content = json.load(f)
    except (OSError, ValueError):
        return {}
    found = {}
    if isinstance(content, dict):
        for name, entry in content.items():
            try:
                synced = Synced(**entry)
            except TypeError:
                continue
            if isinstance(synced.serial, int) and isinstance(synced.sha256, str):
                found[name] = synced
    return found


def write_synced(folder: str, name: str, synced: Synced | None) -> None:
    """Remember (None: forget) the S3 copy that the local ``name`` is in step with."""
    known = read_synced(folder)
    if known.get(name) == synced:
        return
    if synced is None:
        del known[name]
    else:
        known[name] = synced
    text = json.dumps({k: asdict(v) for k, v in sorted(known.items())}, indent=1) + "\n"
    write_atomically(os.path.join(folder, SYNC_FILE), text.encode("utf-8"))


# -- placing two copies ----------------------------------------------------------------

def _holds_all_of(bigger: HistoryFile, smaller: HistoryFile) -> bool:
    """True when ``bigger`` begins with every entry of ``smaller``, in order (undo marks aside)."""
    def plain(entry: Any) -> Any:
        return {k: v for k, v in entry.items() if k != "undoing"} \
            if isinstance(entry, dict) else entry

    head = [plain(e) for e in bigger.entries[:len(smaller.entries)]]
    return len(bigger.entries) >= len(smaller.entries) and \
        head == [plain(e) for e in smaller.entries]


def decide(local: Copy | None, remote: Copy | None, base: Synced | None) -> str:
    """What to do with the local copy of a history, given S3's and the remembered version.

    "same": in step; "remote": take S3's copy; "local": keep the local copy and
    store it in S3; "none": neither copy exists.  HistoryDiverged otherwise.
    """
    if local is None:
        return "remote" if remote is not None else "none"
    if remote is None:
        # Never stored, or the S3 copy was deleted (by hand: to keep this
        # copy, or to start over, in which case the local copy goes too).
        return "local"
    if local.data == remote.data:
        return "same"
    lv, rv = local.version, remote.version
    if base is None:
        return _decide_by_content(local, remote)
    if rv.lineage != base.lineage and rv.lineage is not None and base.lineage is not None:
        raise HistoryDiverged(f"the S3 copy belongs to another history (lineage "
                              f"{rv.lineage[:8]}) than the one this folder was in step with "
                              f"(lineage {base.lineage[:8]}): it was started anew elsewhere")
    s3_moved = (remote.etag != base.etag) if (remote.etag and base.etag) \
        else (rv != base.version or digest(remote.data) != base.sha256)
    local_moved = lv != base.version or digest(local.data) != base.sha256
    if lv.lineage is not None and lv.lineage != base.lineage and base.lineage is not None:
        raise HistoryDiverged(f"the local copy belongs to another history (lineage "
                              f"{lv.lineage[:8]}) than the one it was in step with in S3 "
                              f"({base.lineage[:8]})")
    if not s3_moved:
        if not local_moved:
            return "same"
        if lv.serial > base.serial:
            return "local"
        raise HistoryDiverged(f"the local copy ({lv}) was changed outside morvent since it "
                              f"was in step with S3 ({base.version})")
    if local_moved:
        raise HistoryDiverged(f"both moved since they were last in step ({base.version}): "
                              f"S3 now holds {rv}, the local copy {lv} with records S3 lacks")
    if rv.lineage is None or (base.lineage is not None and rv.serial <= base.serial):
        raise HistoryDiverged(f"the S3 copy ({rv}) is older than the one this folder was in "
                              f"step with ({base.version}): it was put back by hand?")
    return "remote"


def _decide_by_content(local: Copy, remote: Copy) -> str:
    """Without a remembered version: S3's copy replaces the local one only when no local
    record is lost by it; a local copy with records S3 lacks cannot be placed."""
    lv, rv = local.version, remote.version
    if lv.lineage is not None and rv.lineage is not None and lv.lineage != rv.lineage:
        raise HistoryDiverged(f"they belong to different histories (lineage {lv.lineage[:8]} "
                              f"locally, {rv.lineage[:8]} in S3)")
    if rv.serial >= lv.serial and _holds_all_of(remote.history, local.history):
        return "remote"
    extra = len(local.history.entries) - len(remote.history.entries)
    lacks = (f"the local copy holds {extra} more record(s) than S3" if extra > 0 else
             "the local copy holds records S3 lacks")
    raise HistoryDiverged(f"{lacks}, and no version tells which is newer (local {lv}, "
                          f"S3 {rv})")
