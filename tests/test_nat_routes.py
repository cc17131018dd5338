"""Where each route to a NAT gateway ends, what the tool refuses, and the moves it makes
(morvent.lib.nat_routes), with the NAT gateway deletion that parks routes."""

import logging

import pytest

from aws_world import AwsWorld, roundtrip
from aws_world import aws  # noqa: F401 - fixtures
from morvent.lib import nat_routes
from morvent.lib.awsutil import AwsStepError
from morvent.lib.natgw import NatGwCmd, NatGwDeleteMemento, get_natgw_by_subnet, primary_first
from morvent.sim import ec2_facts

LOG = logging.getLogger("test")
ZONE_OF = {f"subnet-{p}{z}": f"z{z}" for z in "abcd" for p in ("", "p", "q")}


def _records(zones="abc"):
    return [{"nat_gw_id": f"nat-{z}", "eip": f"192.0.2.{i}", "subnet_id": f"subnet-{z}"}
            for i, z in enumerate(zones)]


def _table(rtb, subnets=(), main=False, **routes):
    """routes: destination (with _ for . and /) -> target id."""
    found = [{"DestinationCidrBlock": dest, ("GatewayId" if target.startswith("igw-") else
                                             "NatGatewayId"): target}
             for dest, target in routes.items()]
    associations = [{"SubnetId": s} for s in subnets] + ([{"Main": True}] if main else [])
    return {"RouteTableId": rtb, "Associations": associations, "Routes": found}


DEFAULT = "0.0.0.0/0"


@pytest.mark.parametrize("table, hs_mode, expected", [
    # A zone's own table: SNAT takes the default route to that zone's spoke.
    (_table("rtb-1", ["subnet-pb"], **{DEFAULT: "nat-b"}), 0, [(1, True, 1)]),
    # Split defaults and a partner network: the tool moves them to the spoke
    # that takes over their NAT gateway's address.
    (_table("rtb-1", ["subnet-pb"], **{"0.0.0.0/1": "nat-b", "203.0.113.0/24": "nat-c"}), 0,
     [(1, False, 1), (2, False, 2)]),
    # Routed to another zone's NAT gateway: SNAT files it under its own zone.
    (_table("rtb-1", ["subnet-pc"], **{DEFAULT: "nat-a"}), 0, [(0, True, 2)]),
    # Shared by two zones: the first subnet's zone decides.
    (_table("rtb-1", ["subnet-pb", "subnet-pa"], **{DEFAULT: "nat-a"}), 0, [(0, True, 1)]),
    # A zone without a NAT gateway goes to the primary.
    (_table("rtb-1", ["subnet-pd"], **{DEFAULT: "nat-b"}), 0, [(1, True, 0)]),
    # No subnet (main table): the zone of the NAT gateway it uses when SNAT
    # comes on -- the first NAT gateway's routes use the second's by then.
    (_table("rtb-1", main=True, **{DEFAULT: "nat-a"}), 0, [(0, True, 1)]),
    (_table("rtb-1", **{DEFAULT: "nat-c"}), 0, [(2, True, 2)]),
    # hs_mode 1: the third zone's default goes to the primary, its other
    # routes stay on its NAT gateway, which is not replaced.
    (_table("rtb-1", ["subnet-pc"], **{DEFAULT: "nat-c", "0.0.0.0/1": "nat-c"}), 1,
     [(2, True, 0), (2, False, None)]),
    # A public table's route to a NAT gateway is the tool's to move.
    (_table("rtb-1", ["subnet-a"], **{DEFAULT: "igw-1", "203.0.113.0/24": "nat-a"}), 0,
     [(0, False, 0)]),
])
def test_where_each_route_ends(table, hs_mode, expected):
    records = _records()
    nat_routes.map_routes([table], records, ZONE_OF, hs_mode)
    found = [(i, r["snat"], r["spoke"]) for i, record in enumerate(records)
             for r in record["routes"]]
    assert found == expected


@pytest.mark.parametrize("table, natgw, said", [
    (_table("rtb-x", ["subnet-pa"], **{DEFAULT: "nat-p"}),
     {"NatGatewayId": "nat-p", "ConnectivityType": "private", "State": "available"},
     "private NAT gateway nat-p"),
    (_table("rtb-x", **{DEFAULT: "nat-old"}), {"NatGatewayId": "nat-old", "State": "deleted"},
     "a blackhole"),
    (_table("rtb-x", ["subnet-pc"], **{DEFAULT: "nat-f"}),
     {"NatGatewayId": "nat-f", "State": "failed"}, "NAT gateway nat-f (failed), a blackhole"),
    (_table("rtb-x", ["subnet-pa"], **{DEFAULT: "tgw-1"}), None, "goes to tgw-1, not to a NAT"),
])
def test_refused_default_routes_name_their_table(table, natgw, said):
    found = nat_routes.refusals([table], [natgw] if natgw else [], _records())
    assert len(found) == 1
    assert found[0].startswith("rtb-x: ") and said in found[0]


def test_refusals_of_pending_and_nat64_and_none_for_what_the_run_owns():
    tables = [
        {"RouteTableId": "rtb-6", "Associations": [], "Routes": [
            {"DestinationIpv6CidrBlock": "64:ff9b::/96", "NatGatewayId": "nat-a"}]},
        # An earlier run's spoke gateway, and a public table, are no refusals.
        {"RouteTableId": "rtb-s", "Associations": [], "Routes": [
            {"DestinationCidrBlock": DEFAULT, "InstanceId": "i-spoke",
             "NetworkInterfaceId": "eni-1"}]},
        _table("rtb-p", ["subnet-a"], **{DEFAULT: "igw-1"}),
    ]
    natgws = [{"NatGatewayId": "nat-new", "State": "pending", "SubnetId": "subnet-d"},
              # a NAT gateway being put back in a record's subnet is the run's own
              {"NatGatewayId": "nat-back", "State": "pending", "SubnetId": "subnet-a"}]
    found = nat_routes.refusals(tables, natgws, _records(), spokes=["i-spoke"], resumed=True)
    assert len(found) == 2
    assert found[0].startswith("NAT gateway nat-new in subnet-d is still pending")
    assert found[1].startswith("rtb-6: 64:ff9b::/96 (IPv6, NAT64)")


def test_address_changes_say_before_after_and_why():
    tables = [_table("rtb-c", ["subnet-pc"], **{DEFAULT: "nat-a", "0.0.0.0/1": "nat-a"}),
              _table("rtb-b", ["subnet-pb"], **{DEFAULT: "nat-b"})]
    records = _records()
    nat_routes.map_routes(tables, records, ZONE_OF, 0)
    (change,) = nat_routes.address_changes(records, tables, ZONE_OF, 0)
    # The split half stays with nat-a's address; only the default route moves.
    assert (change.route_table_id, change.destinations, change.before, change.after) == \
        ("rtb-c", [DEFAULT], "192.0.2.0", "192.0.2.2")
    assert "zc" in change.reason and change.to_dict()["zone"] == "zc"


def test_primary_address_comes_first_whatever_ec2_lists():
    natgw = {"NatGatewayAddresses": [{"PublicIp": "2", "IsPrimary": False},
                                     {"PublicIp": "1", "IsPrimary": True}]}
    assert [a["PublicIp"] for a in primary_first(natgw)["NatGatewayAddresses"]] == ["1", "2"]
    assert primary_first({"NatGatewayAddresses": []}) == {"NatGatewayAddresses": []}


# -- moves on an EC2 stand-in -----------------------------------------------------------

@pytest.fixture
def facts():
    with ec2_facts.patched():
        yield


def _split_world(world):
    """Zone a's private table: 0.0.0.0/1 and 128.0.0.0/1 through its NAT gateway."""
    a = world.zones[0]
    rtb = a.route_tables[0]
    world.ec2.delete_route(RouteTableId=rtb, DestinationCidrBlock=DEFAULT)
    for half in ("0.0.0.0/1", "128.0.0.0/1"):
        world.ec2.create_route(RouteTableId=rtb, DestinationCidrBlock=half,
                               NatGatewayId=a.nat_gw_id)
    records = [z.record() for z in world.zones]
    tables = world.ec2.describe_route_tables(
        Filters=[{"Name": "vpc-id", "Values": [world.vpc_id]}])["RouteTables"]
    zone_of = {s["SubnetId"]: s["AvailabilityZone"] for s in world.ec2.describe_subnets()[
        "Subnets"]}
    nat_routes.map_routes(tables, records, zone_of, 0)
    return rtb, records


def _targets(world, rtb):
    table = world.ec2.describe_route_tables(RouteTableIds=[rtb])["RouteTables"][0]
    return {r["DestinationCidrBlock"]: r.get("InstanceId") or r.get("NatGatewayId")
            for r in table["Routes"] if r.get("GatewayId") != "local"}


def test_park_settle_and_check_move_split_routes_without_a_gap(aws, facts):
    world = AwsWorld.build(zones=2)
    rtb, records = _split_world(world)
    a, b = world.zones
    # Outside a run, the routes go to another NAT gateway before the deletion.
    moves = nat_routes.park(world.ec2, world.vpc_id, a.nat_gw_id, records, 0, LOG)
    assert _targets(world, rtb) == {"0.0.0.0/1": b.nat_gw_id, "128.0.0.0/1": b.nat_gw_id}
    world.ec2.delete_nat_gateway(NatGatewayId=a.nat_gw_id)
    spoke = world.spoke(a)
    assert nat_routes.check_routes(world.ec2, world.vpc_id, records) == [
        f"{rtb} 0.0.0.0/1 goes to {b.nat_gw_id}, not to the spoke gateway with {a.eip} "
        f"({spoke['instance_id']}) as planned",
        f"{rtb} 128.0.0.0/1 goes to {b.nat_gw_id}, not to the spoke gateway with {a.eip} "
        f"({spoke['instance_id']}) as planned"]
    nat_routes.settle_and_check(world.ec2, world.vpc_id, records, LOG, "a")
    assert set(_targets(world, rtb).values()) == {spoke["instance_id"]}
    assert len(moves) == 2


def test_a_failed_check_puts_the_settled_routes_back(aws, facts):
    world = AwsWorld.build(zones=2)
    rtb, records = _split_world(world)
    a, b = world.zones
    nat_routes.park(world.ec2, world.vpc_id, a.nat_gw_id, records, 0, LOG)
    world.ec2.delete_nat_gateway(NatGatewayId=a.nat_gw_id)
    world.spoke(a)
    # Zone b's default route went away, which the plan did not say.
    world.ec2.delete_route(RouteTableId=b.route_tables[0], DestinationCidrBlock=DEFAULT)
    with pytest.raises(AwsStepError, match="not as planned: .* is gone"):
        nat_routes.settle_and_check(world.ec2, world.vpc_id, records, LOG, "b")
    assert _targets(world, rtb) == {"0.0.0.0/1": b.nat_gw_id, "128.0.0.0/1": b.nat_gw_id}


def test_nothing_is_deleted_while_a_route_has_nowhere_to_go(aws, facts, tmp_path):
    world = AwsWorld.build(zones=1)
    zone = world.zones[0]
    with pytest.raises(AwsStepError, match="still uses it"):
        NatGwCmd(world.ec2, world.vpc_id, str(tmp_path)).delete(zone.record())
    assert world.state(zone.nat_gw_id) == "available"
    assert world.default_target(zone.route_tables[0]) == ("NatGatewayId", zone.nat_gw_id)


@pytest.mark.parametrize("meanwhile, back", [("parked", True), ("gone", True),
                                              ("elsewhere", False)])
def test_putting_a_nat_gateway_back_takes_its_routes_from_where_they_went(
        aws, facts, tmp_path, meanwhile, back):
    world = AwsWorld.build(zones=2)
    rtb, records = _split_world(world)
    a, b = world.zones
    memento = NatGwCmd(world.ec2, world.vpc_id, str(tmp_path)).delete(records[0])
    assert memento.parked == [[rtb, "DestinationCidrBlock", half, "NatGatewayId",
                               b.nat_gw_id] for half in ("0.0.0.0/1", "128.0.0.0/1")]
    other = world.spoke(b, take_eip=False)["instance_id"]
    if meanwhile != "parked":
        world.ec2.replace_route(RouteTableId=rtb, DestinationCidrBlock="0.0.0.0/1",
                                InstanceId=other)
        if meanwhile == "gone":
            world.ec2.terminate_instances(InstanceIds=[other])

    roundtrip(memento).restore()

    new = get_natgw_by_subnet(world.ec2, a.public_subnet, world.vpc_id)[0]["NatGatewayId"]
    assert _targets(world, rtb) == {"0.0.0.0/1": new if back else other,
                                    "128.0.0.0/1": new}


def test_an_undo_record_of_an_earlier_version_still_restores(aws, facts):
    world = AwsWorld.build(zones=2)
    zone = world.zones[0]
    rtb = zone.route_tables[0]
    # What an earlier version stored: no parked routes; the route stayed on
    # the deleted gateway.
    stored = NatGwDeleteMemento.make(
        vpc_id=world.vpc_id, subnet_id=zone.public_subnet, subnet_cidr=zone.public_cidr,
        nat_gw_id=zone.nat_gw_id, eip=zone.eip, allocation_id=zone.allocation_id,
        secondary_allocation_ids=[], private_ip=None, network_interface_ids=[], tags=[],
        routes=[[rtb, "DestinationCidrBlock", DEFAULT]], made_in_dry_run=False)
    world.ec2.delete_nat_gateway(NatGatewayId=zone.nat_gw_id)
    roundtrip(stored).restore()
    new = get_natgw_by_subnet(world.ec2, zone.public_subnet, world.vpc_id)[0]
    assert world.default_target(rtb) == ("NatGatewayId", new["NatGatewayId"])
