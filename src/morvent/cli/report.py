"""The JSON document of a run of ``execute`` or ``revert`` (``--output json``).

One document, written to standard output when the command ends, however it
ends, once its arguments were parsed: done, nothing to do, refused, stale
saved plan, failed and rolled back, cancelled, locked, stopped by a signal,
and configuration errors too (then with what is known: the command, the
status, the errors).  Made from what the run service recorded as it went
(``morvent.run.common.Facts``); nothing is looked up here.
"""

from __future__ import annotations

import argparse
import os
from typing import Any

from morvent.cli import output
from morvent.cli.output import (EXIT_INTERRUPTED, EXIT_LOCKED, EXIT_OK,
                                EXIT_TERMINATED, EXIT_USAGE, Cancelled, Refused)
from morvent.run.saved import SCHEMA_VERSION, StalePlan

#: result -> what it means; the README's table is made from the same words.
RESULTS = {
    "done": "the run carried out its steps",
    "nothing-to-do": "every step was done already (or no undo record to revert)",
    "refused": "stopped before any change (a check failed); see errors",
    "stale-plan": "the saved plan no longer fits the VPC or its backup; nothing was changed",
    "cancelled": "the question was answered no; nothing was changed",
    "failed": "a step failed (its group rolled back) or the run could not go on; see verdict",
    "locked": "another run holds the VPC's lock; nothing was changed",
    "usage-error": "configuration or command line problem; nothing was changed",
    "interrupted": "stopped by Ctrl-C (SIGINT); records kept",
    "terminated": "stopped by SIGTERM; records kept",
}


def result_of(status: int, failure: BaseException | None, facts: Any) -> str:
    if status == EXIT_OK:
        plan = getattr(facts, "plan", None)
        if plan is None or not plan.to_do:
            return "nothing-to-do"
        return "done"
    if isinstance(failure, StalePlan):
        return "stale-plan"
    if isinstance(failure, Cancelled):
        return "cancelled"
    if isinstance(failure, Refused):
        return "refused"
    return {EXIT_LOCKED: "locked", EXIT_USAGE: "usage-error", EXIT_INTERRUPTED: "interrupted",
            EXIT_TERMINATED: "terminated"}.get(status, "failed")


def document(args: argparse.Namespace, status: int) -> dict[str, Any]:
    """The run's JSON document, from ``args`` as the command left it."""
    config = getattr(args, "config_loaded", None)
    frontend = getattr(args, "frontend", None)
    facts = frontend.facts if frontend is not None else None
    failure = getattr(args, "failure", None)
    errors = list(output.errors_said or [])
    if isinstance(failure, Refused):
        errors += [output.mask(line.strip()) for line in str(failure).splitlines()[1:]]
    plan = getattr(facts, "plan", None)
    backup = getattr(facts, "backup", None)
    saved = getattr(frontend, "saved", None)
    log_file = getattr(facts, "log_file", None)
    doc: dict[str, Any] = {
        "schema_version": SCHEMA_VERSION,
        "command": args.command,
        "result": result_of(status, failure, facts),
        "exit_status": status,
        "verdict": getattr(facts, "verdict", None) or (errors[0] if errors else None),
        "errors": errors,
        "vpc_id": getattr(config, "vpc_id", None),
        "region": getattr(config, "region", None),
        "configuration": getattr(config, "source", None),
        "dry_run": bool(getattr(args, "dry_run", False)),
        "saved_plan": saved.get("path") if saved else None,
        "zones": _zones(getattr(facts, "egress_before", None),
                        getattr(facts, "egress_after", None)),
        "nat_gateways": _natgws(getattr(facts, "egress_before", None),
                                getattr(facts, "egress_after", None)),
        "spoke_gateways": _spokes(plan, getattr(facts, "records_after", None)),
        "steps": _steps(args.command, plan, backup, facts),
        "undo_records": _records(backup, facts),
        "address_changes": [c.to_dict() for c in getattr(plan, "address_changes", None) or []]
        if args.command == "execute" else [],
        "log": {"file": log_file,
                "s3": _s3_of(backup, log_file) if log_file else None},
        "backup": {"s3": backup.des.url, "local": backup.des.local_folder}
        if backup is not None else None,
    }
    return doc


def _zones(before: Any, after: Any) -> list[dict[str, Any]]:
    """Per zone: each private route table's default route target and egress address,
    before and after the run."""
    if before is None and after is None:
        return []
    was = {e.route_table_id: e for e in before.exits} if before is not None else {}
    now = {e.route_table_id: e for e in after.exits} if after is not None else {}
    zones: dict[str, list[dict[str, Any]]] = {}
    for table in sorted(set(was) | set(now)):
        exit_ = now.get(table) or was.get(table)
        if all(e.target == "none" for e in (was.get(table), now.get(table)) if e is not None):
            continue  # no default route before or after: no part in the egress
        zones.setdefault(exit_.zone, []).append({
            "route_table_id": table,
            "before": _exit(was.get(table)) if before is not None else None,
            "after": _exit(now.get(table)) if after is not None else None,
        })
    return [{"zone": zone, "route_tables": tables,
             "nat_gateways_before": before.natgws.get(zone, []) if before is not None else None,
             "nat_gateways_after": after.natgws.get(zone, []) if after is not None else None}
            for zone, tables in sorted(zones.items())]


def _exit(found: Any) -> dict[str, Any] | None:
    if found is None:
        return None
    return {"target": found.target, "egress_address": found.public_ip}


def _natgws(before: Any, after: Any) -> dict[str, Any]:
    def ids(egress: Any) -> list[str] | None:
        return None if egress is None else sorted(n for ns in egress.natgws.values() for n in ns)

    return {"before": ids(before), "after": ids(after)}


def _spokes(plan: Any, records: list | None) -> list[dict[str, Any]]:
    """The spoke gateways the run's plan creates: name, role, size, subnet, address; the
    names the controller gave them where an undo record holds one."""
    if plan is None or plan.command != "execute":
        return []
    found = []
    final_size = next((s.resources.get("to_size") for s in plan.steps if s.kind == "resize"),
                      None)
    for step in plan.steps:
        if step.kind not in ("create-primary", "create-ha"):
            continue
        info = {}
        if records is not None and step.position <= len(records):
            info = ((records[step.position - 1] or {}).get("state") or {}).get("spoke_info") or {}
        primary = step.kind == "create-primary"
        found.append({
            "name": info.get("gw_name") or step.resources.get("spoke_gateway"),
            "role": "primary" if primary else "ha",
            "size": step.resources.get("size"),
            "final_size": (final_size or step.resources.get("size")) if primary
            else step.resources.get("size"),
            "subnet": step.resources.get("subnet"),
            "elastic_ip": step.resources.get("elastic_ip"),
            "created": records is not None and step.position <= len(records),
        })
    return found


def _steps(command: str, plan: Any, backup: Any, facts: Any) -> dict[str, Any]:
    if plan is None:
        return {"total": None, "done_before": None, "done_after": None, "carried_out": []}
    before = len(backup.state.mementos) if backup is not None else None
    after_records = getattr(facts, "records_after", None)
    after = len(after_records) if after_records is not None else None
    total = len(plan.steps)
    if command == "revert":
        # A revert's steps are the undo records, newest first.
        done = (before - after) if before is not None and after is not None else None
        carried = plan.steps[:done] if done else []
        return {"total": total, "done_before": 0, "done_after": done,
                "carried_out": [_step(s) for s in carried]}
    progress = getattr(facts, "progress", None)
    total = getattr(progress, "total", None) or total
    carried = [s for s in plan.steps
               if before is not None and after is not None and before < s.position <= after]
    return {"total": total, "done_before": before, "done_after": after,
            "carried_out": [_step(s) for s in carried],
            "started": list(progress.started) if progress is not None else []}


def _step(step: Any) -> dict[str, Any]:
    return {"position": step.position, "kind": step.kind, "title": step.title}


def _records(backup: Any, facts: Any) -> dict[str, Any]:
    records = getattr(facts, "records_after", None)
    if backup is None:
        return {"kept": None, "s3": None, "local": None}
    return {"kept": len(records) if records is not None else None,
            "s3": backup.des.url, "local": backup.des.local_folder}


def _s3_of(backup: Any, path: str) -> str | None:
    if backup is None:
        return None
    rel = os.path.relpath(path, backup.des.local_folder).replace(os.sep, "/")
    return None if rel.startswith("../") else backup.des.url + rel
