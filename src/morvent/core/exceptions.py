"""Exceptions of the migration commands."""


class CorvaneRollbackException(Exception):
    """A migration step failed in a way that calls for a rollback."""
