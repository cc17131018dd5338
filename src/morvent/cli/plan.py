"""``morvent plan``: what ``execute`` would do, step by step (``--revert``: what ``revert``
would do), from the VPC's backup and a look at AWS; nothing changes anywhere.

The same step model that the runs' progress lines come from
(``morvent.run.plan``): each step with what it touches, the steps that the
backup's undo records show as done, and a closing count.
"""

from __future__ import annotations

import argparse
from collections.abc import Callable

from morvent.cli import output
from morvent.core.config import Config
from morvent.run import gate


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
    output.print_plan(gate.plan(config, revert), output_format)
