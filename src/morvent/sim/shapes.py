"""VPC shapes that real VPCs have, built in the simulated cloud.

`build_world` makes the tidy shape: per zone a public subnet with a NAT
gateway and a private subnet whose route table sends 0.0.0.0/0 to that
zone's NAT gateway.  Real VPCs often differ; each shape here starts from
the tidy one and changes what the name says.  What the tool does with each
is its ``outcome``:

- "ok": replaced and reverted, every route keeping its address;
- "accept": some route tables cannot keep their address (the controller
  decides which spoke gateway carries them); the run goes ahead only when
  the operator accepts that, and the shape says which tables change how;
- "refused": the run stops before any change, naming what it cannot handle.

    world = build_shape(sim, "split-defaults")
"""

from __future__ import annotations

import ipaddress
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from . import ec2_facts, routes
from .world import World, _primary, _tags

#: Bytes per hour at each zone's daily peak: a zone alone fits the smallest
#: spoke size, three together do not (see `gateway_size.SIZE_TABLE`).
ZONE_PEAK = 2.0e10
#: A partner network that some route tables send through their NAT gateway.
PARTNER_CIDR = "198.51.100.0/24"
#: A network reached through a private NAT gateway (another VPC, on premises).
PRIVATE_PEER_CIDR = "172.31.0.0/16"


@dataclass(frozen=True)
class Shape:
    name: str
    summary: str
    outcome: str           # "ok", "accept" or "refused"
    build: Callable[[Any], World]


def _base(sim: Any, zones: int = 3, **options: Any) -> World:
    return sim.build(zones=zones, peaks=[ZONE_PEAK] * zones, **options)


def _extra_block(world: World, n: int) -> str:
    """The n-th /24 beyond what `build_world` uses (the top of the VPC's range)."""
    blocks = list(ipaddress.ip_network(world.vpc_cidr).subnets(new_prefix=24))
    return str(blocks[-1 - n])


def _subnet(ec2: Any, world: World, zone: str, n: int, name: str) -> str:
    return ec2.create_subnet(VpcId=world.vpc_id, CidrBlock=_extra_block(world, n),
                             AvailabilityZone=zone,
                             TagSpecifications=_tags("subnet", name))["Subnet"]["SubnetId"]


def _table(ec2: Any, world: World, name: str, subnets: list[str] = (),
           **default_target: str) -> str:
    rtb = ec2.create_route_table(VpcId=world.vpc_id, TagSpecifications=_tags(
        "route-table", name))["RouteTable"]["RouteTableId"]
    if default_target:
        ec2.create_route(RouteTableId=rtb, DestinationCidrBlock=routes.DEFAULT_ROUTE,
                         **default_target)
    for subnet in subnets:
        ec2.associate_route_table(RouteTableId=rtb, SubnetId=subnet)
    return rtb


def _zone_table(world: World, i: int) -> str:
    return world.zones[i].private_subnets[0].route_table_id


def _split(ec2: Any, world: World, i: int) -> None:
    """Zone i's private table: 0.0.0.0/1 and 128.0.0.0/1 instead of 0.0.0.0/0."""
    rtb, nat = _zone_table(world, i), world.zones[i].nat_gateway_id
    ec2.delete_route(RouteTableId=rtb, DestinationCidrBlock=routes.DEFAULT_ROUTE)
    for half in ("0.0.0.0/1", "128.0.0.0/1"):
        ec2.create_route(RouteTableId=rtb, DestinationCidrBlock=half, NatGatewayId=nat)


# -- the shapes ---------------------------------------------------------------------

def tidy(sim: Any) -> World:
    return _base(sim)


def split_defaults(sim: Any) -> World:
    world = _base(sim)
    for i in range(len(world.zones)):
        _split(sim.ec2, world, i)
    return world


def split_defaults_one_zone(sim: Any) -> World:
    world = _base(sim)
    _split(sim.ec2, world, 1)
    return world


def partner_route(sim: Any) -> World:
    world = _base(sim)
    for i, zone in enumerate(world.zones):
        sim.ec2.create_route(RouteTableId=_zone_table(world, i), DestinationCidrBlock=PARTNER_CIDR,
                             NatGatewayId=zone.nat_gateway_id)
    return world


def _private_natgw(sim: Any, world: World) -> str:
    zone = world.zones[0]
    subnet = zone.private_subnets[0].subnet_id
    nat = sim.ec2.create_nat_gateway(SubnetId=subnet, ConnectivityType="private",
                                     TagSpecifications=_tags("natgateway", "private-nat"))
    return nat["NatGateway"]["NatGatewayId"]


def private_natgw_route(sim: Any) -> World:
    world = _base(sim)
    nat = _private_natgw(sim, world)
    for i in range(len(world.zones)):
        sim.ec2.create_route(RouteTableId=_zone_table(world, i),
                             DestinationCidrBlock=PRIVATE_PEER_CIDR, NatGatewayId=nat)
    return world


def private_natgw_isolated(sim: Any) -> World:
    world = _base(sim)
    nat = _private_natgw(sim, world)
    subnet = _subnet(sim.ec2, world, world.zones[1].name, 0, "isolated")
    world.refused = [_table(sim.ec2, world, "isolated", [subnet], NatGatewayId=nat)]
    return world


def secondary_first(sim: Any) -> World:
    world = _base(sim, secondary_addresses=[1, 0, 0])
    ec2_facts.list_secondary_first(world.zones[0].nat_gateway_id, world.region)
    return world


def _natgw_state(state: str) -> Callable[[Any], World]:
    def build(sim: Any) -> World:
        world = _base(sim)
        zone = world.zones[2]
        ec2_facts.set_nat_state(zone.nat_gateway_id, state, world.region)
        world.refused = [zone.nat_gateway_id if state == "pending" else _zone_table(world, 2)]
        return world
    return build


def blackhole_unused(sim: Any) -> World:
    """An unused table whose default route leads to a NAT gateway deleted long ago,
    in the subnet where zone a's NAT gateway serves now."""
    world = _base(sim)
    ec2, zone = sim.ec2, world.zones[0]
    address = ec2.allocate_address(Domain="vpc")
    old = ec2.create_nat_gateway(SubnetId=zone.public_subnet_id,
                                 AllocationId=address["AllocationId"])["NatGateway"]
    rtb = _table(ec2, world, "leftover", NatGatewayId=old["NatGatewayId"])
    ec2.delete_nat_gateway(NatGatewayId=old["NatGatewayId"])
    ec2.release_address(AllocationId=address["AllocationId"])
    world.refused = [rtb]
    return world


def shared_table(sim: Any) -> World:
    """Zone a's private table also serves a subnet of zone b, listed first."""
    world = _base(sim)
    ec2, a, b = sim.ec2, world.zones[0], world.zones[1]
    rtb = _zone_table(world, 0)
    subnet = _subnet(ec2, world, b.name, 0, "shared-b")
    # Associations are listed in the order they were made: move zone a's
    # own subnet behind the new one.
    table = routes.vpc_route_tables(ec2, world.vpc_id)
    assoc = next(x["RouteTableAssociationId"] for t in table if t["RouteTableId"] == rtb
                 for x in t["Associations"] if x.get("SubnetId") == a.private_subnets[0].subnet_id)
    ec2.disassociate_route_table(AssociationId=assoc)
    ec2.associate_route_table(RouteTableId=rtb, SubnetId=subnet)
    ec2.associate_route_table(RouteTableId=rtb, SubnetId=a.private_subnets[0].subnet_id)
    world.address_changes = [(rtb, a.eip, b.eip)]
    return world


def cross_zone(sim: Any) -> World:
    """Zone c's private table goes out through zone a's NAT gateway."""
    world = _base(sim)
    rtb = _zone_table(world, 2)
    sim.ec2.replace_route(RouteTableId=rtb, DestinationCidrBlock=routes.DEFAULT_ROUTE,
                          NatGatewayId=world.zones[0].nat_gateway_id)
    world.address_changes = [(rtb, world.zones[0].eip, world.zones[2].eip)]
    return world


def zone_without_natgw(sim: Any) -> World:
    """Zones a and b have NAT gateways; zone c's private subnet goes out through b's."""
    world = _base(sim, zones=2)
    ec2 = sim.ec2
    zones = [z["ZoneName"] for z in ec2.describe_availability_zones()["AvailabilityZones"]]
    subnet = _subnet(ec2, world, zones[2], 0, "private-no-nat")
    rtb = _table(ec2, world, "private-no-nat", [subnet],
                 NatGatewayId=world.zones[1].nat_gateway_id)
    world.address_changes = [(rtb, world.zones[1].eip, world.zones[0].eip)]
    return world


def main_table(sim: Any) -> World:
    """The VPC's main route table sends 0.0.0.0/0 to zone a's NAT gateway, and a
    private subnet of zone a uses it (no table of its own)."""
    world = _base(sim)
    ec2, a = sim.ec2, world.zones[0]
    main = next(t["RouteTableId"] for t in routes.vpc_route_tables(ec2, world.vpc_id)
                if any(x.get("Main") for x in t["Associations"]))
    ec2.create_route(RouteTableId=main, DestinationCidrBlock=routes.DEFAULT_ROUTE,
                     NatGatewayId=a.nat_gateway_id)
    _subnet(ec2, world, a.name, 0, "private-main")
    # Before SNAT the first NAT gateway's routes go to the second one's, and
    # a table without subnets stays with the zone of the NAT gateway it uses.
    world.address_changes = [(main, a.eip, world.zones[1].eip)]
    return world


def hs_mode_1(sim: Any) -> World:
    """Four zones with hs_mode 1: only the first two NAT gateways are replaced."""
    world = _base(sim, zones=4)
    world.options = {"hs_mode": 1}
    world.address_changes = [(_zone_table(world, i), world.zones[i].eip, world.zones[0].eip)
                             for i in (2, 3)]
    return world


SHAPES: dict[str, Shape] = {s.name: s for s in [
    Shape("tidy", "one NAT gateway per zone, each zone's private table sends 0.0.0.0/0 to it "
          "(what `morvent sim` builds by default)", "ok", tidy),
    Shape("split-defaults", "every private table sends 0.0.0.0/1 and 128.0.0.0/1 (no "
          "0.0.0.0/0) to its zone's NAT gateway", "ok", split_defaults),
    Shape("split-defaults-one-zone", "as split-defaults, in zone b only", "ok",
          split_defaults_one_zone),
    Shape("partner-route", f"beside 0.0.0.0/0, a partner network {PARTNER_CIDR} goes to the "
          "zone's NAT gateway", "ok", partner_route),
    Shape("private-natgw-route", f"a private NAT gateway (ConnectivityType private) carries "
          f"{PRIVATE_PEER_CIDR} for every private table", "ok", private_natgw_route),
    Shape("secondary-first", "zone a's NAT gateway has a secondary Elastic IP, listed before "
          "its primary one", "ok", secondary_first),
    Shape("shared-table", "zone a's private table also serves a subnet of zone b (listed "
          "first)", "accept", shared_table),
    Shape("cross-zone", "zone c's private table goes out through zone a's NAT gateway",
          "accept", cross_zone),
    Shape("zone-without-natgw", "zone c has no NAT gateway; its private table uses zone b's",
          "accept", zone_without_natgw),
    Shape("main-table", "the main route table sends 0.0.0.0/0 to zone a's NAT gateway, a "
          "subnet without a table of its own uses it", "accept", main_table),
    Shape("hs-mode-1", "four zones with hs_mode 1: zones c and d keep their NAT gateways but "
          "their default routes go to the primary spoke", "accept", hs_mode_1),
    Shape("private-natgw-isolated", "an isolated subnet whose 0.0.0.0/0 goes to a private NAT "
          "gateway (no internet egress)", "refused", private_natgw_isolated),
    Shape("natgw-pending", "zone c's NAT gateway is still pending", "refused",
          _natgw_state("pending")),
    Shape("natgw-failed", "zone c's NAT gateway failed; zone c's table still routes to it",
          "refused", _natgw_state("failed")),
    Shape("blackhole-unused", "an unused table whose 0.0.0.0/0 leads to a NAT gateway deleted "
          "long ago (a blackhole)", "refused", blackhole_unused),
]}


def build_shape(sim: Any, name: str) -> World:
    """Build the shape ``name`` in ``sim`` (a started `SimulatedWorld`)."""
    try:
        shape = SHAPES[name]
    except KeyError:
        raise ValueError(f"no shape {name!r}; the shapes are {', '.join(SHAPES)}") from None
    world = shape.build(sim)
    world.shape = name
    return world

