"""Where each zone of a VPC sends its internet traffic, and with which address (read-only).

The command line reads this before and after a run, to show per zone what
the run changed: the target of each private route table's default route,
the public address the traffic leaves with, and the zone's NAT gateways
(a revert puts NAT gateways back under new ids).
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

__all__ = ["Egress", "Exit", "read_egress", "own_addresses", "other_addresses",
           "borrowed_during_run"]

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


# -- zones that leave with another zone's address ------------------------------------

def own_addresses(records: list[dict], zone_of: dict[str, str] | None = None) -> dict[str, str]:
    """Zone -> the address its traffic left with before the migration: the Elastic IP
    of the NAT gateway the discovery recorded there (the first, when there were several)."""
    own: dict[str, str] = {}
    for record in records:
        zone = (zone_of or {}).get(record.get("subnet_id")) or record.get("availability_zone")
        if zone and record.get("eip"):
            own.setdefault(zone, record["eip"])
    return own


def other_addresses(egress: Egress, own: dict[str, str]) -> list[str]:
    """One line per zone whose private route tables leave with an address other than
    the zone's own (``own_addresses``): peers that allow only that address refuse it."""
    zone_with = {address: zone for zone, address in own.items()}
    lines = []
    for zone in egress.zones():
        mine = own.get(zone)
        if mine is None:
            continue
        exits = [e for e in egress.exits if e.zone == zone and e.target != "none"
                 and e.public_ip != mine]
        for address in sorted({str(e.public_ip) for e in exits}):
            tables = sorted(e.route_table_id for e in exits if str(e.public_ip) == address)
            whose = (f"the address of {zone_with[address]}" if address in zone_with
                     else "an address of no zone's NAT gateway" if address != "None"
                     else "no known address")
            lines.append(f"{zone} leaves with {address if address != 'None' else '-'} "
                         f"({whose}), not its own {mine}: {', '.join(tables)}")
    return lines


def borrowed_during_run(records: list[dict], move_at: int, snat_at: int | None,
                        ha_at: dict[int, int], last: int,
                        zone_of: dict[str, str] | None = None, done: int = 0) -> list[str]:
    """For which steps of a replacement each zone leaves through another zone's
    address, one line per zone (the usual shape: each zone's tables use their
    zone's NAT gateway).  ``move_at``, ``snat_at``: the positions of the traffic
    move and of SNAT; ``ha_at``: record index -> position of its HA spoke
    gateway; ``last``: the run's last position; ``done``: how many steps are done
    (a stretch that ended with them is left out).

    The first zone's traffic goes through the second zone's NAT gateway from
    the traffic move until SNAT comes on; with SNAT on, every other zone's
    default routes go to the primary spoke gateway (the first zone's address)
    until the zone's own HA spoke gateway is up -- for good in a zone the run
    does not replace (hs_mode 1, a stop after a count of steps).
    """
    if len(records) < 2:
        return []
    zones = [(zone_of or {}).get(r.get("subnet_id")) or r.get("availability_zone")
             for r in records]
    first, second = records[0].get("eip"), records[1].get("eip")
    lines = []
    if zones[0] != zones[1] and (snat_at or last) > done:
        lines.append(f"{zones[0]} leaves with {second} ({zones[1]}'s address, through its "
                     f"NAT gateway) after step {move_at} until step {snat_at or last}, not "
                     f"with its own {first}")
    if snat_at is None:
        return lines
    for i, record in enumerate(records[1:], start=1):
        if zones[i] == zones[0] or record.get("eip") is None or ha_at.get(i, last + 1) <= done:
            continue
        until = (f"until step {ha_at[i]}" if i in ha_at
                 else "to the end of the run and after it (no spoke gateway of its own)")
        lines.append(f"{zones[i]} leaves with {first} ({zones[0]}'s address, through the "
                     f"primary spoke gateway) after step {snat_at} {until}, not with its own "
                     f"{record.get('eip')}")
    return lines
