"""The run of ``morvent execute``: check the VPC, lock it, read the backup, plan,
ask, hand over to the Manager, check the routes, say how it ended.

What a failed or stopped run left, and what to run next, is logged as an
error before the exception goes on to the caller.
"""

from __future__ import annotations

import contextlib
import logging
from dataclasses import dataclass
from typing import Any

from morvent.core.config import Config
from morvent.core.exceptions import Refused, UnrecordedGateway, UsageError
from morvent.core.Globals import Globals
from morvent.core.interrupt import Terminated
from morvent.run import aws, common, saved
from morvent.run.common import (Backup, Frontend, complete_facts, egress_before, records,
                                require_password, run_locked, show_egress, stopped_by)
from morvent.run.progress import ReplacementProgress, RunLog, listening, stderr_to_log

log = logging.getLogger(__name__)


@dataclass
class Options(common.Options):
    """What the caller asks of a run of execute."""

    dry_run: bool = False
    accept_address_changes: bool = False


def execute(config: Config, options: Options, frontend: Frontend) -> None:
    """Run execute on the configured VPC; raises what stopped it."""
    if options.dry_run and options.break_lock:
        raise UsageError("--break-lock changes the lock in S3; it cannot go with --dry-run")
    if options.saved is not None:
        saved.check_for(options.saved, config, "execute")
    require_password(config)
    manager = common.load_manager()  # looked up here: tests replace it
    Globals.dry_run = bool(options.dry_run)
    cloud = aws.cloud(config)
    cloud.check_vpc()

    def run(backup: Backup, run_log: RunLog | None) -> None:
        from morvent.run.plan import Settings

        frontend.facts.backup = backup
        unresumable = _unresumable(config, backup.state)
        if unresumable is not None and options.saved is None:
            raise Refused(f"nothing to resume: {unresumable}")
        plan = cloud.replacement_plan(backup.state, quiet=True)
        frontend.facts.plan = plan
        accepted = options.accept_address_changes
        if options.saved is not None:
            _carry_out(options.saved, cloud, backup, plan)
            accepted = saved.accepted(options.saved)
            if unresumable is not None:
                raise Refused(f"nothing to resume: {unresumable}")
        if plan.fatal:
            raise Refused(f"nothing to replace: {plan.fatal}; no NAT gateway, route or spoke "
                          "gateway was changed")
        refuse_what_cannot_go_ahead(config, accepted, plan)
        if plan.to_do and not options.dry_run and not options.yes:
            frontend.confirm(plan, f"Carry out these {len(plan.to_do)} steps on "
                                   f"{config.vpc_id}?", "execute")
        else:
            for warning in plan.warnings:  # the question showed them with the plan
                log.warning("  %s", warning)
        if run_log is not None:
            frontend.facts.log_file = run_log.open(backup.des.local_folder, "execute")
            log.info("- The log of this run: %s", frontend.facts.log_file)
        frontend.log_plan(plan)
        before = egress_before(frontend, cloud) if run_log is not None and plan.to_do \
            else None
        progress = ReplacementProgress(Settings.of(config), plan.steps, options.dry_run)
        frontend.facts.progress = progress
        try:
            with listening(progress), stderr_to_log():
                manager.execute(config)
                _finish_routes(config, backup, undo=bool(plan.to_do))
        except SystemExit as e:
            if e.code not in (None, 0):
                show_egress(frontend, before, cloud)
                if plan.to_do:
                    frontend.failed(_after_execute(config, backup, None))
                else:
                    frontend.failed(f"execute had nothing to do, but the route tables of "
                                    f"{config.vpc_id} are not as planned (see above); nothing "
                                    "was changed but the routes the tool moves")
            raise
        except (KeyboardInterrupt, Terminated) as e:
            frontend.failed(_after_execute(config, backup, e))
            raise
        except UnrecordedGateway:
            frontend.failed(_after_unseen_gateway(backup))
            raise
        show_egress(frontend, before, cloud)
        frontend.verdict(_execute_verdict(config, plan, progress, backup, run_log))

    with RunLog() if not options.dry_run else contextlib.nullcontext() as run_log:
        try:
            run_locked(config, options.command, options.dry_run, options.break_lock,
                       lambda backup: run(backup, run_log))
        finally:
            complete_facts(frontend, cloud)


def _carry_out(doc: dict, cloud: Any, backup: Backup, plan: Any) -> None:
    """Refused unless the run would carry out the saved plan ``doc`` exactly."""
    account = cloud.controller_account() if doc.get("account") is not None else None
    saved.refuse_if_stale(doc, plan, account,
                          {"histories": saved.histories(backup.des.getAbsolutePath()),
                           "world": cloud.world()})


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


def _after_execute(config: Config, backup: Backup, stop: BaseException | None) -> str:
    """What a failed or stopped run of execute left, and what to run next."""
    how = f"stopped by {stopped_by(stop)}" if stop is not None else "failed"
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
    return (f"execute {how}; {done}{records(len(state.mementos))} kept in {backup.where}: "
            "run it again to resume (`morvent execute`), or `morvent revert` to undo them")


def _after_unseen_gateway(backup: Backup) -> str:
    """What a run that stopped on a created gateway it cannot see left."""
    state = backup.now()
    kept = f"{records(len(state.mementos))} kept" if state is not None else "records kept"
    return (f"execute stopped without a rollback; {kept} in {backup.where}: once the "
            "controller shows the spoke gateway it created, run `morvent execute` again: it "
            "finds the gateway, records it and goes on")


def refuse_what_cannot_go_ahead(config: Config, accepted: bool, plan: Any) -> None:
    """Refused, before any change, when the plan names something the tool cannot
    handle, or address changes the operator has not accepted."""
    if plan.refusals:
        raise Refused("\n".join(
            [f"execute refused before any change: {config.vpc_id} has "
             f"{len(plan.refusals)} thing(s) the replacement cannot handle"]
            + [f"  {line}" for line in plan.refusals]))
    accepted = accepted or bool(getattr(config, "accept_address_changes", False))
    if plan.address_changes and not accepted:
        n = len(plan.address_changes)
        raise Refused("\n".join(
            [f"execute refused before any change: {n} route table(s) of {config.vpc_id} "
             "would leave with another public address after the run"]
            + [f"  {change.line()}" for change in plan.address_changes]
            + ["check that their peers accept the new addresses, then run again with "
               "--accept-address-changes (or accept_address_changes: true in "
               f"{config.source})"]))


def _finish_routes(config: Config, backup: Backup, undo: bool) -> None:
    """The route work after the last replacement (see morvent.commands.route_steps)."""
    from morvent.commands.route_steps import finish_execute
    from morvent.lib.s3 import S3BackupCmdV2

    clients = Globals.aws_client_manager
    if clients is None:
        return
    finish_execute(clients.getEc2Client(), config.vpc_id,
                   lambda: S3BackupCmdV2(clients.getS3Client(), backup.des).upload(), undo)


def _execute_verdict(config: Config, plan: Any, progress: ReplacementProgress,
                     backup: Backup, run_log: RunLog | None) -> str:
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
