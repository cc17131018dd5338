"""The command line: ``morvent plan | status | execute | revert | cleanup | trust-controller
| completion | fleet | demo | sim``.

A module per command (``migrate``: execute, revert, cleanup; ``plan``;
``status``; ``trust``: trust-controller; ``completion``; ``fleet``: the
commands on a fleet manifest; ``demo`` and ``sim``
hand their arguments to the simulator's own programs), and the
output they share in ``output``: logging and its masking, the log file of a
run, progress lines, tables, the question before a run, one-line errors and
the exit statuses (``EXIT_STATUSES`` there, shown by ``morvent --help``).
Problems the user can fix are one line on standard error; ``-v`` adds the
traceback.

No controller password or session id reaches the output: log handlers, error
lines and tracebacks are masked, and standard output and error are wrapped in a
masking stream while a command runs.
"""

from __future__ import annotations

import argparse
import importlib
import json
import logging
import os
import sys
import warnings
from collections.abc import Sequence
from typing import Any

from morvent import __version__
from morvent.cli import completion, fleet, migrate, output, plan, report, status, trust
from morvent.cli.output import (EXIT_FAILED, EXIT_INTERRUPTED, EXIT_LOCKED, EXIT_OK,
                                EXIT_STATUSES, EXIT_STDOUT_CLOSED, EXIT_USAGE, PROG, Blocked,
                                Cancelled, Refused, StdoutClosed, UsageError, aws_problem,
                                controller_errors, controller_problem, exit_status_of, fail,
                                masked_output, one_line, print_traceback, setup_logging,
                                user_errors)
from morvent.core.config import (CONFIG_ENV, DEFAULT_CONFIG_FILE, Config, ConfigError,
                                 find_config, load_config)
from morvent.core.exceptions import BackupUnavailable, UnrecordedGateway
from morvent.core.Globals import Globals
from morvent.core.interrupt import StopOnSignals, Terminated, exit_status

__all__ = ["main"]

#: Settings a command changes in Globals; main() puts them back afterwards.
_RESTORED_SETTINGS = ("dry_run", "controller_timeout", "controller_verify",
                      "controller_cert_sha256")
#: Commands that send the controller password, or show what a run would do.
_LOGIN_COMMANDS = ("plan", "status", "execute", "revert")
UNCHECKED_CONTROLLER = ("the controller's certificate is not checked: the password goes to "
                        "whatever answers at {address}; run `morvent trust-controller` or set "
                        "controller_ca_bundle")
#: Commands that hand everything after their name to another program: the
#: module whose main() takes it, and what it is called in an error.
_PASS_THROUGH = {"demo": ("morvent.sim.demo", "the demo"),
                 "sim": ("morvent.sim.standalone", "the simulator")}


def _hand_over(command: str, argv: list[str]) -> int:
    """Run the program behind a pass-through command (imported only now)."""
    module, what = _PASS_THROUGH[command]
    try:
        program = importlib.import_module(module)
    except ImportError as e:
        raise UsageError(f"{what} is not available: {e}") from e
    result = program.main(argv)
    return result if isinstance(result, int) else EXIT_OK


# -- arguments -----------------------------------------------------------------

def _parser() -> argparse.ArgumentParser:
    verbosity = argparse.ArgumentParser(add_help=False)
    group = verbosity.add_mutually_exclusive_group()
    group.add_argument("-v", "--verbose", action="store_const", const=1, dest="verbosity",
                       default=argparse.SUPPRESS, help="more detail, tracebacks on errors")
    group.add_argument("-q", "--quiet", action="store_const", const=-1, dest="verbosity",
                       default=argparse.SUPPRESS,
                       help="warnings, errors and the final verdict only")

    parser = argparse.ArgumentParser(
        prog=PROG, parents=[verbosity], formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Move a VPC's outbound traffic from its NAT gateways to spoke gateways "
                    "that keep the NAT gateways' Elastic IPs, and back.",
        epilog=EXIT_STATUSES + "\n\nA real run of execute or revert writes its log to "
               "<local backup folder>/logs/;\nthe backup's upload takes it to S3.")
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def add(name: str, help: str) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, parents=[verbosity], help=help, description=help,
                                  epilog=EXIT_STATUSES,
                                  formatter_class=argparse.RawDescriptionHelpFormatter)
        sub.add_argument("--config", "-c", metavar="FILE",
                         help=f"the YAML configuration file (default: the file named by "
                              f"{CONFIG_ENV}, else ./{DEFAULT_CONFIG_FILE})")
        sub.add_argument("--profile", metavar="NAME",
                         help="the AWS profile to use instead of the file's aws_profile")
        sub.add_argument("--region", metavar="NAME",
                         help="the AWS region of the VPC instead of the file's region")
        return sub

    plan.add_parsers(add)
    status.add_parsers(add)
    migrate.add_parsers(add)
    trust.add_parsers(add)
    # Everything after "demo" or "sim" belongs to it (main() passes it on).
    commands.add_parser("demo", add_help=False,
                        help="run a replacement and its revert on a simulated controller and "
                             "cloud, and check the result")
    commands.add_parser("sim", add_help=False,
                        help="run the simulated controller and cloud on their own")
    completion.add_parser(commands)
    fleet.add_parser(commands, [verbosity])
    return parser


# -- running a command -------------------------------------------------------------

def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit status."""
    parser = _parser()
    try:
        args, extra = parser.parse_known_args(list(sys.argv[1:] if argv is None else argv))
        if extra and args.command not in _PASS_THROUGH:
            parser.error(f"unrecognized arguments: {' '.join(extra)}")
    except SystemExit as e:  # argparse: --help, --version or a usage error
        return exit_status_of(e)
    verbosity = getattr(args, "verbosity", 0)
    if args.command == "completion":
        return completion.run(args, parser)
    if args.command == "fleet":
        with masked_output():
            return fleet.run(args, verbosity)
    if args.command in _PASS_THROUGH:
        # The demo runs the other commands through main() and sets up its
        # own output; a handler here would print every line twice.
        try:
            return _hand_over(args.command, extra)
        except UsageError as e:
            return fail(str(e), EXIT_USAGE)
        except KeyboardInterrupt:
            return fail("interrupted", EXIT_INTERRUPTED)

    # What the read-only commands print is their result; the log lines of
    # what they read come with -v.
    reading = args.command in ("plan", "status") or (
        args.command == "revert" and args.dry_run)
    saved = {name: getattr(Globals, name) for name in _RESTORED_SETTINGS}
    # execute/revert --output json: everything but the document goes to stderr.
    json_result = getattr(args, "output", "text") == "json" and (
        args.command == "execute" or args.command == "revert" and not args.dry_run)
    with masked_output():
        handler, former_level = setup_logging(verbosity, logging.WARNING if reading else None)
        stdout = sys.stdout
        errors_logged = output.ErrorsLogged()
        if json_result:
            sys.stdout = sys.stderr
            output.errors_said = []
            logging.getLogger().addHandler(errors_logged)
        status = EXIT_FAILED
        try:
            with warnings.catch_warnings():
                status = _run(args, verbosity)
            if json_result:
                sys.stdout = stdout
                output.say(json.dumps(report.document(args, status), indent=2))
            return status
        except StdoutClosed:
            return _stdout_closed(status if json_result else EXIT_STDOUT_CLOSED, stdout)
        finally:
            sys.stdout = stdout
            output.errors_said = None
            logging.getLogger().removeHandler(errors_logged)
            for name, value in saved.items():
                setattr(Globals, name, value)
            _route_native_requests()
            _native_lines_as_logged()
            logging.getLogger().removeHandler(handler)
            logging.getLogger("morvent").setLevel(former_level)


def _stdout_closed(status: int, stream: Any) -> int:
    """Standard output was closed early (``| head``): end quietly, as other tools do.

    Whatever is still buffered for ``stream`` goes nowhere, so that the
    interpreter's own flush at exit does not complain either.
    """
    try:
        fd = stream.fileno()
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, fd)
        os.close(devnull)
    except (OSError, ValueError, AttributeError):
        pass
    return status


def _use_controller_settings(config: Config, command: str) -> None:
    """Timeout and certificate check of every controller request in this run.

    A command that logs in (or shows what a run would do) says once when
    nothing checks the controller's certificate.
    """
    Globals.controller_timeout = config.controller_request_timeout
    Globals.controller_verify = config.controller_verify
    Globals.controller_cert_sha256 = config.controller_cert_sha256
    _route_native_requests()
    if Globals.controller_verify is False:
        _ignore_unverified_https_warnings()
        if Globals.controller_cert_sha256 is None and command in _LOGIN_COMMANDS:
            logging.getLogger("morvent.cli").warning(
                UNCHECKED_CONTROLLER.format(address=config.controller_ip))


def _native_lines_as_logged() -> None:
    """The native modules' lines as they log them again (see setup_logging)."""
    from morvent.lib import native_lines

    native_lines.uninstall()


def _route_native_requests() -> None:
    """The spoke module's own requests honour the pin of the moment (or none)."""
    try:
        from morvent.lib.corvane_backend import route_native_requests
    except ImportError:  # pragma: no cover - requests always comes with the package
        return
    route_native_requests()


def _load_config(args: argparse.Namespace, verbosity: int) -> Config:
    """The configuration the command names, found and read, with the options
    that stand for keys (--profile, --region) on top."""
    found = find_config(args.config)
    try:
        config = load_config(found.path, {"--profile": args.profile, "--region": args.region})
    except ConfigError as e:
        if found.found_by == CONFIG_ENV and e.problem == "no such file":
            raise ConfigError(found.path, None, f"no such file (named by {CONFIG_ENV})") \
                from None
        raise
    if found.found_by != "--config" and verbosity >= 0:
        print(f"{PROG}: configuration {found.path} (from {found.found_by})", file=sys.stderr)
    logging.getLogger("morvent.cli").debug("configuration %s (from %s)", found.path,
                                           found.found_by)
    return config


def _run(args: argparse.Namespace, verbosity: int) -> int:
    """Load the configuration and run one command; returns the exit status."""
    try:
        # SIGTERM stops a command the way Ctrl-C does, records saved.
        with StopOnSignals():
            config = _load_config(args, verbosity)
            args.config_loaded = config
            _use_controller_settings(config, args.command)
            status = args.run(args, config)
        return status if isinstance(status, int) else EXIT_OK
    except StdoutClosed:
        raise
    except Blocked as e:
        # plan: every reason the run would not go ahead; the status of the first.
        args.failure = e.problems[0] if e.problems else None
        statuses = [_report(problem, verbosity) for problem in e.problems]
        return statuses[0] if statuses else EXIT_FAILED
    except BaseException as e:  # noqa: BLE001 - _report raises again what is not ours
        args.failure = e
        return _report(e, verbosity)


def status_of(e: BaseException) -> int:
    """The exit status a command ends with when ``e`` stops it (as _report says)."""
    from morvent.lib.lock import LockHeldError

    if isinstance(e, SystemExit):
        return e.code if isinstance(e.code, int) else EXIT_OK if e.code is None else EXIT_FAILED
    if isinstance(e, (KeyboardInterrupt, Terminated)):
        return exit_status(e)
    if isinstance(e, LockHeldError):
        return EXIT_LOCKED
    if isinstance(e, (ConfigError, UsageError)):
        return EXIT_USAGE
    return EXIT_FAILED


def _report(error: BaseException, verbosity: int) -> int:
    """Say what stopped the command (one line; -v adds the traceback); returns the
    exit status.  What is none of ours goes on."""
    from morvent.lib.lock import LockHeldError

    try:
        raise error
    except SystemExit as e:
        # execute and revert have said what the run left and what to do.
        return exit_status_of(e)
    except (KeyboardInterrupt, Terminated) as e:
        return fail("interrupted" if isinstance(e, KeyboardInterrupt) else str(e),
                    exit_status(e))
    except BackupUnavailable as e:
        return fail(one_line(e), EXIT_FAILED)
    except UnrecordedGateway as e:
        # The run stopped at once, without a rollback; it said what it kept.
        if verbosity > 0:
            print_traceback()
        return fail(one_line(e), EXIT_FAILED)
    except LockHeldError as e:
        return fail(one_line(e), EXIT_LOCKED)
    except Cancelled as e:
        print(f"{PROG}: {e}", file=sys.stderr)
        return EXIT_FAILED
    except Refused as e:
        first, *details = str(e).splitlines()
        fail(first, EXIT_FAILED)
        for line in details:
            print(f"{PROG}: {line}", file=sys.stderr)
        return EXIT_FAILED
    except (ConfigError, UsageError) as e:
        if verbosity > 0:
            print_traceback()
        for line in str(e).splitlines():  # a configuration's problems: one line each
            fail(line, EXIT_USAGE)
        return EXIT_USAGE
    except user_errors() as e:
        if verbosity > 0:
            print_traceback()
        return fail(aws_problem(e) or one_line(e), EXIT_FAILED)
    except controller_errors() as e:
        # Only controller requests go through requests (AWS uses botocore):
        # a connection that broke or an answer that is not JSON.
        if verbosity > 0:
            print_traceback()
        return fail(controller_problem(e), EXIT_FAILED)
    except Exception as e:
        aws = aws_problem(e)
        if verbosity > 0:
            print_traceback()
        if aws is not None:
            return fail(aws, EXIT_FAILED)
        # Not something the user can fix from the message alone: the
        # traceback for the bug report is in the run's log file, and with -v here.
        return fail(f"unexpected error (a fault of {PROG}; please report it): {one_line(e)}"
                    + ("" if verbosity > 0 else " (-v shows where it happened)"), EXIT_FAILED)


def _ignore_unverified_https_warnings() -> None:
    """Controllers usually run with self-signed certificates; without a CA
    bundle every controller request is sent unverified on purpose, and a
    warning per request is noise."""
    try:
        from urllib3.exceptions import InsecureRequestWarning
    except ImportError:  # pragma: no cover - urllib3 always comes with requests
        return
    warnings.simplefilter("ignore", InsecureRequestWarning)
