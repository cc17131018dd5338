"""``morvent plan``: what ``execute`` would do, step by step (``--revert``: what ``revert``
would do), from the VPC's backup, a look at AWS and a read-only controller login;
nothing changes anywhere.

The same step model that the runs' progress lines come from
(``morvent.run.plan``): each step with what it touches, the steps that the
backup's undo records show as done, and a closing count.  plan is a gate: it
ends with the status the run would stop with when the run would not go ahead
(each reason on its own line), and ``--out FILE`` saves a plan the run can
then carry out exactly (``execute --plan FILE``).
"""

from __future__ import annotations

import argparse
import json
import sys
from collections.abc import Callable
from typing import Any

from morvent.cli import output
from morvent.cli.output import EXIT_CHANGES, EXIT_OK, PROG, Blocked, UsageError
from morvent.core.config import Config
from morvent.run import gate, saved


def add_parsers(add: Callable[..., argparse.ArgumentParser]) -> None:
    sub = add("plan", "show what `morvent execute` would do, step by step, with the NAT "
                      "gateways, subnets, Elastic IPs, spoke gateways and routes each step "
                      "touches, and check that it would go ahead; changes nothing")
    sub.add_argument("--revert", action="store_true",
                     help="the plan of `morvent revert` instead: the undo records, newest "
                          "first")
    sub.add_argument("--output", choices=("text", "json"), default="text",
                     help="text (default) or JSON for machines")
    sub.add_argument("--out", metavar="FILE",
                     help="save the plan to FILE (JSON) when the run would go ahead; "
                          "`morvent execute --plan FILE` (or revert) carries out exactly it")
    sub.add_argument("--accept-address-changes", action="store_true",
                     help="accept the route tables that would leave with another public "
                          "address (recorded in the saved plan)")
    sub.add_argument("--detailed-exitcode", action="store_true",
                     help=f"exit {EXIT_OK} when there is nothing to do, {EXIT_CHANGES} when the "
                          "run would go ahead and change something (other statuses as "
                          "always)")
    sub.set_defaults(run=run)


def run(args: argparse.Namespace, config: Config) -> int:
    command = "revert" if args.revert else "execute"
    if args.accept_address_changes and args.revert:
        raise UsageError("--accept-address-changes goes with the plan of execute")
    found = gate.plan(config, revert=args.revert,
                      accept_address_changes=args.accept_address_changes)
    if args.output == "json":
        output.say(json.dumps(document(found, command), indent=2))
    else:
        output.print_plan(found.plan, "text")
    if not found.ready:
        if args.out:
            print(f"{PROG}: the plan was not saved to {args.out}: {command} would not go "
                  "ahead", file=sys.stderr)
        raise Blocked(found.problems)
    if args.out:
        doc = saved.document(command, config, found.plan, found.account, found.basis,
                             found.accepted)
        write_plan(args.out, doc)
        print(f"{PROG}: plan saved to {args.out}: `{PROG} {command} --plan {args.out}` "
              "carries it out", file=sys.stderr)
    if args.detailed_exitcode and found.changes:
        return EXIT_CHANGES
    return EXIT_OK


def document(found: gate.Gate, command: str) -> dict[str, Any]:
    """The plan as JSON, with whether the run would go ahead and why not."""
    from morvent import cli

    doc = {"schema_version": saved.SCHEMA_VERSION, **found.plan.to_dict(),
           "ready": found.ready,
           "changes": found.changes,
           "blockers": [{"exit_status": cli.status_of(p), "error": output.one_line(p),
                         "details": str(p).splitlines()[1:]} for p in found.problems]}
    doc["command"] = command
    return doc


def write_plan(path: str, doc: dict[str, Any]) -> None:
    from morvent.core.files import write_atomically

    try:
        write_atomically(path, (json.dumps(doc, indent=1) + "\n").encode())
    except OSError as e:
        raise UsageError(f"the plan cannot be saved to {path}: {e.strerror or e}") from None


def show(config: Config, revert: bool, output_format: str) -> None:
    """Print the plan of execute (or revert) for the configured VPC (revert --dry-run)."""
    found = gate.plan(config, revert)
    output.print_plan(found.plan, output_format)
