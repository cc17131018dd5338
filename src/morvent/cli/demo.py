"""``morvent demo``: hands everything after ``demo`` to ``morvent.sim.demo.main``."""

from __future__ import annotations

import importlib

from morvent.cli.output import EXIT_OK, UsageError


def run(argv: list[str]) -> int:
    try:
        demo = importlib.import_module("morvent.sim.demo")
    except ImportError as e:
        raise UsageError(f"the demo is not available: {e}") from e
    result = demo.main(argv)
    return result if isinstance(result, int) else EXIT_OK
