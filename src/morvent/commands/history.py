"""Command and memento histories kept in the VPC's backup folder.

Both histories are JSON files in the backup folder that is downloaded from
and uploaded to S3 around every run:

- ``command_history.json``: the VPC id, the history version and the
  commands done once per VPC (command 0 is the NAT gateway discovery, with
  the records it found);
- ``memento_history.json``: the stack of undo records, oldest first.  Each
  entry holds the memento's class path (module and qualified name), its
  state (``toDict()``) and whether it opens a group of steps.  The newest
  entry may also carry ``"undoing": true``: it was popped and its undo is
  under way (see below).  Files without that key, written by earlier
  versions, read as before; earlier versions reading a newer file ignore
  the key, which is what it means to them too.

What exactly each file holds is ``morvent.commands.records``: every file
read is checked against it, and one that is not what morvent writes is an
error naming it (damage is never "no history").  Every write raises the
file's serial and keeps its lineage (a history read from a file of an
earlier release, which has neither, is given a lineage at its first write);
see ``morvent.commands.versions``.

Every change is written atomically before the call returns (temporary file
in the same folder, fsync, rename, fsync of the folder), so a process that
is killed at any moment leaves either the old or the new file, never a torn
one.  Then, when the folder has an S3 mirror (``morvent.core.backup``: the
download of a real run registers one), the file is stored there too, also
before the call returns: an undo record is in S3 before the caller makes
the next change.  When S3 cannot store it, or its copy moved on since this
run read it (another run wrote it; this run's lock was broken),
``BackupUnavailable`` stops the run; the local file keeps the record.  Before
each step the step iterator asks the folder's lock whether it still holds
(``morvent.core.backup.check_fence``).

``MementoHistory.pop()`` hands out the newest memento but keeps its record
on disk (and in S3), marked as being undone, until the next operation of
the history -- by then the caller is past ``restore()``.  A run killed
during a restore thus keeps the record of a change that may still exist; a
history loaded with a marked record treats it as an ordinary one, and since
every undo can be run again, a revert simply retries it.  Putting the same
memento back with ``append()`` after a failed restore just clears the mark.

A memento is rebuilt without calling its constructor, the way the memento
classes are written to be rebuilt: ``cls.__new__(cls)`` and then its
``__dict__`` updated with the stored state.

Both histories are used through their classes (class-level state), one VPC
per process at a time.
"""

from __future__ import annotations

import contextlib
import importlib
import itertools
import json
import logging
import math
import os
import sys
import uuid
from collections.abc import Iterator
from typing import Any

from morvent.commands.memento import Memento
from morvent.commands.records import (COMMAND_HISTORY_FILE, DISCOVER_NATGW_CMD, FILE_FORMAT,
                                      HISTORY_FILES, MEMENTO_HISTORY_FILE, HistoryDamaged,
                                      HistoryFile, parse)
from morvent.core import backup
from morvent.core.files import write_atomically
from morvent.core.exceptions import HistoryError

__all__ = ["CommandHistory", "MementoHistory", "HistoryError", "HistoryDamaged",
           "HISTORY_FILES", "describe_copy", "read_history", "step_listeners"]


# -- files -----------------------------------------------------------------

def describe_copy(path: str) -> str:
    """The local file ``path`` named with the S3 object it mirrors, when its folder has one."""
    url = backup.url_of(path)
    return f"{path} (local copy of {url})" if url else path


def read_history(path: str, where: str | None = None) -> HistoryFile | None:
    """The checked history file at ``path``, or None when there is no such file.

    HistoryDamaged (naming ``where``, by default the file and its S3 object)
    when it is not what morvent writes; nothing is changed.
    """
    try:
        with open(path, "rb") as f:
            data = f.read()
    except FileNotFoundError:
        return None
    except OSError as e:
        raise HistoryError(f"cannot read {path}: {e}") from None
    return parse(os.path.basename(path), data, where or describe_copy(path))


def _next_version(lineage: str | None, serial: int) -> tuple[str, int]:
    """The version of the next write: a history without a lineage is born now."""
    return (lineage or uuid.uuid4().hex), serial + 1


def _write_json_atomically(path: str, data: Any) -> None:
    """Replace ``path`` by ``data`` as JSON, so that a crash leaves the old or the new file."""
    text = json.dumps(data, indent=2, ensure_ascii=False, allow_nan=False) + "\n"
    try:
        write_atomically(path, text.encode("utf-8"), temp_prefix=_temp_prefix(path))
    except OSError as e:
        raise HistoryError(f"cannot write {path}: {e}; the file was left as it was") from e


def _store_in_mirror(path: str) -> None:
    """Store ``path`` in the S3 mirror of its folder, when the folder has one."""
    mirror = backup.mirror_of(os.path.dirname(path))
    if mirror is not None:
        mirror.store(path)


def _temp_prefix(path: str) -> str:
    return "." + os.path.basename(path) + "."


def _remove_stale_temp_files(path: str) -> None:
    """Remove temporary files that a killed process left next to ``path``."""
    folder = os.path.dirname(path) or "."
    prefix = _temp_prefix(path)
    with contextlib.suppress(OSError):
        for name in os.listdir(folder):
            if name.startswith(prefix) and name.endswith(".tmp"):
                with contextlib.suppress(OSError):
                    os.unlink(os.path.join(folder, name))


def _check_json_value(value: Any, where: str, seen: tuple[int, ...] = ()) -> None:
    """Raise TypeError unless ``value`` can be stored as JSON and read back as it was.

    Allowed: None, bool, int, finite float, str, lists and tuples (tuples
    come back as lists), and dictionaries with string keys.  Non-string keys
    are refused because JSON would silently turn them into strings.
    """
    if value is None or isinstance(value, (bool, int, str)):
        return
    if isinstance(value, float):
        if not math.isfinite(value):
            raise TypeError(f"{where} is {value!r}, which JSON cannot hold")
        return
    if isinstance(value, (list, tuple, dict)):
        if id(value) in seen:
            raise TypeError(f"{where} contains itself")
        seen = seen + (id(value),)
        if isinstance(value, dict):
            for key, item in value.items():
                if not isinstance(key, str):
                    raise TypeError(f"{where} has the key {key!r}, which is not a string")
                _check_json_value(item, f"{where}[{key!r}]", seen)
        else:
            for i, item in enumerate(value):
                _check_json_value(item, f"{where}[{i}]", seen)
        return
    raise TypeError(f"{where} is a {type(value).__qualname__}, which JSON cannot hold")


def _json_copy(value: Any) -> Any:
    return json.loads(json.dumps(value, allow_nan=False))


# -- command history -------------------------------------------------------

class CommandHistory:
    """The once-per-VPC commands of a replacement, kept in ``command_history.json``."""

    _path: str | None = None
    _vpc_id: str | None = None
    _version: str | None = None
    _commands: list[dict] = []
    _natgws: list = []
    _lineage: str | None = None
    _serial: int = 0

    @classmethod
    def init(cls, folder: str, vpc_id: str, version: str = "v2") -> None:
        """Bind the history to ``folder`` and load what it holds for ``vpc_id``.

        Nothing is written until a command is logged.  A damaged file, or one
        of another VPC or another history version, is an error, and then
        nothing changes.
        """
        path = os.path.join(os.fspath(folder), COMMAND_HISTORY_FILE)
        found = read_history(path)
        commands: list[dict] = []
        lineage, serial = None, 0
        if found is not None:
            data = found.body
            if data["vpc_id"] != vpc_id:
                raise HistoryError(f"{path} belongs to VPC {data.get('vpc_id')!r}, not to "
                                   f"{vpc_id!r}; is the backup folder the right one?")
            if data["version"] != version:
                raise HistoryError(f"{path} is a history of version {data.get('version')!r}, "
                                   f"but version {version!r} was asked for")
            commands, lineage, serial = data["commands"], found.lineage, found.serial
        _remove_stale_temp_files(path)
        cls._path, cls._vpc_id, cls._version = path, vpc_id, version
        cls._commands = commands
        cls._natgws = cls._find_natgws(commands)
        cls._lineage, cls._serial = lineage, serial

    @staticmethod
    def _find_natgws(commands: list[dict]) -> list:
        for command in commands:
            if command["index"] == DISCOVER_NATGW_CMD:
                return command["natgws"]
        return []

    @classmethod
    def _require_init(cls) -> str:
        if cls._path is None:
            raise HistoryError("CommandHistory is used before CommandHistory.init(folder, vpc_id)")
        return cls._path

    @classmethod
    def path(cls) -> str:
        """The file of the history."""
        return cls._require_init()

    @classmethod
    def is_command_i_done(cls, i: int) -> bool:
        """True when command ``i`` is recorded (0 is the NAT gateway discovery)."""
        cls._require_init()
        return any(command["index"] == i for command in cls._commands)

    @classmethod
    def log_discover_natgw_cmd(cls, records: list[dict]) -> None:
        """Record the NAT gateway discovery with its records, on disk (and in S3) before returning.

        What ``get_discovered_natgws`` gives back afterwards is the stored
        copy, exactly as a later run reads it from the file.
        """
        path = cls._require_init()
        if not isinstance(records, (list, tuple)):
            raise TypeError(f"the discovered NAT gateways must be a list of records, "
                            f"not {type(records).__qualname__}")
        for i, record in enumerate(records):
            if not isinstance(record, dict):
                raise TypeError(f"NAT gateway record {i} is a {type(record).__qualname__}, "
                                "not a dictionary")
        _check_json_value(list(records), "the NAT gateway records")
        natgws = _json_copy(list(records))
        commands = [c for c in cls._commands if c["index"] != DISCOVER_NATGW_CMD]
        commands.insert(0, {"index": DISCOVER_NATGW_CMD, "name": "discover_natgw",
                            "natgws": natgws})
        lineage, serial = _next_version(cls._lineage, cls._serial)
        _write_json_atomically(path, {"format": FILE_FORMAT, "lineage": lineage,
                                      "serial": serial, "version": cls._version,
                                      "vpc_id": cls._vpc_id, "commands": commands})
        cls._commands = commands
        cls._natgws = natgws
        cls._lineage, cls._serial = lineage, serial
        _store_in_mirror(path)

    @classmethod
    def get_discovered_natgws(cls) -> list:
        """The stored discovery records: the same list object on every call.

        Callers update the records in place; an empty list when nothing was
        discovered.
        """
        cls._require_init()
        return cls._natgws


# -- memento history -------------------------------------------------------

#: Called as ``listener(event, value)`` to show where a run is: ("step",
#: position) when the step iterator of ``is_memento_exist`` hands out a
#: position that is not held (that step runs next), ("undo", record) when
#: ``pop()`` hands out a memento for its undo, ("recorded", record) when
#: ``append()`` has stored one (``record``: its stored form).
step_listeners: list = []


def _tell(event: str, value: Any) -> None:
    """Tell the listeners; a listener that fails must not change the run's course."""
    for listener in list(step_listeners):
        try:
            listener(event, value)
        except Exception:  # noqa: BLE001 - showing progress is never worth a rollback
            logging.getLogger(__name__).debug("step listener %r failed", listener,
                                              exc_info=True)


def _class_path(cls: type) -> str:
    return f"{cls.__module__}.{cls.__qualname__}"


def _find_class(module_name: str, qualname: str) -> type:
    """The class named by ``module_name`` and ``qualname``; LookupError when there is none.

    Only modules of this package, or modules that are loaded already, are
    imported: a history file must not be able to load arbitrary code.
    """
    if module_name not in sys.modules and module_name.split(".")[0] != "morvent":
        raise LookupError(f"module {module_name} is not loaded and not part of morvent")
    try:
        obj: Any = importlib.import_module(module_name)
    except ImportError as e:
        raise LookupError(f"module {module_name} cannot be imported: {e}") from None
    for part in qualname.split("."):
        try:
            obj = getattr(obj, part)
        except AttributeError:
            raise LookupError(f"module {module_name} has no {qualname}") from None
    if not isinstance(obj, type):
        raise LookupError(f"{module_name}.{qualname} is not a class")
    return obj


class _Entry:
    """One memento of the stack with the record that is stored for it."""

    __slots__ = ("memento", "record")

    def __init__(self, memento: Any, record: dict):
        self.memento = memento
        self.record = record


class MementoHistory:
    """The stack of undo records of a replacement, kept in ``memento_history.json``."""

    _path: str | None = None
    _entries: list[_Entry] = []
    #: The popped entry whose undo is under way: still on disk, no longer held.
    _undoing: _Entry | None = None
    _lineage: str | None = None
    _serial: int = 0

    @classmethod
    def init(cls, folder: str) -> None:
        """Bind the history to ``folder`` and rebuild the mementos stored there.

        A damaged file or a memento whose class cannot be found is an error
        naming the file, raised before anything changes.  An entry stored as
        being undone is held as an ordinary one: its change may still exist.
        """
        if cls._path is not None:
            cls._settle()
        path = os.path.join(os.fspath(folder), MEMENTO_HISTORY_FILE)
        found = read_history(path)
        entries: list[_Entry] = []
        lineage, serial = None, 0
        if found is not None:
            for i, record in enumerate(found.body["mementos"]):
                memento = cls._rebuild(describe_copy(path), i, record)
                record = {k: v for k, v in record.items() if k != "undoing"}
                entries.append(_Entry(memento, record))
            lineage, serial = found.lineage, found.serial
        _remove_stale_temp_files(path)
        cls._path = path
        cls._entries = entries
        cls._undoing = None
        cls._lineage, cls._serial = lineage, serial

    @staticmethod
    def _rebuild(where: str, i: int, record: dict) -> Any:
        """The memento of a checked record; HistoryDamaged when its class is not there."""
        name = f"{record['module']}.{record['qualname']}"
        label = f"undo record {i + 1} ({record['qualname']})"
        try:
            memento_class = _find_class(record["module"], record["qualname"])
        except LookupError as e:
            raise HistoryDamaged(f"{where} is damaged: {label}: class {name} cannot be "
                                 f"rebuilt: {e}") from None
        if not issubclass(memento_class, Memento):
            raise HistoryDamaged(f"{where} is damaged: {label}: {name} is not a memento class")
        try:
            memento = memento_class.__new__(memento_class)
            memento.__dict__.update(record["state"])
        except Exception as e:
            raise HistoryDamaged(f"{where} is damaged: {label}: class {name} cannot be "
                                 f"rebuilt: {type(e).__name__}: {e}") from None
        return memento

    @classmethod
    def _require_init(cls) -> str:
        if cls._path is None:
            raise HistoryError("MementoHistory is used before MementoHistory.init(folder)")
        return cls._path

    @classmethod
    def _write(cls, entries: list[_Entry], undoing: _Entry | None) -> str:
        """Store ``entries`` (and ``undoing``, marked) on disk and hold them.

        On an error nothing changes, on disk or here.  The S3 mirror is the
        caller's next step.
        """
        path = cls._require_init()
        records = [entry.record for entry in entries]
        if undoing is not None:
            records.append({**undoing.record, "undoing": True})
        lineage, serial = _next_version(cls._lineage, cls._serial)
        _write_json_atomically(path, {"format": FILE_FORMAT, "lineage": lineage,
                                      "serial": serial, "mementos": records})
        cls._entries, cls._undoing = entries, undoing
        cls._lineage, cls._serial = lineage, serial
        # Transfers of the folder finish the removal first (the caller of
        # pop() is past restore() by the time it uploads).
        backup.set_pending(os.path.dirname(path), cls._settle if undoing is not None else None)
        return path

    @classmethod
    def _settle(cls) -> None:
        """Remove the entry whose undo was under way: its caller is past ``restore()``."""
        if cls._undoing is not None:
            _store_in_mirror(cls._write(cls._entries, None))

    @classmethod
    def path(cls) -> str:
        """The file of the history."""
        return cls._require_init()

    @classmethod
    def append(cls, memento: Any, MarkBegin: bool = False) -> None:
        """Push ``memento``; ``MarkBegin=True`` marks it as the first step of a group.

        The memento is on disk and in S3 before this returns.  Its
        ``toDict()`` must be JSON data (tuples come back as lists), else
        TypeError and nothing changes.  The memento just popped, put back
        because its undo failed, keeps its stored record (no duplicate).
        """
        cls._require_init()
        undoing = cls._undoing
        if undoing is not None and memento is undoing.memento:
            record = {**undoing.record, "mark_begin": bool(MarkBegin)}
        else:
            record = cls._record(memento, MarkBegin)
        path = cls._write(cls._entries + [_Entry(memento, record)], None)
        _store_in_mirror(path)
        _tell("recorded", record)

    @staticmethod
    def _record(memento: Any, mark_begin: bool) -> dict:
        """The stored form of ``memento``; TypeError when it cannot be stored."""
        memento_class = type(memento)
        name = _class_path(memento_class)
        if not isinstance(memento, Memento):
            raise TypeError(f"{name} is not a memento class (it does not derive from Memento)")
        try:
            found = _find_class(memento_class.__module__, memento_class.__qualname__)
        except LookupError:
            found = None
        if found is not memento_class:
            raise TypeError(f"a {name} cannot be stored: its class cannot be found again by "
                            "that name in a later run (is it defined inside a function?)")
        state = memento.toDict()
        if not isinstance(state, dict):
            raise TypeError(f"{name}.toDict() returned a {type(state).__qualname__}, "
                            "not a dictionary")
        _check_json_value(state, f"{name}.toDict()")
        return {"module": memento_class.__module__, "qualname": memento_class.__qualname__,
                "state": _json_copy(state), "mark_begin": bool(mark_begin)}

    @classmethod
    def pop(cls) -> Any:
        """Hand out the newest memento for its undo; it is no longer held.

        Its record stays on disk and in S3, marked as being undone, until the
        next operation of the history (see the module's description).
        """
        path = cls._require_init()
        if not cls._entries:
            cls._settle()
            raise HistoryError(f"cannot pop a memento: the history in {path} is empty")
        held = cls._entries
        newest = held[-1]
        cls._write(held[:-1], newest)
        try:
            _store_in_mirror(path)
        except BaseException:
            # Not handed out, so not undone: it is held as before (the file
            # marks it, which a later run reads as an ordinary entry).
            cls._entries, cls._undoing = held, None
            backup.set_pending(os.path.dirname(path), None)
            raise
        _tell("undo", newest.record)
        return newest.memento

    @classmethod
    def isEmpty(cls) -> bool:
        """True when no memento is held."""
        cls._require_init()
        cls._settle()
        return not cls._entries

    @classmethod
    def isCmdBegin(cls) -> bool:
        """True when the newest memento opens a group; False when the history is empty."""
        cls._require_init()
        cls._settle()
        return bool(cls._entries) and cls._entries[-1].record["mark_begin"]

    @classmethod
    def is_memento_exist(cls) -> Iterator[bool]:
        """An iterator whose Nth value is True when step N is held already.

        It answers for the mementos held now: True for the first ``size()``
        values, False for every value after them.
        """
        path = cls._require_init()
        cls._settle()
        held = len(cls._entries)

        def positions() -> Iterator[bool]:
            yield from itertools.repeat(True, held)
            for position in itertools.count(held + 1):
                # A run whose lock is gone stops here, before the step's change.
                backup.check_fence(os.path.dirname(path), thorough=True)
                _tell("step", position)
                yield False

        return positions()

    @classmethod
    def size(cls) -> int:
        """The number of mementos held."""
        cls._require_init()
        cls._settle()
        return len(cls._entries)

    @classmethod
    def entries(cls) -> list[dict]:
        """What is held, oldest first, for display: class path, group mark and state."""
        cls._require_init()
        return [{"class": f"{e.record['module']}.{e.record['qualname']}",
                 "mark_begin": e.record["mark_begin"],
                 "state": _json_copy(e.record["state"])} for e in cls._entries]
