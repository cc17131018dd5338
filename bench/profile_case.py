"""Run one benchmark case in a loop, for a profiler to watch.

    python bench/profile_case.py TEXT [--impl native|reference] [--calls N] [--cprofile]
    valgrind --tool=callgrind --toggle-collect=functools_reduce \\
        --callgrind-out-file=/tmp/cg.out "$(python -c 'import sys; print(sys.executable)')" \\
        bench/profile_case.py TEXT --calls 200
    callgrind_annotate /tmp/cg.out | head -40

TEXT picks the first case whose name contains it (case-insensitive); add
"[info]" to pick the case's info-logging variant.  The case is built and
called once before the loop, so set-up and first-call costs stay out of
the picture as far as a profiler allows.
"""

from __future__ import annotations

import argparse
import cProfile
import functools
import pstats
import sys
import time
from pathlib import Path

BENCH = Path(__file__).resolve().parent
sys.path[:0] = [str(BENCH), str(BENCH.parent / "src")]

import fakes  # noqa: E402
from cases import CASES, Context  # noqa: E402


def find(text: str):
    wanted = text.lower()
    logging_mode = "quiet"
    if wanted.endswith("[info]"):
        wanted, logging_mode = wanted[:-6].strip(), "info"
    for case in CASES:
        if wanted in case.name.lower() and case.logging == logging_mode:
            return case
    raise SystemExit(f"profile: no case matches {text!r}")


def main() -> int:
    p = argparse.ArgumentParser()
    p.add_argument("case")
    p.add_argument("--impl", choices=("native", "reference"), default="native")
    p.add_argument("--calls", type=int, default=1000)
    p.add_argument("--cprofile", action="store_true", help="print the top functions")
    args = p.parse_args()

    case = find(args.case)
    undo_logging = fakes.set_logging(case.logging)
    patch = fakes.Patcher()
    try:
        bench = case.build(case.module(args.impl), Context(patch))

        def once(_, __):
            if bench.setup is not None:
                bench.setup()
            bench.call()

        def loop():
            # Through functools.reduce, so that callgrind can collect just the
            # loop: --toggle-collect=functools_reduce.
            functools.reduce(once, range(args.calls), None)

        if bench.setup is not None:
            bench.setup()
        bench.call()
        started = time.perf_counter()
        if args.cprofile:
            profiler = cProfile.Profile()
            profiler.runcall(loop)
            pstats.Stats(profiler).sort_stats("tottime").print_stats(25)
        else:
            loop()
        elapsed = time.perf_counter() - started
        print(f"{case.name} [{case.logging}] {args.impl}: {args.calls} calls, "
              f"{elapsed / args.calls * 1e6:.2f} us per call", file=sys.stderr)
    finally:
        patch.undo()
        undo_logging()
    return 0


if __name__ == "__main__":
    sys.exit(main())
