"""Benchmarks of the native modules against their interpreted reference.

    python bench/run.py [--quick] [--json bench/results/native.json] [-k TEXT]

Checks that the native modules and bench/reference.py behave alike in every
case, times every case in both through pytest-benchmark, times the import of
both modules in fresh interpreters, prints one table and writes the same
figures as JSON.  The native modules must be built in place first
(tools/build-inplace).  See bench/README.md.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

BENCH = Path(__file__).resolve().parent
ROOT = BENCH.parent
SRC = ROOT / "src"

IMPORTS = [
    ("morvent.lib.spoke", "native"),
    ("morvent.commands.brindlemark", "native"),
    ("reference", "interpreted, both modules"),
]


def parse_args(argv: list[str]) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--quick", action="store_true",
                   help="fewer rounds and import runs: rough figures in a few seconds")
    p.add_argument("--json", type=Path, default=BENCH / "results" / "native.json",
                   help="where to write the figures (default: %(default)s)")
    p.add_argument("-k", dest="select", default="",
                   help="only the cases whose name contains TEXT (case-insensitive)")
    p.add_argument("--no-check", action="store_true",
                   help="skip the equivalence check of native and reference")
    p.add_argument("--no-import", action="store_true", help="skip the import times")
    return p.parse_args(argv)


def fail(message: str) -> None:
    print(f"bench: {message}", file=sys.stderr)
    raise SystemExit(2)


def prepare_path() -> None:
    for path in (str(BENCH), str(SRC)):
        if path not in sys.path:
            sys.path.insert(0, path)
    try:
        import morvent.commands.brindlemark  # noqa: F401
        import morvent.lib.spoke  # noqa: F401
    except ImportError as e:
        fail(f"cannot import the native modules ({e}); build them with tools/build-inplace")


def selected(select: str) -> list[int]:
    from cases import CASES
    return [i for i, c in enumerate(CASES) if select.lower() in c.name.lower()]


def run_check(indexes: list[int]) -> None:
    from cases import CASES
    from check import check

    started = time.perf_counter()
    problems = check([CASES[i] for i in indexes])
    if problems:
        print("\n\n".join(problems), file=sys.stderr)
        fail("the native modules and bench/reference.py differ; no figures taken")
    print(f"equivalence check: {len(indexes)} cases alike "
          f"({time.perf_counter() - started:.1f}s)")


def run_benchmarks(indexes: list[int], quick: bool) -> list[dict]:
    """pytest-benchmark's JSON entries of the selected cases."""
    import pytest

    with tempfile.TemporaryDirectory() as tmp:
        report = Path(tmp) / "report.json"
        args = [str(BENCH / "bench_native.py"), "-q", "-p", "no:cacheprovider",
                "-p", "no:logging", "-o", "python_files=bench_*.py", "-o", "addopts=",
                "--rootdir", str(BENCH), "--benchmark-quiet", "--benchmark-json", str(report),
                "--benchmark-max-time", "0.05" if quick else "0.8",
                "--benchmark-min-rounds", "3" if quick else "20"]
        os.environ["MORVENT_BENCH_CASES"] = ",".join(map(str, indexes))
        os.environ["MORVENT_BENCH_ROUNDS_SCALE"] = "0.1" if quick else "1"
        started = time.perf_counter()
        status = pytest.main(args)
        if status != 0:
            fail(f"the benchmark run failed (pytest status {int(status)})")
        print(f"benchmarks: {time.perf_counter() - started:.1f}s")
        return json.loads(report.read_text())["benchmarks"]


def import_times(runs: int) -> list[dict]:
    """-X importtime of each module in fresh interpreters, median of `runs`."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(SRC), str(BENCH)]))
    samples: dict[str, dict[str, list[int]]] = {m: {"self": [], "total": []} for m, _ in IMPORTS}
    # One unmeasured round writes the bytecode caches.
    for round_ in range(runs + 1):
        for module, _ in IMPORTS:
            out = subprocess.run([sys.executable, "-X", "importtime", "-c", f"import {module}"],
                                 env=env, capture_output=True, text=True, check=True).stderr
            if round_ == 0:
                continue
            for line in out.splitlines():
                parts = [p.strip() for p in line.split("|")]
                if len(parts) == 3 and parts[2] == module:
                    samples[module]["self"].append(int(parts[0].split(":")[1]))
                    samples[module]["total"].append(int(parts[1]))
    result = []
    for module, kind in IMPORTS:
        s = samples[module]
        result.append({"module": module, "kind": kind, "runs": runs,
                       "self_us": statistics.median(s["self"]),
                       "self_iqr_us": iqr(s["self"]),
                       "cumulative_us": statistics.median(s["total"])})
    return result


def iqr(values: list[float]) -> float:
    if len(values) < 2:
        return 0.0
    q = statistics.quantiles(values, n=4)
    return q[2] - q[0]


def summarise(entries: list[dict]) -> list[dict]:
    from cases import CASES

    by_case: dict[int, dict] = {}
    for entry in entries:
        info = entry["extra_info"]
        stats = entry["stats"]
        row = by_case.setdefault(info["index"], {
            "case": info["case"], "logging": info["logging"],
            "note": CASES[info["index"]].note})
        row[info["impl"]] = {k: stats[k] for k in
                             ("median", "iqr", "stddev", "mean", "min", "rounds", "iterations")}
    rows = [by_case[i] for i in sorted(by_case)]
    for row in rows:
        if "native" in row and "reference" in row:
            row["reference_over_native"] = row["reference"]["median"] / row["native"]["median"]
    return rows


def machine() -> dict:
    cpu = "unknown"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    return {"nproc": os.cpu_count(), "cpu": cpu, "python": platform.python_version(),
            "implementation": platform.python_implementation(), "platform": platform.platform()}


def fmt(seconds: float) -> str:
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def table(rows: list[dict], imports: list[dict], facts: dict) -> str:
    width = max([len(r["case"]) for r in rows] + [30])
    lines = [f"{facts['cpu']}, {facts['nproc']} cores, Python {facts['python']}", "",
             f"{'case':<{width}}  {'log':<5}  {'native median':>13} {'IQR':>9}  "
             f"{'reference':>11} {'IQR':>9}  {'ref/nat':>7}"]
    for r in rows:
        n, ref = r.get("native"), r.get("reference")
        ratio = r.get("reference_over_native")
        lines.append(
            f"{r['case']:<{width}}  {r['logging']:<5}  "
            f"{fmt(n['median']) if n else '-':>13} {fmt(n['iqr']) if n else '-':>9}  "
            f"{fmt(ref['median']) if ref else '-':>11} {fmt(ref['iqr']) if ref else '-':>9}  "
            f"{f'{ratio:.2f}x' if ratio else '-':>7}")
    if imports:
        lines += ["", f"{'import (fresh interpreter, -X importtime)':<{width}}  "
                      f"{'self median':>13} {'IQR':>9}  {'with deps':>11}"]
        for i in imports:
            name = f"{i['module']} ({i['kind']})"
            lines.append(f"{name:<{width}}  {fmt(i['self_us'] * 1e-6):>13} "
                         f"{fmt(i['self_iqr_us'] * 1e-6):>9}  {fmt(i['cumulative_us'] * 1e-6):>11}")
    return "\n".join(lines)


def main(argv: list[str] | None = None) -> int:
    args = parse_args(sys.argv[1:] if argv is None else argv)
    started = time.perf_counter()
    prepare_path()
    indexes = selected(args.select)
    if not indexes:
        fail(f"no case matches {args.select!r}")
    if not args.no_check:
        run_check(indexes)
    rows = summarise(run_benchmarks(indexes, args.quick))
    imports = [] if args.no_import else import_times(3 if args.quick else 9)
    facts = machine()
    print()
    print(table(rows, imports, facts))
    args.json.parent.mkdir(parents=True, exist_ok=True)
    args.json.write_text(json.dumps({
        "machine": facts, "quick": args.quick,
        "unit": "seconds per call (cases), microseconds (imports)",
        "cases": rows, "imports": imports}, indent=2) + "\n")
    print(f"\nwritten to {args.json} ({time.perf_counter() - started:.0f}s in all)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
