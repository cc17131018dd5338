"""``morvent execute``, ``revert`` and ``cleanup``: the commands that change the VPC.

Before anything changes, ``execute`` and ``revert`` check that the VPC
exists, take the VPC's lock, read the backup and lay out the plan; on a
terminal they show it and ask (``--yes`` goes ahead without the question,
and without a terminal they need it).  A real run then writes its log file
beside the backup, says which step starts, and ends with a table per zone of
what changed and a one-line verdict.  A run that stops (failure, signal) says
what its records hold and what to run next.
"""

from __future__ import annotations

import argparse
import contextlib
import logging
import os
import shlex
import sys
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from morvent.cli import aws, output
from morvent.cli.output import PROG, Cancelled, Refused, UsageError
from morvent.core.backup import BackupDescriptor
from morvent.core.config import Config
from morvent.core.exceptions import UnrecordedGateway
from morvent.core.Globals import Globals
from morvent.core.interrupt import Terminated, shielded, signal_name

BREAK_LOCK_HELP = ("remove the VPC's lock LOCK_ID that a run which no longer runs left in S3 "
                   "(killed with SIGKILL, machine lost), then run; the refusal and `morvent "
                   "status` show the id; refused while the holder is alive")
YES_HELP = ("go ahead without showing the plan and asking first (needed without a terminal, "
            "e.g. in a job)")
ACCEPT_HELP = ("go ahead although route tables will leave with another public address than "
               "they do now (`morvent plan` lists them; also: accept_address_changes: true "
               "in the configuration)")


def add_parsers(add: Callable[..., argparse.ArgumentParser]) -> None:
    """The subcommands of this module; ``add(name, help)`` makes one with --config."""
    sub = add("execute", "replace the VPC's NAT gateways by spoke gateways (resumes a stopped "
                         "run); shows the plan and asks first")
    sub.add_argument("--dry-run", action="store_true",
                     help="change nothing: run through the steps on a scratch copy of the "
                          "backup, logging what would be done")
    sub.add_argument("--yes", "-y", action="store_true", help=YES_HELP)
    sub.add_argument("--accept-address-changes", action="store_true", help=ACCEPT_HELP)
    sub.add_argument("--break-lock", metavar="LOCK_ID", help=BREAK_LOCK_HELP)
    sub.set_defaults(run=execute)
    sub = add("revert", "undo the replacement recorded in the VPC's backup, newest step "
                        "first; shows the plan and asks first")
    sub.add_argument("--dry-run", action="store_true",
                     help="change nothing: show the plan of the revert (as `morvent plan "
                          "--revert`)")
    sub.add_argument("--output", choices=("text", "json"), default="text",
                     help="with --dry-run: the plan as text (default) or JSON")
    sub.add_argument("--yes", "-y", action="store_true", help=YES_HELP)
    sub.add_argument("--break-lock", metavar="LOCK_ID", help=BREAK_LOCK_HELP)
    sub.set_defaults(run=revert)
    sub = add("cleanup", "clean-up entry point of the replacement (nothing to clean up yet)")
    sub.set_defaults(run=cleanup)


def _load_manager() -> Any:
    try:
        from morvent.commands.brindlemark import Manager
    except ImportError as e:
        raise UsageError(f"the migration module is not available ({e}); build the native "
                         "modules first") from e
    return Manager


def _require_password(config: Config) -> None:
    if not os.environ.get(config.controller_password_env):
        raise UsageError(f"the controller password is not set: put it in "
                         f"{output.password_variable(config)} (controller_password_env in "
                         f"{config.source})")


def _need_question_or_yes(args: argparse.Namespace, command: str, plan_command: str) -> None:
    """A run that changes the VPC asks first: it needs a terminal, or --yes."""
    if args.yes or output.can_ask():
        return
    raise UsageError(f"{command} changes the VPC and asks before it does, but standard input "
                     f"is not a terminal: add --yes to go ahead without the question "
                     f"(`{plan_command}` shows what it would do)")


def _confirm(plan: Any, question: str, command: str) -> None:
    """Show the steps to do and ask; Cancelled unless the answer is yes."""
    for line in output.plan_lines(plan, only_to_do=True):
        print(line, file=sys.stderr)
    if not output.ask(question):
        raise Cancelled(f"{command} cancelled; nothing was changed")


def _log_plan(plan: Any) -> None:
    """The plan's closing count on the console, its steps in the log file."""
    log = logging.getLogger(__name__)
    for line in output.plan_lines(plan)[:-1]:
        log.debug("%s", line)
    log.info("- Plan: %s", plan.summary())


def _egress(cloud: Any) -> Any:
    """The VPC's egress now, for the table after the run; None when it cannot be read."""
    try:
        return cloud.egress()
    except Exception as e:  # the table is worth less than the run's own outcome
        logging.getLogger(__name__).warning("  could not read the route tables for the "
                                            "summary: %s", output.one_line(e))
        return None


def _show_egress(before: Any, cloud: Any, verbosity: int) -> None:
    if before is None or verbosity < 0:
        return
    after = _egress(cloud)
    if after is None:
        return
    output.say()
    for line in output.egress_lines(before, after):
        output.say(line)


def _lock(config: Config, command: str) -> Any:
    from morvent.core.ConfigAdaptor import ConfigAdaptor
    from morvent.lib.aws_cred import AwsClientManager
    from morvent.lib.lock import VpcLock, default_owner

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
            return read_backup_state(self.des.getAbsolutePath(), self.des)
        except Exception:
            return None


def _read_backup(lock: Any) -> _Backup:
    """Bring the backup from S3 (merged with the local folder) before anything changes."""
    from morvent.core.reconcile import read_backup_state
    from morvent.lib.s3 import S3BackupCmdV2

    S3BackupCmdV2(lock.s3_client, lock.backup_des).download()
    return _Backup(lock.backup_des,
                   read_backup_state(lock.backup_des.getAbsolutePath(), lock.backup_des))


def _run_locked(config: Config, args: argparse.Namespace, command: str,
                run: Callable[[_Backup], None]) -> None:
    """Take the VPC's lock (not in a dry run), read the backup, then ``run(backup)``."""
    lock = _lock(config, command)
    if getattr(args, "dry_run", False):
        # A dry run stores nothing in S3, its lock included; it only says
        # when another run is busy with the backup it reads.
        state = lock.state()
        if state is not None:
            logging.getLogger(__name__).warning(
                "  %s is locked by %s; the dry run reads a backup that may be changing",
                config.vpc_id, state.describe())
        run(_read_backup(lock))
        return
    if args.break_lock:
        lock.break_lock(args.break_lock)
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


def _after_unseen_gateway(backup: _Backup) -> str:
    """What a run that stopped on a created gateway it cannot see left."""
    state = backup.now()
    kept = f"{_records(len(state.mementos))} kept" if state is not None else "records kept"
    return (f"execute stopped without a rollback; {kept} in {backup.where}: once the "
            "controller shows the spoke gateway it created, run `morvent execute` again: it "
            "finds the gateway, records it and goes on")


def execute(args: argparse.Namespace, config: Config) -> None:
    if args.dry_run and args.break_lock:
        raise UsageError("--break-lock changes the lock in S3; it cannot go with --dry-run")
    if not args.dry_run:
        _need_question_or_yes(args, "execute", f"{PROG} plan --config {config.source}")
    _require_password(config)
    manager = _load_manager()
    Globals.dry_run = bool(args.dry_run)
    cloud = aws.cloud(config)
    cloud.check_vpc()
    command = f"{PROG} execute --config {shlex.quote(config.source)}" + \
        (" --dry-run" if args.dry_run else "")
    verbosity = getattr(args, "verbosity", 0)
    log = logging.getLogger(__name__)

    def run(backup: _Backup, run_log: output.RunLog | None) -> None:
        from morvent.core.plan import Settings

        unresumable = _unresumable(config, backup.state)
        if unresumable is not None:
            raise Refused(f"nothing to resume: {unresumable}")
        plan = cloud.replacement_plan(backup.state, quiet=True)
        if plan.fatal:
            raise Refused(f"nothing to replace: {plan.fatal}; no NAT gateway, route or spoke "
                          "gateway was changed")
        _refuse_what_cannot_go_ahead(config, args, plan)
        if plan.to_do and not args.dry_run and not args.yes:
            _confirm(plan, f"Carry out these {len(plan.to_do)} steps on {config.vpc_id}?",
                     "execute")
        else:
            for warning in plan.warnings:  # the question showed them with the plan
                log.warning("  %s", warning)
        if run_log is not None:
            log.info("- The log of this run: %s",
                     run_log.open(backup.des.local_folder, "execute"))
        _log_plan(plan)
        before = _egress(cloud) if run_log is not None and plan.to_do and verbosity >= 0 \
            else None
        progress = output.ReplacementProgress(Settings.of(config), plan.steps, args.dry_run)
        try:
            with output.listening(progress), output.stderr_to_log():
                manager.execute(config)
                _finish_routes(config, backup, undo=bool(plan.to_do))
        except SystemExit as e:
            if e.code not in (None, 0):
                _show_egress(before, cloud, verbosity)
                if plan.to_do:
                    log.error("%s", _after_execute(config, backup, None))
                else:
                    log.error("execute had nothing to do, but the route tables of %s are not "
                              "as planned (see above); nothing was changed but the routes the "
                              "tool moves", config.vpc_id)
            raise
        except (KeyboardInterrupt, Terminated) as e:
            log.error("%s", _after_execute(config, backup, e))
            raise
        except UnrecordedGateway:
            log.error("%s", _after_unseen_gateway(backup))
            raise
        _show_egress(before, cloud, verbosity)
        output.verdict(_execute_verdict(config, plan, progress, backup, run_log))

    with output.RunLog() if not args.dry_run else contextlib.nullcontext() as run_log:
        _run_locked(config, args, command, lambda backup: run(backup, run_log))


def _accepted(config: Config, args: argparse.Namespace) -> bool:
    return bool(getattr(args, "accept_address_changes", False)
                or getattr(config, "accept_address_changes", False))


def _refuse_what_cannot_go_ahead(config: Config, args: argparse.Namespace, plan: Any) -> None:
    """Refused, before any change, when the plan names something the tool cannot
    handle, or address changes the operator has not accepted."""
    if plan.refusals:
        raise Refused("\n".join(
            [f"execute refused before any change: {config.vpc_id} has "
             f"{len(plan.refusals)} thing(s) the replacement cannot handle"]
            + [f"  {line}" for line in plan.refusals]))
    if plan.address_changes and not _accepted(config, args):
        n = len(plan.address_changes)
        raise Refused("\n".join(
            [f"execute refused before any change: {n} route table(s) of {config.vpc_id} "
             "would leave with another public address after the run"]
            + [f"  {change.line()}" for change in plan.address_changes]
            + ["check that their peers accept the new addresses, then run again with "
               "--accept-address-changes (or accept_address_changes: true in "
               f"{config.source})"]))


def _finish_routes(config: Config, backup: _Backup, undo: bool) -> None:
    """The route work after the last replacement (see morvent.commands.route_steps)."""
    from morvent.commands.route_steps import finish_execute
    from morvent.lib.s3 import S3BackupCmdV2

    clients = Globals.aws_client_manager
    if clients is None:
        return
    finish_execute(clients.getEc2Client(), config.vpc_id,
                   lambda: S3BackupCmdV2(clients.getS3Client(), backup.des).upload(), undo)


def _execute_verdict(config: Config, plan: Any, progress: output.ReplacementProgress,
                     backup: _Backup, run_log: output.RunLog | None) -> str:
    """The last line of a run of execute that ended normally, from the undo records."""
    if Globals.dry_run:
        return f"dry run of execute done, nothing was changed: {plan.summary()}"
    log_file = f"; log: {run_log.path}" if run_log is not None and run_log.path else ""
    total = progress.total
    if not plan.to_do:
        return (f"execute: nothing to do, all {total} steps of {config.vpc_id} were done "
                f"already{log_file}")
    before = len(backup.state.mementos)
    state = backup.now()
    held = len(state.mementos) if state is not None else before
    accepted = ""
    if plan.address_changes:
        accepted = ("; as accepted, " + ", ".join(
            f"{c.route_table_id} leaves with {c.after} (was {c.before})"
            for c in plan.address_changes))
    if held >= total:
        return (f"execute done: {held - before} of {total} steps carried out, "
                f"{config.vpc_id} leaves through spoke gateway {config.spoke_gw_name} and "
                f"its HA gateways{accepted}{log_file}")
    if Globals.cmdcnt >= 0:
        return (f"execute stopped after step {held} of {total} as asked (command count "
                f"{Globals.cmdcnt}); run it again to go on{accepted}{log_file}")
    return f"execute ended with {held} of {total} steps done{accepted}{log_file}"


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


def _check_world(cloud: aws.Cloud, config: Config, backup: _Backup) -> None:
    """Refuse to revert when EC2 shows a change that no undo record describes."""
    findings = cloud.unrecorded_changes(backup.state)
    if findings:
        raise Refused("\n".join(
            [f"revert stopped before changing anything: {config.vpc_id} does not match its "
             f"{_records(len(backup.state.mementos))}, all kept in {backup.where}"]
            + [f"  {finding}; `morvent execute` finishes the interrupted step"
               for finding in findings]
            + ["then `morvent revert` restores the VPC"]))


def _nothing_to_revert(cloud: aws.Cloud, config: Config, backup: _Backup) -> None:
    """No undo record: say so when the VPC shows no trace of a migration either, and
    stop (changing nothing) when it does, or when the controller could not be asked."""
    traces, note = cloud.migration_traces(backup.state)
    if traces:
        raise Refused("\n".join(
            [f"revert stopped before changing anything: no undo record in {backup.where}, "
             f"but {config.vpc_id} shows traces of a migration:"]
            + [f"  {trace}" for trace in traces]
            + ["morvent undoes only what its records hold: put back the backup's histories "
               "from a copy you trust (another machine's local folder, or earlier versions of "
               "the S3 objects), then run `morvent revert` again"]))
    if note is not None:
        raise Refused(f"revert found no undo record in {backup.where} and EC2 shows no trace of "
                      f"a migration, but {note}; nothing was changed; run again once the "
                      "controller answers")
    print(f"{PROG}: nothing to revert: no undo record in {backup.where}, and {config.vpc_id} "
          "shows no trace of a migration", file=sys.stderr)


def revert(args: argparse.Namespace, config: Config) -> None:
    if args.dry_run:
        if args.break_lock:
            raise UsageError("--break-lock changes the lock in S3; it cannot go with "
                             "--dry-run")
        from morvent.cli import plan as plan_command

        plan_command.show(config, revert=True, output_format=args.output)
        return
    if args.output != "text":
        raise UsageError("--output goes with --dry-run (the plan); a revert's own output is "
                         "its log")
    _need_question_or_yes(args, "revert", f"{PROG} plan --revert --config {config.source}")
    _require_password(config)
    manager = _load_manager()
    Globals.dry_run = False
    cloud = aws.cloud(config)
    cloud.check_vpc()
    verbosity = getattr(args, "verbosity", 0)
    log = logging.getLogger(__name__)

    def run(backup: _Backup, run_log: output.RunLog) -> None:
        if not backup.state.mementos:
            _nothing_to_revert(cloud, config, backup)
            return
        _check_world(cloud, config, backup)
        plan = cloud.revert_plan(backup.state, look_for_unrecorded=False)  # checked just now
        if not args.yes:
            _confirm(plan, f"Restore these {len(plan.steps)} undo records on {config.vpc_id}?",
                     "revert")
        log.info("- The log of this run: %s", run_log.open(backup.des.local_folder, "revert"))
        _log_plan(plan)
        before = _egress(cloud) if verbosity >= 0 else None
        progress = output.RevertProgress(len(plan.steps))
        try:
            with output.listening(progress), output.stderr_to_log():
                _routes_off_ha_spokes(cloud, config, backup)
                manager.revert(config)
        except (Exception, KeyboardInterrupt, Terminated) as e:
            stop = e if isinstance(e, (KeyboardInterrupt, Terminated)) else None
            if stop is None:
                _show_egress(before, cloud, verbosity)
            log.error("%s", _after_revert(backup, stop))
            raise
        _show_egress(before, cloud, verbosity)
        state = backup.now()
        restored = len(plan.steps) - (len(state.mementos) if state is not None else 0)
        output.verdict(f"revert done: {restored} undo records restored, {config.vpc_id} leaves "
                       f"through NAT gateways again (put back under new ids); log: "
                       f"{run_log.path}")

    with output.RunLog() as run_log:
        _run_locked(config, args, f"{PROG} revert --config {shlex.quote(config.source)}",
                    lambda backup: run(backup, run_log))


def _routes_off_ha_spokes(cloud: aws.Cloud, config: Config, backup: _Backup) -> None:
    from morvent.commands.route_steps import before_revert

    before_revert(cloud.ec2, config.vpc_id, backup.state.natgws)


def cleanup(args: argparse.Namespace, config: Config) -> None:
    _load_manager().cleanup(config)
