"""pytest-benchmark driver: every case, native and reference side by side.

Run through bench/run.py, which sets the options, collects the JSON report
and prints the comparison table.  Each case installs its fakes through
monkeypatch, so nothing leaks from one case into the next.
"""

import os

import pytest

from cases import CASES, Context
from fakes import set_logging

# bench/run.py --quick scales the fixed round counts down.
ROUNDS_SCALE = float(os.environ.get("MORVENT_BENCH_ROUNDS_SCALE", "1"))

# bench/run.py -k passes the selected case indexes.
_SELECTED = os.environ.get("MORVENT_BENCH_CASES")
INDEXES = [int(i) for i in _SELECTED.split(",")] if _SELECTED else range(len(CASES))

PARAMS = [pytest.param(i, impl, id=f"{i:02d}-{impl}")
          for i in INDEXES for impl in ("native", "reference")]


@pytest.mark.parametrize("index, impl", PARAMS)
def test_case(benchmark, monkeypatch, index, impl):
    case = CASES[index]
    undo_logging = set_logging(case.logging)
    try:
        bench = case.build(case.module(impl), Context(monkeypatch))
        benchmark.group = f"{index:02d} {case.name} [{case.logging}]"
        benchmark.extra_info.update(index=index, case=case.name, impl=impl,
                                    logging=case.logging)
        if case.rounds:
            rounds = max(3, int(case.rounds * ROUNDS_SCALE))
            benchmark.pedantic(bench.call, setup=bench.setup, rounds=rounds, iterations=1)
        else:
            benchmark(bench.call)
    finally:
        undo_logging()
