#!/usr/bin/env python3
"""Migrate and revert every VPC shape of the simulated cloud, and print what happened.

    tools/shape_matrix.py [--shapes tidy cross-zone ...] [--jobs 2] [-v] [--list]

Each shape (morvent.sim.shapes) is built in a fresh simulated VPC and run
through the command line as morvent.sim.shape_drills describes: refused
shapes must be refused before any change, naming what stops them; the others
are migrated (accepting the address changes the shape names, where it has
some) and reverted, with the routes compared before, during and after.
Cells: "ok", "ok, N accepted", "refused as documented", "-" (not run), or
the first problem found; exit status 1 when any shape failed.
"""

from __future__ import annotations

import argparse
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src"))

from morvent.sim import SimulatedWorld, drills  # noqa: E402
from morvent.sim.shape_drills import shape_drill  # noqa: E402
from morvent.sim.shapes import SHAPES  # noqa: E402


def parse_args(argv: list[str]) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--shapes", nargs="+", default=list(SHAPES), choices=list(SHAPES),
                   metavar="NAME", help="shapes to run (default: all)")
    p.add_argument("--jobs", type=int, default=1, metavar="N",
                   help="worker processes, each with its own simulated world")
    p.add_argument("--list", action="store_true", help="list the shapes and stop")
    p.add_argument("-v", "--verbose", action="store_true",
                   help="progress, and the details of every failure")
    return p.parse_args(argv)


def main(argv: list[str]) -> int:
    args = parse_args(argv)
    if args.list:
        for shape in SHAPES.values():
            print(f"{shape.name:<24} {shape.outcome:<8} {shape.summary}")
        return 0
    started = time.monotonic()

    def progress(name: str, cell: drills.Cell) -> None:
        if args.verbose:
            print(f"  {name:<24} {cell.text} ({cell.seconds:.0f} s)", flush=True)

    with SimulatedWorld() as sim:
        cells = drills.run_drills(shape_drill, args.shapes, jobs=args.jobs,
                                  sim=sim if args.jobs <= 1 else None, progress=progress)
    print()
    print("Shape matrix (what the shape needs; execute and revert):")
    split = {name: (cells[name].text.split(" | ", 1) + ["-"])[:2] for name in args.shapes}
    rows = [f"{name} ({SHAPES[name].outcome})" for name in args.shapes]
    by_row = dict(zip(rows, args.shapes))
    for line in drills.format_table(rows, ["execute", "revert"],
                                    lambda r, c: split[by_row[r]][c == "revert"], width=60):
        print("  " + line)
    return drills.report(cells, lambda name: name, time.monotonic() - started,
                         verbose=args.verbose)


if __name__ == "__main__":
    raise SystemExit(main(sys.argv[1:]))
