"""The run of ``morvent revert``: check the VPC, lock it, read the backup, check
that EC2 matches the records, ask, move the tool's routes off the HA spoke
gateways, hand over to the Manager, say how it ended."""

from __future__ import annotations

import logging
from typing import Any

from morvent.core.config import Config
from morvent.core.exceptions import Refused
from morvent.core.Globals import Globals
from morvent.core.interrupt import Terminated
from morvent.run import aws, common, saved
from morvent.run.common import (Backup, Frontend, complete_facts, egress_before, records,
                                require_password, run_locked, show_egress, stopped_by)
from morvent.run.progress import RevertProgress, RunLog, listening, stderr_to_log

log = logging.getLogger(__name__)


Options = common.Options


def revert(config: Config, options: Options, frontend: Frontend) -> None:
    """Run revert on the configured VPC; raises what stopped it."""
    if options.saved is not None:
        saved.check_for(options.saved, config, "revert")
    require_password(config)
    manager = common.load_manager()  # looked up here: tests replace it
    Globals.dry_run = False
    cloud = aws.cloud(config)
    cloud.check_vpc()

    def run(backup: Backup, run_log: RunLog) -> None:
        frontend.facts.backup = backup
        if options.saved is not None:
            _carry_out(options.saved, cloud, backup)
        if not backup.state.mementos:
            _nothing_to_revert(cloud, config, backup, frontend)
            return
        _check_world(cloud, config, backup)
        plan = cloud.revert_plan(backup.state, look_for_unrecorded=False)  # checked just now
        frontend.facts.plan = plan
        if not options.yes:
            frontend.confirm(plan, f"Restore these {len(plan.steps)} undo records on "
                                   f"{config.vpc_id}?", "revert")
        frontend.facts.log_file = run_log.open(backup.des.local_folder, "revert")
        log.info("- The log of this run: %s", frontend.facts.log_file)
        frontend.log_plan(plan)
        before = egress_before(frontend, cloud)
        progress = RevertProgress(len(plan.steps))
        frontend.facts.progress = progress
        try:
            with listening(progress), stderr_to_log():
                _routes_off_ha_spokes(cloud, config, backup)
                manager.revert(config)
        except (Exception, KeyboardInterrupt, Terminated) as e:
            stop = e if isinstance(e, (KeyboardInterrupt, Terminated)) else None
            if stop is None:
                show_egress(frontend, before, cloud)
            frontend.failed(_after_revert(backup, stop))
            raise
        show_egress(frontend, before, cloud)
        state = backup.now()
        restored = len(plan.steps) - (len(state.mementos) if state is not None else 0)
        frontend.verdict(f"revert done: {restored} undo records restored, {config.vpc_id} "
                         f"leaves through NAT gateways again (put back under new ids); log: "
                         f"{run_log.path}")

    with RunLog() as run_log:
        try:
            run_locked(config, options.command, False, options.break_lock,
                       lambda backup: run(backup, run_log))
        finally:
            complete_facts(frontend, cloud)


def _carry_out(doc: dict, cloud: Any, backup: Backup) -> None:
    """Refused unless the revert would carry out the saved plan ``doc`` exactly."""
    account = cloud.controller_account() if doc.get("account") is not None else None
    plan = cloud.revert_plan(backup.state, look_for_unrecorded=False)
    saved.refuse_if_stale(doc, plan, account,
                          {"histories": saved.histories(backup.des.getAbsolutePath()),
                           "world": cloud.world()})


def _after_revert(backup: Backup, stop: BaseException | None) -> str:
    """Where a revert stopped, and that its records are kept."""
    from morvent.run.reconcile import describe_record

    how = f"stopped by {stopped_by(stop)}" if stop is not None else "failed"
    state = backup.now()
    if state is None:
        return f"revert {how}; run it again, or see the log above"
    if not state.mementos:
        return f"revert {how} after every undo record was restored"
    return (f"revert {how}; it stopped at the undo record of the "
            f"{describe_record(state.mementos[-1])}; the {records(len(state.mementos))} left "
            f"are kept in {backup.where}: run `morvent revert` again to go on")


def _check_world(cloud: Any, config: Config, backup: Backup) -> None:
    """Refuse to revert when EC2 shows a change that no undo record describes."""
    findings = cloud.unrecorded_changes(backup.state)
    if findings:
        raise Refused("\n".join(
            [f"revert stopped before changing anything: {config.vpc_id} does not match its "
             f"{records(len(backup.state.mementos))}, all kept in {backup.where}"]
            + [f"  {finding}; `morvent execute` finishes the interrupted step"
               for finding in findings]
            + ["then `morvent revert` restores the VPC"]))


def _nothing_to_revert(cloud: Any, config: Config, backup: Backup, frontend: Frontend) -> None:
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
    frontend.note(f"nothing to revert: no undo record in {backup.where}, and {config.vpc_id} "
                  "shows no trace of a migration")


def _routes_off_ha_spokes(cloud: Any, config: Config, backup: Backup) -> None:
    from morvent.commands.route_steps import before_revert

    before_revert(cloud.ec2, config.vpc_id, backup.state.natgws)
