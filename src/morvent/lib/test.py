"""Egress checks after each replacement.

Before anything changes, `TestCmd` records, per NAT gateway, which route
tables send their default route through it (the "input" file).  After a
spoke gateway replaced a NAT gateway, `Test.generate_test_config` writes a
check for it (the "output" file): those route tables must now leave through
a target that holds the spoke gateway's public address.  `Test.run_test`
runs every check written so far in this migration.

A route table passes when its default route is active and its target (an
instance, a network interface or a NAT gateway) holds the spoke's public
address, or the address of another spoke gateway already checked in this
migration: a controller may send a VPC's traffic through any of its spoke
gateways, and each of them keeps one of the VPC's original addresses.

Routes may be programmed a little after a spoke gateway comes up, so a
failed check is repeated until `TEST_TIMEOUT` runs out.  Both files are the
tool's own working files and are written in a dry run too; in a dry run a
failed check is reported but not counted as a failure.
"""

from __future__ import annotations

import json
import logging
import os
import time
from typing import Optional

from botocore.exceptions import ClientError

from morvent.commands.memento import Memento
from morvent.lib import routes
from morvent.lib.awsutil import AwsStepError, dry_run, ec2_client, is_not_found, write_json_atomic
from morvent.lib.natgw import describe_natgw

#: Seconds a failing check is repeated before it counts as failed.
TEST_TIMEOUT = 300.0
#: Seconds between two rounds of checks.
POLL_INTERVAL = 10.0


def _read_text(path: Optional[str]) -> Optional[str]:
    if not path or not os.path.exists(path):
        return None
    with open(path, encoding="utf-8") as f:
        return f.read()


def _read_json(path: str, what: str) -> dict:
    try:
        with open(path, encoding="utf-8") as f:
            data = json.load(f)
    except FileNotFoundError:
        raise AwsStepError(f"{what} {path} does not exist") from None
    except json.JSONDecodeError as exc:
        raise AwsStepError(f"{what} {path} is not valid JSON: {exc}") from None
    if not isinstance(data, dict):
        raise AwsStepError(f"{what} {path} does not hold a JSON object")
    return data


def _default_route_users(ec2, nat_gw_id: str) -> list[str]:
    """Route tables whose default route goes through the NAT gateway."""
    users = []
    paginator = ec2.get_paginator("describe_route_tables")
    for page in paginator.paginate(
            Filters=[{"Name": "route.nat-gateway-id", "Values": [nat_gw_id]}]):
        for table in page.get("RouteTables", []):
            route = routes.default_route(table)
            if route and route.get("NatGatewayId") == nat_gw_id:
                users.append(table["RouteTableId"])
    return sorted(users)


class TestCmd:
    """Prepares the egress checks: which route tables each NAT gateway serves."""

    __test__ = False  # not a pytest test class

    def __init__(self, input_test_config, output_test_config, gateways):
        self.input_test_config = input_test_config
        self.output_test_config = output_test_config
        self.gateways = list(gateways or [])

    def execute(self) -> "TestPrepMemento":
        logger = logging.getLogger(__name__)
        if not self.input_test_config or not self.output_test_config:
            raise AwsStepError("egress checks are enabled but input_test_config or "
                               "output_test_config names no file")
        logger.info("- Preparing egress checks for %d NAT gateway(s)", len(self.gateways))
        ec2 = ec2_client()
        prepared = []
        for gateway in self.gateways:
            entry = dict(gateway)
            entry["route_table_ids"] = _default_route_users(ec2, gateway["nat_gw_id"])
            prepared.append(entry)
            logger.info("  %s serves %s", gateway["nat_gw_id"],
                        ", ".join(entry["route_table_ids"]) or "no route table")
        memento = TestPrepMemento.make(
            input_test_config=self.input_test_config,
            output_test_config=self.output_test_config,
            previous_input=_read_text(self.input_test_config),
            previous_output=_read_text(self.output_test_config),
        )
        write_json_atomic(self.input_test_config, {"gateways": prepared})
        write_json_atomic(self.output_test_config, {"checks": []})
        logger.info("  written to %s", self.input_test_config)
        return memento


class TestPrepMemento(Memento):
    """Undo record of the check preparation: puts both files back as they were."""

    def restore(self) -> None:
        logger = logging.getLogger(__name__)
        logger.info("- Removing the egress check files")
        for path, previous in ((self.input_test_config, self.previous_input),
                               (self.output_test_config, self.previous_output)):
            if previous is None:
                if os.path.exists(path):
                    os.unlink(path)
                    logger.info("  removed %s", path)
            else:
                folder = os.path.dirname(os.path.abspath(path))
                os.makedirs(folder, exist_ok=True)
                tmp = path + ".restore-tmp"
                with open(tmp, "w", encoding="utf-8") as f:
                    f.write(previous)
                    f.flush()
                    os.fsync(f.fileno())
                os.replace(tmp, path)
                logger.info("  put back the earlier %s", path)


class Test:
    """The egress check of the spoke gateways created so far."""

    __test__ = False  # not a pytest test class

    #: The files of the current run, set by `generate_test_config`.
    input_test_config: Optional[str] = None
    output_test_config: Optional[str] = None

    @classmethod
    def generate_test_config(cls, input_test_config, output_test_config, spoke_info) -> None:
        """Add (or renew) the check for the spoke gateway in ``spoke_info``."""
        logger = logging.getLogger(__name__)
        cls.input_test_config = input_test_config
        cls.output_test_config = output_test_config
        if not spoke_info or spoke_info.get("gw_name") is None:
            logger.warning("  no new spoke gateway to check in this run; the checks "
                           "written earlier are run again")
            return
        prepared = _read_json(input_test_config, "egress check input")
        gateways = prepared.get("gateways", [])
        public_ip = spoke_info.get("gw_public_ip")
        replaced = next((g for g in gateways if public_ip and g.get("gw_public_ip") == public_ip),
                        None)
        if replaced is None:
            replaced = next((g for g in gateways
                             if g.get("gw_subnet_id") == spoke_info.get("gw_subnet_id")), None)
        if replaced is None and dry_run():
            # A dry run creates no gateway: there is no address to check yet.
            logger.info("  dry run: no egress check for %s, which was not created",
                        spoke_info.get("gw_name"))
            return
        if replaced is None:
            raise AwsStepError(
                f"spoke gateway {spoke_info.get('gw_name')} ({public_ip}) replaces none of the "
                f"NAT gateways listed in {input_test_config}"
            )
        if os.path.exists(output_test_config):
            output = _read_json(output_test_config, "egress check output")
        else:
            output = {"checks": []}
        checks = [c for c in output.get("checks", [])
                  if c.get("nat_gw_id") != replaced["nat_gw_id"]]
        checks.append({
            "nat_gw_id": replaced["nat_gw_id"],
            "route_table_ids": replaced.get("route_table_ids", []),
            "expected_public_ip": public_ip,
            "spoke_name": spoke_info.get("gw_name"),
            "spoke_private_ip": spoke_info.get("gw_private_ip"),
        })
        write_json_atomic(output_test_config, {"checks": checks})
        logger.info("  egress check for %s: %d route table(s) must leave through %s",
                    spoke_info.get("gw_name"), len(replaced.get("route_table_ids", [])),
                    public_ip)

    @classmethod
    def run_test(cls) -> bool:
        """Run every check written so far; False (with the reasons logged) on failure."""
        logger = logging.getLogger(__name__)
        if not cls.output_test_config:
            logger.error("  no egress check was prepared in this run")
            return False
        checks = _read_json(cls.output_test_config, "egress check output").get("checks", [])
        logger.info("- Egress check of %d spoke gateway(s)", len(checks))
        if not checks:
            logger.warning("  nothing to check yet")
            return True
        ec2 = ec2_client()
        expected = {c["expected_public_ip"] for c in checks if c.get("expected_public_ip")}
        start = time.monotonic()
        while True:
            failures = [f for c in checks for f in _failures(ec2, c, expected, logger)]
            if not failures:
                logger.info("  egress check passed")
                return True
            elapsed = time.monotonic() - start
            if elapsed >= TEST_TIMEOUT:
                break
            logger.info("  %d route table(s) not ready yet; checking again (%.0f s of %.0f s)",
                        len(failures), elapsed, TEST_TIMEOUT)
            time.sleep(POLL_INTERVAL)
        for failure in failures:
            logger.error("  egress check failed: %s", failure)
        if dry_run():
            logger.info("  (dry run: nothing was changed, so the failure is not counted)")
            return True
        return False


def _failures(ec2, check: dict, expected: set[str], logger: logging.Logger) -> list[str]:
    found = []
    for rtb in check.get("route_table_ids", []):
        table = routes.route_table(ec2, rtb)
        if table is None:
            logger.warning("  %s no longer exists; not checked", rtb)
            continue
        route = routes.default_route(table)
        if route is None:
            found.append(f"{rtb} has no default route")
            continue
        target = routes.target(route)
        if route.get("State") == "blackhole" or target is None:
            found.append(f"{rtb}: default route through {target[1] if target else '?'} "
                         f"is a blackhole")
            continue
        held = _public_addresses(ec2, *target)
        if check.get("expected_public_ip") in held or held & expected:
            continue
        found.append(f"{rtb}: default route through {target[1]} (holding "
                     f"{', '.join(sorted(held)) or 'no public address'}), not through "
                     f"{check.get('spoke_name')} ({check.get('expected_public_ip')})")
    return found


def _public_addresses(ec2, key: str, target_id: str) -> set[str]:
    """The public addresses that a live route target holds."""
    try:
        if key == "NatGatewayId":
            natgw = describe_natgw(ec2, target_id)
            if not natgw or natgw.get("State") != "available":
                return set()
            return {a["PublicIp"] for a in natgw.get("NatGatewayAddresses", [])
                    if a.get("PublicIp")}
        if key == "NetworkInterfaceId":
            enis = ec2.describe_network_interfaces(
                NetworkInterfaceIds=[target_id])["NetworkInterfaces"]
            return {ip for eni in enis for ip in _interface_addresses(eni)}
        if key == "InstanceId":
            reservations = ec2.describe_instances(InstanceIds=[target_id])["Reservations"]
            held = set()
            for reservation in reservations:
                for instance in reservation.get("Instances", []):
                    if instance.get("State", {}).get("Name") != "running":
                        continue
                    if instance.get("PublicIpAddress"):
                        held.add(instance["PublicIpAddress"])
                    for eni in instance.get("NetworkInterfaces", []):
                        held |= _interface_addresses(eni)
            return held
    except ClientError as exc:
        if is_not_found(exc):
            return set()
        raise
    return set()


def _interface_addresses(eni: dict) -> set[str]:
    held = set()
    if eni.get("Association", {}).get("PublicIp"):
        held.add(eni["Association"]["PublicIp"])
    for private in eni.get("PrivateIpAddresses", []):
        if (private.get("Association") or {}).get("PublicIp"):
            held.add(private["Association"]["PublicIp"])
    return held
