"""Small helpers shared by the command classes."""

import logging

_log = logging.getLogger(__name__)


class Common:
    """The operation log: every command method records what it runs."""

    operations: list[str] = []

    @classmethod
    def logOperation(cls, name: str) -> None:
        """Record that an operation of command class ``name`` starts."""
        cls.operations.append(name)
        _log.debug("operation %s", name)
