"""Saved plans: ``morvent plan --out FILE`` and ``execute|revert --plan FILE``.

A saved plan is a JSON document that says what it is (``schema_version``,
``kind``), which command and VPC it is for, the identity of the
configuration it was made with, the plan itself, the address changes the
operator accepted, what the run would do with the controller account, and
what the plan was computed from (``basis``): the content and version of
each history the run would start from, and the VPC's NAT gateways and route
tables as EC2 showed them.

A run given a saved plan goes ahead only when, after taking the lock and
reading the backup, it computes the same plan from the same basis; anything
that moved is named, one line each ("the saved plan is stale: ...").
"""

from __future__ import annotations

import datetime
import hashlib
import json
import os
from typing import Any

from morvent import __version__
from morvent.core.config import Config
from morvent.core.exceptions import Refused, UsageError

SCHEMA_VERSION = 1
KIND = "morvent saved plan"

#: The configuration keys that decide what a run does to which VPC; a saved plan
#: is refused under a configuration where one of them differs.  Left out: how
#: to reach things (aws_profile, aws_endpoint_url, timeouts, certificate
#: checks, the password variable), the local folder, and the acceptance of
#: address changes (the plan records its own).
IDENTITY_KEYS = ("controller_ip", "controller_user", "aws_account_name", "aws_account_number",
                 "aws_role_app", "aws_role_ec2", "region", "vpc_id", "s3_bucket", "s3_prefix",
                 "spoke_gw_name", "spoke_gw_size", "hs_mode", "enable_test",
                 "input_test_config", "output_test_config")

#: At most this many lines say what moved; the rest are counted.
MOST_SHOWN = 12


class StalePlan(Refused):
    """The VPC or its backup moved since the saved plan was made; nothing was changed."""


def identity(config: Config) -> dict[str, Any]:
    """The configuration as far as a saved plan depends on it, and its digest."""
    keys = {key: getattr(config, key, None) for key in IDENTITY_KEYS}
    text = json.dumps(keys, sort_keys=True, separators=(",", ":"))
    return {"file": config.source, "sha256": hashlib.sha256(text.encode()).hexdigest(),
            "keys": keys}


def histories(folder: str) -> dict[str, Any]:
    """Per history file of the backup folder a run starts from: its SHA-256, lineage and
    serial (None: no such file)."""
    from morvent.commands.records import HISTORY_FILES

    found: dict[str, Any] = {}
    for name in HISTORY_FILES:
        try:
            with open(os.path.join(folder, name), "rb") as f:
                data = f.read()
        except FileNotFoundError:
            found[name] = None
            continue
        try:
            head = json.loads(data)
        except ValueError:
            head = None
        head = head if isinstance(head, dict) else {}
        found[name] = {"sha256": hashlib.sha256(data).hexdigest(),
                       "lineage": head.get("lineage"), "serial": head.get("serial", 0)}
    return found


def document(command: str, config: Config, plan: Any, account: dict | None,
             basis: dict[str, Any], accepted: bool) -> dict[str, Any]:
    """The saved plan of ``command`` ("execute" or "revert")."""
    return {
        "schema_version": SCHEMA_VERSION,
        "kind": KIND,
        "command": command,
        "vpc_id": config.vpc_id,
        "region": config.region,
        "created": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
        "morvent_version": __version__,
        "configuration": identity(config),
        "accepted_address_changes": [c.to_dict() for c in plan.address_changes]
        if accepted else [],
        "account": account,
        "basis": basis,
        "plan": plan.to_dict(),
    }


def load(path: str) -> dict[str, Any]:
    """The saved plan in ``path``; UsageError when it is not one this morvent reads."""
    try:
        with open(path, "rb") as f:
            data = f.read(64 << 20)
    except OSError as e:
        raise UsageError(f"the saved plan {path} cannot be read: {e.strerror or e}") from None
    try:
        doc = json.loads(data)
    except ValueError:
        doc = None
    if not isinstance(doc, dict) or doc.get("kind") != KIND:
        raise UsageError(f"{path} is not a saved plan of morvent (made by `morvent plan "
                         "--out FILE`)")
    if doc.get("schema_version") != SCHEMA_VERSION:
        raise UsageError(f"the saved plan {path} has schema_version "
                         f"{doc.get('schema_version')!r}; this morvent reads {SCHEMA_VERSION}: "
                         "make the plan again with this morvent")
    for key, kind in (("command", str), ("vpc_id", str), ("configuration", dict),
                      ("basis", dict), ("plan", dict), ("accepted_address_changes", list)):
        if not isinstance(doc.get(key), kind):
            raise UsageError(f"the saved plan {path} is damaged: {key} is missing or not a "
                             f"{kind.__name__}")
    doc["path"] = path
    return doc


def check_for(doc: dict[str, Any], config: Config, command: str) -> None:
    """UsageError when the saved plan was made for another command, VPC or configuration."""
    path = doc["path"]
    if doc["command"] != command:
        raise UsageError(f"the saved plan {path} is a plan of `morvent {doc['command']}`, not "
                         f"of {command} (make it with `morvent plan"
                         f"{' --revert' if command == 'revert' else ''} --out FILE`)")
    if (doc["vpc_id"], doc.get("region")) != (config.vpc_id, config.region):
        raise UsageError(f"the saved plan {path} was made for {doc['vpc_id']} in "
                         f"{doc.get('region')}, but {config.source} names {config.vpc_id} in "
                         f"{config.region}")
    was = doc["configuration"].get("keys") or {}
    now = identity(config)["keys"]
    differ = [f"{key}: {was.get(key)!r} then, {now[key]!r} now" for key in IDENTITY_KEYS
              if was.get(key) != now[key]]
    if differ:
        raise UsageError(f"the saved plan {path} was made with another configuration than "
                         f"{config.source}: " + "; ".join(differ))


def accepted(doc: dict[str, Any]) -> bool:
    """Whether the saved plan carries the operator's acceptance of its address changes."""
    return bool(doc["accepted_address_changes"])


def refuse_if_stale(doc: dict[str, Any], plan: Any, account: dict | None,
                    basis: dict[str, Any]) -> None:
    """Refused, naming what moved, unless the run would carry out the saved plan."""
    moved = what_moved(doc, plan, account, basis)
    if not moved:
        return
    shown = moved[:MOST_SHOWN]
    if len(moved) > len(shown):
        shown.append(f"and {len(moved) - len(shown)} more")
    raise StalePlan("\n".join(
        [f"the saved plan is stale: the VPC or its backup moved since {doc['path']} was made "
         f"({doc.get('created', '?')}); nothing was changed"]
        + [f"  {line}" for line in shown]
        + ["make the plan again (`morvent plan"
           + (" --revert" if doc["command"] == "revert" else "") + " --out FILE`), check it, "
           "and run that one"]))


def what_moved(doc: dict[str, Any], plan: Any, account: dict | None,
               basis: dict[str, Any]) -> list[str]:
    """What differs between the saved plan and the plan, account and basis of now."""
    then = doc["basis"]
    moved = _histories_moved(then.get("histories") or {}, basis.get("histories") or {})
    world_then, world_now = then.get("world") or {}, basis.get("world") or {}
    moved += _natgws_moved(world_then.get("nat_gateways") or {},
                           world_now.get("nat_gateways") or {})
    moved += _tables_moved(world_then.get("route_tables") or {},
                           world_now.get("route_tables") or {})
    saved_account = doc.get("account")
    if saved_account is not None and account is not None \
            and saved_account.get("action") != account.get("action"):
        moved.append(f"controller account {account.get('name')}: the plan would "
                     f"{saved_account.get('action')} it, a run now would "
                     f"{account.get('action')} it")
    if not moved:  # the same basis gives the same plan; this catches the rest (sizes, ...)
        moved += _plans_differ(doc["plan"], json.loads(json.dumps(plan.to_dict())))
    return moved


def _histories_moved(then: dict[str, Any], now: dict[str, Any]) -> list[str]:
    def version(entry: dict) -> str:
        lineage = entry.get("lineage")
        return (f"serial {entry.get('serial')} of lineage {lineage[:8]}"
                if isinstance(lineage, str) else "version 0")

    moved = []
    for name in sorted(set(then) | set(now)):
        was, is_ = then.get(name), now.get(name)
        if was == is_:
            continue
        if was is None:
            moved.append(f"the backup moved: {name} was made since ({version(is_)})")
        elif is_ is None:
            moved.append(f"the backup moved: {name} is gone (the plan saw {version(was)})")
        else:
            moved.append(f"the backup moved: {name} is at {version(is_)}, the plan saw "
                         f"{version(was)}" + (" (same version, other content)"
                                              if version(is_) == version(was) else ""))
    return moved


def _natgws_moved(then: dict[str, Any], now: dict[str, Any]) -> list[str]:
    moved = []
    for nat in sorted(set(then) | set(now)):
        was, is_ = then.get(nat), now.get(nat)
        if was == is_:
            continue
        if was is None:
            moved.append(f"NAT gateway {nat} appeared in {is_.get('subnet')} ({is_.get('state')})")
        elif is_ is None:
            moved.append(f"NAT gateway {nat} in {was.get('subnet')} is gone (was "
                         f"{was.get('state')})")
        else:
            changes = [f"{key} {is_.get(key)} (was {was.get(key)})" for key in sorted(was)
                       if was.get(key) != is_.get(key)]
            moved.append(f"NAT gateway {nat}: " + ", ".join(changes))
    return moved


def _tables_moved(then: dict[str, Any], now: dict[str, Any]) -> list[str]:
    moved = []
    for table in sorted(set(then) | set(now)):
        was, is_ = then.get(table), now.get(table)
        if was == is_:
            continue
        if was is None:
            moved.append(f"route table {table} appeared")
            continue
        if is_ is None:
            moved.append(f"route table {table} is gone")
            continue
        if was.get("subnets") != is_.get("subnets") or was.get("main") != is_.get("main"):
            moved.append(f"route table {table}: subnets {_listed(is_.get('subnets'))} (were "
                         f"{_listed(was.get('subnets'))})"
                         + ("; now the main table" if is_.get("main") and not was.get("main")
                            else "; no longer the main table"
                            if was.get("main") and not is_.get("main") else ""))
        routes_then, routes_now = was.get("routes") or {}, is_.get("routes") or {}
        for dest in sorted(set(routes_then) | set(routes_now)):
            a, b = routes_then.get(dest), routes_now.get(dest)
            if a != b:
                moved.append(f"route table {table}: {dest} "
                             + (f"goes to {b}" if b else "was deleted")
                             + (f" (went to {a})" if a else " (new)" if b else ""))
    return moved


def _listed(items: Any) -> str:
    return ", ".join(items or []) or "-"


def _plans_differ(then: dict[str, Any], now: dict[str, Any]) -> list[str]:
    moved = []
    steps_then, steps_now = then.get("steps") or [], now.get("steps") or []
    if len(steps_then) != len(steps_now):
        moved.append(f"the plan now has {len(steps_now)} steps (the saved one "
                     f"{len(steps_then)})")
    for a, b in zip(steps_then, steps_now):
        if a == b:
            continue
        is_, was = (f"{'done: ' if x.get('done') else ''}{x.get('title')}" for x in (b, a))
        moved.append(f"step {b.get('position')} is now: {is_} (saved: {was})" if is_ != was
                     else f"step {b.get('position')} ({is_}) touches other routes or "
                          "resources than the saved one")
    for key, what in (("address_changes", "address changes"), ("refusals", "refusals"),
                      ("fatal", "reason it cannot run")):
        if then.get(key) != now.get(key) and not moved:
            moved.append(f"the plan's {what} differ from the saved ones")
    return moved
