"""What the commands read from AWS before and after they act; nothing here changes anything.

``Cloud`` is the one door: the VPC check, the plans, the egress view and
the lock holder.  Tests of the command line replace ``cloud`` with a fake.
"""

from __future__ import annotations

import contextlib
import logging
import os
import shutil
from collections.abc import Iterator
from typing import Any

from morvent.cli.output import UsageError
from morvent.core.config import Config
from morvent.core.Globals import Globals


class Cloud:
    """Read-only AWS look-ups for one command on one VPC."""

    def __init__(self, config: Config):
        from morvent.core.ConfigAdaptor import ConfigAdaptor
        from morvent.lib.aws_cred import AwsClientManager

        self.config = config
        self.clients = AwsClientManager(config)
        self.backup_des = ConfigAdaptor(config).backup_descriptor
        self._ec2: Any = None

    @property
    def ec2(self) -> Any:
        if self._ec2 is None:
            self._ec2 = self.clients.getEc2Client()
        return self._ec2

    @property
    def s3(self) -> Any:
        return self.clients.getS3Client()

    def check_vpc(self) -> None:
        """UsageError when the configured VPC does not exist in the configured region."""
        from botocore.exceptions import ClientError

        config = self.config
        try:
            self.ec2.describe_vpcs(VpcIds=[config.vpc_id])
        except ClientError as e:
            code = e.response.get("Error", {}).get("Code", "")
            if code in ("InvalidVpcID.NotFound", "InvalidVpcID.Malformed"):
                raise UsageError(
                    f"VPC {config.vpc_id} does not exist in {config.region} (vpc_id and region "
                    f"in {config.source}); nothing was changed") from None
            raise

    def replacement_plan(self, state: Any, quiet: bool = False) -> Any:
        """The plan of execute; ``quiet``: without the INFO lines of the discovery
        (the run that follows logs its own)."""
        from morvent.core.plan import Settings, plan_replacement

        with _quieted("morvent.lib.natgw", "morvent.lib.gateway_size") if quiet \
                else contextlib.nullcontext():
            return plan_replacement(Settings.of(self.config), state, self.ec2,
                                    self.clients.getCwClient())

    def revert_plan(self, state: Any, look_for_unrecorded: bool = True) -> Any:
        from morvent.core.plan import plan_revert

        return plan_revert(self.config.vpc_id, state, self.ec2, look_for_unrecorded)

    def egress(self) -> Any:
        from morvent.core.egress import read_egress

        return read_egress(self.ec2, self.config.vpc_id)

    def lock_holder(self) -> dict | None:
        from morvent.lib.s3 import VpcLock

        return VpcLock(self.s3, self.backup_des).holder()

    def unrecorded_changes(self, state: Any) -> list:
        from morvent.core.reconcile import unrecorded_changes

        return unrecorded_changes(self.ec2, self.config.vpc_id, state)


@contextlib.contextmanager
def _quieted(*names: str) -> Iterator[None]:
    """Only warnings and errors from the loggers ``names`` meanwhile."""
    loggers = [logging.getLogger(name) for name in names]
    saved = [logger.level for logger in loggers]
    for logger in loggers:
        logger.setLevel(logging.WARNING)
    try:
        yield
    finally:
        for logger, level in zip(loggers, saved):
            logger.setLevel(level)


def cloud(config: Config) -> Cloud:
    return Cloud(config)


def read_backup_readonly(s3: Any, des: Any) -> tuple[Any, list[str]]:
    """The VPC's records as the next run would start from them; changes nothing.

    Runs in a dry run (``Globals.dry_run``): the backup in S3 is copied into
    the scratch folder.  Where the local folder holds a longer history (a run
    that could not store its last records in S3), the local copy is taken, as
    the next run would take it.  Returns the records and notes on what was
    found.
    """
    from morvent.commands.history import HISTORY_FILES, HistoryDiverged, newer_copy
    from morvent.core.reconcile import read_backup_state
    from morvent.lib.s3 import S3BackupCmdV2

    if not Globals.dry_run:
        raise RuntimeError("read_backup_readonly() needs Globals.dry_run")
    S3BackupCmdV2(s3, des).download()
    scratch = des.getAbsolutePath()
    notes = []
    for name in HISTORY_FILES:
        local = os.path.join(des.local_folder, name)
        if not os.path.isfile(local):
            continue
        copy = os.path.join(scratch, name)
        with open(local, "rb") as f:
            mine = f.read()
        theirs = b""
        if os.path.isfile(copy):
            with open(copy, "rb") as f:
                theirs = f.read()
        try:
            newer = newer_copy(name, mine, theirs) if theirs else "local"
        except HistoryDiverged as e:
            notes.append(f"the local copy {local} and the copy in {des.url} of {name} cannot "
                         f"be merged ({e}); the next run stops before any change. Shown: the "
                         "copy in S3")
            continue
        if newer == "local":
            shutil.copyfile(local, copy)
            notes.append(f"{local} holds records that {des.url} lacks (a run ended before "
                         "storing them); shown with them, and the next run stores them in S3")
    return read_backup_state(scratch), notes
