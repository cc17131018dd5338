#!/usr/bin/env python3
"""Spoil a history file before each command, and run commands on two machines.

    tools/damage_matrix.py [--files command memento] [--kinds null truncated ...]
                           [--commands plan status execute revert]
                           [--where S3/same S3/empty local] [--no-sequences]
                           [--only-sequences] [--jobs 2] [-v]

Damage: a VPC is left half-migrated (an `execute` stopped by a refused HA
gateway creation: six undo records), and for each history file, damage kind
(not JSON, truncated, null, wrong top-level type, a record of an unknown
kind, a missing field, a wrongly typed field, an emptied state), command and
place of the damage -- S3's copy seen from the machine that ran (S3/same) or
from an empty local folder (S3/empty), or the local copy (local) -- the
command must stop before any change with exit status 1 and one line naming
the file in S3 and locally, leaving S3, the local histories, EC2 and the
controller as they were.  Cells: "stop", or a short reason.

Sequences, each on a fresh VPC, two machines sharing the S3 backup:

  execute A, revert B, execute A          A's stale copy must not come back
  execute A, execute B, revert A          B finds nothing to do; A reverts all
  execute A stopped, execute B, revert A  B finishes A's run; A reverts it all
  lock broken under a live run            B may not break the lock of A's live run;
                                          broken anyway, B finishes, and A stops at
                                          its next write (nothing overwritten), then
                                          stops on its diverged copy ("ok*")
  execute A stopped, histories lost,      with no undo record, the revert stops on the
    revert B                              traces of the migration it finds ("stop")

Exit status 1 when any cell failed.
"""

from __future__ import annotations

import argparse
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src"))

from morvent.sim import damage, drills  # noqa: E402

FILES = {"command": damage.COMMAND_HISTORY_FILE, "memento": damage.MEMENTO_HISTORY_FILE}


def parse_args(argv: list[str]) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--files", nargs="+", default=list(FILES), choices=list(FILES),
                   help="history files (default: both)")
    p.add_argument("--kinds", nargs="+", default=list(damage.DAMAGE_KINDS),
                   choices=damage.DAMAGE_KINDS, metavar="KIND",
                   help="damage kinds (default: all): " + ", ".join(damage.DAMAGE_KINDS))
    p.add_argument("--commands", nargs="+", default=list(damage.COMMANDS),
                   choices=damage.COMMANDS, help="default: all")
    p.add_argument("--where", nargs="+", default=list(damage.WHERE), choices=damage.WHERE,
                   help="where the damage is (default: all)")
    group = p.add_mutually_exclusive_group()
    group.add_argument("--no-sequences", action="store_true", help="damage drills only")
    group.add_argument("--only-sequences", action="store_true", help="sequences only")
    p.add_argument("--jobs", type=int, default=1, metavar="N",
                   help="worker processes, each with its own simulated world")
    p.add_argument("-v", "--verbose", action="store_true",
                   help="progress, and the details of every failure")
    return p.parse_args(argv)


def main(argv: list[str]) -> int:
    args = parse_args(argv)
    drills.inheritable_sigint()
    started = time.monotonic()
    damaged = [] if args.only_sequences else [
        damage.DamageScenario(FILES[f], kind, command, where)
        for f in args.files for kind in args.kinds
        for command in args.commands for where in args.where]
    sequences = [] if args.no_sequences else [damage.SequenceScenario(name)
                                              for name in damage.SEQUENCES]
    if args.verbose:
        print(f"{len(damaged) + len(sequences)} scenario(s), {args.jobs} job(s)", flush=True)

    def progress(scenario, cell: drills.Cell) -> None:
        if args.verbose:
            label = f"{scenario.row} / {scenario.column}" \
                if isinstance(scenario, damage.DamageScenario) else scenario.row
            print(f"  {label:<60} {cell.text} ({cell.seconds:.0f} s)", flush=True)

    cells = drills.run_drills(damage.drill, [*sequences, *damaged], jobs=args.jobs,
                              progress=progress)
    if damaged:
        rows = list(dict.fromkeys(s.row for s in damaged))
        columns = list(dict.fromkeys(s.column for s in damaged))
        by_key = {(s.row, s.column): cells[s] for s in damaged}
        print()
        print("Damage matrix, half-migrated VPC (history: damage x command, where the damage "
              "is):")
        for line in drills.format_table(rows, columns, lambda r, c: by_key[(r, c)].text
                                        if (r, c) in by_key else None, width=24):
            print("  " + line)
    if sequences:
        print()
        print("Two machines, one backup:")
        for line in drills.format_table([s.row for s in sequences], ["outcome"],
                                        lambda r, c: cells[damage.SequenceScenario(r)].text,
                                        width=60):
            print("  " + line)

    def title(s) -> str:
        return f"{s.row} / {s.column}" if isinstance(s, damage.DamageScenario) else s.row

    return drills.report(cells, title, time.monotonic() - started, verbose=args.verbose)


if __name__ == "__main__":
    raise SystemExit(main(sys.argv[1:]))
