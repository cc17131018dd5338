"""The look of ``morvent status``: where the VPC's migration stands, as JSON data;
nothing changes anywhere."""

from __future__ import annotations

from typing import Any

from morvent.core.config import Config
from morvent.core.Globals import Globals
from morvent.core.text import PROG
from morvent.run import aws


def gather(config: Config) -> dict[str, Any]:
    """Everything status shows, as JSON data."""
    Globals.dry_run = True  # the backup is read into a scratch copy; nothing is stored
    cloud = aws.cloud(config)
    cloud.check_vpc()
    lock = cloud.lock_state()
    diverged: list[str] = []
    state, notes = aws.read_backup_readonly(cloud.s3, cloud.backup_des, diverged)
    plan = cloud.replacement_plan(state)
    steps = plan.steps
    done = sum(s.done for s in steps)
    unexplained = [str(f) for f in cloud.unrecorded_changes(state)] if state.discovered else []
    gateways, controller_note = aws.controller_gateways(config)
    if gateways is not None:
        from morvent.run.reconcile import unrecorded_gateways

        unexplained += [str(f) for f in unrecorded_gateways(gateways, config.spoke_gw_name,
                                                             config.vpc_id, state)]
    open_groups = [r for r in _records(plan) if r["group"] == "open"]
    stage = _stage(state, plan, done)
    attention = ([f"locked by {lock.describe()}"] if lock is not None else []) \
        + [f"the run stopped inside the group of NAT gateway {r['index']} ({r['nat_gw_id']})"
           for r in open_groups] \
        + ([f"a run stopped part-way: {stage}"] if stage.startswith("in progress") else []) \
        + ([f"cannot run: {plan.fatal}"] if stage == "cannot run" else []) \
        + [f"not explained by any undo record: {item}" for item in unexplained] \
        + diverged + ([controller_note] if controller_note else [])
    return {
        "vpc_id": config.vpc_id,
        "region": config.region,
        "backup": cloud.backup_des.url,
        "local_copy": cloud.backup_des.local_folder,
        "lock": _lock(lock),
        "discovered": state.discovered,
        "stage": stage,
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
        #: Why the VPC is not "all clear" (status --detailed-exitcode); empty: it is.
        "attention": attention,
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
