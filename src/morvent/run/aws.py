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

    def lock(self) -> Any:
        """The VPC's lock (morvent.lib.lock.VpcLock), to look at."""
        from morvent.lib.lock import VpcLock

        return VpcLock(self.s3, self.backup_des)

    def lock_state(self) -> Any:
        """Who holds the VPC's lock and whether that run is alive (None: not locked)."""
        return self.lock().state()

    def controller_account(self) -> dict[str, Any]:
        """Log in to the controller and say what a run would do with its cloud account
        (see ``CreateCorvaneAccount.intent``); read-only requests only.

        ControllerLoginError when the login fails, AccountSetupError when the
        account cannot be checked or belongs to another AWS account.
        """
        from morvent.core.ConfigAdaptor import ConfigAdaptor
        from morvent.lib.corvane_backend import getCid
        from morvent.lib.cvn_account import CreateCorvaneAccount

        config = self.config
        _, cid = getCid(config.controller_ip, config.controller_user,
                        os.environ.get(config.controller_password_env))
        saved = Globals.CID, Globals.controller_ip, Globals.aws_client_manager
        Globals.CID, Globals.controller_ip = cid, config.controller_ip
        Globals.aws_client_manager = self.clients
        try:
            return CreateCorvaneAccount(ConfigAdaptor(config)).intent()
        finally:
            Globals.CID, Globals.controller_ip, Globals.aws_client_manager = saved

    def world(self) -> dict[str, Any]:
        """What a plan is computed from in EC2: the VPC's NAT gateways (those not
        deleted) with their addresses, and its route tables with their subnets and
        routes, in a form that compares equal exactly when nothing moved."""
        from morvent.lib import routes

        natgws = {}
        paginator = self.ec2.get_paginator("describe_nat_gateways")
        for page in paginator.paginate(Filter=[{"Name": "vpc-id",
                                                "Values": [self.config.vpc_id]}]):
            for nat in page.get("NatGateways", []):
                if nat.get("State") == "deleted":
                    continue  # gone, and dropped from the listing within the hour
                natgws[nat["NatGatewayId"]] = {
                    "state": nat.get("State"), "subnet": nat.get("SubnetId"),
                    "connectivity": nat.get("ConnectivityType", "public"),
                    "addresses": [a.get("PublicIp") or a.get("PrivateIp")
                                  for a in nat.get("NatGatewayAddresses") or []]}
        tables = {}
        for table in routes.route_tables(self.ec2, self.config.vpc_id):
            found = {}
            for route in table.get("Routes", []):
                dest = routes.destination(route)
                target = routes.target(route)
                if dest:
                    found[dest[1]] = (target[1] if target else "?") + (
                        " (blackhole)" if route.get("State") == "blackhole" else "")
            tables[table["RouteTableId"]] = {
                "subnets": sorted(a["SubnetId"] for a in table.get("Associations", [])
                                  if a.get("SubnetId")),
                "main": any(a.get("Main") for a in table.get("Associations", [])),
                "routes": dict(sorted(found.items()))}
        return {"nat_gateways": dict(sorted(natgws.items())),
                "route_tables": dict(sorted(tables.items()))}

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


def read_backup_readonly(s3: Any, des: Any,
                         diverged: list[str] | None = None) -> tuple[Any, list[str]]:
    """The VPC's records as the next run would start from them; changes nothing.

    Runs in a dry run (``Globals.dry_run``): see ``S3BackupCmdV2.preview``.
    Returns the records and notes on what was found; HistoryDamaged when a
    history is not what morvent writes.  ``diverged`` gets why each diverged
    history stops the next run.
    """
    from morvent.lib.s3 import S3BackupCmdV2
    from morvent.run.reconcile import read_backup_state

    if not Globals.dry_run:
        raise RuntimeError("read_backup_readonly() needs Globals.dry_run")
    reader = S3BackupCmdV2(s3, des)
    folder, notes = reader.preview()
    if diverged is not None:
        diverged += reader.diverged
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
