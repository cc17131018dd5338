"""``morvent sim``: hands everything after ``sim`` to ``morvent.sim.standalone.main``."""

from __future__ import annotations

import importlib

from morvent.cli.output import EXIT_OK, UsageError


def run(argv: list[str]) -> int:
    try:
        standalone = importlib.import_module("morvent.sim.standalone")
    except ImportError as e:
        raise UsageError(f"the simulator is not available: {e}") from e
    result = standalone.main(argv)
    return result if isinstance(result, int) else EXIT_OK
