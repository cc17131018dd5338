"""Where each zone of a VPC sends its internet traffic, and with which address (read-only).

The command line reads this before and after a run, to show per zone what
the run changed: the target of each private route table's default route,
the public address the traffic leaves with, and the zone's NAT gateways
(a revert puts NAT gateways back under new ids).
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

__all__ = ["Egress", "Exit", "read_egress"]

LIVE_NAT_STATES = ("available", "pending")


@dataclass(frozen=True)
class Exit:
    """Where one private route table sends its default route."""

    route_table_id: str
    zone: str
    #: "nat-...", "i-... (name)", another target's id, or "none".
    target: str
    #: The public address the traffic leaves with, or None when unknown.
    public_ip: str | None

    def __str__(self) -> str:
        return f"{self.target} {self.public_ip or '-'}"


@dataclass
class Egress:
    """The VPC's private route tables and NAT gateways, by zone."""

    exits: list[Exit] = field(default_factory=list)
    #: zone -> ids of the NAT gateways there that are available or pending.
    natgws: dict[str, list[str]] = field(default_factory=dict)

    def zones(self) -> list[str]:
        return sorted({e.zone for e in self.exits} | set(self.natgws))


def _paginate(ec2: Any, operation: str, key: str, **params: Any) -> list[dict]:
    found: list[dict] = []
    for page in ec2.get_paginator(operation).paginate(**params):
        found.extend(page.get(key, []))
    return found


def _instances(ec2: Any, ids: list[str]) -> dict[str, dict]:
    """The instances by id; none when one of them is not known (any more)."""
    from botocore.exceptions import ClientError

    if not ids:
        return {}
    found = {}
    try:
        for reservation in _paginate(ec2, "describe_instances", "Reservations", InstanceIds=ids):
            for instance in reservation.get("Instances", []):
                found[instance["InstanceId"]] = instance
    except ClientError:
        return {}
    return found


def _name(tags: list[dict] | None) -> str | None:
    return next((t.get("Value") for t in tags or [] if t.get("Key") == "Name"), None)


def read_egress(ec2: Any, vpc_id: str) -> Egress:
    """Where the VPC's private route tables send their default routes now."""
    from morvent.lib import routes
    from morvent.lib.natgw import primary_address

    vpc = [{"Name": "vpc-id", "Values": [vpc_id]}]
    zone_of = {s["SubnetId"]: s.get("AvailabilityZone", "-")
               for s in _paginate(ec2, "describe_subnets", "Subnets", Filters=vpc)}
    nats = {n["NatGatewayId"]: n
            for n in _paginate(ec2, "describe_nat_gateways", "NatGateways", Filter=vpc)}
    egress = Egress()
    for nat in nats.values():
        if nat.get("State") in LIVE_NAT_STATES:
            egress.natgws.setdefault(zone_of.get(nat.get("SubnetId"), "-"), []).append(
                nat["NatGatewayId"])
    for ids in egress.natgws.values():
        ids.sort()

    defaults = []
    for table in routes.route_tables(ec2, vpc_id):
        default = routes.default_route(table)
        target = routes.target(default) if default else None
        if target is not None and target[0] == "GatewayId" and target[1].startswith("igw-"):
            continue  # a public table
        zone = next((zone_of[a["SubnetId"]] for a in table.get("Associations", [])
                     if a.get("SubnetId") in zone_of), None)
        defaults.append((table["RouteTableId"], zone, default, target))
    instance_ids = sorted({d.get("InstanceId") for _, _, d, _ in defaults
                           if d and d.get("InstanceId")})
    instances = _instances(ec2, instance_ids)

    for table_id, zone, default, target in defaults:
        if target is None:
            egress.exits.append(Exit(table_id, zone or "-", "none", None))
            continue
        label, public_ip = target[1], None
        if target[0] == "NatGatewayId":
            nat = nats.get(target[1])
            if nat is None or nat.get("State") not in LIVE_NAT_STATES:
                label += " (gone)"
            else:
                public_ip = primary_address(nat).get("PublicIp")
                zone = zone or zone_of.get(nat.get("SubnetId"))
        elif default.get("InstanceId"):
            instance = instances.get(default["InstanceId"], {})
            label = default["InstanceId"]
            name = _name(instance.get("Tags"))
            if name:
                label += f" ({name})"
            public_ip = instance.get("PublicIpAddress")
            zone = zone or (instance.get("Placement") or {}).get("AvailabilityZone")
        egress.exits.append(Exit(table_id, zone or "-", label, public_ip))
    egress.exits.sort(key=lambda e: (e.zone, e.route_table_id))
    return egress
