"""What the two history files hold, exactly, and the one reader that checks it.

A history file that is not exactly what morvent writes is damage, and damage
is never "no history": it stops every command before any change, naming the
file, the record and what is wrong.  This module is the one place that says
what is written; the histories, the backup's download and the read-only
commands all read through :func:`parse`.

Both files are JSON objects (layout 2)::

    {"format": 2, "lineage": "<32 hex digits>", "serial": 7, ...}

``lineage`` is fixed when the history is born, ``serial`` is raised on every
write (see ``morvent.commands.versions``).  Layout 1, written by earlier
releases, has neither: it is read as version 0 and gets a lineage at its
first write.  Then, per file:

- ``command_history.json``: ``"version": "v2"``, ``"vpc_id"`` and
  ``"commands"``, a list of commands done once per VPC; the only kind is the
  NAT gateway discovery, ``{"index": 0, "name": "discover_natgw", "natgws":
  [record, ...]}`` with one record per NAT gateway (:data:`DISCOVERY_RECORD`);
- ``memento_history.json``: ``"mementos"``, the undo records oldest first,
  each ``{"module", "qualname", "state", "mark_begin"}`` and, on the newest,
  possibly ``"undoing": true``; ``state`` follows the schema of its kind
  (:data:`MEMENTO_KINDS`, keyed by class path).

A record may carry keys its schema does not name (a later release may add
some); every key the schema names must be there with its type, and a kind
the schema does not know is damage.
"""

from __future__ import annotations

import json
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

from morvent.core.exceptions import HistoryError

__all__ = ["COMMAND_HISTORY_FILE", "MEMENTO_HISTORY_FILE", "HISTORY_FILES", "FILE_FORMAT",
           "DISCOVER_NATGW_CMD", "DISCOVERY_RECORD", "MEMENTO_KINDS", "HistoryDamaged",
           "HistoryFile", "Fields", "ListOf", "parse", "check"]

COMMAND_HISTORY_FILE = "command_history.json"
MEMENTO_HISTORY_FILE = "memento_history.json"
HISTORY_FILES = (COMMAND_HISTORY_FILE, MEMENTO_HISTORY_FILE)
#: Layout written; layouts read are this one and 1 (no lineage, no serial).
FILE_FORMAT = 2
READ_FORMATS = (1, 2)
#: Index of the NAT gateway discovery in the command history.
DISCOVER_NATGW_CMD = 0


class HistoryDamaged(HistoryError):
    """A copy of a history file is not what morvent writes; ``str()`` is one line."""


# -- schemas -------------------------------------------------------------------

class Fields:
    """A JSON object with ``required`` and ``optional`` keys, each with its type.

    A type is a tuple of Python types (``bool`` never passes for ``int``), a
    nested :class:`Fields` or a :class:`ListOf`.
    """

    def __init__(self, required: Mapping[str, Any], optional: Mapping[str, Any] | None = None):
        self.required = dict(required)
        self.optional = dict(optional or {})


class ListOf:
    """A JSON list whose items all have type ``item``; ``length`` fixes the count."""

    def __init__(self, item: Any, length: int | None = None):
        self.item = item
        self.length = length


TEXT = (str,)
TEXT_OR_NULL = (str, type(None))
FLAG = (bool,)
NUMBER_OR_NULL = (int, float, type(None))
TEXTS = ListOf(TEXT)
#: A route as the undo records name it: [route table id, destination key, destination].
ROUTE = ListOf(TEXT, length=3)

#: One NAT gateway of the discovery (``DetermineGwSizeCmd.getNatGwInfo``).
DISCOVERY_RECORD = Fields(
    {"subnet_id": TEXT, "subnet_cidr": TEXT, "initial_size": TEXT, "size": TEXT,
     "nat_gw_id": TEXT, "private_ip": TEXT_OR_NULL, "eip": TEXT_OR_NULL},
    {"allocation_id": TEXT_OR_NULL, "availability_zone": TEXT_OR_NULL,
     "peak_mbps": NUMBER_OR_NULL, "spoke_planned": FLAG})

#: A default route recorded by a route table snapshot.
SNAPSHOT_ROUTE = Fields(
    {"route_table_id": TEXT, "destination_key": TEXT, "destination": TEXT},
    {"target_key": TEXT_OR_NULL, "target_id": TEXT_OR_NULL, "subnet_id": TEXT_OR_NULL,
     "instance_id": TEXT_OR_NULL, "state": TEXT_OR_NULL})

#: The state (``toDict()``) of each memento class, by class path.
MEMENTO_KINDS: dict[str, Fields] = {
    "morvent.lib.route_table.SnapshotRTMemento": Fields(
        {"vpc_id": TEXT, "tag": TEXT, "routes": ListOf(SNAPSHOT_ROUTE),
         "made_in_dry_run": FLAG},
        {"tables_without_default": TEXTS}),
    "morvent.lib.route_table.NatGwTrafficMemento": Fields(
        {"vpc_id": TEXT, "tag": TEXT, "from_nat_gw_id": TEXT, "from_subnet_id": TEXT,
         "to_nat_gw_id": TEXT, "to_subnet_id": TEXT, "routes": ListOf(ROUTE),
         "made_in_dry_run": FLAG}),
    "morvent.lib.natgw.NatGwDeleteMemento": Fields(
        {"vpc_id": TEXT, "subnet_id": TEXT, "nat_gw_id": TEXT_OR_NULL, "eip": TEXT_OR_NULL,
         "allocation_id": TEXT_OR_NULL, "routes": ListOf(ROUTE), "made_in_dry_run": FLAG},
        {"subnet_cidr": TEXT_OR_NULL, "secondary_allocation_ids": TEXTS,
         "private_ip": TEXT_OR_NULL, "network_interface_ids": TEXTS,
         "tags": ListOf(Fields({"Key": TEXT, "Value": TEXT}))}),
    "morvent.lib.spoke.HsSpokeCreateMemento": Fields(
        {"spoke_info": Fields(
            {"gw_name": TEXT},
            {"gw_private_ip": TEXT_OR_NULL, "gw_public_ip": TEXT_OR_NULL,
             "gw_subnet_id": TEXT_OR_NULL, "gw_subnet_cidr": TEXT_OR_NULL})}),
    "morvent.lib.spoke.SnatEnableMemento": Fields({"spoke_gw_name": TEXT}),
    "morvent.lib.spoke.ResizeSpokeGatewayMemento": Fields(
        {"spoke_gw_name": TEXT, "from_gw_size": TEXT, "to_gw_size": TEXT}),
    "morvent.lib.test.TestPrepMemento": Fields(
        {"input_test_config": TEXT, "output_test_config": TEXT,
         "previous_input": TEXT_OR_NULL, "previous_output": TEXT_OR_NULL}),
}

MEMENTO_ENTRY = Fields({"module": TEXT, "qualname": TEXT, "state": (dict,), "mark_begin": FLAG},
                       {"undoing": FLAG})
DISCOVERY_COMMAND = Fields({"index": (int,), "name": TEXT, "natgws": ListOf(DISCOVERY_RECORD)})


class _Wrong(Exception):
    """What is wrong, in words, at a path inside the checked value."""


_TYPE_NAMES = {str: "a text", int: "a whole number", float: "a number", bool: "true or false",
               type(None): "null", list: "a list", dict: "an object"}


def _kind_of(value: Any) -> str:
    return _TYPE_NAMES.get(type(value), type(value).__name__)


def _expected(types: tuple) -> str:
    names = [_TYPE_NAMES.get(t, t.__name__) for t in types]
    if int in types and float in types:
        names.remove(_TYPE_NAMES[int])
    return " or ".join(dict.fromkeys(names))


def _check(value: Any, schema: Any, where: str) -> None:
    if isinstance(schema, Fields):
        if not isinstance(value, dict):
            raise _Wrong(f"{where} is {_kind_of(value)}, not an object")
        for key, inner in schema.required.items():
            if key not in value:
                raise _Wrong(f"{where} has no {key!r}")
            _check(value[key], inner, f"{where}[{key!r}]")
        for key, inner in schema.optional.items():
            if key in value:
                _check(value[key], inner, f"{where}[{key!r}]")
    elif isinstance(schema, ListOf):
        if not isinstance(value, list):
            raise _Wrong(f"{where} is {_kind_of(value)}, not a list")
        if schema.length is not None and len(value) != schema.length:
            raise _Wrong(f"{where} has {len(value)} items, not {schema.length}")
        for i, item in enumerate(value):
            _check(item, schema.item, f"{where}[{i}]")
    else:
        ok = isinstance(value, schema) and not (isinstance(value, bool) and bool not in schema)
        if ok and isinstance(value, float) and value != value:
            ok = False  # NaN: JSON has no such number
        if not ok:
            raise _Wrong(f"{where} is {_kind_of(value)}, not {_expected(schema)}")


# -- the reader ------------------------------------------------------------------

@dataclass
class HistoryFile:
    """One checked copy of a history file."""

    name: str
    #: The decoded content, as written.
    body: dict
    format: int
    #: None for layout 1 (and for a history never written).
    lineage: str | None
    #: 0 for layout 1.
    serial: int

    @property
    def entries(self) -> list:
        """The commands, or the undo records, oldest first."""
        return self.body["commands" if self.name == COMMAND_HISTORY_FILE else "mementos"]


def _class_path(entry: dict) -> str:
    return f"{entry['module']}.{entry['qualname']}"


def parse(name: str, data: bytes, where: str) -> HistoryFile:
    """The history file ``name`` held in ``data``, checked; HistoryDamaged when it is not
    exactly what morvent writes.  ``where`` names the copy in the message."""
    try:
        content = json.loads(data.decode("utf-8"))
    except UnicodeDecodeError as e:
        raise HistoryDamaged(f"{where} is damaged: not UTF-8 text ({e.reason})") from None
    except ValueError as e:
        raise HistoryDamaged(f"{where} is damaged: not JSON ({e})") from None
    return check(name, content, where)


def check(name: str, content: Any, where: str) -> HistoryFile:
    """``content`` (decoded JSON) checked as the history file ``name``."""
    if name not in HISTORY_FILES:
        raise ValueError(f"{name} is not a history file")
    what = "command history" if name == COMMAND_HISTORY_FILE else "memento history"
    if not isinstance(content, dict):
        raise HistoryDamaged(f"{where} is damaged: it holds {_kind_of(content)}, not a {what} "
                             "(a JSON object)")
    layout = content.get("format", 1)
    if type(layout) is not int or layout not in READ_FORMATS:
        raise HistoryDamaged(f"{where} has layout {layout!r}, which this version of morvent "
                             f"does not read (it reads layouts {READ_FORMATS[0]} to "
                             f"{READ_FORMATS[-1]}); a later morvent wrote it?")
    head = Fields({"lineage": TEXT, "serial": (int,)}) if layout >= 2 else Fields({})
    if name == COMMAND_HISTORY_FILE:
        head.required.update({"version": TEXT, "vpc_id": TEXT, "commands": (list,)})
    else:
        head.required["mementos"] = (list,)
    try:
        _check(content, head, "the file")
    except _Wrong as e:
        raise HistoryDamaged(f"{where} is damaged: {e}") from None
    lineage = content.get("lineage") if layout >= 2 else None
    serial = content.get("serial", 0) if layout >= 2 else 0
    if layout >= 2 and (not lineage or serial < 1):
        raise HistoryDamaged(f"{where} is damaged: version {lineage!r}/{serial!r} is not one "
                             "morvent writes")
    entries = content["commands" if name == COMMAND_HISTORY_FILE else "mementos"]
    for i, entry in enumerate(entries):
        try:
            if name == COMMAND_HISTORY_FILE:
                _check_command(entry, i, len(entries))
            else:
                _check_memento(entry, i, len(entries))
        except _Wrong as e:
            raise HistoryDamaged(f"{where} is damaged: {_entry_label(name, i, entry)}: {e}") \
                from None
    return HistoryFile(name, content, layout, lineage, serial)


def _entry_label(name: str, i: int, entry: Any) -> str:
    if name == COMMAND_HISTORY_FILE:
        index = entry.get("index") if isinstance(entry, dict) else None
        return f"command {i + 1}" + (f" (index {index!r})" if index is not None else "")
    if isinstance(entry, dict) and isinstance(entry.get("qualname"), str):
        return f"undo record {i + 1} ({entry['qualname']})"
    return f"undo record {i + 1}"


def _check_command(entry: Any, i: int, count: int) -> None:
    if not isinstance(entry, dict):
        raise _Wrong(f"it is {_kind_of(entry)}, not an object")
    if entry.get("index") != DISCOVER_NATGW_CMD or entry.get("name") != "discover_natgw" \
            or type(entry.get("index")) is not int:
        raise _Wrong(f"a command of an unknown kind (index {entry.get('index')!r}, name "
                     f"{entry.get('name')!r}); morvent records only the NAT gateway discovery "
                     "(index 0, discover_natgw)")
    if i != 0 or count != 1:
        raise _Wrong("the NAT gateway discovery is recorded more than once")
    _check(entry, DISCOVERY_COMMAND, "the discovery")


def _check_memento(entry: Any, i: int, count: int) -> None:
    _check(entry, MEMENTO_ENTRY, "the record")
    kind = MEMENTO_KINDS.get(_class_path(entry))
    if kind is None:
        raise _Wrong(f"a record of an unknown kind, {_class_path(entry)}")
    if entry.get("undoing") and i != count - 1:
        raise _Wrong("marked as being undone, but it is not the newest record")
    _check(entry["state"], kind, "its state")
