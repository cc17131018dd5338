"""The route work of a run that falls outside the step sequence of ``Manager``.

The step sequence settles the routes the tool moves itself onto a spoke
gateway, and checks every route against the plan, when it deletes the next
NAT gateway (see ``morvent.lib.nat_routes``).  After the last replacement no
step of the sequence follows, so the run does it here once ``execute`` has
returned; a difference is a failed step as inside the sequence: the newest
group of steps is undone and the backup is saved.

Before a revert, the routes the tool settled onto HA spoke gateways go to
the primary: the revert deletes the HA gateways before it puts their NAT
gateways back, and a route on a deleted gateway leads nowhere.
"""

from __future__ import annotations

import logging
from typing import Any

from morvent.commands.history import CommandHistory, MementoHistory
from morvent.lib import nat_routes
from morvent.lib.awsutil import AwsStepError

__all__ = ["before_revert", "finish_execute", "rollback_newest_group"]


def rollback_newest_group() -> None:
    """Undo the newest group of steps, newest first, down to its opening step.

    As the step sequence does: a memento whose undo fails goes back on the
    history, so that a later run or revert retries it.
    """
    while not MementoHistory.isEmpty():
        begins = MementoHistory.isCmdBegin()
        memento = MementoHistory.pop()
        try:
            memento.restore()
        except Exception:
            MementoHistory.append(memento, MarkBegin=begins)
            raise
        if begins:
            break


def finish_execute(ec2: Any, vpc_id: str, upload: Any, undo: bool = True) -> None:
    """After ``Manager.execute`` returned: settle and check the routes of the
    last replacement.  On a difference the newest group of steps is undone
    (only when ``undo``: the run carried out steps of it), ``upload()`` saves
    the backup and SystemExit(1) ends the run, as a failed step inside the
    sequence does."""
    logger = logging.getLogger(__name__)
    records = CommandHistory.get_discovered_natgws()
    try:
        nat_routes.settle_and_check(ec2, vpc_id, records, logger, "the last replacement",
                                    keep_settled=not undo)
    except AwsStepError as error:
        logger.error("  **Error** %s", error)
        if undo:
            try:
                rollback_newest_group()
            except Exception as undo_error:  # noqa: BLE001 - the backup is saved either way
                logger.error("  **Error** %s", undo_error)
        else:
            logger.error("  nothing was undone: this run carried out no step; fix the routes "
                         "above, or `morvent revert`")
        upload()
        raise SystemExit(1) from None


def before_revert(ec2: Any, vpc_id: str, records: list[dict]) -> None:
    """Move the tool's routes off the HA spoke gateways onto the primary."""
    nat_routes.evacuate(ec2, vpc_id, records, None, logging.getLogger(__name__))
