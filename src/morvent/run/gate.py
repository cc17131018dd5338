"""The look of ``morvent plan``: what execute (or revert) would do, and whether it
would go ahead, from the VPC's backup, a look at AWS and a read-only login to
the controller; nothing changes anywhere.

``plan`` is a gate: besides the plan it finds, read-only, every reason for
which the run would be refused or could not start (the password, the
migration module, the lock, a damaged or diverged backup, the controller
login and account, too few NAT gateways, refusals, address changes not
accepted, records the VPC does not match), each as the exception the run
itself would raise, in the order the run would meet them.
"""

from __future__ import annotations

import logging
from dataclasses import dataclass, field
from typing import Any

from morvent.core.config import Config
from morvent.core.exceptions import Refused, UsageError
from morvent.core.Globals import Globals
from morvent.run import aws, common, saved

log = logging.getLogger(__name__)


@dataclass
class Gate:
    """A plan, and why the run it is the plan of would not go ahead."""

    plan: Any
    #: Why the run would be refused or could not start: the exceptions it would
    #: raise, in the order it would meet them (empty: it would go ahead).
    problems: list[BaseException] = field(default_factory=list)
    #: What the run would do with the controller account (None: not known).
    account: dict | None = None
    #: What the plan was computed from (see morvent.run.saved).
    basis: dict[str, Any] = field(default_factory=dict)
    #: Whether the plan's address changes are accepted.
    accepted: bool = False

    @property
    def ready(self) -> bool:
        return not self.problems

    @property
    def changes(self) -> bool:
        """The run would change something (the account set-up included)."""
        return bool(self.plan.to_do) or bool(self.account
                                             and self.account.get("action") == "create")


def plan(config: Config, revert: bool, accept_address_changes: bool = False) -> Gate:
    """The plan of execute (or revert) for the configured VPC, and its gate."""
    # Nothing of a plan is stored: the backup is read into a scratch copy.
    Globals.dry_run = True
    problems: list[BaseException] = []
    _collect(problems, common.require_password, config)
    _collect(problems, common.load_manager)
    cloud = aws.cloud(config)
    cloud.check_vpc()
    notes = []
    lock = cloud.lock()
    lock_state = lock.state()
    if lock_state is not None:
        notes.append(f"{config.vpc_id} is locked by {lock_state.describe()}: "
                     + ("a run is under way, and the backup this plan reads may be changing"
                        if lock_state.alive is not False
                        else f"that run is gone ({lock_state.why})"))
        problems.append(lock.held_error(lock_state))
    from morvent.lib.s3 import BackupDiverged

    diverged: list[str] = []
    state, read_notes = aws.read_backup_readonly(cloud.s3, cloud.backup_des, diverged)
    problems += [BackupDiverged(why) for why in diverged]
    found = cloud.revert_plan(state) if revert else cloud.replacement_plan(state)
    found.warnings[:0] = notes + read_notes
    for warning in found.warnings:
        log.debug("plan warning: %s", warning)
    gate = Gate(found, problems, basis={"histories": saved.histories(state.folder),
                                        "world": cloud.world()})
    gate.accepted = bool(accept_address_changes or config.accept_address_changes)
    if revert:
        _revert_problems(gate, cloud, config, state)
    else:
        _execute_problems(gate, config, state)
    # A revert without undo records ends before the Manager, which sets up the account.
    runs_manager = not revert or bool(state.mementos)
    if runs_manager and not any(isinstance(p, UsageError) for p in problems):
        try:
            gate.account = cloud.controller_account()
        except Exception as e:  # noqa: BLE001 - the run would stop on the same error
            # The run logs in (in the Manager) after its own checks, before any change.
            log.debug("controller check failed", exc_info=True)
            gate.problems.append(e)
    found.account = gate.account
    return gate


def _collect(problems: list[BaseException], check: Any, *args: Any) -> None:
    try:
        check(*args)
    except UsageError as e:
        problems.append(e)


def _execute_problems(gate: Gate, config: Config, state: Any) -> None:
    from morvent.run.execute import _unresumable, refuse_what_cannot_go_ahead

    found = gate.plan
    why = _unresumable(config, state)
    if why is not None:
        gate.problems.append(Refused(f"nothing to resume: {why}"))
    elif found.fatal:
        gate.problems.append(Refused(f"nothing to replace: {found.fatal}; no NAT gateway, "
                                     "route or spoke gateway was changed"))
    else:
        try:
            refuse_what_cannot_go_ahead(config, gate.accepted, found)
        except Refused as e:
            gate.problems.append(e)


def _revert_problems(gate: Gate, cloud: Any, config: Config, state: Any) -> None:
    from morvent.run.revert import _check_world, _nothing_to_revert

    backup = common.Backup(cloud.backup_des, state)
    try:
        if not state.mementos:
            _nothing_to_revert(cloud, config, backup, common.Frontend())
        else:
            _check_world(cloud, config, backup)
    except Refused as e:
        gate.problems.append(e)
