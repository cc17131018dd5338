"""Each VPC shape of `shapes`, migrated and reverted through the command line.

`shape_drill(sim, name)` builds the shape in a started `SimulatedWorld` and
runs what its ``outcome`` says must hold:

- "refused": ``execute`` exits 1 naming every table or NAT gateway the shape
  says, and changes nothing;
- "accept": ``plan`` lists exactly the address changes the shape names;
  ``execute`` without accepting them exits 1 naming each table and changes
  nothing; with ``--accept-address-changes`` it goes ahead;
- "ok" and "accept": after ``execute`` every route that used a replaced NAT
  gateway goes through a spoke gateway with the address it had (or the one
  the shape names), every other route is as it was, and no route led into
  nothing at any moment the VPC was looked at (after each state-changing
  request); after ``revert`` every route is as it was before.

The cell text is "EXECUTE | REVERT": "ok", "ok, N accepted", "refused as
documented", "-" (not run) or the first problem found.  tools/shape_matrix.py
runs them all.
"""

from __future__ import annotations

import json
import shutil
import tempfile
from typing import Any

from .drills import Cell, Run, Stage, _tail, compact
from .invariants import check_shape_replaced, check_shape_reverted, route_picture
from .monitor import RunMonitor
from .shapes import SHAPES

ACCEPT = "--accept-address-changes"


class _Stop(Exception):
    """A phase failed; the message is the cell text of that phase."""

    def __init__(self, text: str, *details: str) -> None:
        super().__init__(text)
        self.text = text
        self.details = [d for d in details if d]


def _named(run: Run, ids: list[str]) -> list[str]:
    return [i for i in ids if i not in run.stderr]


def _refusal(stage: Stage, ids: list[str], extra: tuple[str, ...] = ()) -> None:
    """``execute`` must stop before any change and name each of ``ids``."""
    state = stage.state()
    run = stage.run_inline("execute", "a", *extra)
    if run.status != 1:
        raise _Stop(f"not refused: {run.describe()}", _tail(run))
    missing = _named(run, ids)
    if missing:
        raise _Stop(f"refused without naming {', '.join(missing)}", _tail(run))
    if stage.state() != state:
        raise _Stop("refused, but changed the VPC", _tail(run))


def _planned_changes(stage: Stage) -> set[tuple[str, str, str]]:
    # Without the acceptance plan is refused like execute (a gate); with it, it passes.
    run = stage.run_inline("plan", "a", "--output", "json", ACCEPT)
    if run.status != 0:
        raise _Stop(f"plan: {run.describe()}", _tail(run))
    plan = json.loads(run.stdout)
    return {(c["route_table_id"], c["before"], c["after"]) for c in plan["address_changes"]}


def _watched(stage: Stage, command: str, *extra: str) -> tuple[Run, list[str]]:
    with RunMonitor(stage.sim, stage.world.vpc_id, sample="changes") as monitor:
        run = stage.run_inline(command, "a", *extra)
    dead = [f"after {s.after}: {', '.join(s.tables)} routed into nothing"
            for s in monitor.blackhole_samples]
    return run, dead


def _replaced_addresses(stage: Stage) -> set[str]:
    zones = stage.world.zones
    if stage.options.get("hs_mode") == 1:
        zones = zones[:2]
    return {z.eip for z in zones}


def _run_shape(sim: Any, name: str, folder: str) -> tuple[str, str]:
    shape = SHAPES[name]
    stage = Stage(sim, folder, shape=name)
    world = stage.world
    if shape.outcome == "refused":
        _refusal(stage, world.refused)
        return "refused as documented", "-"
    extra: tuple[str, ...] = ()
    if shape.outcome == "accept":
        expected = set(world.address_changes)
        planned = _planned_changes(stage)
        if planned != expected:
            raise _Stop(f"plan lists address changes {sorted(planned)}, expected "
                        f"{sorted(expected)}")
        _refusal(stage, [rtb for rtb, _, _ in world.address_changes])
        extra = (ACCEPT,)
    before = route_picture(sim, world.vpc_id)
    run, dead = _watched(stage, "execute", *extra)
    if run.status != 0:
        raise _Stop(run.describe(), _tail(run))
    problems = dead + check_shape_replaced(sim, world, before, _replaced_addresses(stage))
    if problems:
        raise _Stop(problems[0], *problems[1:], _tail(run))
    done = "ok" if not extra else f"ok, {len(world.address_changes)} accepted"
    try:
        run, dead = _watched(stage, "revert")
        if run.status != 0:
            raise _Stop(run.describe(), _tail(run))
        problems = dead + check_shape_reverted(sim, world, before)
        if problems:
            raise _Stop(problems[0], *problems[1:], _tail(run))
    except _Stop as stop:
        raise _Stop(f"{done} | {stop.text}", *stop.details) from None
    return done, "ok"


def shape_drill(sim: Any, name: str) -> Cell:
    """Run the shape ``name``; the cell's text is "EXECUTE | REVERT"."""
    folder = tempfile.mkdtemp(prefix="morvent-shape-")
    import time

    started = time.monotonic()
    try:
        execute, revert = _run_shape(sim, name, folder)
        cell = Cell(f"{execute} | {revert}", True)
    except _Stop as stop:
        text = compact(stop.text)
        cell = Cell(text if " | " in text else f"{text} | -", False, [stop.text, *stop.details])
    except Exception as error:  # a fault of the drill itself: show it, go on
        cell = Cell.failed(f"drill error: {type(error).__name__}: {error} | -")
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    cell.seconds = time.monotonic() - started
    return cell
