"""What the commands read from AWS (and the controller) before and after they act;
nothing here changes anything.

``Cloud`` is the one door: the VPC check, the plans, the egress view, the
lock and what shows a migration.  Tests of the command line replace
``cloud`` with a fake.
"""

from __future__ import annotations

import contextlib
import logging
import os
from collections.abc import Iterator
from typing import Any

from morvent.core.config import Config
from morvent.core.exceptions import UsageError
from morvent.core.Globals import Globals
from morvent.core.text import one_line, password_variable


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
        from morvent.run.plan import Settings, plan_replacement

        with _quieted("morvent.lib.natgw", "morvent.lib.gateway_size") if quiet \
                else contextlib.nullcontext():
            return plan_replacement(Settings.of(self.config), state, self.ec2,
                                    self.clients.getCwClient())

    def revert_plan(self, state: Any, look_for_unrecorded: bool = True) -> Any:
        from morvent.run.plan import plan_revert

        return plan_revert(self.config.vpc_id, state, self.ec2, look_for_unrecorded)

    def egress(self) -> Any:
        from morvent.core.egress import read_egress

        return read_egress(self.ec2, self.config.vpc_id)

    def lock_state(self) -> Any:
        """Who holds the VPC's lock and whether that run is alive (None: not locked)."""
        from morvent.lib.lock import VpcLock

        return VpcLock(self.s3, self.backup_des).state()

    def migration_traces(self, state: Any) -> tuple[list[str], str | None]:
        """What shows that a migration changed the VPC (for a revert without undo records),
        and why the controller was not asked (None: it was)."""
        from morvent.run.reconcile import migration_traces

        gateways, note = controller_gateways(self.config)
        return migration_traces(self.ec2, self.config.vpc_id, state, gateways,
                                self.config.spoke_gw_name), note

    def unrecorded_changes(self, state: Any) -> list:
        from morvent.run.reconcile import unrecorded_changes

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

    Runs in a dry run (``Globals.dry_run``): see ``S3BackupCmdV2.preview``.
    Returns the records and notes on what was found; HistoryDamaged when a
    history is not what morvent writes.
    """
    from morvent.run.reconcile import read_backup_state
    from morvent.lib.s3 import S3BackupCmdV2

    if not Globals.dry_run:
        raise RuntimeError("read_backup_readonly() needs Globals.dry_run")
    folder, notes = S3BackupCmdV2(s3, des).preview()
    return read_backup_state(folder, des), notes


def controller_gateways(config: Config) -> tuple[list | None, str | None]:
    """The controller's gateway records, or None and why they were not read (a login that
    only reads)."""
    password = os.environ.get(config.controller_password_env)
    if not password:
        return None, (f"the controller was not asked about spoke gateways no record knows: "
                      f"the password is not set ({password_variable(config)})")
    try:
        from morvent.lib.corvane_backend import getCid
        from morvent.lib.spoke import list_gateway_info

        _, cid = getCid(config.controller_ip, config.controller_user, password)
        answer = list_gateway_info(api_endpoint_url=f"https://{config.controller_ip}/v2/api",
                                   CID=cid).json()
    except Exception as e:  # noqa: BLE001 - the callers show what they can
        logging.getLogger(__name__).debug("controller look-up failed", exc_info=True)
        return None, f"the controller was not asked about spoke gateways: {one_line(e)}"
    if not isinstance(answer, dict) or answer.get("return") is not True \
            or not isinstance(answer.get("results"), list):
        return None, "the controller did not list its gateways"
    return answer["results"], None
