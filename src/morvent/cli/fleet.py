"""``morvent fleet check | plan | execute | revert | status``: a fleet manifest.

``check`` reads and checks a manifest, changing nothing.

Every problem of the manifest (and of the files it includes) is one line at
its file and line, exit status 2.  ``--aws`` also asks EC2, read-only,
whether each VPC is in its region.  ``--write DIR`` writes each VPC's
effective configuration to DIR/KEY.yaml, for the commands that work on one
VPC (``morvent plan --config DIR/KEY.yaml``).

The other actions run the command of the same name on every VPC of the
manifest (or a shard of it), each VPC in processes of its own
(``morvent.fleet.runner``), and end with one report: a table per VPC and
totals, ``--output json`` for machines, ``--report FILE.md`` for a change
ticket; execute and revert also store it in S3 beside the backups.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from typing import TYPE_CHECKING, Any

from morvent.cli.output import (EXIT_ATTENTION, EXIT_CHANGES, EXIT_FAILED, EXIT_INTERRUPTED,
                                EXIT_OK, EXIT_STATUSES, EXIT_TERMINATED, EXIT_USAGE, PROG,
                                UsageError, ask, can_ask, fail, say, table, verdict)
from morvent.core.config import ConfigError
from morvent.core.schema import excerpt

if TYPE_CHECKING:
    from morvent.fleet.runner import Options

#: The manifest looked for in the current folder.
DEFAULT_MANIFEST = "fleet.yaml"
#: Where the runs' folders go (in the current folder).
RUNS_FOLDER = "morvent-fleet"


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
    for name, text in _ACTIONS.items():
        _add_run(actions, parents, name, text)


_ACTIONS = {
    "plan": "show, for every VPC, what `morvent execute` (--revert: `morvent revert`) would "
            "do and whether it would go ahead; changes nothing",
    "execute": "replace the NAT gateways of every VPC, each VPC in its own process; VPCs "
               "already replaced are skipped, stopped ones resumed",
    "revert": "put the NAT gateways of every VPC back; VPCs with nothing to revert are "
              "skipped",
    "status": "show where every VPC stands, from its backup in S3; changes nothing",
}

FLEET_STATUSES = f"""exit statuses:
  {EXIT_OK}    every VPC done (now or earlier) or running elsewhere; plan: every VPC would
       go ahead; status: every VPC read
  {EXIT_FAILED}    a VPC failed, was refused or did not start (failure tolerance passed,
       canary failed); plan: a VPC would be refused; status: a VPC could not be read
  {EXIT_USAGE}    manifest or usage error (nothing ran)
  {EXIT_CHANGES}    plan --detailed-exitcode: some VPC would change something
  {EXIT_ATTENTION}    status --detailed-exitcode: some VPC needs attention
  {EXIT_INTERRUPTED}  stopped by Ctrl-C (SIGINT); {EXIT_TERMINATED} stopped by SIGTERM; passed
       on to every running VPC, the report says what ran"""


def _add_run(actions: argparse._SubParsersAction, parents: list[argparse.ArgumentParser],
             name: str, text: str) -> None:
    sub = actions.add_parser(name, parents=parents, help=text, description=text + ".",
                             epilog=FLEET_STATUSES,
                             formatter_class=argparse.RawDescriptionHelpFormatter)
    sub.add_argument("--manifest", "-m", metavar="FILE",
                     help=f"the fleet manifest (default: ./{DEFAULT_MANIFEST})")
    sub.add_argument("--max-concurrent", metavar="N|P%", default="1",
                     help="VPCs at once: a count or a share of the VPCs (default 1)")
    if name in ("execute", "revert"):
        sub.add_argument("--failure-tolerance", metavar="N|P%", default="0",
                         help="failed VPCs allowed before no new VPC starts (default 0); "
                              "strict runs at most this plus one at once, less the VPCs "
                              "failed so far")
        sub.add_argument("--tolerance-mode", choices=("strict", "soft"), default="strict",
                         help="strict (default): failures counted across the fleet, at most "
                              "tolerance + 1 - failed VPCs at once (so failures pass the "
                              "tolerance by one at most), once past it no VPC starts any "
                              "more; soft: counted per region, the whole --max-concurrent, "
                              "a region past its tolerance starts no more of its VPCs while "
                              "the other regions go on")
        sub.add_argument("--canary", type=int, default=0, metavar="N",
                         help="run the first N VPCs first; the others only if they all "
                              "succeed")
        sub.add_argument("--yes", "-y", action="store_true",
                         help="go ahead without asking (required without a terminal)")
        sub.add_argument("--controller-slots", type=int, metavar="N",
                         help="at most N state-changing controller requests at once across "
                              "the fleet's processes on this machine (default: no cap)")
    sub.add_argument("--region-order", metavar="A,B",
                     help="the regions to take first, in this order (the others after, "
                          "as the manifest lists them)")
    sub.add_argument("--regions", choices=("parallel", "sequential"), default="parallel",
                     help="parallel (default): regions take turns; sequential: a region "
                          "starts once every VPC of the one before it has ended")
    shard = sub.add_mutually_exclusive_group()
    shard.add_argument("--shard", metavar="I/N",
                       help="only share I of N of the VPCs (by each VPC's key: the same "
                            "share wherever and in whatever order it runs)")
    shard.add_argument("--shard-count", type=int, metavar="N",
                       help="share (index + 1) of N, the index from JOB_COMPLETION_INDEX "
                            "(a Kubernetes Indexed Job) or AWS_BATCH_JOB_ARRAY_INDEX (an AWS "
                            "Batch array job)")
    sub.add_argument("--output", choices=("text", "json"), default="text",
                     help="text (default) or the report as JSON on standard output "
                          "(progress on standard error)")
    sub.add_argument("--report", metavar="FILE.md",
                     help="also write the report as Markdown (for a change ticket)")
    sub.add_argument("--run-dir", metavar="DIR",
                     help="where the VPCs' configurations and logs of this run go "
                          f"(default: ./{RUNS_FOLDER}/RUN_ID)")
    if name == "plan":
        sub.add_argument("--revert", action="store_true",
                         help="the plan of `morvent revert` on every VPC instead (`morvent "
                              "plan --revert`): the undo records to restore; a VPC without "
                              "any is nothing-to-do")
    if name in ("plan", "status"):
        sub.add_argument("--detailed-exitcode", action="store_true",
                         help=f"plan: exit {EXIT_CHANGES} when some VPC would change something; "
                              f"status: exit {EXIT_ATTENTION} when some VPC needs attention")


def run(args: argparse.Namespace, verbosity: int) -> int:
    """Run ``morvent fleet ACTION``; returns the exit status."""
    from morvent.fleet.manifest import load_manifest

    path = args.manifest or DEFAULT_MANIFEST
    if args.manifest is None and verbosity >= 0:
        print(f"{PROG}: manifest {path} (from the current folder)", file=sys.stderr)
    try:
        fleet = load_manifest(path)
    except ConfigError as e:
        for line in str(e).splitlines():
            fail(line, EXIT_USAGE)
        return EXIT_USAGE
    if args.fleet_command != "check":
        try:
            return _run_command(args, fleet, verbosity)
        except UsageError as e:
            return fail(str(e), EXIT_USAGE)
    return _check(args, fleet, path, verbosity)


def _options(args: argparse.Namespace) -> "Options":
    from morvent.fleet.choice import Amount, Shard, parse_region_order
    from morvent.fleet.runner import Options

    command = args.fleet_command
    changes = command in ("execute", "revert")
    if changes and args.canary < 0:
        raise UsageError("--canary: 0 or more")
    if changes and args.controller_slots is not None and args.controller_slots < 1:
        raise UsageError("--controller-slots: 1 or more")
    shard = Shard.parse(args.shard) if args.shard else (
        Shard.from_environment(args.shard_count) if args.shard_count is not None else None)
    return Options(
        command=command,
        max_concurrent=Amount.parse(args.max_concurrent, "--max-concurrent", least=1),
        failure_tolerance=Amount.parse(args.failure_tolerance, "--failure-tolerance")
        if changes else Amount(0),
        soft=changes and args.tolerance_mode == "soft",
        canary=args.canary if changes else 0,
        region_order=parse_region_order(args.region_order),
        sequential=args.regions == "sequential",
        controller_slots=args.controller_slots if changes else None,
        shard=shard, run_dir=args.run_dir,
        detailed_exitcode=getattr(args, "detailed_exitcode", False),
        revert=getattr(args, "revert", False))


def _run_command(args: argparse.Namespace, fleet: Any, verbosity: int) -> int:
    from morvent.fleet import report, runner

    options = _options(args)
    chosen = runner.chosen(fleet, options.shard)
    shard = f" (shard {options.shard}: {len(chosen)} of {len(fleet)})" if options.shard else ""
    progress = sys.stderr
    rules = runner.rules(chosen, options)
    at_once = rules.limit() if chosen else options.max_concurrent
    if verbosity >= 0:
        print(f"{PROG} fleet {options.command}{' --revert' if options.revert else ''}: "
              f"{len(chosen)} VPC(s){shard} from {fleet.source}, {at_once} at once",
              file=progress)
    runner.groups(chosen, options)  # a wrong --region-order, before any question
    lowered = runner.lowered(rules, options)
    if lowered and chosen:
        print(f"{PROG}: {lowered}", file=progress)
    if options.command in ("execute", "revert") and not args.yes and chosen:
        question = (f"{options.command} {len(chosen)} VPC(s){shard} of {fleet.source}, "
                    f"{at_once} at once?")
        if not can_ask():
            return fail(f"{options.command} would change {len(chosen)} VPC(s), and there is no "
                        "terminal to ask on: add --yes (see `morvent fleet plan` first)",
                        EXIT_USAGE)
        if not ask(question):
            print(f"{PROG}: cancelled: nothing was changed", file=sys.stderr)
            return EXIT_FAILED
    counter = {"ended": 0}

    def started(vpc: Any) -> None:
        if verbosity > 0:
            print(f"  {vpc.key}: started ({vpc.vpc_id}, {vpc.region})", file=progress)

    def ended(vpc: Any, outcome: Any) -> None:
        counter["ended"] += 1
        if verbosity >= 0:
            print(f"  [{counter['ended']}/{len(chosen)}] {vpc.key}: {outcome.result} "
                  f"({outcome.duration:.1f} s){': ' + outcome.why if outcome.why else ''}",
                  file=progress, flush=True)

    doc = runner.run(fleet, options, started=started, ended=ended)
    runner.store(doc, fleet, report.markdown(doc))
    if args.report:
        from morvent.core.files import write_atomically

        try:
            write_atomically(args.report, report.markdown(doc).encode("utf-8"))
        except OSError as e:
            print(f"{PROG}: warning: the report was not written to {args.report}: "
                  f"{e.strerror or e}", file=sys.stderr)
    for problem in doc.get("store_errors") or []:
        print(f"{PROG}: warning: {problem}", file=sys.stderr)
    if args.output == "json":
        say(json.dumps(doc, indent=2))
    else:
        head, rows = report.columns(doc, width=100)
        for line in table(head, rows):
            say(line)
    if doc["stored"] and verbosity >= 0:
        print(f"{PROG}: report stored at {', '.join(doc['stored'])}", file=sys.stderr)
    line = report.totals_line(doc)
    if doc["stopped_by"]:
        line += f"; stopped by {doc['stopped_by']}: no VPC started after it"
    line += f" (logs: {doc['run_dir']})"
    if args.output == "json":
        print(f"{PROG}: {line}", file=sys.stderr)
    else:
        verdict(line)
    return doc["exit_status"]


def _check(args: argparse.Namespace, fleet: Any, path: str, verbosity: int) -> int:
    from morvent.fleet.manifest import write_vpc_configs
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
