"""``morvent execute``, ``revert`` and ``cleanup``: the commands that change the VPC.

The runs themselves are in ``morvent.run`` (execute, revert): they check
that the VPC exists, take the VPC's lock, read the backup and lay out the
plan.  Here the command line parses, asks and renders: on a terminal it
shows the plan and asks (``--yes`` goes ahead without the question, and
without a terminal it is needed), and at the end shows a table per zone of
what changed and the one-line verdict.
"""

from __future__ import annotations

import argparse
import logging
import shlex
import sys
from collections.abc import Callable
from typing import Any

from morvent.cli import output
from morvent.cli.output import PROG, Cancelled, UsageError
from morvent.core.config import Config
from morvent.run import common
from morvent.run import execute as execute_run
from morvent.run import revert as revert_run
from morvent.run import saved

BREAK_LOCK_HELP = ("remove the VPC's lock LOCK_ID that a run which no longer runs left in S3 "
                   "(killed with SIGKILL, machine lost), then run; the refusal and `morvent "
                   "status` show the id; refused while the holder is alive")
YES_HELP = ("go ahead without showing the plan and asking first (needed without a terminal, "
            "e.g. in a job)")
PLAN_HELP = ("carry out exactly the plan saved by `morvent plan --out FILE`; refused, before "
             "any change, when the VPC or its backup moved since")
JSON_HELP = ("text (default), or json: one JSON document of the run on standard output at "
             "the end, whatever way it ends (human text then goes to standard error only)")
ACCEPT_HELP = ("go ahead although route tables will leave with another public address than "
               "they do now (`morvent plan` lists them; also: accept_address_changes: true "
               "in the configuration)")


def add_parsers(add: Callable[..., argparse.ArgumentParser]) -> None:
    """The subcommands of this module; ``add(name, help)`` makes one with --config."""
    sub = add("execute", "replace the VPC's NAT gateways by spoke gateways (resumes a stopped "
                         "run); shows the plan and asks first")
    sub.add_argument("--dry-run", action="store_true",
                     help="change nothing: run through the steps on a scratch copy of the "
                          "backup, logging what would be done")
    sub.add_argument("--yes", "-y", action="store_true", help=YES_HELP)
    sub.add_argument("--accept-address-changes", action="store_true", help=ACCEPT_HELP)
    sub.add_argument("--break-lock", metavar="LOCK_ID", help=BREAK_LOCK_HELP)
    sub.add_argument("--plan", metavar="FILE", help=PLAN_HELP)
    sub.add_argument("--output", choices=("text", "json"), default="text", help=JSON_HELP)
    sub.set_defaults(run=execute)
    sub = add("revert", "undo the replacement recorded in the VPC's backup, newest step "
                        "first; shows the plan and asks first")
    sub.add_argument("--dry-run", action="store_true",
                     help="change nothing: show the plan of the revert (as `morvent plan "
                          "--revert`)")
    sub.add_argument("--output", choices=("text", "json"), default="text",
                     help=JSON_HELP + "; with --dry-run: the plan as text or JSON")
    sub.add_argument("--yes", "-y", action="store_true", help=YES_HELP)
    sub.add_argument("--break-lock", metavar="LOCK_ID", help=BREAK_LOCK_HELP)
    sub.add_argument("--plan", metavar="FILE", help=PLAN_HELP)
    sub.set_defaults(run=revert)
    sub = add("cleanup", "clean-up entry point of the replacement (nothing to clean up yet)")
    sub.set_defaults(run=cleanup)


def _need_question_or_yes(args: argparse.Namespace, command: str, plan_command: str) -> None:
    """A run that changes the VPC asks first: it needs a terminal, or --yes."""
    if args.yes or output.can_ask():
        return
    raise UsageError(f"{command} changes the VPC and asks before it does, but standard input "
                     f"is not a terminal: add --yes to go ahead without the question "
                     f"(`{plan_command}` shows what it would do)")


class Terminal(common.Frontend):
    """The run's question and results on the terminal."""

    def __init__(self, args: argparse.Namespace):
        super().__init__()
        json_result = getattr(args, "output", "text") == "json"
        self.shows_egress = json_result or getattr(args, "verbosity", 0) >= 0
        self.wants_all_facts = json_result
        #: The saved plan the run carries out, if any.
        self.saved: dict | None = None
        args.frontend = self  # for the JSON document of the run (morvent.cli.report)

    def confirm(self, plan: Any, question: str, command: str) -> None:
        if self.saved is not None:
            print(f"The saved plan {self.saved['path']} (made {self.saved.get('created')}), "
                  "checked against the VPC and its backup just now:", file=sys.stderr)
        for line in output.plan_lines(plan, only_to_do=True):
            print(line, file=sys.stderr)
        if not output.ask(question):
            raise Cancelled(f"{command} cancelled; nothing was changed")

    def log_plan(self, plan: Any) -> None:
        """The plan's closing count on the console, its steps in the log file."""
        log = logging.getLogger(__name__)
        for line in output.plan_lines(plan)[:-1]:
            log.debug("%s", line)
        super().log_plan(plan)

    def egress(self, before: Any, after: Any) -> None:
        output.say()
        for line in output.egress_lines(before, after):
            output.say(line)

    def verdict(self, text: str) -> None:
        super().verdict(text)
        output.verdict(text)

    def note(self, text: str) -> None:
        print(f"{PROG}: {text}", file=sys.stderr)


def execute(args: argparse.Namespace, config: Config) -> None:
    if args.dry_run and args.break_lock:
        raise UsageError("--break-lock changes the lock in S3; it cannot go with --dry-run")
    if not args.dry_run:
        _need_question_or_yes(args, "execute", f"{PROG} plan --config {config.source}")
    command = f"{PROG} execute --config {shlex.quote(config.source)}" + \
        (" --dry-run" if args.dry_run else "")
    frontend = Terminal(args)
    if args.plan is not None:
        if args.dry_run or args.accept_address_changes:
            raise UsageError("--plan carries out the saved plan as it is, with the acceptance "
                             "it records; it cannot go with --dry-run or "
                             "--accept-address-changes")
        frontend.saved = saved.load(args.plan)
    execute_run.execute(config, execute_run.Options(
        command, dry_run=bool(args.dry_run), yes=bool(args.yes),
        accept_address_changes=bool(args.accept_address_changes), break_lock=args.break_lock,
        saved=frontend.saved), frontend)


def revert(args: argparse.Namespace, config: Config) -> None:
    if args.dry_run:
        if args.break_lock:
            raise UsageError("--break-lock changes the lock in S3; it cannot go with "
                             "--dry-run")
        if args.plan:
            raise UsageError("--plan carries out a saved plan; it cannot go with --dry-run")
        from morvent.cli import plan as plan_command

        plan_command.show(config, revert=True, output_format=args.output)
        return
    _need_question_or_yes(args, "revert", f"{PROG} plan --revert --config {config.source}")
    frontend = Terminal(args)
    if args.plan is not None:
        frontend.saved = saved.load(args.plan)
    revert_run.revert(config, revert_run.Options(
        f"{PROG} revert --config {shlex.quote(config.source)}", yes=bool(args.yes),
        break_lock=args.break_lock, saved=frontend.saved), frontend)


def cleanup(args: argparse.Namespace, config: Config) -> None:
    common.load_manager().cleanup(config)
