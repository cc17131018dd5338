"""The report of a fleet run: one document (JSON), its Markdown for the change
ticket, and its copies in S3 beside the backups.

The document (``schema_version`` 1, ``kind`` "morvent fleet report") holds
what ran (command, manifest, shard, options, runner, times), a row per VPC
(``vpcs``: key, VPC id, region, result, exit status, why, duration and what
its command reported: zones, egress addresses kept or changed, steps, log)
and ``totals`` (VPCs per result).  It is stored in every bucket the fleet's
VPCs keep their backups in, under
``<s3_prefix>/fleet-reports/<manifest name>/<run id>.json`` and ``.md``.
"""

from __future__ import annotations

import os
import socket
from collections import Counter
from collections.abc import Iterable, Mapping, Sequence
from typing import Any

from morvent.core.statuses import (EXIT_ATTENTION, EXIT_CHANGES, EXIT_FAILED, EXIT_OK)
from morvent.fleet.scheduler import ELSEWHERE, NOT_STARTED, SUCCEEDED, Outcome

SCHEMA_VERSION = 1
KIND = "morvent fleet report"
#: The folder of the fleet reports under a bucket's prefix.
REPORTS = "fleet-reports"


def row(vpc: Any, outcome: Outcome) -> dict[str, Any]:
    return {"key": vpc.key, "vpc_id": vpc.vpc_id, "region": vpc.region,
            "account": vpc.config.aws_account_name, "result": outcome.result,
            "exit_status": outcome.exit_status, "why": outcome.why,
            "duration": round(outcome.duration, 1), **outcome.details}


def totals(rows: Iterable[Mapping[str, Any]]) -> dict[str, int]:
    counted = Counter(r["result"] for r in rows)
    return dict(sorted(counted.items()))


def plan_totals(rows: Iterable[Mapping[str, Any]]) -> dict[str, int]:
    """Every VPC's plan counts added up (steps to do, gateways to create ...)."""
    summed: Counter = Counter()
    for r in rows:
        summed.update({k: v for k, v in (r.get("counts") or {}).items() if isinstance(v, int)})
    return dict(summed)


def exit_status(command: str, rows: Sequence[Mapping[str, Any]], stopped_by: int | None,
                detailed: bool = False) -> int:
    """The fleet's exit status.

    Stopped by a signal: 128 + it.  Otherwise 1 when any VPC failed or did
    not start (execute, revert; plan: would be refused; status: could not be
    read), else 0; with ``detailed``, plan exits 4 when any VPC has changes
    to make and status 5 when any VPC needs attention.
    """
    if stopped_by is not None:
        return 128 + stopped_by
    if any(r["result"] not in SUCCEEDED and r["result"] != ELSEWHERE for r in rows):
        return EXIT_FAILED
    if detailed and command == "plan" and any(r.get("changes") for r in rows):
        return EXIT_CHANGES
    if detailed and command == "status" and any(r.get("attention") for r in rows):
        return EXIT_ATTENTION
    return EXIT_OK


def run_id(stamp: str, command: str, shard: Any = None) -> str:
    part = f"-shard-{shard.index}-of-{shard.count}" if shard is not None else ""
    return f"{stamp}-{command}{part}-{socket.gethostname()}-{os.getpid()}"


def s3_key(config: Any, manifest: str, ident: str, suffix: str) -> str:
    stem = os.path.splitext(os.path.basename(manifest))[0] or "fleet"
    parts = [p for p in (config.s3_prefix.strip("/"), REPORTS, stem, ident + suffix) if p]
    return "/".join(parts)


def buckets(vpcs: Sequence[Any]) -> list[Any]:
    """One configuration per place the VPCs back up to (bucket, prefix, credentials)."""
    found: dict[tuple, Any] = {}
    for vpc in vpcs:
        c = vpc.config
        found.setdefault((c.s3_bucket, c.s3_prefix, c.aws_profile, c.aws_endpoint_url), c)
    return list(found.values())


def places(doc: Mapping[str, Any], vpcs: Sequence[Any]) -> list[str]:
    """Where ``store`` puts the report (s3://...)."""
    return [f"s3://{c.s3_bucket}/{s3_key(c, doc['manifest'], doc['run_id'], suffix)}"
            for c in buckets(vpcs) for suffix in (".json", ".md")]


def store(doc: dict[str, Any], markdown_text: str, vpcs: Sequence[Any]) -> list[str]:
    """Put the report (JSON and Markdown) in each place the VPCs back up to;
    the problems (a bucket that refuses it is the report's warning, never
    the fleet's failure)."""
    import json

    from morvent.lib.aws_cred import AwsClientManager

    problems = []
    body = (json.dumps(doc, indent=2) + "\n").encode()
    for config in buckets(vpcs):
        for suffix, data, kind in ((".json", body, "application/json"),
                                   (".md", markdown_text.encode(), "text/markdown")):
            key = s3_key(config, doc["manifest"], doc["run_id"], suffix)
            try:
                AwsClientManager(config).getS3Client().put_object(
                    Bucket=config.s3_bucket, Key=key, Body=data, ContentType=kind)
            except Exception as e:  # noqa: BLE001 - reported, the fleet's result stands
                text = " ".join(str(e).split()) or type(e).__name__
                problems.append(f"the report was not stored at s3://{config.s3_bucket}/{key}: "
                                f"{text}")
    return problems


# -- how it reads ------------------------------------------------------------------------

def _egress(r: Mapping[str, Any]) -> str:
    counts = r.get("egress")
    if not counts:
        return "-"
    if counts.get("changed"):
        return f"{counts['changed']} changed"
    if counts.get("unknown") and not counts.get("kept"):
        return "not known"
    return "kept" + (f" ({counts['unknown']} not known)" if counts.get("unknown") else "")


def columns(doc: Mapping[str, Any], width: int | None = None) -> tuple[list[str], list[list[Any]]]:
    """The per-VPC table of the report: its heading and rows (the last
    column, why, cut at ``width`` characters when given)."""
    command = doc["command"]
    if command == "plan" and doc.get("plan_of") == "revert":
        head = ["vpc", "region", "result", "zones", "steps to do", "puts back", "deletes",
                "routes back", "exit", "why"]
        rows = [[r["key"], r["region"], r["result"], r.get("zones", "-"),
                 *_counts(r, "to_do", "nat_gateways_to_put_back", "spoke_gateways_to_delete",
                          "routes_to_move_back"), _exit(r), r["why"]] for r in doc["vpcs"]]
    elif command == "plan":
        head = ["vpc", "region", "result", "zones", "steps to do", "creates", "deletes",
                "address changes", "exit", "why"]
        rows = [[r["key"], r["region"], r["result"], r.get("zones", "-"),
                 *_counts(r, "to_do", "spoke_gateways_to_create", "nat_gateways_to_delete"),
                 r.get("address_changes", "-"), _exit(r), r["why"]] for r in doc["vpcs"]]
    elif command == "status":
        head = ["vpc", "region", "result", "stage", "steps", "undo records", "lock", "exit",
                "attention"]
        rows = [[r["key"], r["region"], r["result"], r.get("stage") or r["why"],
                 f"{r['steps_done']}/{r['steps_total']}" if r.get("steps_total") else "-",
                 r.get("undo_records", "-"), "held" if r.get("lock") else "free",
                 _exit(r), "; ".join(r.get("attention") or []) or "-"] for r in doc["vpcs"]]
    else:
        head = ["vpc", "region", "result", "zones", "egress addresses", "duration", "exit",
                "log", "why"]
        rows = [[r["key"], r["region"], r["result"], r.get("zones", "-"), _egress(r),
                 f"{r['duration']:.1f} s", _exit(r), r.get("log") or r.get("fleet_log") or "-",
                 r["why"]] for r in doc["vpcs"]]
    if width:
        for r in rows:
            r[-1] = r[-1] if len(str(r[-1])) <= width else str(r[-1])[:width - 3] + "..."
    return head, rows


def _counts(r: Mapping[str, Any], *names: str) -> list[Any]:
    counts = r.get("counts") or {}
    return [counts.get(name, "-") for name in names]


def _exit(r: Mapping[str, Any]) -> str:
    return "-" if r.get("exit_status") is None else str(r["exit_status"])


def totals_line(doc: Mapping[str, Any]) -> str:
    parts = [f"{count} {result}" for result, count in doc["totals"].items()]
    line = f"{len(doc['vpcs'])} VPC(s): " + ", ".join(parts)
    planned = doc.get("plan_totals")
    if planned and doc.get("plan_of") == "revert":
        line += (f"; {planned.get('to_do', 0)} step(s) to do, "
                 f"{planned.get('nat_gateways_to_put_back', 0)} NAT gateway(s) to put back, "
                 f"{planned.get('spoke_gateways_to_delete', 0)} spoke gateway(s) to delete")
    elif planned:
        line += (f"; {planned.get('to_do', 0)} step(s) to do, "
                 f"{planned.get('spoke_gateways_to_create', 0)} spoke gateway(s) to create, "
                 f"{planned.get('nat_gateways_to_delete', 0)} NAT gateway(s) to delete")
    return line


def concurrency_line(doc: Mapping[str, Any]) -> str | None:
    """How many VPCs ran at once, when strict failure tolerance lowered it."""
    at_once = doc.get("concurrency") or {}
    if at_once.get("effective", 0) >= at_once.get("requested", 0):
        return None
    return (f"at most {at_once['effective']} at once (strict failure tolerance; "
            f"{at_once['requested']} asked)")


def markdown(doc: Mapping[str, Any]) -> str:
    """The report for a change ticket."""
    head, rows = columns(doc)
    shard = f", shard {doc['shard']}" if doc.get("shard") else ""
    revert = " --revert" if doc.get("plan_of") == "revert" else ""
    lowered = concurrency_line(doc)
    lines = [f"# morvent fleet {doc['command']}{revert}: {doc['manifest']}", "",
             f"- runner: {doc['runner']}{shard}",
             f"- started {doc['started']}, ended {doc['ended']} "
             f"({doc['duration']:.0f} s)",
             "- options: " + ", ".join(f"{k} {v}" for k, v in doc["options"].items())
             + (f"; {lowered}" if lowered else ""),
             f"- exit status {doc['exit_status']}"
             + (f" (stopped by {doc['stopped_by']})" if doc.get("stopped_by") else ""),
             f"- {totals_line(doc)}", ""]
    lines.append("| " + " | ".join(head) + " |")
    lines.append("|" + "---|" * len(head))
    for r in rows:
        lines.append("| " + " | ".join(_cell(v) for v in r) + " |")
    failed = [r for r in doc["vpcs"] if r["result"] not in SUCCEEDED
              and r["result"] not in (ELSEWHERE, NOT_STARTED)]
    if failed:
        lines += ["", "## What failed", ""]
        for r in failed:
            lines.append(f"- **{r['key']}** ({r['vpc_id']}, {r['region']}): {r['why']}")
            lines += [f"  - {_cell(e)}" for e in (r.get("errors") or [])[:5]]
    if doc.get("stored"):
        lines += ["", "Stored at: " + ", ".join(doc["stored"])]
    return "\n".join(lines) + "\n"


def _cell(value: Any) -> str:
    return str(value).replace("|", "\\|").replace("\n", " ")
