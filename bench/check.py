"""Before anything is timed: the native modules and the interpreted reference
must do the same thing in every case.

Each case runs once per implementation with a recording transport and a
log capture; the results, the requests (method, URL, keyword, payload items
in order, verify, timeout), the operation log, the log lines (level and
text) and the state left in the fake world must be equal.  Otherwise the
figures would compare different work.
"""

from __future__ import annotations

import logging
import re
from typing import Any

import fakes
from cases import Case, Context, describe


class _Capture(logging.Handler):
    def __init__(self) -> None:
        super().__init__(logging.DEBUG)
        self.lines: list[tuple[str, str]] = []

    def emit(self, record: logging.LogRecord) -> None:
        # The run-time decorator logs elapsed seconds; those may differ.
        text = re.sub(r"after \d+\.\d+s", "after *s", record.getMessage())
        self.lines.append((record.levelname, text))


def run_once(case: Case, impl: str) -> dict[str, Any]:
    """What one call of `case` does in implementation `impl`."""
    capture = _Capture()
    saved = []
    for name in fakes.LOGGERS:
        logger = logging.getLogger(name)
        saved.append((logger, logger.level, logger.propagate, logger.handlers))
        logger.handlers, logger.propagate = [capture], False
        logger.setLevel(logging.INFO)
    patch = fakes.Patcher()
    try:
        ctx = Context(patch, record=True)
        bench = case.build(case.module(impl), ctx)
        if bench.setup is not None:
            bench.setup()
        try:
            result, error = describe(bench.call()), None
        except BaseException as e:  # noqa: BLE001 - compared, not handled
            result, error = None, f"{type(e).__name__}: {e}"
        return {"result": result, "error": error, "observed": bench.observe(),
                "log": capture.lines}
    finally:
        patch.undo()
        for logger, level, propagate, handlers in saved:
            logger.setLevel(level)
            logger.propagate, logger.handlers = propagate, handlers


def differences(case: Case) -> list[str]:
    """What differs between the two implementations in `case` (empty: nothing)."""
    native, reference = run_once(case, "native"), run_once(case, "reference")
    found = []
    for key in native:
        if native[key] != reference[key]:
            found.append(f"{case.name}: {key} differs\n  native:    {_short(native[key])}\n"
                         f"  reference: {_short(reference[key])}")
    if native["error"] is not None:
        found.append(f"{case.name}: the call failed: {native['error']}")
    return found


def _short(value: Any, limit: int = 600) -> str:
    text = repr(value)
    return text if len(text) <= limit else text[:limit] + " ..."


def check(cases: list[Case]) -> list[str]:
    problems = []
    for case in cases:
        problems += differences(case)
    return problems
