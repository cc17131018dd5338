"""What every command of the command line shares: logging, masking, errors, exit statuses."""

from __future__ import annotations

import contextlib
import importlib
import logging
import sys
import traceback
from collections.abc import Iterator

from morvent.core.Globals import Globals

PROG = "morvent"
EXIT_OK, EXIT_FAILED, EXIT_USAGE = 0, 1, 2


class UsageError(Exception):
    """Bad command line or environment; exit status 2."""


class Refused(Exception):
    """The command stopped before changing anything; exit status 1.

    The first line of the message is the error, each further line a detail.
    """


def user_errors() -> tuple[type[BaseException], ...]:
    """Exceptions whose message alone tells the user what to do."""
    import botocore.exceptions

    from morvent.core.exceptions import CorvaneRollbackException, HistoryError
    from morvent.lib.awsutil import AwsStepError, WaitTimeout
    from morvent.lib.cvn_account import AccountSetupError
    from morvent.lib.s3 import BackupError, LockHeldError

    errors: list[type[BaseException]] = [
        LockHeldError, BackupError, AccountSetupError, HistoryError, AwsStepError, WaitTimeout,
        # a step that did not happen, named with the controller's reason (a revert
        # keeps its undo record, so running it again retries the step)
        CorvaneRollbackException,
        botocore.exceptions.NoCredentialsError, botocore.exceptions.ClientError,
        botocore.exceptions.EndpointConnectionError, botocore.exceptions.NoRegionError,
    ]
    exceptions = importlib.import_module("morvent.core.exceptions")
    login_error = getattr(exceptions, "ControllerLoginError", None)
    if isinstance(login_error, type):
        errors.append(login_error)
    return tuple(errors)


def controller_errors() -> tuple[type[BaseException], ...]:
    import requests

    return (requests.RequestException,)


# -- logging -----------------------------------------------------------------

def setup_logging(verbosity: int) -> tuple[logging.Handler, int]:
    """Log to stderr; returns the handler and the package logger's former level."""
    handler = logging.StreamHandler(sys.stderr)
    if verbosity > 0:
        handler.setFormatter(logging.Formatter(
            "%(asctime)s %(levelname)-7s %(name)s: %(message)s", "%H:%M:%S"))
    else:
        handler.setFormatter(logging.Formatter("%(asctime)s %(levelname)-7s %(message)s",
                                               "%H:%M:%S"))
    masking = secret_masking_filter()
    if masking is not None:
        handler.addFilter(masking)
    root = logging.getLogger()
    root.addHandler(handler)
    if root.level == logging.NOTSET or root.level > logging.WARNING:
        root.setLevel(logging.WARNING)
    level = {-1: logging.WARNING, 0: logging.INFO}.get(max(-1, min(verbosity, 1)), logging.DEBUG)
    package = logging.getLogger("morvent")
    former_level = package.level
    package.setLevel(level)
    return handler, former_level


def secret_masking_filter() -> logging.Filter | None:
    """The transport's filter that hides passwords and session ids, when it has one."""
    try:
        backend = importlib.import_module("morvent.lib.corvane_backend")
        return backend.SecretMaskingFilter()
    except Exception:
        return None


def mask(text: str) -> str:
    """``text`` with every password and session id the transport knows masked."""
    try:
        backend = importlib.import_module("morvent.lib.corvane_backend")
        return backend.mask_secrets(text)
    except Exception:
        return text


@contextlib.contextmanager
def masked_output() -> Iterator[None]:
    """Wrap sys.stdout and sys.stderr in the transport's masking stream.

    Whatever is printed meanwhile, by ``traceback.print_exc`` in the migration
    or by a stray ``print``, passes through it; the streams are flushed and put
    back afterwards.
    """
    try:
        stream_class = importlib.import_module("morvent.lib.corvane_backend").SecretMaskingStream
    except Exception:
        yield
        return
    saved = sys.stdout, sys.stderr
    wrapped = tuple(stream_class(s) if s is not None else None for s in saved)
    sys.stdout, sys.stderr = wrapped
    try:
        yield
    finally:
        for stream in wrapped:
            if stream is not None:
                with contextlib.suppress(Exception):
                    stream.flush()
        sys.stdout, sys.stderr = saved


def print_traceback() -> None:
    """The traceback of the exception being handled, masked, on standard error."""
    print(mask(traceback.format_exc()), end="", file=sys.stderr)


# -- errors and exit statuses ------------------------------------------------------

def exit_status_of(e: SystemExit) -> int:
    if e.code is None:
        return EXIT_OK
    if isinstance(e.code, int):
        return e.code
    print(mask(f"{PROG}: {e.code}"), file=sys.stderr)
    return EXIT_FAILED


def fail(message: str, status: int) -> int:
    print(mask(f"{PROG}: error: {message}"), file=sys.stderr)
    return status


def controller_problem(e: BaseException) -> str:
    """One line on a failed controller request; a time-out says how long it waited."""
    import requests

    timeout = Globals.controller_timeout
    connect, read = timeout if isinstance(timeout, tuple) else (timeout, timeout)
    if isinstance(e, requests.ConnectTimeout):
        return f"no connection to the controller within {connect:g} s"
    if isinstance(e, requests.Timeout):
        return (f"no answer from the controller within {read:g} s; it may still carry the "
                "request out (run the command again to resume)")
    return one_line(e)


def one_line(e: BaseException) -> str:
    text = " ".join(str(e).split())
    return text or type(e).__name__
