"""Instructions per call of each case, native against reference, under callgrind.

    python bench/instructions.py [-k TEXT] [--calls N] [--keep DIR]

Wall-clock figures on a shared machine wander by tens of percent; the
instruction count that callgrind reports for the same loop does not, so this
is the figure to watch while changing the C++.  Each case runs in its own
valgrind process through bench/profile_case.py, with collection switched on
only inside the timed loop (--toggle-collect=functools_reduce).  Slow: a
case takes a few seconds.  --keep DIR leaves the callgrind files there for
callgrind_annotate.
"""

from __future__ import annotations

import argparse
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

BENCH = Path(__file__).resolve().parent
sys.path[:0] = [str(BENCH), str(BENCH.parent / "src")]

from cases import CASES  # noqa: E402


def instructions(case_name: str, logging_mode: str, impl: str, calls: int, out: Path) -> int:
    text = case_name + (" [info]" if logging_mode == "info" else "")
    result = subprocess.run(
        ["valgrind", "--tool=callgrind", "--toggle-collect=functools_reduce",
         f"--callgrind-out-file={out}", sys.executable, str(BENCH / "profile_case.py"), text,
         "--impl", impl, "--calls", str(calls)],
        capture_output=True, text=True, check=True)
    match = re.search(r"refs:\s+([\d,]+)", result.stderr)
    if not match:
        raise SystemExit(f"instructions: no count from valgrind for {text!r}\n{result.stderr}")
    return int(match.group(1).replace(",", ""))


def main() -> int:
    p = argparse.ArgumentParser()
    p.add_argument("-k", dest="select", default="")
    p.add_argument("--calls", type=int, default=0,
                   help="calls per case (default: chosen per case, about 2e7 instructions)")
    p.add_argument("--keep", type=Path, help="keep the callgrind output files here")
    args = p.parse_args()
    if not shutil.which("valgrind"):
        raise SystemExit("instructions: valgrind is not installed")

    out_dir = args.keep or Path(tempfile.mkdtemp(prefix="morvent-cg-"))
    out_dir.mkdir(parents=True, exist_ok=True)
    width = max(len(c.name) for c in CASES)
    print(f"{'case':<{width}}  {'log':<5}  {'native Ir':>12}  {'reference Ir':>12}  {'nat/ref':>7}")
    for index, case in enumerate(CASES):
        if args.select.lower() not in case.name.lower():
            continue
        calls = args.calls or _calls_for(case)
        counts = {}
        for impl in ("native", "reference"):
            out = out_dir / f"{index:02d}-{impl}.callgrind"
            counts[impl] = instructions(case.name, case.logging, impl, calls, out) / calls
        print(f"{case.name:<{width}}  {case.logging:<5}  {counts['native']:>12,.0f}  "
              f"{counts['reference']:>12,.0f}  {counts['native'] / counts['reference']:>7.2f}",
              flush=True)
    if args.keep is None:
        shutil.rmtree(out_dir)
    return 0


def _calls_for(case) -> int:
    """Enough calls that the loop dwarfs its own set-up, few enough to be quick."""
    name = case.name
    if "10,000" in name:
        return 1
    if "1,000" in name:
        return 20
    if name.startswith("Manager"):
        return 100
    return 500


if __name__ == "__main__":
    sys.exit(main())
