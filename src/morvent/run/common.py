"""What the run services share: the frontend they report to, the lock, the backup."""

from __future__ import annotations

import logging
import os
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from morvent.core.backup import BackupDescriptor
from morvent.core.config import Config
from morvent.core.exceptions import UsageError
from morvent.core.interrupt import shielded, signal_name
from morvent.core.text import password_variable

log = logging.getLogger("morvent.run")


@dataclass
class Options:
    """What the caller asks of a run that changes the VPC."""

    #: The command as the user would type it again (for the lock and messages).
    command: str
    #: Go ahead without the question.
    yes: bool = False
    break_lock: str | None = None
    #: A saved plan (morvent.run.saved.load) to carry out exactly, or None.
    saved: dict | None = None


@dataclass
class Facts:
    """What a run found and did, filled in as it goes; a caller's report of the
    run (JSON, for instance) is made from it, whatever way the run ended."""

    #: The plan the run went by (morvent.run.plan.Plan).
    plan: Any = None
    backup: "Backup | None" = None
    #: The run's log file, once it was opened.
    log_file: str | None = None
    #: The VPC's egress (morvent.core.egress.Egress) before and after the run.
    egress_before: Any = None
    egress_after: Any = None
    #: The run's progress listener: which steps started.
    progress: Any = None
    #: How the run ended, in one line (the verdict, or what a failed run left).
    verdict: str | None = None
    #: The undo records when the run ended (None: not read).
    records_after: list | None = None


class Frontend:
    """What a run needs from whoever started it: the question, and a place to show
    what it found.  This one asks nothing and shows nothing (a caller that
    passes --yes and reads ``facts``)."""

    #: Read the route tables before the run, to show them beside the ones after.
    shows_egress = True
    #: Complete ``facts`` however the run ends (the egress after a failed or
    #: stopped run, the records left), for a report of every run.
    wants_all_facts = False

    def __init__(self) -> None:
        self.facts = Facts()

    def confirm(self, plan: Any, question: str, command: str) -> None:
        """Show the steps to do and ask; raise Cancelled unless the answer is yes."""

    def log_plan(self, plan: Any) -> None:
        """The plan in the run's log before the first step."""
        log.info("- Plan: %s", plan.summary())

    def egress(self, before: Any, after: Any) -> None:
        """The route tables before and after the run."""

    def verdict(self, text: str) -> None:
        """The one-line verdict of a run that ended normally."""
        self.facts.verdict = text

    def failed(self, text: str) -> None:
        """What a run that failed or was stopped left, and what to run next."""
        self.facts.verdict = text
        log.error("%s", text)

    def note(self, text: str) -> None:
        """A line of the result that is not a verdict (e.g. nothing to revert)."""


def load_manager() -> Any:
    try:
        from morvent.commands.brindlemark import Manager
    except ImportError as e:
        raise UsageError(f"the migration module is not available ({e}); build the native "
                         "modules first") from e
    return Manager


def require_password(config: Config) -> None:
    if not os.environ.get(config.controller_password_env):
        raise UsageError(f"the controller password is not set: put it in "
                         f"{password_variable(config)} (controller_password_env in "
                         f"{config.source})")


def egress_now(cloud: Any) -> Any:
    """The VPC's egress now, for the table after the run; None when it cannot be read."""
    from morvent.core.text import one_line

    try:
        return cloud.egress()
    except Exception as e:  # the table is worth less than the run's own outcome
        log.warning("  could not read the route tables for the summary: %s", one_line(e))
        return None


def egress_before(frontend: Frontend, cloud: Any) -> Any:
    """The VPC's egress before the run, when the frontend shows it (else None)."""
    before = egress_now(cloud) if frontend.shows_egress else None
    frontend.facts.egress_before = before
    return before


def show_egress(frontend: Frontend, before: Any, cloud: Any) -> None:
    if before is None:
        return
    after = egress_now(cloud)
    frontend.facts.egress_after = after
    if after is not None:
        frontend.egress(before, after)


def complete_facts(frontend: Frontend, cloud: Any) -> None:
    """What ``facts`` lacks when a run ended early, for a frontend that reports every run."""
    facts = frontend.facts
    if not frontend.wants_all_facts:
        return
    try:
        if facts.egress_before is not None and facts.egress_after is None:
            facts.egress_after = egress_now(cloud)
        if facts.backup is not None:
            state = facts.backup.now()
            facts.records_after = list(state.mementos) if state is not None else None
    except BaseException:  # noqa: BLE001 - a second signal: the report goes without
        log.debug("the facts after the run could not be completed", exc_info=True)


def vpc_lock(config: Config, command: str) -> Any:
    from morvent.core.ConfigAdaptor import ConfigAdaptor
    from morvent.lib.aws_cred import AwsClientManager
    from morvent.lib.lock import VpcLock, default_owner

    s3_client = AwsClientManager(config).getS3Client()
    return VpcLock(s3_client, ConfigAdaptor(config).backup_descriptor,
                   owner=default_owner(command))


@dataclass
class Backup:
    """The VPC's backup as read before the run, and where it lives."""

    des: BackupDescriptor
    state: Any  # morvent.run.reconcile.BackupState

    @property
    def where(self) -> str:
        return f"{self.des.url} (local copy {self.des.getAbsolutePath()})"

    def now(self) -> Any:
        """The records as the run left them locally; None when they cannot be read."""
        from morvent.run.reconcile import read_backup_state

        try:
            return read_backup_state(self.des.getAbsolutePath(), self.des)
        except Exception:
            return None


def read_backup(lock: Any) -> Backup:
    """Bring the backup from S3 (merged with the local folder) before anything changes."""
    from morvent.lib.s3 import S3BackupCmdV2
    from morvent.run.reconcile import read_backup_state

    S3BackupCmdV2(lock.s3_client, lock.backup_des).download()
    return Backup(lock.backup_des,
                  read_backup_state(lock.backup_des.getAbsolutePath(), lock.backup_des))


def run_locked(config: Config, command: str, dry_run: bool, break_lock: str | None,
               run: Callable[[Backup], None]) -> None:
    """Take the VPC's lock (not in a dry run), read the backup, then ``run(backup)``."""
    lock = vpc_lock(config, command)
    if dry_run:
        # A dry run stores nothing in S3, its lock included; it only says
        # when another run is busy with the backup it reads.
        state = lock.state()
        if state is not None:
            log.warning("  %s is locked by %s; the dry run reads a backup that may be changing",
                        config.vpc_id, state.describe())
        run(read_backup(lock))
        return
    if break_lock:
        lock.break_lock(break_lock)
    try:
        # Neither half-taken nor left behind, whatever signal comes.
        with shielded():
            lock.acquire()
        run(read_backup(lock))
    finally:
        with shielded():
            lock.release()


def records(n: int) -> str:
    return f"{n} undo record" + ("" if n == 1 else "s")


def stopped_by(e: BaseException) -> str:
    return "Ctrl-C (SIGINT)" if isinstance(e, KeyboardInterrupt) else signal_name(e.signum)
