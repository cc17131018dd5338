"""``morvent execute``, ``revert`` and ``cleanup``: the commands that change the VPC.

``execute`` and ``revert`` take the VPC's lock and read the backup before
anything else; a run that stops (failure, signal) says what its records hold
and what to run next.
"""

from __future__ import annotations

import argparse
import logging
import os
import shlex
import sys
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from morvent.cli.output import PROG, Refused, UsageError
from morvent.core.backup import BackupDescriptor
from morvent.core.config import Config
from morvent.core.Globals import Globals
from morvent.core.interrupt import Terminated, shielded, signal_name


def _load_manager() -> Any:
    try:
        from morvent.commands.brindlemark import Manager
    except ImportError as e:
        raise UsageError(f"the migration module is not available ({e}); build the native "
                         "modules first") from e
    return Manager


def _require_password(config: Config) -> None:
    name = config.controller_password_env
    if not os.environ.get(name):
        raise UsageError(f"the controller password is not set: put it in the environment "
                         f"variable {name} (controller_password_env in {config.source})")


def _lock(config: Config, command: str) -> Any:
    from morvent.core.ConfigAdaptor import ConfigAdaptor
    from morvent.lib.aws_cred import AwsClientManager
    from morvent.lib.s3 import VpcLock, default_owner

    s3_client = AwsClientManager(config).getS3Client()
    return VpcLock(s3_client, ConfigAdaptor(config).backup_descriptor,
                   owner=default_owner(command))


@dataclass
class _Backup:
    """The VPC's backup as read before the run, and where it lives."""

    des: BackupDescriptor
    state: Any  # morvent.core.reconcile.BackupState

    @property
    def where(self) -> str:
        return f"{self.des.url} (local copy {self.des.getAbsolutePath()})"

    def now(self) -> Any:
        """The records as the run left them locally; None when they cannot be read."""
        from morvent.core.reconcile import read_backup_state

        try:
            return read_backup_state(self.des.getAbsolutePath())
        except Exception:
            return None


def _read_backup(lock: Any) -> _Backup:
    """Bring the backup from S3 (merged with the local folder) before anything changes."""
    from morvent.core.reconcile import read_backup_state
    from morvent.lib.s3 import S3BackupCmdV2

    S3BackupCmdV2(lock.s3_client, lock.backup_des).download()
    return _Backup(lock.backup_des, read_backup_state(lock.backup_des.getAbsolutePath()))


def _run_locked(config: Config, args: argparse.Namespace, command: str,
                run: Callable[[_Backup], None]) -> None:
    """Take the VPC's lock (not in a dry run), read the backup, then ``run(backup)``."""
    from morvent.lib.s3 import describe_holder

    lock = _lock(config, command)
    if getattr(args, "dry_run", False):
        # A dry run stores nothing in S3, its lock included; it only says
        # when another run is busy with the backup it reads.
        holder = lock.holder()
        if holder is not None:
            logging.getLogger(__name__).warning(
                "  %s is locked by %s; the dry run reads a backup that may be changing",
                config.vpc_id, describe_holder(holder))
        run(_read_backup(lock))
        return
    if args.break_lock:
        lock.break_lock()
    try:
        # Neither half-taken nor left behind, whatever signal comes.
        with shielded():
            lock.acquire()
        run(_read_backup(lock))
    finally:
        with shielded():
            lock.release()


def _records(n: int) -> str:
    return f"{n} undo record" + ("" if n == 1 else "s")


def _stopped_by(e: BaseException) -> str:
    return "Ctrl-C (SIGINT)" if isinstance(e, KeyboardInterrupt) else signal_name(e.signum)


def _unresumable(config: Config, state: Any) -> str | None:
    """What the discovery found when it leaves nothing to replace, else None."""
    if not state.discovered or len(state.natgws) >= 2 or state.mementos:
        return None
    if not state.natgws:
        found = (f"no available public NAT gateway was found in {config.vpc_id}: nothing to "
                 "replace (replaced already, or none to begin with)")
    else:
        natgw = state.natgws[0]
        found = (f"only 1 NAT gateway was found in {config.vpc_id} ({natgw.get('nat_gw_id')} "
                 f"in {natgw.get('subnet_id')}); the replacement needs at least two")
    return (f"{found}; no NAT gateway, route or spoke gateway was changed; to discover the "
            f"NAT gateways again, remove command_history.json from {state.folder} and from "
            "the backup in S3")


def _after_execute(config: Config, backup: _Backup, stop: BaseException | None) -> str:
    """What a failed or stopped run of execute left, and what to run next."""
    how = f"stopped by {_stopped_by(stop)}" if stop is not None else "failed"
    if Globals.dry_run:
        return f"the dry run {how}; nothing was changed"
    state = backup.now()
    if state is None:
        return f"execute {how}; run it again to resume, or see the log above"
    unresumable = _unresumable(config, state)
    if unresumable is not None:
        return f"execute cannot resume: {unresumable}"
    if not state.discovered:
        return (f"execute {how} before the NAT gateways were discovered; no NAT gateway, "
                "route or spoke gateway was changed; run it again to resume"
                + (" once the cause above is fixed" if stop is None else ""))
    done = ("the newest group of steps was rolled back (see above for any step that could "
            "not be undone); " if stop is None else "")
    return (f"execute {how}; {done}{_records(len(state.mementos))} kept in {backup.where}: "
            "run it again to resume (`morvent execute`), or `morvent revert` to undo them")


def execute(args: argparse.Namespace, config: Config) -> None:
    if args.dry_run and args.break_lock:
        raise UsageError("--break-lock changes the lock in S3; it cannot go with --dry-run")
    _require_password(config)
    manager = _load_manager()
    Globals.dry_run = bool(args.dry_run)
    command = f"{PROG} execute --config {shlex.quote(config.source)}" + \
        (" --dry-run" if args.dry_run else "")
    log = logging.getLogger(__name__)

    def run(backup: _Backup) -> None:
        unresumable = _unresumable(config, backup.state)
        if unresumable is not None:
            raise Refused(f"nothing to resume: {unresumable}")
        try:
            manager.execute(config)
        except SystemExit as e:
            if e.code not in (None, 0):
                log.error("%s", _after_execute(config, backup, None))
            raise
        except (KeyboardInterrupt, Terminated) as e:
            log.error("%s", _after_execute(config, backup, e))
            raise

    _run_locked(config, args, command, run)


def _after_revert(backup: _Backup, stop: BaseException | None) -> str:
    """Where a revert stopped, and that its records are kept."""
    from morvent.core.reconcile import describe_record

    how = f"stopped by {_stopped_by(stop)}" if stop is not None else "failed"
    state = backup.now()
    if state is None:
        return f"revert {how}; run it again, or see the log above"
    if not state.mementos:
        return f"revert {how} after every undo record was restored"
    return (f"revert {how}; it stopped at the undo record of the "
            f"{describe_record(state.mementos[-1])}; the {_records(len(state.mementos))} left "
            f"are kept in {backup.where}: run `morvent revert` again to go on")


def _check_world(config: Config, backup: _Backup) -> None:
    """Refuse to revert when EC2 shows a change that no undo record describes."""
    from morvent.core.reconcile import unrecorded_changes
    from morvent.lib.aws_cred import AwsClientManager

    ec2 = AwsClientManager(config).getEc2Client()
    findings = unrecorded_changes(ec2, config.vpc_id, backup.state)
    if findings:
        raise Refused("\n".join(
            [f"revert stopped before changing anything: {config.vpc_id} does not match its "
             f"{_records(len(backup.state.mementos))}, all kept in {backup.where}"]
            + [f"  {finding}" for finding in findings]
            + ["`morvent execute` finishes the interrupted step; then `morvent revert` "
               "restores the VPC"]))


def revert(args: argparse.Namespace, config: Config) -> None:
    _require_password(config)
    manager = _load_manager()
    Globals.dry_run = False
    log = logging.getLogger(__name__)

    def run(backup: _Backup) -> None:
        if not backup.state.mementos:
            # Nothing to undo: no login, no change.
            print(f"{PROG}: nothing to revert: no undo record in {backup.where}",
                  file=sys.stderr)
            return
        _check_world(config, backup)
        try:
            manager.revert(config)
        except (Exception, KeyboardInterrupt, Terminated) as e:
            log.error("%s", _after_revert(
                backup, e if isinstance(e, (KeyboardInterrupt, Terminated)) else None))
            raise

    _run_locked(config, args, f"{PROG} revert --config {shlex.quote(config.source)}", run)


def cleanup(args: argparse.Namespace, config: Config) -> None:
    _load_manager().cleanup(config)
