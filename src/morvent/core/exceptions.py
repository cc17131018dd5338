"""Exceptions of the migration commands and of the runs around them."""


class UsageError(Exception):
    """Bad command line or environment; exit status 2."""


class Refused(Exception):
    """The command stopped before changing anything; exit status 1.

    The first line of the message is the error, each further line a detail.
    """


class Cancelled(Exception):
    """The question before a run was answered no; exit status 1."""


class CorvaneRollbackException(Exception):
    """A migration step failed in a way that calls for a rollback."""


class ControllerLoginError(Exception):
    """Logging in to the controller failed; the message says why (never a secret)."""


class HistoryError(Exception):
    """A command or memento history cannot be read, written or used as asked."""


class BackupUnavailable(BaseException):
    """S3 could not store the backup during a run; the run stops at once.

    Raised when an undo record, written to the local backup folder, cannot
    be stored in S3 before the next change would go out (and when the
    end-of-run upload cannot store the folder).  ``str()`` is one line
    naming the local folder that keeps the records and the S3 folder; the
    next run stores them there.

    Deliberately not an ``Exception``: a failed migration step rolls back on
    ``Exception``, and a rollback is itself a series of changes whose records
    could not be stored either.  Like ``KeyboardInterrupt`` it passes through
    ``except Exception`` handlers, while ``with`` blocks (the VPC lock) and
    ``finally`` clauses still run.  Catch it by name.
    """

    def __init__(self, message: str, folder: str | None = None, url: str | None = None):
        super().__init__(message)
        #: The local backup folder that holds what S3 lacks.
        self.folder = folder
        #: The S3 folder that could not be written.
        self.url = url


class BackupConflict(BackupUnavailable):
    """S3 no longer holds what this run based its records on; the run stops at once.

    Raised when a history's conditional write finds the S3 copy changed since
    the run read it (another run wrote it), or when the VPC's lock is no
    longer the run's (broken by another run).  Like ``BackupUnavailable``
    it passes through ``except Exception``: no rollback, the records stay
    in the local folder.
    """


class UnrecordedGateway(BaseException):
    """The controller confirmed creating a gateway that look-ups cannot see.

    No undo record can describe a gateway that cannot be seen, and the undo
    of the steps before it (a NAT gateway put back with its Elastic IP)
    needs the address that gateway may hold.  So the run stops at once,
    without a rollback, every record kept; ``str()`` is one line naming the
    gateway, its subnet and the address.  The next run finds the gateway
    (the controller refuses to make it twice, and the look-up that follows
    describes it) and records it.

    Not an ``Exception``, for the reason ``BackupUnavailable`` gives: it
    passes the step sequence's ``except Exception`` rollback.  Catch it by
    name.
    """
