"""``morvent status``: where the VPC's migration stands; nothing changes anywhere.

From the backup in S3: per NAT gateway, which of its steps are done and
whether its group is open (a run stopped inside it, or is inside it now);
who holds the VPC's lock, since when, its id and whether that run is alive;
and what EC2 and the controller show that no undo record explains (the
controller part needs a login, which only reads).
"""

from __future__ import annotations

import argparse
import json
from collections.abc import Callable
from typing import Any

from morvent.cli import output
from morvent.cli.output import EXIT_ATTENTION, EXIT_OK
from morvent.core.config import Config
from morvent.run import status
from morvent.run.saved import SCHEMA_VERSION


def add_parsers(add: Callable[..., argparse.ArgumentParser]) -> None:
    sub = add("status", "show where the VPC's migration stands: steps done per NAT gateway, "
                        "the lock, and changes no undo record explains; changes nothing")
    sub.add_argument("--output", choices=("text", "json"), default="text",
                     help="text (default) or JSON for machines")
    sub.add_argument("--detailed-exitcode", action="store_true",
                     help=f"exit {EXIT_OK} when all is clear, {EXIT_ATTENTION} when something "
                          "needs attention (a lock, a run stopped part-way, changes no record "
                          "explains, a part that could not be checked)")
    sub.set_defaults(run=run)


def run(args: argparse.Namespace, config: Config) -> int:
    report = status.gather(config)
    if args.output == "json":
        output.say(json.dumps({"schema_version": SCHEMA_VERSION, **report}, indent=2))
    else:
        for line in lines(report):
            output.say(line)
    if args.detailed_exitcode and report["attention"]:
        return EXIT_ATTENTION
    return EXIT_OK


def lines(report: dict[str, Any]) -> list[str]:
    """The status report in words."""
    found = [f"{report['vpc_id']} ({report['region']}): {report['stage']}",
             f"  backup: {report['backup']} ({report['undo_records']} undo records)",
             "  lock:   " + _lock_line(report["lock"])]
    rows = []
    for record in report["natgws"]:
        done = sum(s["done"] for s in record["steps"])
        rows.append((record["index"], record["zone"] or "-", record["nat_gw_id"],
                     record["subnet_id"], record["eip"],
                     f"{done}/{len(record['steps'])}" if record["steps"] else "-",
                     record["group"]))
    if rows:
        found.append("")
        found += output.table(("#", "zone", "NAT gateway", "subnet", "Elastic IP", "steps",
                               "group"), rows)
        for record in report["natgws"]:
            if record["group"] == "open":
                missing = [s["title"] for s in record["steps"] if not s["done"]]
                found.append(f"  open group: NAT gateway {record['index']} "
                             f"({record['nat_gw_id']}), still to do: {'; '.join(missing)}")
        if report["resize"] is not None:
            found.append(f"  {report['resize']['title']}: "
                         f"{'done' if report['resize']['done'] else 'to do'}")
    found.append("")
    if report["unexplained"]:
        found.append("Not explained by any undo record:")
        found += [f"  {item}" for item in report["unexplained"]]
    elif not report["discovered"]:
        found.append("Nothing recorded yet.")
    else:
        found.append("Every change seen in EC2"
                     + (" and on the controller" if report["controller_checked"] else "")
                     + " is explained by an undo record.")
    for note in report["notes"]:
        found.append(f"note: {note}")
    found.append(f"next: {report['next']}")
    return found


def _lock_line(lock: dict[str, Any] | None) -> str:
    from morvent.lib.lock import describe_holder

    if lock is None:
        return "free"
    alive = {True: "that run is alive", False: "that run is gone",
             None: "whether that run is alive cannot be told"}[lock["alive"]]
    line = f"held by {describe_holder(lock)}, lock id {lock['id']}: {alive} ({lock['why']})"
    return line + (f"; {lock['break']} removes it" if lock["break"] else "")
