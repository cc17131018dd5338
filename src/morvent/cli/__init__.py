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
import logging
import sys
import warnings
from collections.abc import Sequence

from morvent import __version__
from morvent.cli import demo, migrate
from morvent.cli.output import (EXIT_FAILED, EXIT_OK, EXIT_USAGE, PROG, Refused, UsageError,
                                controller_errors, controller_problem, exit_status_of, fail,
                                masked_output, one_line, print_traceback, setup_logging,
                                user_errors)
from morvent.core.config import Config, ConfigError, load_config
from morvent.core.exceptions import BackupUnavailable
from morvent.core.Globals import Globals
from morvent.core.interrupt import StopOnSignals, Terminated, exit_status

__all__ = ["main"]

BREAK_LOCK_HELP = ("remove the VPC's lock that a run which no longer runs left in S3 (killed "
                   "with SIGKILL, machine lost), then run; a run refused by a lock names its "
                   "holder and since when it holds it")

#: Settings a command changes in Globals; main() puts them back afterwards.
_RESTORED_SETTINGS = ("dry_run", "controller_timeout", "controller_verify")


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


_COMMANDS = {"execute": migrate.execute, "revert": migrate.revert,
             "cleanup": migrate.cleanup}


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit status."""
    parser = _parser()
    try:
        args, extra = parser.parse_known_args(list(sys.argv[1:] if argv is None else argv))
        if extra and args.command != "demo":
            parser.error(f"unrecognized arguments: {' '.join(extra)}")
    except SystemExit as e:  # argparse: --help, --version or a usage error
        return exit_status_of(e)
    verbosity = getattr(args, "verbosity", 0)
    if args.command == "demo":
        # The demo runs the other commands through main() and sets up its
        # own output; a handler here would print every line twice.
        try:
            return demo.run(extra)
        except UsageError as e:
            return fail(str(e), EXIT_USAGE)
        except KeyboardInterrupt:
            return fail("interrupted", 130)

    saved = {name: getattr(Globals, name) for name in _RESTORED_SETTINGS}
    with masked_output():
        handler, former_level = setup_logging(verbosity)
        try:
            with warnings.catch_warnings():
                return _run(args, verbosity)
        finally:
            for name, value in saved.items():
                setattr(Globals, name, value)
            logging.getLogger().removeHandler(handler)
            logging.getLogger("morvent").setLevel(former_level)


def _use_controller_settings(config: Config) -> None:
    """Timeout and certificate check of every controller request in this run."""
    Globals.controller_timeout = config.controller_request_timeout
    Globals.controller_verify = config.controller_verify
    if Globals.controller_verify is False:
        _ignore_unverified_https_warnings()


def _run(args: argparse.Namespace, verbosity: int) -> int:
    """Load the configuration and run one command; returns the exit status."""
    try:
        # SIGTERM stops a command the way Ctrl-C does, records saved.
        with StopOnSignals():
            config = load_config(args.config)
            _use_controller_settings(config)
            _COMMANDS[args.command](args, config)
        return EXIT_OK
    except SystemExit as e:
        # execute and revert have said what the run left and what to do.
        return exit_status_of(e)
    except (KeyboardInterrupt, Terminated) as e:
        return fail("interrupted" if isinstance(e, KeyboardInterrupt) else str(e),
                    exit_status(e))
    except BackupUnavailable as e:
        return fail(one_line(e), EXIT_FAILED)
    except Refused as e:
        first, *details = str(e).splitlines()
        fail(first, EXIT_FAILED)
        for line in details:
            print(f"{PROG}: {line}", file=sys.stderr)
        return EXIT_FAILED
    except (ConfigError, UsageError) as e:
        if verbosity > 0:
            print_traceback()
        return fail(str(e), EXIT_USAGE)
    except user_errors() as e:
        if verbosity > 0:
            print_traceback()
        return fail(one_line(e), EXIT_FAILED)
    except controller_errors() as e:
        # Only controller requests go through requests (AWS uses botocore):
        # a connection that broke or an answer that is not JSON.
        if verbosity > 0:
            print_traceback()
        return fail(f"controller request failed: {controller_problem(e)}", EXIT_FAILED)
    except Exception as e:
        # Not something the user can fix from the message alone: keep the
        # traceback for the bug report.
        print_traceback()
        return fail(f"unexpected {type(e).__name__}: {one_line(e)}", EXIT_FAILED)


def _ignore_unverified_https_warnings() -> None:
    """Controllers usually run with self-signed certificates; without a CA
    bundle every controller request is sent unverified on purpose, and a
    warning per request is noise."""
    try:
        from urllib3.exceptions import InsecureRequestWarning
    except ImportError:  # pragma: no cover - urllib3 always comes with requests
        return
    warnings.simplefilter("ignore", InsecureRequestWarning)

