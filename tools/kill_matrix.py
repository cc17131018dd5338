#!/usr/bin/env python3
"""Kill `morvent execute` at every state-changing request, then resume or revert.

    tools/kill_matrix.py [--zones 2 3] [--signals KILL TERM INT] [--follow a b c]
                         [--points 4,7-9,enable_snat] [--jobs 2] [-v] [--list] [--s3]

For each VPC size, an unfaulted run is watched once to find its
state-changing requests (controller actions that change something, mutating
EC2 requests; with --s3, S3 writes too).  Then, for each of them, before and
after it is carried out, and for each signal and follow-up, a fresh VPC is
built, `python -m morvent execute` is killed there, and the follow-up must
bring the VPC to a sound state:

  a  `execute` again from the same local folder, then `revert`
  b  `execute` again from an empty local folder (another machine), then `revert`
  c  `revert` straight away; where the killed request was carried out with
     no record yet, the revert must stop (exit 1) before changing anything,
     keep every record and say in one line what holds the resource and that
     `morvent execute` finishes the step; then `execute`, then `revert`

After SIGKILL the follow-ups use --break-lock.  Cells: "ok", "ok*" (stopped,
then ok) or a short reason; exit status 1 when any cell failed.
"""

from __future__ import annotations

import argparse
import os
import re
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src"))

from morvent.sim import SimulatedWorld, drills  # noqa: E402


def parse_args(argv: list[str]) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--zones", type=int, nargs="+", default=[2, 3], choices=range(2, 7),
                   metavar="N", help="VPC sizes (2 to 6 zones; default 2 3)")
    p.add_argument("--shape", metavar="NAME",
                   help="a VPC of this shape (morvent.sim.shapes; its address changes "
                        "accepted) instead of the tidy ones of --zones")
    p.add_argument("--signals", nargs="+", default=list(drills.SIGNALS),
                   choices=list(drills.SIGNALS), help="default: all")
    p.add_argument("--follow", nargs="+", default=list(drills.FOLLOW_UPS),
                   choices=drills.FOLLOW_UPS, help="follow-ups (default: all)")
    p.add_argument("--points", default="",
                   help="kill points to run, comma-separated: step numbers, ranges (4-7), "
                        "words of the request (enable_snat, DeleteNatGateway), 'before' or "
                        "'after'; an item of words and a number, e.g. 'after:5', must match both")
    p.add_argument("--s3", action="store_true", help="kill at S3 writes too")
    p.add_argument("--jobs", type=int, default=1, metavar="N",
                   help="worker processes, each with its own simulated world")
    p.add_argument("--timeout", type=float, default=drills.RUN_TIMEOUT, metavar="SECONDS",
                   help=f"give up on one run after this long (default {drills.RUN_TIMEOUT:g})")
    p.add_argument("--hold", type=float, default=drills.HOLD_TIMEOUT, metavar="SECONDS",
                   help="hold the killed request at most this long for the child to go "
                        f"(default {drills.HOLD_TIMEOUT:g})")
    p.add_argument("--list", action="store_true", help="show the kill points and stop")
    p.add_argument("-v", "--verbose", action="store_true",
                   help="progress, and the details of every failure")
    return p.parse_args(argv)


def selected(point: drills.KillPoint, scenario: str) -> bool:
    """Whether `point` passes the --points filter."""
    if not scenario.strip():
        return True
    return any(_matches(point, item) for item in scenario.split(",") if item.strip())


def _matches(point: drills.KillPoint, item: str) -> bool:
    for part in item.strip().split(":"):
        span = re.fullmatch(r"(\d+)(?:-(\d+))?", part)
        if span:
            low, high = int(span[1]), int(span[2] or span[1])
            if not low <= point.step <= high:
                return False
        elif part not in (point.moment, *point.request.label.split()) and \
                part not in point.request.label:
            return False
    return True


def main(argv: list[str]) -> int:
    args = parse_args(argv)
    drills.inheritable_sigint()
    started = time.monotonic()
    if args.shape:
        from morvent.sim.shapes import SHAPES

        if args.shape not in SHAPES or SHAPES[args.shape].outcome == "refused":
            print(f"kill_matrix: --shape must be one of "
                  f"{', '.join(n for n, s in SHAPES.items() if s.outcome != 'refused')}",
                  file=sys.stderr)
            return 2
        args.zones = [0]  # the shape decides
    with SimulatedWorld() as sim:
        plans = {}
        for zones in args.zones:
            points = drills.kill_points(sim, zones, s3=args.s3, timeout=args.timeout,
                                        shape=args.shape)
            plans[zones] = [p for p in points if selected(p, args.points)]
            if args.list:
                where = f"shape {args.shape}" if args.shape else f"{zones} zones"
                print(f"{where}: {len(points) // 2} state-changing requests")
                for point in points:
                    if point.moment == "before":
                        print(f"  {point.step:>2}  {point.request.label}")
        if args.list:
            return 0
        scenarios = [drills.KillScenario(zones, point, sig, follow, timeout=args.timeout,
                                         hold=args.hold, shape=args.shape)
                 for zones, points in plans.items() for point in points
                 for sig in args.signals for follow in args.follow]
        if args.verbose:
            print(f"{len(scenarios)} scenario(s), {args.jobs} job(s)", flush=True)

        def progress(scenario: drills.KillScenario, cell: drills.Cell) -> None:
            if args.verbose:
                print(f"  {scenario.zones} zones {scenario.point.label:<52} {scenario.column:<7} "
                      f"{cell.text} ({cell.seconds:.0f} s)", flush=True)

        cells = drills.run_drills(drills.kill_drill, scenarios, jobs=args.jobs,
                                  sim=sim if args.jobs <= 1 else None, progress=progress)
    for zones, points in plans.items():
        columns = [f"{s}/{f}" for s in args.signals for f in args.follow]
        by_key = {(c.point.label, c.column): cells[c] for c in scenarios if c.zones == zones}
        print()
        where = f"shape {args.shape}" if args.shape else f"{zones} zones"
        print(f"Kill matrix, {where} (step, request, killed before/after it):")
        for line in drills.format_table([p.label for p in points], columns,
                                        lambda r, c: by_key[(r, c)].text
                                        if (r, c) in by_key else None):
            print("  " + line)

    def title(s) -> str:
        return f"{s.zones} zones, {s.point.label}, {s.column}"

    return drills.report(cells, title, time.monotonic() - started, verbose=args.verbose)


if __name__ == "__main__":
    raise SystemExit(main(sys.argv[1:]))
