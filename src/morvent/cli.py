"""The command line: ``morvent execute | revert | cleanup | demo``.

Exit status: 0 success; 1 the migration (or revert) failed or could not
start (controller login, lock held, AWS); 2 bad configuration or usage; 130
stopped by Ctrl-C (SIGINT), 143 stopped by SIGTERM.  Problems the user can
fix are reported as one line on standard error; ``-v`` adds the traceback.

``execute`` and ``revert`` take the VPC's lock and read the backup before
anything else; a run that stops (failure, signal) says what its records hold
and what to run next.

No controller password or session id reaches the output: log handlers, error
lines and tracebacks are masked, and standard output and error are wrapped in a
masking stream while a command runs (the migration prints tracebacks of failed
steps straight to standard error).
"""

from __future__ import annotations

import argparse
import contextlib
import importlib
import logging
import os
import shlex
import sys
import traceback
import warnings
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from typing import Any

from morvent import __version__
from morvent.core.backup import BackupDescriptor
from morvent.core.config import Config, ConfigError, load_config
from morvent.core.exceptions import BackupUnavailable
from morvent.core.Globals import Globals
from morvent.core.interrupt import StopOnSignals, Terminated, exit_status, shielded, \
    signal_name

PROG = "morvent"
EXIT_OK, EXIT_FAILED, EXIT_USAGE = 0, 1, 2
BREAK_LOCK_HELP = ("remove the VPC's lock that a run which no longer runs left in S3 (killed "
                   "with SIGKILL, machine lost), then run; a run refused by a lock names its "
                   "holder and since when it holds it")

#: Settings a command changes in Globals; main() puts them back afterwards.
_RESTORED_SETTINGS = ("dry_run", "controller_timeout", "controller_verify")


class UsageError(Exception):
    """Bad command line or environment; exit status 2."""


class Refused(Exception):
    """The command stopped before changing anything; exit status 1.

    The first line of the message is the error, each further line a detail.
    """


def _user_errors() -> tuple[type[BaseException], ...]:
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


def _controller_errors() -> tuple[type[BaseException], ...]:
    import requests

    return (requests.RequestException,)


# -- logging -----------------------------------------------------------------

def _setup_logging(verbosity: int) -> tuple[logging.Handler, int]:
    """Log to stderr; returns the handler and the package logger's former level."""
    handler = logging.StreamHandler(sys.stderr)
    if verbosity > 0:
        handler.setFormatter(logging.Formatter(
            "%(asctime)s %(levelname)-7s %(name)s: %(message)s", "%H:%M:%S"))
    else:
        handler.setFormatter(logging.Formatter("%(asctime)s %(levelname)-7s %(message)s",
                                               "%H:%M:%S"))
    masking = _secret_masking_filter()
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


def _secret_masking_filter() -> logging.Filter | None:
    """The transport's filter that hides passwords and session ids, when it has one."""
    try:
        backend = importlib.import_module("morvent.lib.corvane_backend")
        return backend.SecretMaskingFilter()
    except Exception:
        return None


def _mask(text: str) -> str:
    """``text`` with every password and session id the transport knows masked."""
    try:
        backend = importlib.import_module("morvent.lib.corvane_backend")
        return backend.mask_secrets(text)
    except Exception:
        return text


@contextlib.contextmanager
def _masked_output() -> Iterator[None]:
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


def _print_traceback() -> None:
    """The traceback of the exception being handled, masked, on standard error."""
    print(_mask(traceback.format_exc()), end="", file=sys.stderr)


# -- arguments -----------------------------------------------------------------

def _parser() -> argparse.ArgumentParser:
    verbosity = argparse.ArgumentParser(add_help=False)
    group = verbosity.add_mutually_exclusive_group()
    group.add_argument("-v", "--verbose", action="store_const", const=1, dest="verbosity",
                       default=argparse.SUPPRESS, help="more detail, tracebacks on errors")
    group.add_argument("-q", "--quiet", action="store_const", const=-1, dest="verbosity",
                       default=argparse.SUPPRESS, help="warnings and errors only")

    parser = argparse.ArgumentParser(
        prog=PROG, parents=[verbosity],
        description="Move a VPC's outbound traffic from its NAT gateways to spoke gateways "
                    "that keep the NAT gateways' Elastic IPs, and back.")
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def add(name: str, help: str) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, parents=[verbosity], help=help, description=help)
        sub.add_argument("--config", "-c", required=True, metavar="FILE",
                         help="the YAML configuration file")
        return sub

    sub = add("execute", "replace the VPC's NAT gateways by spoke gateways (resumes a "
                         "stopped run)")
    sub.add_argument("--dry-run", action="store_true",
                     help="change nothing: show what would be done, on a scratch copy of the "
                          "backup")
    sub.add_argument("--break-lock", action="store_true", help=BREAK_LOCK_HELP)
    sub = add("revert", "undo the replacement recorded in the VPC's backup")
    sub.add_argument("--break-lock", action="store_true", help=BREAK_LOCK_HELP)
    add("cleanup", "clean-up entry point of the replacement (nothing to clean up yet)")
    # Everything after "demo" belongs to the demo (main() passes it on).
    commands.add_parser("demo", add_help=False,
                        help="run a replacement on a simulated controller and cloud")
    return parser


# -- commands ------------------------------------------------------------------

def _load_manager() -> Any:
    try:
        from morvent.commands.brindlemark import Manager
    except ImportError as e:
        raise UsageError(f"the migration module is not available ({e}); build the native "
                         "modules first") from e
    return Manager


def _require_password(config: Config) -> None:
    name = config.controller_password_env
    if not os.environ.get(name):
        raise UsageError(f"the controller password is not set: put it in the environment "
                         f"variable {name} (controller_password_env in {config.source})")


def _lock(config: Config, command: str) -> Any:
    from morvent.core.ConfigAdaptor import ConfigAdaptor
    from morvent.lib.aws_cred import AwsClientManager
    from morvent.lib.s3 import VpcLock, default_owner

    s3_client = AwsClientManager(config).getS3Client()
    return VpcLock(s3_client, ConfigAdaptor(config).backup_descriptor,
                   owner=default_owner(command))


@dataclass
class _Backup:
    """The VPC's backup as read before the run, and where it lives."""

    des: BackupDescriptor
    state: Any  # morvent.core.reconcile.BackupState

    @property
    def where(self) -> str:
        return f"{self.des.url} (local copy {self.des.getAbsolutePath()})"

    def now(self) -> Any:
        """The records as the run left them locally; None when they cannot be read."""
        from morvent.core.reconcile import read_backup_state

        try:
            return read_backup_state(self.des.getAbsolutePath())
        except Exception:
            return None


def _read_backup(lock: Any) -> _Backup:
    """Bring the backup from S3 (merged with the local folder) before anything changes."""
    from morvent.core.reconcile import read_backup_state
    from morvent.lib.s3 import S3BackupCmdV2

    S3BackupCmdV2(lock.s3_client, lock.backup_des).download()
    return _Backup(lock.backup_des, read_backup_state(lock.backup_des.getAbsolutePath()))


def _run_locked(config: Config, args: argparse.Namespace, command: str,
                run: Callable[[_Backup], None]) -> None:
    """Take the VPC's lock (not in a dry run), read the backup, then ``run(backup)``."""
    from morvent.lib.s3 import describe_holder

    lock = _lock(config, command)
    if getattr(args, "dry_run", False):
        # A dry run stores nothing in S3, its lock included; it only says
        # when another run is busy with the backup it reads.
        holder = lock.holder()
        if holder is not None:
            logging.getLogger(__name__).warning(
                "  %s is locked by %s; the dry run reads a backup that may be changing",
                config.vpc_id, describe_holder(holder))
        run(_read_backup(lock))
        return
    if args.break_lock:
        lock.break_lock()
    try:
        # Neither half-taken nor left behind, whatever signal comes.
        with shielded():
            lock.acquire()
        run(_read_backup(lock))
    finally:
        with shielded():
            lock.release()


def _records(n: int) -> str:
    return f"{n} undo record" + ("" if n == 1 else "s")


def _stopped_by(e: BaseException) -> str:
    return "Ctrl-C (SIGINT)" if isinstance(e, KeyboardInterrupt) else signal_name(e.signum)


def _unresumable(config: Config, state: Any) -> str | None:
    """What the discovery found when it leaves nothing to replace, else None."""
    if not state.discovered or len(state.natgws) >= 2 or state.mementos:
        return None
    if not state.natgws:
        found = (f"no available public NAT gateway was found in {config.vpc_id}: nothing to "
                 "replace (replaced already, or none to begin with)")
    else:
        natgw = state.natgws[0]
        found = (f"only 1 NAT gateway was found in {config.vpc_id} ({natgw.get('nat_gw_id')} "
                 f"in {natgw.get('subnet_id')}); the replacement needs at least two")
    return (f"{found}; no NAT gateway, route or spoke gateway was changed; to discover the "
            f"NAT gateways again, remove command_history.json from {state.folder} and from "
            "the backup in S3")


def _after_execute(config: Config, backup: _Backup, stop: BaseException | None) -> str:
    """What a failed or stopped run of execute left, and what to run next."""
    how = f"stopped by {_stopped_by(stop)}" if stop is not None else "failed"
    if Globals.dry_run:
        return f"the dry run {how}; nothing was changed"
    state = backup.now()
    if state is None:
        return f"execute {how}; run it again to resume, or see the log above"
    unresumable = _unresumable(config, state)
    if unresumable is not None:
        return f"execute cannot resume: {unresumable}"
    if not state.discovered:
        return (f"execute {how} before the NAT gateways were discovered; no NAT gateway, "
                "route or spoke gateway was changed; run it again to resume"
                + (" once the cause above is fixed" if stop is None else ""))
    done = ("the newest group of steps was rolled back (see above for any step that could "
            "not be undone); " if stop is None else "")
    return (f"execute {how}; {done}{_records(len(state.mementos))} kept in {backup.where}: "
            "run it again to resume (`morvent execute`), or `morvent revert` to undo them")


def _execute(args: argparse.Namespace, config: Config) -> None:
    if args.dry_run and args.break_lock:
        raise UsageError("--break-lock changes the lock in S3; it cannot go with --dry-run")
    _require_password(config)
    manager = _load_manager()
    Globals.dry_run = bool(args.dry_run)
    command = f"{PROG} execute --config {shlex.quote(config.source)}" + \
        (" --dry-run" if args.dry_run else "")
    log = logging.getLogger(__name__)

    def run(backup: _Backup) -> None:
        unresumable = _unresumable(config, backup.state)
        if unresumable is not None:
            raise Refused(f"nothing to resume: {unresumable}")
        try:
            manager.execute(config)
        except SystemExit as e:
            if e.code not in (None, 0):
                log.error("%s", _after_execute(config, backup, None))
            raise
        except (KeyboardInterrupt, Terminated) as e:
            log.error("%s", _after_execute(config, backup, e))
            raise

    _run_locked(config, args, command, run)


def _after_revert(backup: _Backup, stop: BaseException | None) -> str:
    """Where a revert stopped, and that its records are kept."""
    from morvent.core.reconcile import describe_record

    how = f"stopped by {_stopped_by(stop)}" if stop is not None else "failed"
    state = backup.now()
    if state is None:
        return f"revert {how}; run it again, or see the log above"
    if not state.mementos:
        return f"revert {how} after every undo record was restored"
    return (f"revert {how}; it stopped at the undo record of the "
            f"{describe_record(state.mementos[-1])}; the {_records(len(state.mementos))} left "
            f"are kept in {backup.where}: run `morvent revert` again to go on")


def _check_world(config: Config, backup: _Backup) -> None:
    """Refuse to revert when EC2 shows a change that no undo record describes."""
    from morvent.core.reconcile import unrecorded_changes
    from morvent.lib.aws_cred import AwsClientManager

    ec2 = AwsClientManager(config).getEc2Client()
    findings = unrecorded_changes(ec2, config.vpc_id, backup.state)
    if findings:
        raise Refused("\n".join(
            [f"revert stopped before changing anything: {config.vpc_id} does not match its "
             f"{_records(len(backup.state.mementos))}, all kept in {backup.where}"]
            + [f"  {finding}; `morvent execute` finishes the interrupted step"
               for finding in findings]
            + ["then `morvent revert` restores the VPC"]))


def _revert(args: argparse.Namespace, config: Config) -> None:
    _require_password(config)
    manager = _load_manager()
    Globals.dry_run = False
    log = logging.getLogger(__name__)

    def run(backup: _Backup) -> None:
        if not backup.state.mementos:
            # Nothing to undo: no login, no change.
            print(f"{PROG}: nothing to revert: no undo record in {backup.where}",
                  file=sys.stderr)
            return
        _check_world(config, backup)
        try:
            manager.revert(config)
        except (Exception, KeyboardInterrupt, Terminated) as e:
            log.error("%s", _after_revert(
                backup, e if isinstance(e, (KeyboardInterrupt, Terminated)) else None))
            raise

    _run_locked(config, args, f"{PROG} revert --config {shlex.quote(config.source)}", run)


def _cleanup(args: argparse.Namespace, config: Config) -> None:
    _load_manager().cleanup(config)


def _demo(argv: list[str]) -> int:
    try:
        demo = importlib.import_module("morvent.sim.demo")
    except ImportError as e:
        raise UsageError(f"the demo is not available: {e}") from e
    result = demo.main(argv)
    return result if isinstance(result, int) else EXIT_OK


_COMMANDS = {"execute": _execute, "revert": _revert, "cleanup": _cleanup}


def _exit_status(e: SystemExit) -> int:
    if e.code is None:
        return EXIT_OK
    if isinstance(e.code, int):
        return e.code
    print(_mask(f"{PROG}: {e.code}"), file=sys.stderr)
    return EXIT_FAILED


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit status."""
    parser = _parser()
    try:
        args, extra = parser.parse_known_args(list(sys.argv[1:] if argv is None else argv))
        if extra and args.command != "demo":
            parser.error(f"unrecognized arguments: {' '.join(extra)}")
    except SystemExit as e:  # argparse: --help, --version or a usage error
        return _exit_status(e)
    verbosity = getattr(args, "verbosity", 0)
    fail = _fail
    if args.command == "demo":
        # The demo runs the other commands through main() and sets up its
        # own output; a handler here would print every line twice.
        try:
            return _demo(extra)
        except UsageError as e:
            return fail(str(e), EXIT_USAGE)
        except KeyboardInterrupt:
            return fail("interrupted", 130)

    saved = {name: getattr(Globals, name) for name in _RESTORED_SETTINGS}
    with _masked_output():
        handler, former_level = _setup_logging(verbosity)
        try:
            with warnings.catch_warnings():
                return _run(args, verbosity)
        finally:
            for name, value in saved.items():
                setattr(Globals, name, value)
            logging.getLogger().removeHandler(handler)
            logging.getLogger("morvent").setLevel(former_level)


def _fail(message: str, status: int) -> int:
    print(_mask(f"{PROG}: error: {message}"), file=sys.stderr)
    return status


def _use_controller_settings(config: Config) -> None:
    """Timeout and certificate check of every controller request in this run."""
    Globals.controller_timeout = config.controller_request_timeout
    Globals.controller_verify = config.controller_verify
    if Globals.controller_verify is False:
        _ignore_unverified_https_warnings()


def _run(args: argparse.Namespace, verbosity: int) -> int:
    """Load the configuration and run one command; returns the exit status."""
    fail = _fail
    try:
        # SIGTERM stops a command the way Ctrl-C does, records saved.
        with StopOnSignals():
            config = load_config(args.config)
            _use_controller_settings(config)
            _COMMANDS[args.command](args, config)
        return EXIT_OK
    except SystemExit as e:
        # execute and revert have said what the run left and what to do.
        return _exit_status(e)
    except (KeyboardInterrupt, Terminated) as e:
        return fail("interrupted" if isinstance(e, KeyboardInterrupt) else str(e),
                    exit_status(e))
    except BackupUnavailable as e:
        return fail(_one_line(e), EXIT_FAILED)
    except Refused as e:
        first, *details = str(e).splitlines()
        fail(first, EXIT_FAILED)
        for line in details:
            print(f"{PROG}: {line}", file=sys.stderr)
        return EXIT_FAILED
    except (ConfigError, UsageError) as e:
        if verbosity > 0:
            _print_traceback()
        return fail(str(e), EXIT_USAGE)
    except _user_errors() as e:
        if verbosity > 0:
            _print_traceback()
        return fail(_one_line(e), EXIT_FAILED)
    except _controller_errors() as e:
        # Only controller requests go through requests (AWS uses botocore):
        # a connection that broke or an answer that is not JSON.
        if verbosity > 0:
            _print_traceback()
        return fail(f"controller request failed: {_controller_problem(e)}", EXIT_FAILED)
    except Exception as e:
        # Not something the user can fix from the message alone: keep the
        # traceback for the bug report.
        _print_traceback()
        return fail(f"unexpected {type(e).__name__}: {_one_line(e)}", EXIT_FAILED)


def _ignore_unverified_https_warnings() -> None:
    """Controllers usually run with self-signed certificates; without a CA
    bundle every controller request is sent unverified on purpose, and a
    warning per request is noise."""
    try:
        from urllib3.exceptions import InsecureRequestWarning
    except ImportError:  # pragma: no cover - urllib3 always comes with requests
        return
    warnings.simplefilter("ignore", InsecureRequestWarning)


def _controller_problem(e: BaseException) -> str:
    """One line on a failed controller request; a time-out says how long it waited."""
    import requests

    timeout = Globals.controller_timeout
    connect, read = timeout if isinstance(timeout, tuple) else (timeout, timeout)
    if isinstance(e, requests.ConnectTimeout):
        return f"no connection to the controller within {connect:g} s"
    if isinstance(e, requests.Timeout):
        return (f"no answer from the controller within {read:g} s; it may still carry the "
                "request out (run the command again to resume)")
    return _one_line(e)


def _one_line(e: BaseException) -> str:
    text = " ".join(str(e).split())
    return text or type(e).__name__


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
