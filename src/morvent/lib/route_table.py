"""Route table backups, snapshots and traffic moves.

A route's target is recorded as its id together with the subnet it sits in
(for a NAT gateway, a network interface or an instance).  NAT gateways that
are deleted and put back get new ids, so a restore that finds the recorded
target gone uses the NAT gateway now in that subnet instead.  When there is
none, the route is left alone with a warning: pointing it at a target that
does not exist would only turn it into a blackhole.  A route that was a
blackhole when it was recorded is never given a live target: it led nowhere
then and must lead nowhere after the restore.

A snapshot also keeps the routes that the tool moves itself (see
`nat_routes`); restoring it moves those that are on the primary spoke
gateway to a NAT gateway first, since the undo that comes next deletes the
primary, and at the end sends each one back to the NAT gateway now in its
own subnet, where there is one: the revert's last step so puts back routes
that a step stopped half-way moved without a record.
"""

from __future__ import annotations

import logging
import os
import re
from typing import Optional

from botocore.exceptions import ClientError

from morvent.commands.memento import Memento
from morvent.lib import nat_routes, routes
from morvent.lib.awsutil import (
    AwsStepError,
    describe_interface,
    dry_run,
    ec2_client,
    is_not_found,
    utc_stamp,
    write_json_atomic,
)
from morvent.lib.natgw import LIVE_STATES, describe_natgw, get_natgw_by_subnet, run_records


def _unique_path(folder: str, name: str) -> str:
    base, ext = os.path.splitext(name)
    path = os.path.join(folder, name)
    n = 1
    while os.path.exists(path):
        path = os.path.join(folder, f"{base}-{n}{ext}")
        n += 1
    return path


def _label(tag) -> str:
    """A file-name-safe form of a text label ('' for anything else)."""
    if not isinstance(tag, str):
        return ""
    return re.sub(r"[^A-Za-z0-9_.-]+", "-", tag).strip("-.")


def backupAllRtbs(ec2, folder: str, vpc_id: str, tag_route_table, nat_gw_ids,
                  version: str = "v2") -> None:
    """Write every route table of the VPC, as EC2 describes it, into ``folder``.

    The file is named route-tables-<vpc>-<UTC time>[-<label>].json, where
    the label is ``tag_route_table`` when that is a text; an earlier backup
    is never overwritten.  Only reads AWS, so it runs in a dry run too.
    """
    logger = logging.getLogger(__name__)
    tables = routes.route_tables(ec2, vpc_id)
    nat_gw_ids = list(nat_gw_ids or [])
    users = {
        nat: sorted({t["RouteTableId"] for t in tables for r in t.get("Routes", [])
                     if r.get("NatGatewayId") == nat})
        for nat in nat_gw_ids
    }
    label = _label(tag_route_table)
    name = f"route-tables-{vpc_id}-{utc_stamp()}" + (f"-{label}" if label else "") + ".json"
    os.makedirs(folder, exist_ok=True)
    path = _unique_path(folder, name)
    write_json_atomic(path, {
        "vpc_id": vpc_id,
        "version": version,
        "tag": tag_route_table if isinstance(tag_route_table, (str, int, float, bool)) else None,
        "nat_gw_ids": nat_gw_ids,
        "route_tables_using_nat_gateway": users,
        "route_tables": tables,
    })
    logger.info("- Backed up %d route table(s) of %s", len(tables), vpc_id)
    logger.info("  %s", path)


# -- recording and resolving route targets ---------------------------------

def _interface_subnet(ec2, eni_id: str) -> Optional[str]:
    eni = describe_interface(ec2, eni_id)
    return eni.get("SubnetId") if eni else None


def _instance(ec2, instance_id: str) -> Optional[dict]:
    try:
        reservations = ec2.describe_instances(InstanceIds=[instance_id])["Reservations"]
    except ClientError as exc:
        if is_not_found(exc):
            return None
        raise
    for reservation in reservations:
        for instance in reservation.get("Instances", []):
            return instance
    return None


def _instance_alive(instance: Optional[dict]) -> bool:
    return bool(instance) and instance.get("State", {}).get("Name") not in (
        "shutting-down", "terminated")


def record_target(ec2, route: dict, nat_subnets: dict[str, str]) -> dict:
    """The route's target as a JSON-ready dict: key, id and subnet."""
    found = routes.target(route) or ("", "")
    key, target_id = found
    subnet_id = None
    if key == "NatGatewayId":
        subnet_id = nat_subnets.get(target_id)
        if subnet_id is None:
            natgw = describe_natgw(ec2, target_id)
            subnet_id = natgw.get("SubnetId") if natgw else None
    elif key == "NetworkInterfaceId":
        subnet_id = _interface_subnet(ec2, target_id)
    elif key == "InstanceId":
        instance = _instance(ec2, target_id)
        subnet_id = instance.get("SubnetId") if instance else None
    return {
        "target_key": key,
        "target_id": target_id,
        "subnet_id": subnet_id,
        "instance_id": route.get("InstanceId"),
        "state": route.get("State"),
    }


def _natgw_in_subnet(ec2, subnet_id: Optional[str], vpc_id: str) -> Optional[str]:
    if not subnet_id:
        return None
    for natgw in get_natgw_by_subnet(ec2, subnet_id, vpc_id):
        if natgw.get("State") == "available":
            return natgw["NatGatewayId"]
    return None


def resolve_target(ec2, recorded: dict, vpc_id: str) -> Optional[tuple[str, str]]:
    """Where a recorded route target lives now, as (key, id), or None.

    The recorded NAT gateway, interface or instance when it still exists,
    else the NAT gateway now available in its subnet.  Other targets
    (internet, transit, peering gateways ...) are taken as recorded.
    """
    key, target_id = recorded.get("target_key"), recorded.get("target_id")
    if not key or not target_id:
        return None
    if key == "NatGatewayId":
        natgw = describe_natgw(ec2, target_id)
        alive = bool(natgw) and natgw.get("State") in LIVE_STATES
    elif key == "NetworkInterfaceId":
        eni = describe_interface(ec2, target_id)
        alive = bool(eni) and eni.get("Status") != "deleting"
    elif key == "InstanceId":
        alive = _instance_alive(_instance(ec2, target_id))
    else:
        return key, target_id
    if alive:
        return key, target_id
    replacement = _natgw_in_subnet(ec2, recorded.get("subnet_id"), vpc_id)
    return ("NatGatewayId", replacement) if replacement else None


def _nat_subnets(ec2, vpc_id: str, natGwInfos) -> dict[str, str]:
    """NAT gateway id -> subnet id, for every NAT gateway EC2 still lists."""
    subnets = {}
    for info in natGwInfos or []:
        if isinstance(info, dict) and info.get("nat_gw_id") and info.get("subnet_id"):
            subnets[info["nat_gw_id"]] = info["subnet_id"]
    paginator = ec2.get_paginator("describe_nat_gateways")
    for page in paginator.paginate(Filter=[{"Name": "vpc-id", "Values": [vpc_id]}]):
        for natgw in page.get("NatGateways", []):
            subnets[natgw["NatGatewayId"]] = natgw["SubnetId"]
    return subnets


def _same(route: Optional[dict], key: str, target_id: str) -> bool:
    return bool(route) and route.get(key) == target_id and route.get("State") != "blackhole"


def _point(ec2, logger, rtb: str, dest_key: str, dest: str, current: Optional[dict],
           key: str, target_id: str, create: bool) -> bool:
    """Point one route at (key, target_id); True when it was changed.

    A target that EC2 no longer knows is logged and left, so that one gone
    peering connection does not stop the other routes from coming back.
    """
    was = routes.target(current) if current else None
    if dry_run():
        logger.info("  would point %s %s at %s (now %s)", rtb, dest, target_id,
                    was[1] if was else "no route")
        return False
    try:
        routes.set_route(ec2, rtb, dest_key, dest, key, target_id, create=create)
    except ClientError as exc:
        if is_not_found(exc):
            logger.warning("  %s %s not pointed at %s: %s", rtb, dest, target_id, exc)
            return False
        raise
    logger.info("  pointed %s %s at %s (was %s)", rtb, dest, target_id,
                was[1] if was else "no route")
    return True


# -- snapshots ---------------------------------------------------------------

class SnapshotRTCmd:
    """Records the default route of every route table of a VPC."""

    def __init__(self, ec2, folder: str, vpc_id: str, natGwInfos, s3_bucket,
                 tag: str = "s1", version: str = "v2"):
        self.ec2 = ec2
        self.folder = folder
        self.vpc_id = vpc_id
        self.natGwInfos = natGwInfos
        self.s3_bucket = s3_bucket
        self.tag = tag
        self.version = version

    def execute(self) -> "SnapshotRTMemento":
        """Take the snapshot (also kept as a JSON file in the backup folder)."""
        logger = logging.getLogger(__name__)
        ec2 = self.ec2
        logger.info("- Snapshot %s of the default routes of %s", self.tag, self.vpc_id)
        nat_subnets = _nat_subnets(ec2, self.vpc_id, self.natGwInfos)
        recorded, without = [], []
        for table in routes.route_tables(ec2, self.vpc_id):
            rtb = table["RouteTableId"]
            route = routes.default_route(table)
            if route is None:
                without.append(rtb)
                continue
            entry = {"route_table_id": rtb,
                     "destination_key": "DestinationCidrBlock",
                     "destination": routes.DEFAULT_DESTINATION}
            entry.update(record_target(ec2, route, nat_subnets))
            recorded.append(entry)
            logger.info("  %s -> %s", rtb, entry["target_id"] or "?")
        memento = SnapshotRTMemento.make(
            vpc_id=self.vpc_id,
            tag=self.tag,
            routes=recorded,
            tables_without_default=without,
            records=_tool_records(self.natGwInfos),
            made_in_dry_run=dry_run(),
        )
        if self.folder:
            path = _unique_path(self.folder, f"route-snapshot-{self.vpc_id}-{_label(self.tag)}"
                                             f"-{utc_stamp()}.json")
            write_json_atomic(path, {"s3_bucket": self.s3_bucket, "version": self.version,
                                     **memento.toDict()})
        return memento


def _tool_records(natGwInfos) -> list[dict]:
    """What a restore needs of the NAT gateway records to move the tool's routes
    off the primary: subnet, address and the routes the tool moves."""
    kept = []
    for info in natGwInfos or []:
        if not isinstance(info, dict) or not isinstance(info.get("routes"), list):
            return []
        kept.append({"subnet_id": info.get("subnet_id"), "eip": info.get("eip"),
                     "routes": [r for r in info["routes"] if not r.get("snat")]})
    return kept


class SnapshotRTMemento(Memento):
    """Undo record of a snapshot: puts the recorded default routes back."""

    def restore(self) -> None:
        logger = logging.getLogger(__name__)
        logger.info("- Restoring snapshot %s of the default routes of %s", self.tag, self.vpc_id)
        if self.made_in_dry_run:
            logger.info("  nothing to undo: snapshot %s was taken in a dry run", self.tag)
            return
        ec2 = ec2_client()
        records = getattr(self, "records", None) or []
        if any(r.get("routes") for r in records):
            nat_routes.evacuate(ec2, self.vpc_id, records, 0, logger)
        # One look at the VPC's tables, right before the changes, and one
        # look-up per recorded target: the tables of a zone share theirs.
        tables = routes.route_tables_by_id(ec2, self.vpc_id)
        targets: dict[tuple, Optional[tuple[str, str]]] = {}
        for entry in self.routes:
            rtb = entry["route_table_id"]
            table = tables.get(rtb)
            if table is None:
                logger.warning("  %s no longer exists; skipped", rtb)
                continue
            dest_key, dest = entry["destination_key"], entry["destination"]
            current = routes.find_route(table, dest_key, dest)
            if entry.get("state") == "blackhole":
                _keep_dead(ec2, logger, rtb, dest_key, dest, current, entry)
                continue
            recorded = (entry.get("target_key"), entry.get("target_id"), entry.get("subnet_id"))
            if recorded not in targets:
                targets[recorded] = resolve_target(ec2, entry, self.vpc_id)
            target = targets[recorded]
            if target is None:
                logger.warning("  %s %s: recorded target %s is gone and no NAT gateway is "
                               "available in its subnet %s; route left as it is",
                               rtb, dest, entry.get("target_id"), entry.get("subnet_id"))
                continue
            if _same(current, *target):
                logger.info("  %s %s unchanged (%s)", rtb, dest, target[1])
                continue
            _point(ec2, logger, rtb, dest_key, dest, current, *target, create=current is None)
        for rtb in self.tables_without_default or []:
            table = tables.get(rtb)
            route = routes.default_route(table) if table else None
            if route is not None:
                found = routes.target(route)
                logger.warning("  %s has a default route through %s that snapshot %s did "
                               "not have; left as it is", rtb, found[1] if found else "?",
                               self.tag)
        if any(r.get("routes") for r in records):
            # Also those moved by a step that was stopped before it was recorded.
            nat_routes.send_home(ec2, self.vpc_id, records, logger)


def _keep_dead(ec2, logger, rtb: str, dest_key: str, dest: str, current: Optional[dict],
               entry: dict) -> None:
    """Restore a route that was a blackhole when recorded: it must not lead
    anywhere now either.  Pointed back at its recorded target if EC2 takes it,
    else removed (EC2 refuses routes to a target that is gone)."""
    if current is None or current.get("State") == "blackhole":
        logger.info("  %s %s was a blackhole and still leads nowhere; left as it is", rtb, dest)
        return
    if dry_run():
        logger.info("  would take %s %s off its live target: it was a blackhole", rtb, dest)
        return
    try:
        routes.set_route(ec2, rtb, dest_key, dest, entry["target_key"], entry["target_id"])
        logger.info("  %s %s points at %s again, a blackhole as before", rtb, dest,
                    entry["target_id"])
    except ClientError as exc:
        ec2.delete_route(RouteTableId=rtb, **{dest_key: dest})
        logger.warning("  %s %s was a blackhole (to %s) but led to a live target; EC2 does "
                       "not take the gone target back (%s), so the route is removed: the "
                       "table has no working default route, as before", rtb, dest,
                       entry.get("target_id"), exc)


# -- moving traffic between NAT gateways --------------------------------------

class NatGwTrafficCmd:
    """Moves the routes of one NAT gateway to the NAT gateway of another subnet."""

    def __init__(self, ec2, nat_gw_id: str, subnet_id: str, vpc_id: str, folder: str,
                 tag: str = "s1"):
        self.ec2 = ec2
        self.nat_gw_id = nat_gw_id
        self.subnet_id = subnet_id
        self.vpc_id = vpc_id
        self.folder = folder
        self.tag = tag

    def moveTraffic(self, target_subnet_id: str) -> "NatGwTrafficMemento":
        """Point every route through ``nat_gw_id`` at the available NAT gateway
        of ``target_subnet_id``.

        All routes through the gateway are moved, not only the default
        routes: the gateway is deleted next, and a route left on it would
        become a blackhole.
        """
        logger = logging.getLogger(__name__)
        ec2 = self.ec2
        to_id = None
        for natgw in get_natgw_by_subnet(ec2, target_subnet_id, self.vpc_id):
            if natgw.get("State") == "available" and natgw["NatGatewayId"] != self.nat_gw_id:
                to_id = natgw["NatGatewayId"]
                break
        if to_id is None:
            raise AwsStepError(
                f"no available NAT gateway in {target_subnet_id} to take over the traffic "
                f"of {self.nat_gw_id}"
            )
        logger.info("- Moving the traffic of %s to %s in %s", self.nat_gw_id, to_id,
                    target_subnet_id)
        moved, already = [], []
        mine = _own_routes(self.subnet_id)
        for table in routes.route_tables(ec2, self.vpc_id):
            for route in table.get("Routes", []):
                dest = routes.destination(route)
                if dest and route.get("NatGatewayId") == self.nat_gw_id:
                    moved.append([table["RouteTableId"], dest[0], dest[1]])
                elif dest and route.get("NatGatewayId") == to_id and \
                        (table["RouteTableId"], *dest) in mine:
                    # Moved by an attempt that was stopped before it was recorded.
                    already.append([table["RouteTableId"], dest[0], dest[1]])
        memento = NatGwTrafficMemento.make(
            vpc_id=self.vpc_id,
            tag=self.tag,
            from_nat_gw_id=self.nat_gw_id,
            from_subnet_id=self.subnet_id,
            to_nat_gw_id=to_id,
            to_subnet_id=target_subnet_id,
            routes=moved + already,
            made_in_dry_run=dry_run(),
        )
        if not moved:
            logger.info("  no route uses %s", self.nat_gw_id)
        for rtb, key, dest in moved:
            if dry_run():
                logger.info("  would point %s %s at %s", rtb, dest, to_id)
            else:
                routes.set_route(ec2, rtb, key, dest, "NatGatewayId", to_id)
                logger.info("  pointed %s %s at %s", rtb, dest, to_id)
        return memento


def _own_routes(subnet_id: str) -> set[tuple]:
    """(table, destination key, destination) of the routes the discovery found
    on the NAT gateway of ``subnet_id`` (none outside a run)."""
    records, index = run_records({"subnet_id": subnet_id})
    return {(r["route_table_id"], r["destination_key"], r["destination"])
            for r in records[index].get("routes") or []}


class NatGwTrafficMemento(Memento):
    """Undo record of a traffic move: points the moved routes back."""

    def restore(self) -> None:
        logger = logging.getLogger(__name__)
        logger.info("- Moving the traffic of %s back from %s", self.from_nat_gw_id,
                    self.to_nat_gw_id)
        if self.made_in_dry_run:
            logger.info("  nothing to undo: no route was moved (dry run)")
            return
        if not self.routes:
            logger.info("  no route was moved")
            return
        ec2 = ec2_client()
        origin = resolve_target(ec2, {"target_key": "NatGatewayId",
                                      "target_id": self.from_nat_gw_id,
                                      "subnet_id": self.from_subnet_id}, self.vpc_id)
        if origin is None:
            logger.warning("  %s is gone and no NAT gateway is available in %s; %d route(s) "
                           "left as they are", self.from_nat_gw_id, self.from_subnet_id,
                           len(self.routes))
            return
        tables = routes.route_tables_by_id(ec2, self.vpc_id)
        for rtb, key, dest in self.routes:
            table = tables.get(rtb)
            current = routes.find_route(table, key, dest) if table else None
            if current is None:
                logger.warning("  route %s of %s is gone; not recreated", dest, rtb)
                continue
            if _same(current, *origin):
                logger.info("  %s %s already points at %s", rtb, dest, origin[1])
                continue
            _point(ec2, logger, rtb, key, dest, current, *origin, create=False)
