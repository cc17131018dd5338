"""Exceptions of the migration commands."""


class CorvaneRollbackException(Exception):
    """A migration step failed in a way that calls for a rollback."""


class ControllerLoginError(Exception):
    """Logging in to the controller failed; the message says why (never a secret)."""


class HistoryError(Exception):
    """A command or memento history cannot be read, written or used as asked."""


class BackupUnavailable(BaseException):
    """An undo record could not be stored in S3 during a run.

    The local copy of the record is kept and the run stops at once, without
    a rollback: undoing steps while their records cannot be saved would only
    widen the gap between the VPC and its backup.  It derives from
    BaseException so that the step sequence's error handling, which rolls
    back on every Exception, lets it through.  ``str()`` is one line that
    says which record and where it is kept.
    """
