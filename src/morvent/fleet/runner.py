"""A fleet command: every VPC of a manifest (or a shard of them) through its own processes.

``run(fleet, options)`` writes each chosen VPC's effective configuration to
the run's folder, starts its commands (``morvent.fleet.child``) as the
scheduler allows (``morvent.fleet.scheduler``), passes SIGINT and SIGTERM on
to every running child, and returns the report (``morvent.fleet.report``).
"""

from __future__ import annotations

import getpass
import os
import signal
import threading
import time
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field
from datetime import datetime, timezone
from typing import Any

from morvent.core.exceptions import UsageError
from morvent.core.interrupt import signal_name
from morvent.fleet import report
from morvent.fleet.child import Unstarted, VpcRun
from morvent.fleet.choice import Amount, Shard, interleave, region_groups
from morvent.fleet.manifest import Fleet, FleetVpc, write_vpc_config
from morvent.fleet.scheduler import Outcome, Rules, Scheduler
from morvent.lib import controller_slots

COMMANDS = ("plan", "execute", "revert", "status")
#: Where a run's folders go when --run-dir is not given (in the current folder).
RUNS_FOLDER = "morvent-fleet"  # the same as the command line's


@dataclass
class Options:
    command: str
    max_concurrent: Amount = Amount(1)
    failure_tolerance: Amount = Amount(0)
    soft: bool = False
    canary: int = 0
    region_order: list[str] = field(default_factory=list)
    sequential: bool = False
    controller_slots: int | None = None
    shard: Shard | None = None
    run_dir: str | None = None
    detailed_exitcode: bool = False
    store: bool = True
    #: plan: the plan of revert (``morvent plan --revert``) instead of execute's.
    revert: bool = False

    @property
    def label(self) -> str:
        """The command in the run's id and the VPCs' log names."""
        return "plan-revert" if self.command == "plan" and self.revert else self.command

    def shown(self) -> dict[str, Any]:
        """The options as the report lists them."""
        shown: dict[str, Any] = {"max-concurrent": str(self.max_concurrent)}
        if self.command in ("execute", "revert"):
            shown.update({"failure-tolerance": f"{self.failure_tolerance} "
                                               f"({'soft' if self.soft else 'strict'})",
                          "canary": self.canary})
        shown["regions"] = "sequential" if self.sequential else "parallel"
        if self.region_order:
            shown["region-order"] = ",".join(self.region_order)
        if self.controller_slots:
            shown["controller-slots"] = self.controller_slots
        return shown


def chosen(fleet: Fleet, shard: Shard | None) -> list[FleetVpc]:
    """The VPCs of the shard (all without one), in the manifest's order."""
    return [vpc for vpc in fleet if shard is None or shard.holds(vpc.key)]


def groups(vpcs: list[FleetVpc], options: Options) -> list[list[FleetVpc]]:
    """The VPCs by region (``--region-order`` first); regions in parallel
    take turns, so each goes on at once."""
    by_region = region_groups(vpcs, lambda v: v.region, options.region_order)
    unknown = set(options.region_order) - {v.region for v in vpcs}
    if unknown and options.shard is None:
        raise UsageError(f"--region-order names region(s) no VPC of the manifest is in: "
                         f"{', '.join(sorted(unknown))}")
    return by_region if options.sequential else [interleave(by_region)]


def rules(vpcs: list[FleetVpc], options: Options) -> Rules:
    total = len(vpcs)
    per_region: dict[str, int] = {}
    for vpc in vpcs:
        per_region[vpc.region] = per_region.get(vpc.region, 0) + 1
    changes = options.command in ("execute", "revert")
    return Rules(
        max_concurrent=min(max(total, 1), options.max_concurrent.of(total, least=1)),
        tolerance=options.failure_tolerance.of(total) if changes else None,
        soft=options.soft and changes,
        region_tolerance={r: options.failure_tolerance.of(n) for r, n in per_region.items()}
        if changes else {},
        canary=options.canary if changes else 0,
        sequential=options.sequential)


def lowered(rules: Rules, options: Options) -> str | None:
    """The line that tells the operator that strict failure tolerance runs
    fewer VPCs at once than asked; None when it does not."""
    if not rules.lowered:
        return None
    given = options.failure_tolerance
    tolerance = (f"{given} ({rules.tolerance} VPC{'' if rules.tolerance == 1 else 's'})"
                 if given.percent else str(given))
    limit = rules.limit()
    at_once = ("one VPC at a time" if limit == 1
               else f"at most {limit} VPCs at once, one fewer for each that fails")
    return (f"strict failure tolerance of {tolerance}: {at_once} (raise --failure-tolerance, "
            f"or use --tolerance-mode soft, to run up to {rules.max_concurrent} at once)")


def _stamp(moment: datetime) -> str:
    return moment.strftime("%Y%m%dT%H%M%SZ")


def run(fleet: Fleet, options: Options, *,
        started: Callable[[FleetVpc], None] | None = None,
        ended: Callable[[FleetVpc, Outcome], None] | None = None,
        environ: Mapping[str, str] | None = None,
        poll_interval: float = 0.2) -> dict[str, Any]:
    """Run the fleet command; the report document (with its ``exit_status``)."""
    if options.command not in COMMANDS:
        raise UsageError(f"no fleet command {options.command!r}")
    vpcs = chosen(fleet, options.shard)
    ordered = groups(vpcs, options)
    began = datetime.now(timezone.utc)
    ident = report.run_id(_stamp(began), options.label, options.shard)
    folder = os.path.abspath(options.run_dir or os.path.join(RUNS_FOLDER, ident))
    os.makedirs(os.path.join(folder, "configs"), exist_ok=True)
    env = dict(os.environ if environ is None else environ)
    if options.controller_slots:
        env[controller_slots.VARIABLE] = controller_slots.prepare(
            os.path.join(folder, "controller-slots"), options.controller_slots)
    else:
        env.pop(controller_slots.VARIABLE, None)

    def launch(vpc: FleetVpc) -> VpcRun | Unstarted:
        try:
            config = write_vpc_config(vpc, os.path.join(folder, "configs", f"{vpc.key}.yaml"),
                                      written_by=f"morvent fleet {options.command}")
            log = os.path.join(folder, f"{vpc.key}.{options.label}.log")
            return VpcRun(vpc.key, options.command, config, log, environ=env,
                          revert=options.revert)
        except OSError as e:
            return Unstarted(vpc.key, f"not started: {e.strerror or e}"
                                      + (f" ({e.filename})" if e.filename else ""))

    ruled = rules(vpcs, options)
    scheduler = Scheduler(launch, ruled, poll_interval=poll_interval,
                          started=started, ended=ended)
    clock = time.monotonic()
    with _passing_signals(scheduler):
        outcomes = scheduler.run(ordered)
    ended_at = datetime.now(timezone.utc)
    by_key = {vpc.key: vpc for vpc in vpcs}
    rows = [report.row(by_key[o.key], o) for o in outcomes]
    doc: dict[str, Any] = {
        "schema_version": report.SCHEMA_VERSION, "kind": report.KIND,
        "command": options.command, "manifest": fleet.source, "run_id": ident,
        "runner": f"{getpass.getuser()} on {os.uname().nodename} "
                  f"(pid {os.getpid()})",
        "shard": str(options.shard) if options.shard else None,
        "started": began.isoformat(timespec="seconds"),
        "ended": ended_at.isoformat(timespec="seconds"),
        "duration": round(time.monotonic() - clock, 1),
        "options": options.shown(), "run_dir": folder,
        "concurrency": {"requested": ruled.max_concurrent, "effective": ruled.limit(),
                        "peak": scheduler.peak},
        "stopped_by": signal_name(scheduler.stopped_by) if scheduler.stopped_by else None,
        "exit_status": report.exit_status(options.command, rows, scheduler.stopped_by,
                                          options.detailed_exitcode),
        "totals": report.totals(rows), "vpcs": rows,
        "vpcs_in_manifest": len(fleet), "stored": [], "store_errors": []}
    if options.command == "plan":
        doc["plan_of"] = "revert" if options.revert else "execute"
        doc["plan_totals"] = report.plan_totals(rows)
    if options.store and options.command in ("execute", "revert") and vpcs:
        doc["stored"] = report.places(doc, vpcs)
    return doc


def store(doc: dict[str, Any], fleet: Fleet, markdown_text: str) -> None:
    """Store the report beside the backups of the VPCs it ran (``doc['stored']``)."""
    if not doc.get("stored"):
        return
    keys = {row["key"] for row in doc["vpcs"]}
    problems = report.store(doc, markdown_text, [v for v in fleet if v.key in keys])
    doc["store_errors"] = problems
    if problems:
        failed = {p.split(": ")[0].rsplit(" at ", 1)[-1] for p in problems}
        doc["stored"] = [p for p in doc["stored"] if p not in failed]


class _passing_signals:
    """SIGINT and SIGTERM stop the scheduler (which passes them on) while it runs."""

    def __init__(self, scheduler: Scheduler) -> None:
        self.scheduler = scheduler
        self.former: dict[int, Any] = {}

    def __enter__(self) -> "_passing_signals":
        if threading.current_thread() is threading.main_thread():
            for signum in (signal.SIGINT, signal.SIGTERM):
                self.former[signum] = signal.signal(signum, self._handle)
        return self

    def _handle(self, signum: int, frame: Any) -> None:
        self.scheduler.stop(signum)

    def __exit__(self, *exc: object) -> None:
        for signum, handler in self.former.items():
            signal.signal(signum, handler)


__all__ = ["COMMANDS", "Options", "chosen", "groups", "rules", "run", "store"]
