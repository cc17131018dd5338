"""What must hold after a replacement and after its revert, on the simulated world.

Each check returns a list of problems, one line each; an empty list means
the invariant holds.  `egress_rows` gives the per-table view that the demo
prints, `full_state` everything a dry run must leave untouched.

`check_replaced` and `check_reverted` know the tidy world of `build_world`.
For any shape (see `shapes`), `route_picture` takes every route of the VPC
with the address its traffic leaves with, before a run; `check_shape_replaced`
and `check_shape_reverted` compare the picture after the run with it.
"""


from __future__ import annotations

import hashlib
from dataclasses import dataclass
from typing import Any

from . import routes
from .world import World, _primary, blackhole_tables, snapshot


@dataclass(frozen=True)
class EgressRow:
    """Where one private route table sends internet traffic now."""

    route_table_id: str
    zone: str
    target: str          # "nat-...", "i-... (spoke-hagw)", "none"
    public_ip: str       # the address the traffic leaves with, or "-"
    alive: bool


def _gateways(sim: Any, vpc_id: str) -> dict:
    return {name: gw for name, gw in sim.controller.gateways.items() if gw.vpc_id == vpc_id}


def egress_rows(sim: Any, world: World) -> list[EgressRow]:
    """One row per private route table of the world, in zone order."""
    egress = snapshot(sim.ec2, world.vpc_id)
    owners = {gw.instance_id: name for name, gw in _gateways(sim, world.vpc_id).items()}
    rows = []
    for zone in world.zones:
        for private in zone.private_subnets:
            e = egress.get(private.route_table_id)
            if e is None or e.target_id is None:
                rows.append(EgressRow(private.route_table_id, zone.name, "none", "-", False))
                continue
            target = e.target_id
            if e.target_id in owners:
                target += f" ({owners[e.target_id]})"
            if not e.alive:
                target += " GONE"
            rows.append(EgressRow(private.route_table_id, zone.name, target,
                                  e.public_ip or "-", e.alive))
    return rows


def _live_nats(ec2: Any, vpc_id: str) -> list[dict]:
    found = []
    for page in ec2.get_paginator("describe_nat_gateways").paginate(
            Filter=[{"Name": "vpc-id", "Values": [vpc_id]}]):
        found.extend(n for n in page["NatGateways"] if n["State"] in routes.LIVE_NAT_STATES)
    return found


def _instance_type(ec2: Any, instance_id: str) -> str | None:
    inst = routes.instance(ec2, instance_id)
    return inst.get("InstanceType") if inst else None


def check_replaced(sim: Any, world: World, primary: str, final_size: str | None) -> list[str]:
    """After a complete `execute`: no NAT gateway left, every private table
    leaving through a spoke gateway with its zone's original address, the
    spokes holding exactly the original addresses, SNAT on, the primary at
    `final_size` (None: not checked)."""
    problems = []
    ec2 = sim.ec2
    for nat in _live_nats(ec2, world.vpc_id):
        problems.append(f"NAT gateway {nat['NatGatewayId']} is still {nat['State']}")
    gateways = _gateways(sim, world.vpc_id)
    owners = {gw.instance_id: gw for gw in gateways.values()}
    egress = snapshot(ec2, world.vpc_id)
    seen_ips = set()
    for zone in world.zones:
        for private in zone.private_subnets:
            e = egress.get(private.route_table_id)
            rtb = private.route_table_id
            if e is None or e.target_id is None:
                problems.append(f"{rtb} ({zone.name}) has no default route")
                continue
            if not e.alive:
                problems.append(f"{rtb} ({zone.name}) routes into {e.target_id}, which is gone")
            elif e.target_kind != "InstanceId" or e.target_id not in owners:
                problems.append(f"{rtb} ({zone.name}) leaves through {e.target_id}, "
                                "not through a spoke gateway")
            elif e.public_ip != zone.eip:
                problems.append(f"{rtb} ({zone.name}) leaves with {e.public_ip}, not with its "
                                f"zone's original address {zone.eip}")
            if e.public_ip:
                seen_ips.add(e.public_ip)
    if seen_ips != set(world.eips):
        problems.append(f"private tables leave with {sorted(seen_ips)}, the original addresses "
                        f"are {sorted(world.eips)}")
    spoke_ips = {gw.public_ip for gw in gateways.values()}
    if spoke_ips != set(world.eips):
        problems.append(f"the spoke gateways hold {sorted(spoke_ips)}, the original addresses "
                        f"are {sorted(world.eips)}")
    head = gateways.get(primary)
    if head is None:
        problems.append(f"primary spoke gateway {primary} does not exist")
    else:
        if not head.snat:
            problems.append(f"SNAT is off on {primary}")
        if final_size is not None:
            if head.size != final_size:
                problems.append(f"{primary} has size {head.size}, expected {final_size}")
            actual = _instance_type(ec2, head.instance_id)
            if actual != final_size:
                problems.append(f"the instance of {primary} is a {actual}, expected {final_size}")
    if len(gateways) != len(world.zones):
        problems.append(f"{len(gateways)} spoke gateway(s) for {len(world.zones)} zone(s): "
                        f"{', '.join(sorted(gateways)) or 'none'}")
    return problems


def check_reverted(sim: Any, world: World) -> list[str]:
    """After `revert`: every private table routes through a live NAT gateway in
    its zone's original public subnet holding the zone's original Elastic IP,
    and no spoke gateway (nor its instance) is left."""
    problems = []
    ec2 = sim.ec2
    nats = {n["NatGatewayId"]: n for n in _live_nats(ec2, world.vpc_id)}
    tables = {t["RouteTableId"]: t for t in routes.vpc_route_tables(ec2, world.vpc_id)}
    for zone in world.zones:
        zone_nats = [n for n in nats.values() if n["SubnetId"] == zone.public_subnet_id]
        if len(zone_nats) != 1:
            problems.append(f"{zone.name} has {len(zone_nats)} live NAT gateways in "
                            f"{zone.public_subnet_id}, expected 1")
        for private in zone.private_subnets:
            rtb = private.route_table_id
            table = tables.get(rtb)
            target = routes.route_target(routes.default_route(table)) if table else None
            if target is None:
                problems.append(f"{rtb} ({zone.name}) has no default route")
                continue
            if target[0] != "NatGatewayId" or target[1] not in nats:
                problems.append(f"{rtb} ({zone.name}) routes through {target[1]}, "
                                "not through a live NAT gateway")
                continue
            nat = nats[target[1]]
            if nat["SubnetId"] != zone.public_subnet_id:
                problems.append(f"{rtb} ({zone.name}) routes through {nat['NatGatewayId']} in "
                                f"{nat['SubnetId']}, not in {zone.public_subnet_id}")
            address = _primary(nat)
            if address.get("AllocationId") != zone.allocation_id:
                problems.append(f"{rtb} ({zone.name}) leaves with "
                                f"{address.get('PublicIp')}, not with the original "
                                f"{zone.eip}")
    gateways = _gateways(sim, world.vpc_id)
    if gateways:
        problems.append(f"spoke gateway(s) left on the controller: {', '.join(sorted(gateways))}")
    reservations = ec2.describe_instances(Filters=[
        {"Name": "vpc-id", "Values": [world.vpc_id]},
        {"Name": "tag-key", "Values": ["corvane-gateway"]},
        {"Name": "instance-state-name", "Values": ["pending", "running", "stopping", "stopped"]},
    ])["Reservations"]
    for r in reservations:
        for inst in r["Instances"]:
            problems.append(f"gateway instance {inst['InstanceId']} is still "
                            f"{inst['State']['Name']}")
    for rtb in blackhole_tables(ec2, world.vpc_id):
        problems.append(f"{rtb} routes into something that is gone")
    return problems


# -- any shape -------------------------------------------------------------------------

@dataclass(frozen=True)
class RouteView:
    """One route as it matters for egress."""

    target: str              # "NatGatewayId nat-...", "InstanceId i-...", "GatewayId igw-..."
    alive: bool              # the target is there and the route is no blackhole
    public_ip: str | None    # the address traffic leaves with through it, if any
    #: For a NAT gateway target: its subnet and primary Elastic IP allocation,
    #: which a NAT gateway put back under a new id keeps.
    nat_home: tuple | None = None

    @property
    def kind(self) -> str:
        return self.target.split()[0]


def route_picture(sim: Any, vpc_id: str) -> dict[tuple[str, str], RouteView]:
    """Every route of the VPC but the local ones, by (route table, destination)."""
    ec2 = sim.ec2
    nats = {n["NatGatewayId"]: n for page in ec2.get_paginator("describe_nat_gateways").paginate(
        Filter=[{"Name": "vpc-id", "Values": [vpc_id]}]) for n in page["NatGateways"]}
    picture = {}
    for table in routes.vpc_route_tables(ec2, vpc_id):
        for route in table.get("Routes", []):
            if route.get("GatewayId") == "local":
                continue
            dest = (route.get("DestinationCidrBlock") or route.get("DestinationIpv6CidrBlock")
                    or route.get("DestinationPrefixListId"))
            target = routes.route_target(route)
            kind, value = target or ("none", "-")
            alive = routes.target_exists(ec2, target, route)
            home = None
            if kind == "NatGatewayId" and value in nats:
                nat = nats[value]
                home = (nat["SubnetId"], _primary(nat).get("AllocationId"))
            ip = _public_ip(ec2, kind, value) if alive else None
            picture[(table["RouteTableId"], dest)] = RouteView(f"{kind} {value}", alive, ip, home)
    return picture


def _public_ip(ec2: Any, kind: str, target_id: str) -> str | None:
    from .world import _public_ip as public_ip

    return public_ip(ec2, kind, target_id)


def check_shape_replaced(sim: Any, world: World, before: dict, replaced: set[str]) -> list[str]:
    """After `execute` on a shape: every route that went through a NAT gateway
    holding one of the addresses ``replaced`` goes through a live spoke gateway
    with the address it had (or the one `world.address_changes` gives its
    table); every other route is as it was; no route was added or removed."""
    after = route_picture(sim, world.vpc_id)
    changes = {rtb: new for rtb, _old, new in world.address_changes}
    gateways = {gw.instance_id for gw in _gateways(sim, world.vpc_id).values()}
    problems = []
    for key in sorted(set(before) | set(after)):
        rtb, dest = key
        was, now = before.get(key), after.get(key)
        if was is None or now is None:
            problems.append(f"{rtb} {dest}: {'added' if was is None else 'removed'} by the run")
            continue
        moved = dest == routes.DEFAULT_ROUTE and rtb in changes
        if was.kind == "NatGatewayId" and (was.public_ip in replaced or moved):
            want = changes[rtb] if moved else was.public_ip
            if not now.alive or now.target.split()[-1] not in gateways:
                problems.append(f"{rtb} {dest} goes to {now.target}"
                                f"{'' if now.alive else ' (gone)'}, not to a spoke gateway")
            elif now.public_ip != want:
                problems.append(f"{rtb} {dest} leaves with {now.public_ip}, not with {want} "
                                f"(it had {was.public_ip})")
        elif now != was:
            problems.append(f"{rtb} {dest} was {was.target} ({was.public_ip or 'no address'}), "
                            f"now {now.target} ({now.public_ip or 'no address'}): not the run's "
                            "to change")
    for nat in _live_nats(sim.ec2, world.vpc_id):
        if _primary(nat).get("PublicIp") in replaced:
            problems.append(f"NAT gateway {nat['NatGatewayId']} with "
                            f"{_primary(nat).get('PublicIp')} is still {nat['State']}")
    return problems


def check_shape_reverted(sim: Any, world: World, before: dict) -> list[str]:
    """After `revert` on a shape: every route as it was before the run (a NAT
    gateway put back under a new id counts as the same when it sits in the
    same subnet with the same primary Elastic IP), no spoke gateway left."""
    after = route_picture(sim, world.vpc_id)
    problems = []
    for key in sorted(set(before) | set(after)):
        rtb, dest = key
        was, now = before.get(key), after.get(key)
        if was is None or now is None:
            problems.append(f"{rtb} {dest}: {'added' if was is None else 'removed'} "
                            "and not put back")
            continue
        same = (was.nat_home == now.nat_home and was.alive == now.alive
                and was.public_ip == now.public_ip) if was.nat_home else now == was
        if not same:
            problems.append(f"{rtb} {dest} was {was.target} ({was.public_ip or 'no address'}"
                            f"{'' if was.alive else ', a blackhole'}), now {now.target} "
                            f"({now.public_ip or 'no address'}{'' if now.alive else ', a blackhole'})")
    gateways = _gateways(sim, world.vpc_id)
    if gateways:
        problems.append(f"spoke gateway(s) left on the controller: {', '.join(sorted(gateways))}")
    return problems


def _strip(value: Any) -> Any:
    if isinstance(value, dict):
        return {k: _strip(v) for k, v in value.items() if k != "ResponseMetadata"}
    if isinstance(value, list):
        return [_strip(v) for v in value]
    return value


def full_state(sim: Any, world: World, bucket: str | None = None) -> dict:
    """Everything a dry run must not change: route tables, NAT gateways,
    Elastic IP associations, instances, controller gateways and accounts, and
    the objects of `bucket`."""
    ec2 = sim.ec2
    tables = sorted(routes.vpc_route_tables(ec2, world.vpc_id), key=lambda t: t["RouteTableId"])
    nats = []
    for page in ec2.get_paginator("describe_nat_gateways").paginate(
            Filter=[{"Name": "vpc-id", "Values": [world.vpc_id]}]):
        nats.extend(page["NatGateways"])
    addresses = ec2.describe_addresses()["Addresses"]
    instances = [
        {k: i.get(k) for k in ("InstanceId", "InstanceType", "PublicIpAddress")}
        | {"State": i["State"]["Name"]}
        for r in ec2.describe_instances(
            Filters=[{"Name": "vpc-id", "Values": [world.vpc_id]}])["Reservations"]
        for i in r["Instances"]]
    controller = {
        name: {k: getattr(gw, k) for k in ("kind", "subnet_cidr", "size", "primary",
                                            "public_ip", "snat")}
        for name, gw in sim.controller.gateways.items()}
    state = {
        "route_tables": _strip(tables),
        "nat_gateways": sorted(_strip(nats), key=lambda n: n["NatGatewayId"]),
        "addresses": sorted(_strip(addresses), key=lambda a: a["AllocationId"]),
        "instances": sorted(instances, key=lambda i: i["InstanceId"]),
        "controller_gateways": controller,
        "controller_accounts": sorted(sim.controller.state.accounts),
    }
    if bucket is not None:
        s3 = sim.client("s3")
        objects = {}
        for page in s3.get_paginator("list_objects_v2").paginate(Bucket=bucket):
            for item in page.get("Contents", ()):
                body = s3.get_object(Bucket=bucket, Key=item["Key"])["Body"].read()
                objects[item["Key"]] = hashlib.sha256(body).hexdigest()
        state["s3_objects"] = objects
    return state
