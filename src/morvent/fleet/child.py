"""One VPC of a fleet in processes of its own, through the commands a person runs.

Each command is ``python -m morvent COMMAND --config FILE --output json``
(execute and revert with ``--yes``), FILE being the VPC's effective
configuration; the runner reads only its exit status and the JSON document
on its standard output, and its standard error goes to the VPC's log of the
fleet run.  A VPC's execute or revert is a chain:

1. ``status``: from the backup in S3, is it done already (then it is
   ``done-earlier`` and nothing more runs), is its lock held by a live run
   (``running-elsewhere``: another runner has it), or is it to run;
2. the command itself, which resumes what a failed or stopped run left;
3. after a lock refusal (another runner took the lock between 1 and 2),
   ``status`` again, to tell a live holder (``running-elsewhere``) from one
   that is gone (``locked``, a failure: the lock needs ``--break-lock``)
   and from a lock let go meanwhile: the VPC done (``done-earlier``), or
   the command once more (at most ``RETRIES`` runs in all).

Children run in sessions of their own, so a Ctrl-C on the terminal reaches
the runner alone, which passes it on to each of them (``signal``).
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import time
from collections.abc import Mapping
from typing import Any

from morvent.core.interrupt import signal_name
from morvent.core.statuses import EXIT_CHANGES, EXIT_LOCKED, EXIT_OK, EXIT_USAGE
from morvent.fleet.scheduler import ELSEWHERE, Outcome
from morvent.lib.lock import describe_holder
from morvent.run.plan import NOTHING_TO_REVERT

#: Runs of the command on one VPC when another run holds its lock and lets
#: it go before it was done.
RETRIES = 3
#: Results of a command's JSON document that the fleet keeps as they are.
_RUN_RESULTS = ("done", "nothing-to-do", "refused", "stale-plan", "cancelled", "failed",
                "locked", "usage-error", "interrupted", "terminated")


def command_line(command: str, config: str, revert: bool = False) -> list[str]:
    """The command's line; ``revert``: plan's ``--revert``."""
    argv = [sys.executable, "-m", "morvent", command, "--config", config, "--output", "json"]
    if command in ("execute", "revert"):
        argv.append("--yes")
    if command == "plan" and revert:
        argv.append("--revert")
    return argv


def read_document(text: str) -> dict[str, Any] | None:
    """The JSON document a command printed, or None."""
    try:
        doc = json.loads(text)
    except ValueError:
        return None
    return doc if isinstance(doc, dict) else None


def last_line(path: str) -> str:
    """The last line a process wrote to its log: what it said when it stopped."""
    try:
        with open(path, "rb") as f:
            f.seek(max(0, os.path.getsize(path) - 4096))
            lines = [line for line in f.read().decode("utf-8", "replace").splitlines()
                     if line.strip()]
    except OSError:
        return ""
    return lines[-1].strip() if lines else ""


def error_lines(path: str, most: int = 3) -> list[str]:
    """The last error lines a process wrote to its log (for a report of a failure)."""
    try:
        with open(path, "rb") as f:
            f.seek(max(0, os.path.getsize(path) - 65536))
            text = f.read().decode("utf-8", "replace")
    except OSError:
        return []
    found = [line.strip() for line in text.splitlines()
             if " ERROR " in line or "error:" in line]
    return found[-most:]


def _status_failure(status: int, doc: dict[str, Any] | None, said: str) -> tuple[str, str]:
    if status == EXIT_USAGE:
        return "usage-error", said or "configuration or usage error"
    if status in (130, 143):
        return ("interrupted" if status == 130 else "terminated"), said
    return "failed", said or f"status ended with exit status {status}"


def before_run(command: str, status: int, doc: dict[str, Any] | None,
               said: str = "") -> tuple[str, str] | None:
    """What ``status`` says of a VPC before its execute or revert: None when
    the command is to run, else (result, why)."""
    if status != EXIT_OK or doc is None:
        return _status_failure(status, doc, said)
    lock = doc.get("lock")
    if lock:
        return held(lock)
    if command == "execute" and str(doc.get("stage", "")).startswith("replaced"):
        return "done-earlier", f"already replaced: {doc.get('steps_total')} steps done"
    if command == "revert" and not doc.get("undo_records") and not doc.get("steps_done"):
        return "done-earlier", "nothing to revert: no undo record"
    return None


def held(lock: Mapping[str, Any]) -> tuple[str, str]:
    """A held lock: running elsewhere while its run lives, else a failure."""
    holder = describe_holder(lock)
    if lock.get("alive") is False:
        return "locked", (f"locked by a run that is gone (lock id {lock.get('id')}); "
                          f"`{lock.get('break') or '--break-lock ID'}` removes it")
    alive = "alive" if lock.get("alive") else "whether it is alive cannot be told"
    return ELSEWHERE, f"locked by {holder} (lock id {lock.get('id')}, {alive})"


def egress(doc: Mapping[str, Any]) -> dict[str, int]:
    """Route tables whose egress address was kept, changed or is not known."""
    counts = {"kept": 0, "changed": 0, "unknown": 0}
    for zone in doc.get("zones") or []:
        for table in zone.get("route_tables") or []:
            before, after = table.get("before"), table.get("after")
            if not before or not after:
                counts["unknown"] += 1
            elif before.get("egress_address") == after.get("egress_address"):
                counts["kept"] += 1
            else:
                counts["changed"] += 1
    return counts


def run_details(doc: Mapping[str, Any]) -> dict[str, Any]:
    """What the report keeps of an execute's or revert's document."""
    steps = doc.get("steps") or {}
    return {"zones": len(doc.get("zones") or []), "egress": egress(doc),
            "steps": {k: steps.get(k) for k in ("total", "done_before", "done_after")},
            "nat_gateways": doc.get("nat_gateways"),
            "log": (doc.get("log") or {}).get("s3") or (doc.get("log") or {}).get("file"),
            "backup": (doc.get("backup") or {}).get("s3"),
            "errors": doc.get("errors") or []}


def plan_outcome(status: int, doc: dict[str, Any] | None, said: str) -> tuple[str, str, dict]:
    """(result, why, details) of a VPC's ``plan --output json`` (or ``plan
    --revert``): ``ready`` when the run would go ahead and change something,
    ``nothing-to-do`` when it would go ahead and change nothing (a revert:
    no undo record), ``blocked`` (or ``running-elsewhere``) when it would
    not go ahead."""
    if doc is None or "counts" not in doc:
        result, why = _status_failure(status, doc, said)
        return result, why, {}
    details = {"counts": doc.get("counts") or {}, "summary": doc.get("summary"),
               "changes": doc.get("changes"), "zones": len(doc.get("records") or []),
               "blockers": [b.get("error") for b in doc.get("blockers") or []],
               "address_changes": len(doc.get("address_changes") or [])}
    if status in (EXIT_OK, EXIT_CHANGES) and doc.get("ready", True):
        if doc.get("changes") is False:
            nothing = NOTHING_TO_REVERT if doc.get("command") == "revert" and \
                not doc.get("steps") else doc.get("summary") or "nothing to do"
            return "nothing-to-do", nothing, details
        return "ready", doc.get("summary") or "", details
    if status == EXIT_LOCKED:
        return ELSEWHERE, "; ".join(details["blockers"]) or said, details
    return "blocked", "; ".join(details["blockers"]) or said, details


def status_details(doc: Mapping[str, Any]) -> dict[str, Any]:
    return {"stage": doc.get("stage"), "steps_done": doc.get("steps_done"),
            "steps_total": doc.get("steps_total"), "undo_records": doc.get("undo_records"),
            "zones": len(doc.get("natgws") or []), "lock": doc.get("lock"),
            "attention": doc.get("attention") or [], "next": doc.get("next"),
            "backup": doc.get("backup")}


class VpcRun:
    """The chain of one VPC's commands, polled by the scheduler."""

    def __init__(self, key: str, command: str, config: str, log: str, *,
                 environ: Mapping[str, str] | None = None, revert: bool = False) -> None:
        self.key = key
        self.command = command
        #: plan: the plan of revert.
        self.revert = revert
        self.config = config
        self.log = log
        self.environ = dict(os.environ if environ is None else environ)
        self.began = time.monotonic()
        self.signalled: int | None = None
        self.stage = "status" if command in ("execute", "revert") else command
        self.last_status: dict[str, Any] | None = None
        self.tries = 0
        self.run_details: dict[str, Any] = {}
        self._start(self.stage)

    def _start(self, command: str) -> None:
        self.stage = command
        self.tries += command == self.command
        out = self.log + ".out"
        argv = command_line(command, self.config, self.revert)
        with open(self.log, "ab") as err, open(out, "wb") as stdout:
            err.write(f"--- {' '.join(argv[2:])}\n".encode())
            err.flush()
            self.process = subprocess.Popen(argv,
                                            stdin=subprocess.DEVNULL, stdout=stdout,
                                            stderr=err, env=self.environ,
                                            start_new_session=True)

    def signal(self, signum: int) -> None:
        self.signalled = signum
        if self.process.poll() is None:
            self.process.send_signal(signum)

    def _finished(self) -> tuple[int, dict[str, Any] | None] | None:
        status = self.process.poll()
        if status is None:
            return None
        if status < 0:  # killed by a signal it did not handle
            status = 128 - status
        try:
            with open(self.log + ".out", encoding="utf-8", errors="replace") as f:
                doc = read_document(f.read())
        except OSError:
            doc = None
        return status, doc

    def poll(self) -> Outcome | None:
        finished = self._finished()
        if finished is None:
            return None
        status, doc = finished
        said = last_line(self.log)
        if self.stage == "status" and self.command in ("execute", "revert"):
            if self.last_status is None:
                self.last_status = doc
                decided = before_run(self.command, status, doc, said)
                if decided is None and self.signalled is None:
                    self._start(self.command)
                    return None
                if decided is None:
                    decided = ("not-started", f"stopped by {signal_name(self.signalled)}")
                details = status_details(doc) if doc else {}
                return self._outcome(decided[0], status, decided[1], details)
            # The status after a lock refusal: held still, or let go by a
            # run that finished the VPC, or by one that stopped (try again).
            decided = before_run(self.command, status, doc, said)
            if decided is None and self.signalled is None and self.tries < RETRIES:
                self._start(self.command)
                return None
            if decided is None:
                decided = ("locked", "locked by another run each time it was tried")
            return self._outcome(decided[0], status if decided[0] != ELSEWHERE
                                 else EXIT_LOCKED, decided[1], dict(self.run_details))
        if self.command == "plan":
            result, why, details = plan_outcome(status, doc, said)
            return self._outcome(result, status, why, details)
        if self.command == "status":
            if doc is None or status != EXIT_OK:
                result, why = _status_failure(status, doc, said)
                return self._outcome(result, status, why, {})
            details = status_details(doc)
            return self._outcome("checked", status, doc.get("stage") or "", details)
        # execute or revert: the document's errors are every error the run said;
        # without a document (a crash), the last ones its log has.
        details = run_details(doc) if doc else \
            {"errors": error_lines(self.log) or ([said] if said else [])}
        result = (doc or {}).get("result")
        if result not in _RUN_RESULTS:
            result = "crashed" if doc is None else "failed"
        why = (doc or {}).get("verdict") or said
        if result == "locked" and self.signalled is None:
            self.run_details = details
            self._start("status")
            return None
        return self._outcome(result, status, why, details)

    def _outcome(self, result: str, status: int, why: str, details: dict[str, Any]) -> Outcome:
        details = dict(details, fleet_log=self.log)
        return Outcome(self.key, result, status, why, time.monotonic() - self.began, details)


class Unstarted:
    """A VPC whose process could not be started (its configuration not
    written, no process to be had): a failure, said once polled."""

    def __init__(self, key: str, why: str) -> None:
        self.outcome = Outcome(key, "failed", None, why)

    def poll(self) -> Outcome:
        return self.outcome

    def signal(self, signum: int) -> None:
        pass
