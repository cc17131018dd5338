"""The interpreted reference of bench/ must keep doing what the native modules
do, or the benchmark figures compare different work.

Each benchmark case runs once in each, with recording fakes; requests,
operation log, log lines, results and the state left behind must be equal.
"""

import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "bench"))
from cases import CASES  # noqa: E402
from check import differences  # noqa: E402


@pytest.mark.parametrize("case", CASES, ids=[f"{c.name} [{c.logging}]" for c in CASES])
def test_reference_does_what_the_native_module_does(case):
    assert differences(case) == []
