"""``morvent plan``: what ``execute`` would do, step by step (``--revert``: what ``revert``
would do), from the VPC's backup and a look at AWS; nothing changes anywhere.

The same step model that the runs' progress lines come from
(``morvent.core.plan``): each step with what it touches, the steps that the
backup's undo records show as done, and a closing count.
"""

from __future__ import annotations

import argparse
import logging
from collections.abc import Callable

from morvent.cli import aws, output
from morvent.core.config import Config
from morvent.core.Globals import Globals


def add_parsers(add: Callable[..., argparse.ArgumentParser]) -> None:
    sub = add("plan", "show what `morvent execute` would do, step by step, with the NAT "
                      "gateways, subnets, Elastic IPs, spoke gateways and routes each step "
                      "touches; changes nothing")
    sub.add_argument("--revert", action="store_true",
                     help="the plan of `morvent revert` instead: the undo records, newest "
                          "first")
    sub.add_argument("--output", choices=("text", "json"), default="text",
                     help="text (default) or JSON for machines")
    sub.set_defaults(run=run)


def run(args: argparse.Namespace, config: Config) -> None:
    show(config, revert=args.revert, output_format=args.output)


def show(config: Config, revert: bool, output_format: str) -> None:
    """Print the plan of execute (or revert) for the configured VPC."""
    # Nothing of a plan is stored: the backup is read into a scratch copy.
    Globals.dry_run = True
    cloud = aws.cloud(config)
    cloud.check_vpc()
    notes = []
    lock = cloud.lock_state()
    if lock is not None:
        notes.append(f"{config.vpc_id} is locked by {lock.describe()}: "
                     + ("a run is under way, and the backup this plan reads may be changing"
                        if lock.alive is not False else f"that run is gone ({lock.why})"))
    state, read_notes = aws.read_backup_readonly(cloud.s3, cloud.backup_des)
    plan = cloud.revert_plan(state) if revert else cloud.replacement_plan(state)
    plan.warnings[:0] = notes + read_notes
    for warning in plan.warnings:
        logging.getLogger(__name__).debug("plan warning: %s", warning)
    output.print_plan(plan, output_format)
