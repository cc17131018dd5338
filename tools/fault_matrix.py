#!/usr/bin/env python3
"""Spoil one controller answer at every state-changing call, then run again.

    tools/fault_matrix.py [--zones 2 3] [--phase execute revert] [--kinds fail drop-after ...]
                          [--actions enable_snat,create_multicloud_ha_gateway#2] [--jobs 2] [-v]

For each VPC size and phase, an unfaulted run is watched once to find its
state-changing controller calls (and its gateway look-ups).  Then, for each
of them and each fault kind, a fresh VPC is built, that one call goes wrong,
and the same command is run again with no fault: after `execute` every zone
must leave through its own spoke gateway with its own original Elastic IP,
with no orphan gateway and no leaked address; after `revert` the VPC must be
as it was.  The revert phase starts from a clean `execute`.

Fault kinds: fail (refused), http500, drop (connection closed, nothing done),
drop-after (carried out, answer lost), garbled and garbled-after (answer
missing its keys), hang and hang-after (no answer at all; the run's client
gives up after a short controller_timeout).  Cells: "ok [N]" (N: what the
faulted run exited with) or a short reason; exit status 1 when any failed.
"""

from __future__ import annotations

import argparse
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src"))

from morvent.sim import SimulatedWorld, drills  # noqa: E402


def parse_args(argv: list[str]) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--zones", type=int, nargs="+", default=[2, 3], choices=range(2, 7),
                   metavar="N", help="VPC sizes (2 to 6 zones; default 2 3)")
    p.add_argument("--phase", nargs="+", default=["execute", "revert"],
                   choices=["execute", "revert"], help="default: both")
    p.add_argument("--kinds", nargs="+", default=list(drills.FAULT_KINDS),
                   choices=list(drills.FAULT_KINDS), help="fault kinds (default: all)")
    p.add_argument("--actions", default="",
                   help="calls to fault, comma-separated: an action (every occurrence) or "
                        "action#N")
    p.add_argument("--jobs", type=int, default=1, metavar="N",
                   help="worker processes, each with its own simulated world")
    p.add_argument("-v", "--verbose", action="store_true",
                   help="progress, and the details of every failure")
    return p.parse_args(argv)


def selected(target: drills.FaultTarget, scenario: str) -> bool:
    items = [i.strip() for i in scenario.split(",") if i.strip()]
    return not items or any(i in (target.action, target.label) for i in items)


def main(argv: list[str]) -> int:
    args = parse_args(argv)
    started = time.monotonic()
    with SimulatedWorld() as sim:
        plans = {(zones, phase): [t for t in drills.fault_targets(sim, zones, phase)
                                  if selected(t, args.actions)]
                 for zones in args.zones for phase in args.phase}
        scenarios = [drills.FaultScenario(zones, phase, target, kind)
                 for (zones, phase), targets in plans.items() for target in targets
                 for kind in args.kinds]
        if args.verbose:
            print(f"{len(scenarios)} scenario(s), {args.jobs} job(s)", flush=True)

        def progress(scenario: drills.FaultScenario, cell: drills.Cell) -> None:
            if args.verbose:
                print(f"  {scenario.zones} zones {scenario.phase:<7} {scenario.target.label:<38} "
                      f"{scenario.kind:<13} {cell.text} ({cell.seconds:.0f} s)", flush=True)

        cells = drills.run_drills(drills.fault_drill, scenarios, jobs=args.jobs,
                                  sim=sim if args.jobs <= 1 else None, progress=progress)
    for (zones, phase), targets in plans.items():
        by_key = {(s.target.label, s.kind): cells[s] for s in scenarios
                  if (s.zones, s.phase) == (zones, phase)}
        print()
        print(f"Fault matrix, {phase}, {zones} zones (faulted call; [exit status of the "
              "faulted run]):")
        for line in drills.format_table([t.label for t in targets], args.kinds,
                                        lambda r, c: by_key[(r, c)].text
                                        if (r, c) in by_key else None, width=30):
            print("  " + line)

    def title(s) -> str:
        return f"{s.zones} zones, {s.phase}, {s.target.label}, {s.kind}"

    return drills.report(cells, title, time.monotonic() - started, verbose=args.verbose)


if __name__ == "__main__":
    raise SystemExit(main(sys.argv[1:]))
