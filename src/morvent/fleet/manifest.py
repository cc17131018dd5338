"""The fleet manifest: the VPCs of an estate, with what they share, checked as one.

A manifest is a YAML file of two keys (``examples/fleet.yaml`` explains them)::

    defaults:                          # any configuration key
      controller_ip: 10.20.30.40
      aws_account_name: prod-network
      s3_bucket: prod-network-morvent-backups
      region: eu-central-1
      ...
    vpcs:
      - name: prod-a                   # optional: how reports and options name it
        vpc_id: vpc-0a1b2c3d4e5f67890
        spoke_gw_name: prod-a-egress
      - vpc_id: vpc-01234567890abcdef
        region: eu-west-1              # what differs from the defaults
        spoke_gw_name: prod-b-egress
      - include: legacy/morvent.yaml   # an existing per-VPC configuration
        aws_profile: legacy            # keys beside include: take the place of the file's

A VPC written out in the manifest is the defaults with its entry's keys on
top.  An included file is read the way ``--config FILE`` reads it, with the
keys written beside ``include:`` on top, and without the defaults: a file
that ran on its own keeps its meaning, above all where its backups are (a
default ``s3_prefix`` would move them out of its sight).

Everything is checked when the manifest is read, and every problem is
reported at once at its file and line, as for a configuration (a
:class:`ConfigError`), together with what only a fleet can get wrong: the
same VPC twice, the same name twice, and spoke gateway names that collide on
one controller.  A VPC's gateways are the controller's gateways whose names
start with its ``spoke_gw_name`` (its HA gateways are named after the
primary: ``NAME-hagw``, ``NAME-hagw-2``, ...), so two names on one
controller collide when one starts with the other: a revert of the shorter
one would delete the other VPC's gateways.  Whether each VPC is in its
region can only be asked of AWS (``morvent.fleet.aws_check``).

The result is one checked :class:`Config` per VPC, the object
``load_config`` returns, with a stable key (its ``name``, else its VPC id)
and where its entry is.  :func:`write_vpc_config` writes a VPC's effective
configuration to a file for a command run on that VPC alone; the controller
password stays in its environment variable.
"""

from __future__ import annotations

import os
import re
from collections.abc import Iterable, Iterator, Mapping
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import yaml

from morvent.core.config import SCHEMA, Config, check_config, config_from_values
from morvent.core.files import write_atomically
from morvent.core.schema import (Document, Key, Problem, Problems, Schema, Where, describe,
                                 excerpt, read_document, where_of)

__all__ = ["Fleet", "FleetVpc", "HA_SUFFIX", "NAME_PATTERN", "config_text", "ha_names",
           "load_manifest", "write_vpc_config", "write_vpc_configs"]

#: What the controller appends to a primary's name for its HA gateways
#: ("NAME-hagw", then "NAME-hagw-2", "NAME-hagw-3", ...).
HA_SUFFIX = "-hagw"
#: The longest gateway name the controller takes (the configuration's own limit).
MAX_GATEWAY_NAME = 50
#: HA gateways a VPC can have: one per zone after the first (regions have
#: at most six zones in use here); their names end in "-hagw-N", N < 10.
_LONGEST_HA_SUFFIX = len(HA_SUFFIX) + 2
#: A VPC's name in a manifest: also a file name (its written configuration).
NAME_PATTERN = re.compile(r"[A-Za-z0-9][A-Za-z0-9_.-]{0,63}")


def _check_name(value: str) -> str | None:
    if not NAME_PATTERN.fullmatch(value):
        return (f"{excerpt(value)} is not a usable name (1 to 64 letters, digits, '-', '_' or "
                "'.', starting with a letter or digit)")
    return None


def _check_include(value: str) -> str | None:
    if not value.strip():
        return "names no file"
    return None


def _check_vpcs(value: list) -> str | None:
    return None if value else "lists no VPC"


_MANIFEST = Schema({
    "defaults": Key(dict),
    "vpcs": Key(list, required=True, check=_check_vpcs),
})
#: The keys of an entry of ``vpcs`` besides configuration keys.
_ENTRY = Schema({
    "name": Key(str, check=_check_name, max_length=64),
    "include": Key(str, check=_check_include, path=True),
})


def ha_names(spoke_gw_name: str, count: int) -> list[str]:
    """The names the controller gives the first ``count`` HA gateways of
    the primary ``spoke_gw_name``."""
    return [spoke_gw_name + HA_SUFFIX + ("" if n == 1 else f"-{n}") for n in range(1, count + 1)]


@dataclass(frozen=True)
class FleetVpc:
    """One VPC of a fleet: its checked configuration and where it came from."""

    #: How reports and options name it: its ``name``, else its VPC id.
    key: str
    config: Config
    #: Where its entry is in the manifest (file:line).
    where: Where
    #: The configuration file the entry includes, if it includes one.
    include: str | None = None
    #: Where each configuration key was written (the manifest or the included file).
    places: Mapping[str, Where] = field(default_factory=dict, repr=False, compare=False)

    def at(self, key: str) -> Where:
        """Where the configuration key ``key`` was written (the entry when nowhere)."""
        return self.places.get(key, self.where)

    @property
    def vpc_id(self) -> str:
        return self.config.vpc_id

    @property
    def region(self) -> str:
        return self.config.region


@dataclass(frozen=True)
class Fleet:
    """The VPCs of a manifest, in the manifest's order."""

    source: str
    vpcs: tuple[FleetVpc, ...]

    def __iter__(self) -> Iterator[FleetVpc]:
        return iter(self.vpcs)

    def __len__(self) -> int:
        return len(self.vpcs)

    def __getitem__(self, key: str) -> FleetVpc:
        for vpc in self.vpcs:
            if vpc.key == key:
                return vpc
        raise KeyError(key)

    def keys(self) -> list[str]:
        return [vpc.key for vpc in self.vpcs]

    @property
    def regions(self) -> list[str]:
        """The regions of the VPCs, in the order first met."""
        return list(dict.fromkeys(vpc.region for vpc in self.vpcs))


# -- reading ------------------------------------------------------------------------------

def load_manifest(path: str | os.PathLike) -> Fleet:
    """Read and check the manifest ``path``; every problem is in the ConfigError raised."""
    source = os.fspath(path)
    problems = Problems()
    fleet = _read(source, problems)
    problems.raise_if_any()
    return fleet


def _read(source: str, problems: Problems) -> Fleet:
    found = _Found(problems)
    data = read_document(source, found.problems)
    if data is None:
        return Fleet(source, ())
    folder = Path(source).resolve().parent
    values = _MANIFEST.check(data, found, source=source, base_dir=folder,
                             what="'defaults:' and 'vpcs:' at the top level")
    defaults = data.get("defaults") if isinstance(data, Mapping) else None
    if isinstance(defaults, Document):
        # Its own problems once, whatever the VPCs make of it (each VPC's
        # check finds them again; those are dropped).
        SCHEMA.check(defaults, found, require=False, base_dir=folder)
    else:
        defaults = None
    entries = values.get("vpcs") or []
    read = []
    for index, entry in enumerate(entries):
        where = entries.at(index) if hasattr(entries, "at") else Where(source)
        read.append(_read_entry(entry, where, defaults, folder, found))
    _check_fleet([e for e in read if e is not None], found)
    return Fleet(source, tuple(e.vpc for e in read if e is not None and e.vpc is not None))


class _Found:
    """Problems of a manifest, each once: a problem of the defaults is found
    again by every VPC that uses them."""

    def __init__(self, problems: Problems) -> None:
        self.problems = problems
        self._seen: set[tuple[str, str | None, str]] = set()

    def add(self, where: Where, key: Any, text: str) -> None:
        mark = (str(where), None if key is None else str(key), text)
        if mark not in self._seen:
            self._seen.add(mark)
            self.problems.add(where, key, text)

    def extend(self, found: Iterable[Problem]) -> None:
        for problem in found:
            self.add(problem.where, problem.key, problem.text)


@dataclass
class _Entry:
    """An entry of ``vpcs`` as read: the values that checked, and the VPC
    when all of them did."""

    key: str | None
    values: dict[str, Any]
    where: Where
    places: dict[str, Where]
    vpc: FleetVpc | None

    def at(self, key: str) -> Where:
        return self.places.get(key, self.where)

    def __str__(self) -> str:
        """How messages name it: "prod-a (fleet.yaml:12)", or "the VPC at
        fleet.yaml:12" when its key is its VPC id."""
        if self.key is None or self.key == self.values.get("vpc_id"):
            return f"the VPC at {self.where}"
        return f"{self.key} ({self.where})"


def _subset(doc: Document, keys: Iterable[str], keep: bool) -> Document:
    """The keys of ``doc`` in ``keys`` (keep) or not in them, with their places."""
    wanted = set(keys)
    part = Document(((k, v) for k, v in doc.items() if (k in wanted) == keep), doc.where)
    part.key_where.update({k: w for k, w in doc.key_where.items() if k in part})
    part.duplicates.extend(d for d in doc.duplicates if (d[0] in wanted) == keep)
    return part


def _read_entry(entry: Any, where: Where, defaults: Document | None, folder: Path,
                found: _Found) -> _Entry | None:
    """One entry of ``vpcs``, its problems found; None when it is no VPC at all."""
    if not isinstance(entry, Document):
        found.add(where, None, "expected a VPC: 'key: value' lines (or include: FILE), got "
                               + describe(entry))
        return None
    own = _ENTRY.check(_subset(entry, _ENTRY.keys, True), found, base_dir=folder)
    settings = _subset(entry, _ENTRY.keys, False)
    if "include" in entry:
        if "include" not in own:
            return None
        layered = _included(own["include"], entry, settings, found)
        if layered is None:
            return None
        source, base_dir = own["include"], Path(own["include"]).parent
    else:
        base = Document(where=where)
        layered = base.layered(*(d for d in (defaults, settings) if d is not None))
        source, base_dir = where.source, folder
    problems = Problems()
    values = check_config(layered, problems, source, base_dir=base_dir)
    found.extend(problems)
    places = {key: where_of(layered, key, where) for key in layered}
    places.update({key: entry.at(key) for key in _ENTRY.keys if key in entry})
    key = own.get("name") or values.get("vpc_id")
    if "name" in entry and "name" not in own:
        key = None  # a name that did not check: no key to compare
    vpc = None
    if not problems and key is not None:
        vpc = FleetVpc(key, config_from_values(values, source), where,
                       own.get("include"), places)
    return _Entry(key, values, where, places, vpc)


def _included(path: str, entry: Document, settings: Document,
              found: _Found) -> Document | None:
    """The configuration file ``path`` with the entry's keys on top, or None
    (its problems found)."""
    problems = Problems()
    included = read_document(path, problems)
    for problem in problems:
        if problem.where.line is None:
            # "no such file" and the like belong to the include line.
            found.add(entry.at("include"), "include", f"{excerpt(path, 200)}: {problem.text}")
        else:
            found.add(problem.where, problem.key, problem.text)
    if problems:
        return None
    if not isinstance(included, Document):
        found.add(entry.at("include"), "include",
                  f"{excerpt(path, 200)} holds {describe(included)}, not a configuration")
        return None
    return Document(where=included.where).layered(included, settings)


# -- what only a fleet can get wrong ---------------------------------------------------------

def _controller(address: str) -> str:
    """The controller an address names, for comparing addresses: without
    the default port and case."""
    address = address.lower()
    return address[:-4] if address.endswith(":443") else address


def _check_fleet(entries: list[_Entry], found: _Found) -> None:
    by_vpc: dict[str, _Entry] = {}
    by_key: dict[str, _Entry] = {}
    for entry in entries:
        vpc_id, region = entry.values.get("vpc_id"), entry.values.get("region")
        if vpc_id is not None:
            first = by_vpc.setdefault(vpc_id, entry)
            if first is not entry:
                there = first.values.get("region")
                regions = f" (there in {there}, here in {region})" \
                    if region and there and there != region else ""
                found.add(entry.at("vpc_id"), "vpc_id",
                          f"{vpc_id} is also {first}{regions}; list each VPC once")
        if entry.key is not None and entry.key != vpc_id:
            first = by_key.setdefault(entry.key, entry)
            if first is not entry:
                found.add(entry.at("name"), "name",
                          f"{excerpt(entry.key)} is also the name of the VPC at {first.where}")
    for entry in entries:
        other = by_vpc.get(entry.key) if entry.key is not None else None
        if other is not None and entry.key != entry.values.get("vpc_id"):
            found.add(entry.at("name"), "name",
                      f"{excerpt(entry.key)} is the VPC id of the VPC at {other.where}; a name "
                      "must not stand for another VPC")
    for entry in entries:
        name = entry.values.get("spoke_gw_name")
        if name is None:
            continue
        longest = len(name) + _LONGEST_HA_SUFFIX
        if longest > MAX_GATEWAY_NAME:
            found.add(entry.at("spoke_gw_name"), "spoke_gw_name",
                      f"{excerpt(name)} has {len(name)} characters: its HA gateways, named "
                      f"after it ({name[:8]}...{ha_names(name, 2)[-1][-7:]}), would have up to "
                      f"{longest}, and a gateway name has at most {MAX_GATEWAY_NAME}; use at "
                      f"most {MAX_GATEWAY_NAME - _LONGEST_HA_SUFFIX} characters")
    _check_spoke_names(entries, found)


def _check_spoke_names(entries: list[_Entry], found: _Found) -> None:
    """Spoke gateway names on one controller: none may start with another."""
    controllers: dict[str, list[tuple[str, int, _Entry]]] = {}
    for order, entry in enumerate(entries):
        name, address = entry.values.get("spoke_gw_name"), entry.values.get("controller_ip")
        if name is not None and address is not None:
            controllers.setdefault(_controller(address), []).append((name, order, entry))
    for names in controllers.values():
        names.sort(key=lambda item: (item[0], item[1]))
        for i, (short, short_order, owner) in enumerate(names):
            # Sorted, every name that starts with `short` follows it directly.
            for name, order, entry in names[i + 1:]:
                if not name.startswith(short):
                    break
                if owner.values.get("vpc_id") == entry.values.get("vpc_id"):
                    continue  # the same VPC twice: said already
                first, second = (owner, entry) if short_order < order else (entry, owner)
                found.add(second.at("spoke_gw_name"), "spoke_gw_name",
                          _collision(short, owner, name, entry, first))


def _collision(short: str, owner: _Entry, name: str, vpc: _Entry, first: _Entry) -> str:
    """What is wrong with two spoke gateway names on one controller, said at
    the one of the two VPCs that comes later in the manifest: ``name`` (of
    ``vpc``) starts with ``short`` (of ``owner``); ``first`` is the earlier."""
    if name == short:
        return (f"{excerpt(name)} is also the spoke gateway name of {first} on the same "
                "controller; gateway names are the controller's, whatever the account or VPC")
    relation = ("is the name the controller gives an HA gateway of"
                if name in ha_names(short, 9) else "starts with")
    if first is owner:
        said = f"{excerpt(name)} {relation} {excerpt(short)}, the spoke_gw_name of {owner},"
    else:
        said = f"{excerpt(name)}, the spoke_gw_name of {vpc}, {relation} {excerpt(short)}"
    return (f"{said} on the same controller: a VPC's spoke gateways are those whose names "
            f"start with its spoke_gw_name, so a revert of the one would delete gateways of "
            "the other; choose names neither of which starts with the other")


# -- writing one VPC's configuration ----------------------------------------------------------

def config_text(config: Config, header: str | None = None) -> str:
    """The YAML text of ``config``: every key that has a value, in the
    configuration's own order, ``header`` as comment lines first.  Reading
    it back gives the same configuration; it holds no password (only the
    name of the variable that holds it)."""
    values = {}
    for key in SCHEMA.keys:
        value = getattr(config, key)
        if value is not None:
            values[key] = value
    lines = [f"# {line}".rstrip() for line in (header or "").splitlines()]
    body = yaml.safe_dump(values, sort_keys=False, allow_unicode=True, width=1000)
    return "\n".join(lines + [body]) if lines else body


def write_vpc_config(vpc: FleetVpc, path: str | os.PathLike, *,
                     written_by: str = "morvent fleet") -> str:
    """Write the effective configuration of ``vpc`` to ``path`` (atomically); the path.

    The file is what ``morvent <command> --config FILE`` reads to work on
    this VPC alone.  The password is not in it: the command finds it in the
    environment variable the configuration names.
    """
    target = os.fspath(path)
    header = (f"Written by {written_by}: the configuration of {vpc.key} in {vpc.where}.\n"
              f"The controller password is read from ${vpc.config.controller_password_env}.")
    write_atomically(target, config_text(vpc.config, header).encode("utf-8"))
    return target


def write_vpc_configs(fleet: Fleet, folder: str | os.PathLike, *,
                      written_by: str = "morvent fleet") -> dict[str, str]:
    """Write every VPC's configuration to ``folder``/KEY.yaml; {key: path}."""
    os.makedirs(folder, exist_ok=True)
    return {vpc.key: write_vpc_config(vpc, os.path.join(folder, f"{vpc.key}.yaml"),
                                      written_by=written_by)
            for vpc in fleet}
