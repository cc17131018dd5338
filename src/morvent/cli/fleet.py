"""``morvent fleet check``: read and check a fleet manifest, changing nothing.

Every problem of the manifest (and of the files it includes) is one line at
its file and line, exit status 2.  ``--aws`` also asks EC2, read-only,
whether each VPC is in its region.  ``--write DIR`` writes each VPC's
effective configuration to DIR/KEY.yaml, for the commands that work on one
VPC (``morvent plan --config DIR/KEY.yaml``).
"""

from __future__ import annotations

import argparse
import os
import sys

from morvent.cli.output import (EXIT_FAILED, EXIT_OK, EXIT_STATUSES, EXIT_USAGE, PROG, fail,
                                say, table, verdict)
from morvent.core.config import ConfigError
from morvent.core.schema import excerpt

#: The manifest looked for in the current folder.
DEFAULT_MANIFEST = "fleet.yaml"


def add_parser(commands: argparse._SubParsersAction,
               parents: list[argparse.ArgumentParser]) -> None:
    fleet = commands.add_parser("fleet", help="work on many VPCs described by one manifest",
                                description="Work on many VPCs described by one manifest "
                                            "(examples/fleet.yaml).")
    actions = fleet.add_subparsers(dest="fleet_command", metavar="ACTION", required=True)
    check = actions.add_parser(
        "check", parents=parents, help="check a manifest, changing nothing",
        description="Read the manifest and the files it includes and check them: every "
                    "problem at once, one line each at its file and line. Nothing is changed.",
        epilog=EXIT_STATUSES, formatter_class=argparse.RawDescriptionHelpFormatter)
    check.add_argument("--manifest", "-m", metavar="FILE",
                       help=f"the fleet manifest (default: ./{DEFAULT_MANIFEST})")
    check.add_argument("--aws", action="store_true",
                       help="also ask EC2, read-only and with each VPC's credentials, "
                            "whether each VPC is in its region")
    check.add_argument("--write", metavar="DIR",
                       help="write each VPC's configuration to DIR/KEY.yaml (no password "
                            "in them)")


def run(args: argparse.Namespace, verbosity: int) -> int:
    """Run ``morvent fleet ACTION``; returns the exit status."""
    from morvent.fleet.manifest import load_manifest, write_vpc_configs

    path = args.manifest or DEFAULT_MANIFEST
    if args.manifest is None and verbosity >= 0:
        print(f"{PROG}: manifest {path} (from the current folder)", file=sys.stderr)
    try:
        fleet = load_manifest(path)
    except ConfigError as e:
        for line in str(e).splitlines():
            fail(line, EXIT_USAGE)
        return EXIT_USAGE
    if verbosity > 0:
        rows = [(v.key, v.vpc_id, v.region, v.config.aws_account_name, v.config.spoke_gw_name,
                 v.where) for v in fleet]
        for line in table(("vpc", "id", "region", "account", "spoke gateway", "entry"), rows):
            say(line)
    status = EXIT_OK
    if args.aws:
        from morvent.fleet.aws_check import check_in_aws

        problems, unchecked = check_in_aws(fleet)
        for problem in problems:
            fail(str(problem), EXIT_USAGE)
        for problem in unchecked:
            print(f"{PROG}: warning: {problem}", file=sys.stderr)
        if problems:
            return EXIT_USAGE
        if unchecked:
            status = EXIT_FAILED
    if args.write:
        try:
            written = write_vpc_configs(fleet, args.write, written_by=f"{PROG} fleet check")
        except OSError as e:
            return fail(f"cannot write to {excerpt(args.write, 200)}: {e.strerror or e}",
                        EXIT_FAILED)
        say(f"{PROG}: wrote {len(written)} configuration(s) to {os.path.abspath(args.write)}")
    accounts = {(v.config.aws_account_name, v.config.aws_profile) for v in fleet}
    controllers = {v.config.controller_ip for v in fleet}
    looked = "" if not args.aws else \
        (", each in its region" if status == EXIT_OK else ", some not looked up in AWS")
    verdict(f"{path}: {len(fleet)} VPC(s) in {len(fleet.regions)} region(s), "
            f"{len(accounts)} account(s), {len(controllers)} controller(s): checked{looked}")
    return status
