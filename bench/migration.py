"""What a whole migration costs, on the simulated controller and cloud.

    python bench/migration.py [--zones 2 3 6] [--runs 2] [--json bench/results/migration.json]
    python bench/migration.py --memory [--zones 2 3 6]
    python bench/migration.py --warm ...

For each VPC size, runs the demo's migration (execute, then revert, through
the command line in this process) and reports per run: wall time, controller
requests, AWS requests, and our own CPU time -- the CPU time of the thread
that runs the command (the tool itself and its HTTP/boto3 clients), without
the simulators, which answer on threads of their own.  The route sampling of
the demo is switched off here, so it does not count as our time.  The
figures are medians over --runs repetitions.

Each phase starts cold, as a command run from a shell does: what the
process keeps between commands (AWS clients, controller connections, what
it knows of the objects in S3) is dropped before it.  With --warm it is
kept, as in a process that runs one command after another.

"write-through" is what storing every history change in S3 at once costs:
the PUTs made by the histories' write-through (one per change of a history,
on top of the end-of-run upload, which the AWS requests include as well) and
the wall time spent in them, which is part of the run's wall time.

Memory is measured apart (--memory), because tracing every allocation
roughly doubles the CPU time: each size runs once in a fresh interpreter
(so that no size profits from what an earlier one left loaded), and the
peak of the memory allocated through Python during each phase is reported
(tracemalloc, on for the phase only: what was allocated before it began,
imports included, does not count).  It includes what the simulators
allocate meanwhile, so it is an upper bound.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import json
import os
import statistics
import subprocess
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
    p.add_argument("--warm", action="store_true",
                   help="keep what the process holds from one phase to the next")
    p.add_argument("--memory", action="store_true",
                   help="measure memory instead (one traced run per size, each in a fresh "
                        "interpreter)")
    p.add_argument("--json", type=Path, default=None,
                   help="default: bench/results/migration.json (migration-memory.json "
                        "with --memory)")
    p.add_argument("--traced-run", type=int, metavar="ZONES", help=argparse.SUPPRESS)
    return p.parse_args(argv)


def cold_start() -> None:
    """Drop what an earlier command left in the process (clients, connections, S3 knowledge)."""
    from morvent.lib import aws_cred, corvane_backend, natgw

    for forget in (getattr(aws_cred, "clear_client_cache", None),
                   getattr(corvane_backend, "close_sessions", None),
                   getattr(natgw, "forget_discovery", None)):
        if forget is not None:
            forget()


def run_once(zones: int, trace: bool = False, warm: bool = False) -> dict:
    """One demo migration of `zones` zones: the figures of its execute and revert.

    With `trace`, the memory allocated through Python is traced during each
    phase (and only then: tracing the imports and the simulated world's
    set-up would only make the run slower).
    """
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
            if not warm:
                cold_start()
            if trace:
                tracemalloc.start()
            cpu = time.thread_time()
            phase = super().run(name, argv, run_monitor)
            phases[name] = {
                "status": phase.status,
                "wall_s": phase.seconds,
                "own_cpu_s": time.thread_time() - cpu,
                "controller_requests": sum(phase.controller.values()),
                "aws_requests": sum(phase.aws.values()),
                "aws_changes": phase.aws_changes,
                "s3_puts": phase.aws["s3.PutObject"],
                "write_through_puts": through["puts"],
                "write_through_s": through["seconds"],
                "controller_by_action": dict(sorted(phase.controller.items())),
                "aws_by_operation": dict(sorted(phase.aws.items())),
            }
            if trace:
                phases[name]["peak_python_bytes"] = tracemalloc.get_traced_memory()[1]
                tracemalloc.stop()
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


def traced_run(zones: int, warm: bool) -> int:
    """Child of --memory: one traced migration; its figures as JSON on standard output."""
    print(json.dumps(run_once(zones, trace=True, warm=warm)))
    return 0


def memory(zones_list: list[int], warm: bool) -> list[dict]:
    """One traced migration per size, each in a fresh interpreter."""
    results = []
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(
        [str(SRC), *filter(None, [os.environ.get("PYTHONPATH")])])}
    for zones in zones_list:
        command = [sys.executable, __file__, "--traced-run", str(zones)]
        child = subprocess.run(command + (["--warm"] if warm else []), env=env, check=True,
                               stdout=subprocess.PIPE, text=True)
        phases = json.loads(child.stdout.strip().splitlines()[-1])
        results += [{"zones": zones, "phase": name, **figures}
                    for name, figures in phases.items()]
    return results


def timing(zones_list: list[int], runs: int, warm: bool) -> list[dict]:
    """Medians over `runs` migrations per size (the request counts are the same every run)."""
    results = []
    for zones in zones_list:
        measured = [run_once(zones, warm=warm) for _ in range(runs)]
        for phase in ("execute", "revert"):
            figures = [r[phase] for r in measured]
            row = {"zones": zones, "phase": phase}
            for key, first in figures[0].items():
                values = [f[key] for f in figures]
                if key == "status":
                    row[key] = max(values)
                elif isinstance(first, dict):
                    row[key] = first
                else:
                    row[key] = statistics.median(values)
            results.append(row)
    return results


def print_table(head: tuple, lines: list[tuple]) -> None:
    widths = [max(len(x) for x in col) for col in zip(head, *lines)]
    for line in (head, tuple("-" * w for w in widths), *lines):
        print("  ".join(x.ljust(w) for x, w in zip(line, widths)))


def main(argv: list[str]) -> int:
    args = parse_args(argv)
    if str(SRC) not in sys.path:
        sys.path.insert(0, str(SRC))
    if args.traced_run is not None:
        return traced_run(args.traced_run, args.warm)
    if args.memory:
        results = memory(args.zones, args.warm)
        print_table(("zones", "phase", "peak Python memory of the phase"),
                    [(str(r["zones"]), r["phase"], f"{r['peak_python_bytes'] / 2**20:.1f} MiB")
                     for r in results])
        path = args.json or BENCH / "results" / "migration-memory.json"
        payload = {"warm": args.warm, "results": results}
    else:
        results = timing(args.zones, args.runs, args.warm)
        print_table(
            ("zones", "phase", "wall", "own CPU", "controller req", "AWS req (changing)",
             "S3 PUTs", "write-through"),
            [(str(r["zones"]), r["phase"], f"{r['wall_s']:.2f} s", f"{r['own_cpu_s']:.2f} s",
              str(int(r["controller_requests"])),
              f"{int(r['aws_requests'])} ({int(r['aws_changes'])})",
              str(int(r["s3_puts"])),
              f"{int(r['write_through_puts'])} PUTs, {r['write_through_s']:.2f} s")
             for r in results])
        path = args.json or BENCH / "results" / "migration.json"
        payload = {"runs": args.runs, "warm": args.warm, "results": results}
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(json.dumps(payload, indent=2) + "\n")
    print(f"\nwritten to {path}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main(sys.argv[1:]))
