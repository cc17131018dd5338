"""Exceptions of the migration commands."""


class CorvaneRollbackException(Exception):
    """A migration step failed in a way that calls for a rollback."""


class ControllerLoginError(Exception):
    """Logging in to the controller failed; the message says why (never a secret)."""


class HistoryError(Exception):
    """A command or memento history cannot be read, written or used as asked."""
