"""What every command of the command line shares: its output.

- logging: the console handler (its level set by -v/-q) with secret masking
  (the log file of a run and the progress lines are the run's own:
  ``morvent.run.progress``);
- tables: plans, the per-zone egress summary, status;
- the question before a run, one-line errors and the exit statuses.
"""

from __future__ import annotations

import contextlib
import importlib
import json
import logging
import os
import sys
import traceback
from collections.abc import Iterator, Sequence
from typing import Any, TextIO

from morvent.core.exceptions import Cancelled, Refused, UsageError  # noqa: F401 - the CLI's own
from morvent.core.Globals import Globals
from morvent.core.statuses import (EXIT_ATTENTION, EXIT_CHANGES, EXIT_FAILED,  # noqa: F401
                                    EXIT_INTERRUPTED, EXIT_LOCKED, EXIT_OK,
                                    EXIT_STDOUT_CLOSED, EXIT_TERMINATED, EXIT_USAGE)
from morvent.core.text import PROG, one_line, password_variable  # noqa: F401 - used by the commands
from morvent.run.plan import NOTHING_TO_REVERT
from morvent.run.progress import (ReplacementProgress, RevertProgress, RunLog,  # noqa: F401
                                  listening, secret_masking_filter, stderr_to_log)

EXIT_STATUSES = f"""exit statuses:
  {EXIT_OK}    done (also: nothing to do)
  {EXIT_FAILED}    failed (a failed step's group of steps was rolled back), refused before
       any change, or cancelled at the question
  {EXIT_USAGE}    configuration or usage error (also: no terminal to ask on and no --yes, a
       VPC that does not exist in the region)
  {EXIT_LOCKED}    the VPC is locked by another run (also: --break-lock refused)
  {EXIT_CHANGES}    plan --detailed-exitcode: the run would go ahead and change something
  {EXIT_ATTENTION}    status --detailed-exitcode: something needs attention (lock, open group,
       changes no record explains, a stopped or refused state)
  {EXIT_INTERRUPTED}  stopped by Ctrl-C (SIGINT); {EXIT_TERMINATED} stopped by SIGTERM
  {EXIT_STDOUT_CLOSED}  standard output was closed early (e.g. `| head`); nothing more is said
plan ends with the status the run would stop with when it would not go ahead."""

#: The logger of the command line's own lines (progress, log file notices).
log = logging.getLogger("morvent.cli")


class Blocked(Exception):
    """The run a plan is the plan of would not go ahead: ``problems`` holds what it
    would stop on, in the order it would meet them (the first decides the status)."""

    def __init__(self, problems: list[BaseException]):
        super().__init__("; ".join(str(p).splitlines()[0] if str(p) else type(p).__name__
                                   for p in problems))
        self.problems = problems


def user_errors() -> tuple[type[BaseException], ...]:
    """Exceptions whose message alone tells the user what to do."""
    import botocore.exceptions

    from morvent.core.exceptions import CorvaneRollbackException, HistoryError
    from morvent.lib.awsutil import AwsStepError, WaitTimeout
    from morvent.lib.cvn_account import AccountSetupError
    from morvent.lib.lock import LockHeldError
    from morvent.lib.s3 import BackupError

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

CONSOLE_FORMAT = "%(asctime)s %(levelname)-7s %(message)s"
VERBOSE_FORMAT = "%(asctime)s %(levelname)-7s %(name)s: %(message)s"


def console_level(verbosity: int) -> int:
    return {-1: logging.WARNING, 0: logging.INFO}.get(max(-1, min(verbosity, 1)), logging.DEBUG)


def setup_logging(verbosity: int, quiet_level: int | None = None) -> tuple[logging.Handler, int]:
    """Log to stderr; returns the handler and the package logger's former level.

    The package logs everything (DEBUG), so that a run's log file gets it;
    the console handler shows what the verbosity asks for (``quiet_level``:
    the level without -v or -q, INFO unless a command says otherwise).
    """
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter(VERBOSE_FORMAT if verbosity > 0 else CONSOLE_FORMAT,
                                           "%H:%M:%S"))
    level = console_level(verbosity)
    if verbosity == 0 and quiet_level is not None:
        level = quiet_level
    handler.setLevel(level)
    masking = secret_masking_filter()
    if masking is not None:
        handler.addFilter(masking)
    # The result lines are on standard output already; the log file gets them as records.
    handler.addFilter(lambda record: record.name != RESULT_LOGGER)
    _install_native_words()
    root = logging.getLogger()
    root.addHandler(handler)
    if root.level == logging.NOTSET or root.level > logging.WARNING:
        root.setLevel(logging.WARNING)
    package = logging.getLogger("morvent")
    former_level = package.level
    package.setLevel(logging.DEBUG)
    return handler, former_level


def _install_native_words() -> None:
    """Error names in the native modules' lines in words (see morvent.lib.native_lines)."""
    try:
        from morvent.lib import native_lines
    except ImportError:  # pragma: no cover - part of the package
        return
    native_lines.install()


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
    if errors_said is not None:
        errors_said.append(mask(str(e.code)))
    print(mask(f"{PROG}: {e.code}"), file=sys.stderr)
    return EXIT_FAILED


#: When a list, every error line said goes there too (for a JSON document of the run):
#: the command's own (``fail``) and what the run logged at ERROR (``ErrorsLogged``).
errors_said: list[str] | None = None


class ErrorsLogged(logging.Handler):
    """Puts every line logged at ERROR or above in ``errors_said``, in the
    words the console shows (a failed step's error and what the run left)."""

    def __init__(self) -> None:
        super().__init__(logging.ERROR)
        self.addFilter(lambda record: record.name != RESULT_LOGGER)

    def emit(self, record: logging.LogRecord) -> None:
        if errors_said is None:
            return
        try:
            message = record.getMessage()
        except Exception:  # noqa: BLE001 - logging reports a broken record itself
            return
        errors_said.extend(mask(line.strip()) for line in message.splitlines()
                           if line.strip())


def fail(message: str, status: int) -> int:
    """The one-line error of a command (error names of requests in words); ``status``."""
    from morvent.lib.native_lines import in_words

    message = in_words(message)
    if errors_said is not None:
        errors_said.append(mask(message))
    print(mask(f"{PROG}: error: {message}"), file=sys.stderr)
    return status


def controller_problem(e: BaseException) -> str:
    """One line on a failed controller request: what failed, where, what to check."""
    from morvent.lib.corvane_backend import request_problem

    return request_problem(e)


#: AWS error codes that mean the credentials themselves were refused.
AWS_CREDENTIAL_CODES = frozenset({
    "AuthFailure", "ExpiredToken", "ExpiredTokenException", "InvalidAccessKeyId",
    "InvalidClientTokenId", "RequestExpired", "SignatureDoesNotMatch",
    "UnrecognizedClientException"})
CHECK_CREDENTIALS = ("check the credentials: aws_profile in the configuration (or --profile), "
                     "or AWS_PROFILE")


def aws_problem(e: BaseException) -> str | None:
    """One line on a failed AWS request, without botocore's phrasing; None when
    ``e`` is not an AWS error."""
    import botocore.exceptions as aws

    if isinstance(e, aws.NoCredentialsError):
        return (f"no AWS credentials found; {CHECK_CREDENTIALS} (or AWS_ACCESS_KEY_ID and "
                "AWS_SECRET_ACCESS_KEY)")
    if isinstance(e, aws.ProfileNotFound):
        return (f"the AWS profile {e.kwargs.get('profile')!r} is not in the AWS configuration "
                f"files; {CHECK_CREDENTIALS}")
    if isinstance(e, aws.NoRegionError):
        return "no AWS region: set region in the configuration (or --region)"
    if isinstance(e, aws.EndpointConnectionError):
        return (f"cannot reach AWS at {e.kwargs.get('endpoint_url')}: check the network "
                "(and the region, and aws_endpoint_url when one is set)")
    if isinstance(e, aws.ClientError):
        error = e.response.get("Error", {})
        code, message = error.get("Code", "?"), error.get("Message") or ""
        what = f"AWS refused {e.operation_name} ({code}{': ' + message if message else ''})"
        if code in AWS_CREDENTIAL_CODES:
            return f"{what}; {CHECK_CREDENTIALS} (a session that expired?)"
        return what
    if isinstance(e, (aws.BotoCoreError)):
        return f"an AWS request failed: {one_line(e)}"
    return None


#: The logger of the result lines (tables, the verdict): only the run's log file
#: shows its records; the console has the lines on standard output.
RESULT_LOGGER = "morvent.result"


class StdoutClosed(Exception):
    """Standard output was closed while the command's result was written to it."""


def say(text: str = "", stream: TextIO | None = None) -> None:
    """A line of the command's result (plans, tables, the verdict): standard output,
    and the log file of a run."""
    logging.getLogger(RESULT_LOGGER).info("%s", text)
    try:
        print(text, file=stream if stream is not None else sys.stdout, flush=True)
    except BrokenPipeError:
        raise StdoutClosed() from None


def verdict(text: str) -> None:
    """The final one-line verdict; shown even with -q."""
    say(f"{PROG}: {text}")


# -- tables --------------------------------------------------------------------------

def table(head: Sequence[str], rows: Sequence[Sequence[Any]], indent: str = "  ") -> list[str]:
    """Lines of a plain text table with a header and a rule."""
    cells = [[str(c) for c in head]] + [["" if c is None else str(c) for c in r] for r in rows]
    widths = [max(len(row[i]) for row in cells) for i in range(len(head))]
    lines = []
    for n, row in enumerate(cells):
        lines.append(indent + "  ".join(c.ljust(w) for c, w in zip(row, widths)).rstrip())
        if n == 0:
            lines.append(indent + "  ".join("-" * w for w in widths))
    return lines


def plan_lines(plan: Any, only_to_do: bool = False) -> list[str]:
    """A plan in words: its steps in order, each with what it touches, and the closing count."""
    what = ("morvent execute" if plan.command == "execute" else "morvent revert")
    source = {"recorded": ", NAT gateways as the discovery recorded them",
              "read-only": ", NAT gateways as a discovery finds them now (not recorded yet)"}
    lines = [f"Plan of {what} for {plan.vpc_id}{source.get(plan.discovery, '')}:"]
    if plan.command == "revert" and not plan.steps:
        lines.append(f"  {NOTHING_TO_REVERT}")
    if plan.fatal:
        lines.append(f"  cannot run: {plan.fatal}")
    account = getattr(plan, "account", None)
    if account and account.get("action") == "create":
        lines.append(f"  first: create controller account {account.get('name')} for AWS account "
                     f"{account.get('aws_account_number')} (roles {account.get('aws_role_app')}, "
                     f"{account.get('aws_role_ec2')})")
    elif account:
        lines.append(f"  controller account {account.get('name')} exists: used as it is")
    total = len(plan.steps)
    done = [s for s in plan.steps if s.done]
    if only_to_do and done:
        lines.append(f"  steps 1 to {len(done)} of {total} are done already")
    for step in plan.steps:
        if only_to_do and step.done:
            continue
        lines.append(f"  [{step.position}/{total}] {'done: ' if step.done else ''}{step.title}")
        if step.done:
            continue
        if step.routes:
            lines.append(f"        routes: {', '.join(step.routes)}")
        elif step.resources.get("route_tables"):
            lines.append(f"        route tables: {', '.join(step.resources['route_tables'])}")
    refusals = getattr(plan, "refusals", None) or []
    if refusals:
        lines.append("  refused: the run stops before any change, because of:")
        lines += [f"    {line}" for line in refusals]
    changes = getattr(plan, "address_changes", None) or []
    if changes:
        lines.append("  address changes (the run needs them accepted: --accept-address-changes, "
                     "or accept_address_changes: true):")
        lines += [f"    {change.line()}" for change in changes]
    borrowed = getattr(plan, "borrowed", None) or []
    if borrowed and not plan.fatal and not refusals:
        lines.append("  during the run, traffic leaves through another zone's address (peers "
                     "that allow only a zone's own address refuse it meanwhile):")
        lines += [f"    {line}" for line in borrowed]
    for warning in plan.warnings:
        lines.append(f"  warning: {warning}")
    lines.append(plan.summary())
    return lines


def print_plan(plan: Any, output: str, only_to_do: bool = False) -> None:
    if output == "json":
        say(json.dumps(plan.to_dict(), indent=2))
    else:
        for line in plan_lines(plan, only_to_do):
            say(line)


def egress_lines(before: Any, after: Any) -> list[str]:
    """Per zone: where each private route table sends traffic, before and after, and
    the zone's NAT gateways before and after."""
    was = {e.route_table_id: e for e in before.exits}
    now = {e.route_table_id: e for e in after.exits}
    # A table without a default route before and after has no part in the egress.
    routed = {t for t, e in [*was.items(), *now.items()] if e.target != "none"}
    zone_of = {t: e.zone for t, e in [*was.items(), *now.items()] if t in routed}
    rows = []
    for zone in sorted(set(zone_of.values()) | set(before.natgws) | set(after.natgws)):
        tables = sorted(t for t, z in zone_of.items() if z == zone) or [None]
        nat_before = ", ".join(before.natgws.get(zone, [])) or "-"
        nat_after = ", ".join(after.natgws.get(zone, [])) or "-"
        for n, table_id in enumerate(tables):
            first = n == 0
            rows.append((zone if first else "", table_id or "-",
                         was.get(table_id, "-") if table_id else "-",
                         now.get(table_id, "-") if table_id else "-",
                         nat_before if first else "", nat_after if first else ""))
    return (["Egress by zone (default route target and the address traffic leaves with):"]
            + table(("zone", "route table", "before", "after", "NAT gateways before",
                     "after"), rows))


# -- the question before a run ---------------------------------------------------------

def can_ask() -> bool:
    """True when there is a terminal to ask the question on."""
    stdin = sys.stdin
    try:
        return stdin is not None and stdin.isatty()
    except (AttributeError, ValueError):
        return False


def _terminal() -> Any:
    """The process's terminal for reading and writing (/dev/tty) when standard input
    is a terminal (the one a person answers on), else None."""
    try:
        if not os.isatty(sys.stdin.fileno()):
            return None
        return open("/dev/tty", "r+", encoding="utf-8", errors="replace")
    except (AttributeError, OSError, ValueError):
        return None


def ask(question: str, shown: Sequence[str] = ()) -> bool:
    """Ask on the terminal; True only for "y" or "yes".

    The question goes to the terminal itself (/dev/tty) when there is one,
    so that it is seen even when standard error goes to a file; ``shown``
    (what the question is about) goes there too unless standard error is
    that terminal and has it already.
    """
    tty = _terminal()
    try:
        if tty is not None and not _same_terminal(tty, sys.stderr):
            for line in shown:
                tty.write(line + "\n")
        out, answers = (tty, tty) if tty is not None else (sys.stderr, sys.stdin)
        out.write(f"{question} [yes/no]: ")
        out.flush()
        answer = answers.readline()
        if not answer:
            out.write("\n")
    finally:
        if tty is not None:
            tty.close()
    yes = answer.strip().lower() in ("y", "yes")
    log.debug("asked: %s answered: %s", question, "yes" if yes else "no")
    return yes


def _same_terminal(tty: Any, stream: Any) -> bool:
    """True when ``stream`` writes to the terminal ``tty`` is."""
    try:
        return os.path.samestat(os.fstat(tty.fileno()), os.fstat(stream.fileno()))
    except (AttributeError, OSError, ValueError):
        return False
