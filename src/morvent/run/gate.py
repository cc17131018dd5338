"""The look of ``morvent plan``: what execute (or revert) would do, from the VPC's
backup and a look at AWS; nothing changes anywhere."""

from __future__ import annotations

import logging
from typing import Any

from morvent.core.config import Config
from morvent.core.Globals import Globals
from morvent.run import aws

log = logging.getLogger(__name__)


def plan(config: Config, revert: bool) -> Any:
    """The plan of execute (or revert) for the configured VPC."""
    # Nothing of a plan is stored: the backup is read into a scratch copy.
    Globals.dry_run = True
    cloud = aws.cloud(config)
    cloud.check_vpc()
    notes = []
    lock = cloud.lock_state()
    if lock is not None:
        notes.append(f"{config.vpc_id} is locked by {lock.describe()}: "
                     + ("a run is under way, and the backup this plan reads may be changing"
                        if lock.alive is not False else f"that run is gone ({lock.why})"))
    state, read_notes = aws.read_backup_readonly(cloud.s3, cloud.backup_des)
    found = cloud.revert_plan(state) if revert else cloud.replacement_plan(state)
    found.warnings[:0] = notes + read_notes
    for warning in found.warnings:
        log.debug("plan warning: %s", warning)
    return found
