"""``morvent status``: where the VPC's migration stands; nothing changes anywhere.

From the backup in S3: per NAT gateway, which of its steps are done and
whether its group is open (a run stopped inside it, or is inside it now);
who holds the VPC's lock, since when, its id and whether that run is alive;
and what EC2 and the controller show that no undo record explains (the
controller part needs a login, which only reads).
"""

from __future__ import annotations

import argparse
import json
from collections.abc import Callable
from typing import Any

from morvent.cli import aws, output
from morvent.cli.output import PROG
from morvent.core.config import Config
from morvent.core.Globals import Globals


def add_parsers(add: Callable[..., argparse.ArgumentParser]) -> None:
    sub = add("status", "show where the VPC's migration stands: steps done per NAT gateway, "
                        "the lock, and changes no undo record explains; changes nothing")
    sub.add_argument("--output", choices=("text", "json"), default="text",
                     help="text (default) or JSON for machines")
    sub.set_defaults(run=run)


def run(args: argparse.Namespace, config: Config) -> None:
    report = gather(config)
    if args.output == "json":
        output.say(json.dumps(report, indent=2))
    else:
        for line in lines(report):
            output.say(line)


def gather(config: Config) -> dict[str, Any]:
    """Everything status shows, as JSON data."""
    Globals.dry_run = True  # the backup is read into a scratch copy; nothing is stored
    cloud = aws.cloud(config)
    cloud.check_vpc()
    lock = cloud.lock_state()
    state, notes = aws.read_backup_readonly(cloud.s3, cloud.backup_des)
    plan = cloud.replacement_plan(state)
    steps = plan.steps
    done = sum(s.done for s in steps)
    unexplained = [str(f) for f in cloud.unrecorded_changes(state)] if state.discovered else []
    gateways, controller_note = aws.controller_gateways(config)
    if gateways is not None:
        from morvent.core.reconcile import unrecorded_gateways

        unexplained += [str(f) for f in unrecorded_gateways(gateways, config.spoke_gw_name,
                                                             config.vpc_id, state)]
    open_groups = [r for r in _records(plan) if r["group"] == "open"]
    return {
        "vpc_id": config.vpc_id,
        "region": config.region,
        "backup": cloud.backup_des.url,
        "local_copy": cloud.backup_des.local_folder,
        "lock": _lock(lock),
        "discovered": state.discovered,
        "stage": _stage(state, plan, done),
        "steps_done": done,
        "steps_total": len(steps),
        "undo_records": len(state.mementos),
        "natgws": _records(plan),
        "resize": next(({"done": s.done, "title": s.title} for s in steps
                        if s.kind == "resize"), None),
        "open_group": open_groups[0]["index"] if open_groups else None,
        "unexplained": unexplained,
        "controller_checked": gateways is not None,
        "notes": notes + ([controller_note] if controller_note else []) + plan.warnings
        + ([plan.fatal] if plan.fatal else []),
        "next": _next(config, plan, state),
    }


def _stage(state: Any, plan: Any, done: int) -> str:
    if not state.discovered and not state.mementos:
        return "not started"
    if plan.fatal:
        return "cannot run"
    if done == 0:
        return "discovered, no step done (never run, or reverted)"
    if done < len(plan.steps):
        return f"in progress: {done} of {len(plan.steps)} steps done"
    return "replaced: every step done"


def _records(plan: Any) -> list[dict[str, Any]]:
    """Per NAT gateway record: its steps and whether its group is done, open or to do."""
    found = []
    for index, record in enumerate(plan.records):
        steps = [s for s in plan.steps if s.record == index]
        done = sum(s.done for s in steps)
        if not steps:
            group = "not replaced (hs_mode 1)" if index > 1 else "not reached"
        else:
            group = "done" if done == len(steps) else "open" if done else "to do"
        found.append({
            "index": index, "nat_gw_id": record.get("nat_gw_id"),
            "subnet_id": record.get("subnet_id"), "eip": record.get("eip"),
            "zone": record.get("availability_zone"), "group": group,
            "steps": [{"position": s.position, "title": s.title, "done": s.done}
                      for s in steps],
        })
    return found


def _next(config: Config, plan: Any, state: Any) -> str:
    source = config.source
    to_do = plan.to_do
    parts = []
    if to_do and not plan.fatal:
        first = to_do[0]
        parts.append(f"`{PROG} execute --config {source}` goes on at step "
                     f"{first.position} of {len(plan.steps)}: {first.title}")
    if state.mementos:
        parts.append(f"`{PROG} revert --config {source}` restores the {len(state.mementos)} "
                     "undo records")
    return "; ".join(parts) or "nothing to do"


def _lock(lock: Any) -> dict[str, Any] | None:
    """The lock as status shows it: its id, holder and whether that run is alive."""
    if lock is None:
        return None
    found = {k: v for k, v in lock.to_dict().items() if k != "token"}
    found["break"] = (f"--break-lock {lock.id}" if lock.alive is False else None)
    return found


def lines(report: dict[str, Any]) -> list[str]:
    """The status report in words."""
    found = [f"{report['vpc_id']} ({report['region']}): {report['stage']}",
             f"  backup: {report['backup']} ({report['undo_records']} undo records)",
             "  lock:   " + _lock_line(report["lock"])]
    rows = []
    for record in report["natgws"]:
        done = sum(s["done"] for s in record["steps"])
        rows.append((record["index"], record["zone"] or "-", record["nat_gw_id"],
                     record["subnet_id"], record["eip"],
                     f"{done}/{len(record['steps'])}" if record["steps"] else "-",
                     record["group"]))
    if rows:
        found.append("")
        found += output.table(("#", "zone", "NAT gateway", "subnet", "Elastic IP", "steps",
                               "group"), rows)
        for record in report["natgws"]:
            if record["group"] == "open":
                missing = [s["title"] for s in record["steps"] if not s["done"]]
                found.append(f"  open group: NAT gateway {record['index']} "
                             f"({record['nat_gw_id']}), still to do: {'; '.join(missing)}")
        if report["resize"] is not None:
            found.append(f"  {report['resize']['title']}: "
                         f"{'done' if report['resize']['done'] else 'to do'}")
    found.append("")
    if report["unexplained"]:
        found.append("Not explained by any undo record:")
        found += [f"  {item}" for item in report["unexplained"]]
    elif not report["discovered"]:
        found.append("Nothing recorded yet.")
    else:
        found.append("Every change seen in EC2"
                     + (" and on the controller" if report["controller_checked"] else "")
                     + " is explained by an undo record.")
    for note in report["notes"]:
        found.append(f"note: {note}")
    found.append(f"next: {report['next']}")
    return found


def _lock_line(lock: dict[str, Any] | None) -> str:
    from morvent.lib.lock import describe_holder

    if lock is None:
        return "free"
    alive = {True: "that run is alive", False: "that run is gone",
             None: "whether that run is alive cannot be told"}[lock["alive"]]
    line = f"held by {describe_holder(lock)}, lock id {lock['id']}: {alive} ({lock['why']})"
    return line + (f"; {lock['break']} removes it" if lock["break"] else "")
