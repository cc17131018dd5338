"""What a whole migration costs, on the simulated controller and cloud.

    python bench/migration.py [--zones 2 3 6] [--runs 2] [--json bench/results/migration.json]

For each VPC size, runs the demo's migration (execute, then revert, through
the command line in this process) and reports per run: wall time, controller
requests, AWS requests, and our own CPU time -- the CPU time of the thread
that runs the command (the tool itself and its HTTP/boto3 clients), without
the simulators, which answer on threads of their own.  The peak of memory
allocated through Python (tracemalloc) during the largest migration is
reported too; it includes what the simulators allocate meanwhile, so it is an
upper bound.  The route sampling of the demo is switched off here, so it does
not count as our time.  The figures are medians over --runs repetitions.

"write-through" is what storing every history change in S3 at once costs:
the PUTs made by the histories' write-through (one per change of a history,
on top of the end-of-run upload, which the AWS requests include as well) and
the wall time spent in them, which is part of the run's wall time.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import json
import statistics
import sys
import time
import tracemalloc
from pathlib import Path

BENCH = Path(__file__).resolve().parent
SRC = BENCH.parent / "src"


def parse_args(argv: list[str]) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--zones", type=int, nargs="+", default=[2, 3, 6])
    p.add_argument("--runs", type=int, default=2, help="repetitions per size (median)")
    p.add_argument("--json", type=Path, default=BENCH / "results" / "migration.json")
    return p.parse_args(argv)


def run_once(zones: int) -> dict:
    """One demo migration of `zones` zones: the figures of its execute and revert."""
    from morvent.lib.s3 import S3BackupCmdV2
    from morvent.sim import demo, monitor

    class Counting(monitor.RunMonitor):
        def __init__(self, sim, vpc_id=None, **kwargs):
            super().__init__(sim, None, **kwargs)  # count requests, take no samples

    phases = {}
    through = {"puts": 0, "seconds": 0.0}
    store = S3BackupCmdV2.store

    def timed_store(self, path):
        started = time.perf_counter()
        try:
            return store(self, path)
        finally:
            through["puts"] += 1
            through["seconds"] += time.perf_counter() - started

    class Measured(demo.Demo):
        def run(self, name, argv, run_monitor):
            through.update(puts=0, seconds=0.0)
            cpu = time.thread_time()
            tracemalloc.reset_peak()
            phase = super().run(name, argv, run_monitor)
            phases[name] = {
                "status": phase.status,
                "wall_s": phase.seconds,
                "own_cpu_s": time.thread_time() - cpu,
                "controller_requests": sum(phase.controller.values()),
                "aws_requests": sum(phase.aws.values()),
                "aws_changes": phase.aws_changes,
                "peak_python_bytes": tracemalloc.get_traced_memory()[1],
                "s3_puts": phase.aws["s3.PutObject"],
                "write_through_puts": through["puts"],
                "write_through_s": through["seconds"],
            }
            return phase

    args = demo._parser().parse_args(["--zones", str(zones), "-q"])
    original = monitor.RunMonitor
    monitor.RunMonitor = Counting
    S3BackupCmdV2.store = timed_store
    try:
        with contextlib.redirect_stdout(io.StringIO()):
            status = Measured(args, sys.stdout).main()
    finally:
        monitor.RunMonitor = original
        S3BackupCmdV2.store = store
    if status != 0:
        raise SystemExit(f"bench: the {zones}-zone migration failed its checks (status {status})")
    return phases


def main(argv: list[str]) -> int:
    args = parse_args(argv)
    if str(SRC) not in sys.path:
        sys.path.insert(0, str(SRC))
    tracemalloc.start()
    results = []
    for zones in args.zones:
        runs = [run_once(zones) for _ in range(args.runs)]
        for phase in ("execute", "revert"):
            figures = [r[phase] for r in runs]
            row = {"zones": zones, "phase": phase}
            for key in figures[0]:
                values = [f[key] for f in figures]
                row[key] = statistics.median(values) if key != "status" else max(values)
            results.append(row)
    tracemalloc.stop()

    head = ("zones", "phase", "wall", "own CPU", "controller req", "AWS req (changing)",
            "S3 PUTs", "write-through", "peak Python memory")
    lines = [(str(r["zones"]), r["phase"], f"{r['wall_s']:.2f} s", f"{r['own_cpu_s']:.2f} s",
              str(int(r["controller_requests"])),
              f"{int(r['aws_requests'])} ({int(r['aws_changes'])})",
              str(int(r["s3_puts"])),
              f"{int(r['write_through_puts'])} PUTs, {r['write_through_s']:.2f} s",
              f"{r['peak_python_bytes'] / 2**20:.1f} MiB") for r in results]
    widths = [max(len(x) for x in col) for col in zip(head, *lines)]
    for line in (head, tuple("-" * w for w in widths), *lines):
        print("  ".join(x.ljust(w) for x, w in zip(line, widths)))
    args.json.parent.mkdir(parents=True, exist_ok=True)
    args.json.write_text(json.dumps({"runs": args.runs, "results": results}, indent=2) + "\n")
    print(f"\nwritten to {args.json}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main(sys.argv[1:]))
