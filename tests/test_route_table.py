import json
import logging
import os

import pytest

from aws_world import AwsWorld, roundtrip
from aws_world import aws, world  # noqa: F401 - fixtures
from morvent.commands.history import CommandHistory
from morvent.core.Globals import Globals
from morvent.lib.awsutil import AwsStepError
from morvent.lib.gateway_size import DetermineGwSizeCmd
from morvent.lib.natgw import NatGwCmd, get_existing_natgws
from morvent.lib.route_table import NatGwTrafficCmd, SnapshotRTCmd, backupAllRtbs
from morvent.lib.test import Test, TestCmd


def test_backup_writes_every_table_and_never_overwrites(world, tmp_path):
    ids = [z.nat_gw_id for z in world.zones]
    backupAllRtbs(world.ec2, str(tmp_path), world.vpc_id, "before migration", ids)
    backupAllRtbs(world.ec2, str(tmp_path), world.vpc_id, "before migration", ids)

    files = sorted(tmp_path.glob(f"route-tables-{world.vpc_id}-*-before-migration*.json"))
    assert len(files) == 2
    saved = json.loads(files[0].read_text())
    assert {t["RouteTableId"] for t in saved["route_tables"]} == set(world.snapshot_defaults())
    assert saved["route_tables_using_nat_gateway"] == {
        z.nat_gw_id: z.route_tables for z in world.zones}


def _replace_first_zone(world, tmp_path):
    """What a run does for the first NAT gateway, up to its deletion."""
    infos = [z.record() for z in world.zones]
    s1 = SnapshotRTCmd(world.ec2, str(tmp_path), world.vpc_id, infos, "bucket", tag="s1").execute()
    first, second = world.zones
    move = NatGwTrafficCmd(world.ec2, first.nat_gw_id, first.public_subnet, world.vpc_id,
                           str(tmp_path), tag="s1").moveTraffic(second.public_subnet)
    delete = NatGwCmd(world.ec2, world.vpc_id, str(tmp_path)).delete(first.record())
    return [s1, move, delete]


def test_rollback_of_first_zone_in_a_later_process(world, tmp_path):
    before = world.snapshot_defaults()
    first, second = world.zones
    mementos = _replace_first_zone(world, tmp_path)
    assert world.default_target(first.route_tables[0]) == ("NatGatewayId", second.nat_gw_id)

    for memento in reversed(mementos):
        roundtrip(memento).restore()

    new_id = world.live_natgws(first.public_subnet)[0]["NatGatewayId"]
    expected = dict(before)
    expected[first.route_tables[0]] = ("NatGatewayId", new_id)
    assert world.snapshot_defaults() == expected


def test_move_traffic_moves_every_route_of_the_gateway_and_back(world, tmp_path):
    first, second = world.zones
    rtb = first.route_tables[0]
    world.ec2.create_route(RouteTableId=rtb, DestinationCidrBlock="192.0.2.0/24",
                           NatGatewayId=first.nat_gw_id)
    memento = NatGwTrafficCmd(world.ec2, first.nat_gw_id, first.public_subnet, world.vpc_id,
                              str(tmp_path)).moveTraffic(second.public_subnet)

    def targets():
        table = world.ec2.describe_route_tables(RouteTableIds=[rtb])["RouteTables"][0]
        return {r.get("DestinationCidrBlock"): r.get("NatGatewayId") for r in table["Routes"]
                if r.get("NatGatewayId")}

    assert targets() == {"0.0.0.0/0": second.nat_gw_id, "192.0.2.0/24": second.nat_gw_id}
    assert world.default_target(second.route_tables[0]) == ("NatGatewayId", second.nat_gw_id)
    roundtrip(memento).restore()
    assert targets() == {"0.0.0.0/0": first.nat_gw_id, "192.0.2.0/24": first.nat_gw_id}


def test_move_traffic_needs_a_gateway_in_the_target_subnet(world, tmp_path):
    first, second = world.zones
    before = world.snapshot_defaults()
    with pytest.raises(AwsStepError, match=f"no available NAT gateway in {second.private_subnets[0]}"):
        NatGwTrafficCmd(world.ec2, first.nat_gw_id, first.public_subnet, world.vpc_id,
                        str(tmp_path)).moveTraffic(second.private_subnets[0])
    assert world.snapshot_defaults() == before


@pytest.mark.parametrize("target", ["instance", "interface"])
def test_snapshot_restores_spoke_targets_by_id(world, tmp_path, target):
    zone = world.zones[0]
    rtb = zone.route_tables[0]
    spoke = world.spoke(zone, take_eip=False)
    key, value = (("InstanceId", spoke["instance_id"]) if target == "instance"
                  else ("NetworkInterfaceId", spoke["eni"]))
    world.ec2.replace_route(RouteTableId=rtb, DestinationCidrBlock="0.0.0.0/0", **{key: value})
    memento = SnapshotRTCmd(world.ec2, str(tmp_path), world.vpc_id, [], None, tag="s2").execute()
    world.ec2.replace_route(RouteTableId=rtb, DestinationCidrBlock="0.0.0.0/0",
                            NatGatewayId=zone.nat_gw_id)

    roundtrip(memento).restore()

    assert world.default_target(rtb) == (key, value)


@pytest.mark.parametrize("nat_in_subnet", [True, False])
def test_snapshot_with_a_gone_interface(world, tmp_path, caplog, nat_in_subnet):
    """A vanished spoke interface is replaced by the NAT gateway now in its
    subnet; without one the route is left alone rather than blackholed."""
    zone = world.zones[0]
    rtb = zone.route_tables[0]
    eni = world.ec2.create_network_interface(SubnetId=zone.public_subnet)
    eni_id = eni["NetworkInterface"]["NetworkInterfaceId"]
    world.ec2.replace_route(RouteTableId=rtb, DestinationCidrBlock="0.0.0.0/0",
                            NetworkInterfaceId=eni_id)
    memento = SnapshotRTCmd(world.ec2, str(tmp_path), world.vpc_id, [], None).execute()
    world.ec2.replace_route(RouteTableId=rtb, DestinationCidrBlock="0.0.0.0/0",
                            GatewayId=world.igw)
    world.ec2.delete_network_interface(NetworkInterfaceId=eni_id)
    if not nat_in_subnet:
        world.ec2.delete_nat_gateway(NatGatewayId=zone.nat_gw_id)

    with caplog.at_level(logging.INFO, logger="morvent.lib.route_table"):
        roundtrip(memento).restore()

    if nat_in_subnet:
        assert world.default_target(rtb) == ("NatGatewayId", zone.nat_gw_id)
    else:
        assert world.default_target(rtb) == ("GatewayId", world.igw)
        warnings = [r.getMessage() for r in caplog.records if r.levelno == logging.WARNING]
        assert any(eni_id in m and "left as it is" in m for m in warnings)


def test_snapshot_restore_repoints_every_route_looking_once_per_target(aws, tmp_path,
                                                                       monkeypatch):
    """Both NAT gateways put back under new ids (as a revert does): every
    table of each zone follows its zone's new gateway, while the tables are
    described once and each recorded gateway is resolved once, not per route."""
    w = AwsWorld.build(zones=2, private_per_zone=3)
    memento = SnapshotRTCmd(w.ec2, str(tmp_path), w.vpc_id, [z.record() for z in w.zones],
                            None).execute()
    new_ids = {}
    for zone in w.zones:
        w.ec2.delete_nat_gateway(NatGatewayId=zone.nat_gw_id)
        address = w.ec2.allocate_address(Domain="vpc")
        new_ids[zone.name] = w.ec2.create_nat_gateway(
            SubnetId=zone.public_subnet,
            AllocationId=address["AllocationId"])["NatGateway"]["NatGatewayId"]
    before = w.snapshot_defaults()
    client = AwsWorld().ec2
    sent = []
    client.meta.events.register("after-call.ec2", lambda model, **kw: sent.append(model.name))

    rebuilt = roundtrip(memento)
    monkeypatch.setattr(Globals, "aws_client_manager", FakeManager(client))
    rebuilt.restore()

    expected = dict(before)
    for zone in w.zones:
        for rtb in zone.route_tables:
            expected[rtb] = ("NatGatewayId", new_ids[zone.name])
    assert w.snapshot_defaults() == expected
    assert sent.count("ReplaceRoute") == 6
    assert sent.count("DescribeRouteTables") == 1
    # Per recorded gateway: is it alive, and if not, which one is in its subnet.
    assert sent.count("DescribeNatGateways") == 2 * len(w.zones)


class FakeManager:
    def __init__(self, ec2):
        self.ec2 = ec2

    def getEc2Client(self):
        return self.ec2


def test_snapshot_leaves_new_default_routes_alone(world, tmp_path, caplog):
    extra = world.ec2.create_route_table(VpcId=world.vpc_id)["RouteTable"]["RouteTableId"]
    memento = SnapshotRTCmd(world.ec2, str(tmp_path), world.vpc_id, [], None).execute()
    world.ec2.create_route(RouteTableId=extra, DestinationCidrBlock="0.0.0.0/0",
                           NatGatewayId=world.zones[1].nat_gw_id)
    with caplog.at_level(logging.WARNING, logger="morvent.lib.route_table"):
        roundtrip(memento).restore()
    assert world.default_target(extra) == ("NatGatewayId", world.zones[1].nat_gw_id)
    assert any(extra in r.getMessage() for r in caplog.records)
    assert list(tmp_path.glob(f"route-snapshot-{world.vpc_id}-s1-*.json"))


@pytest.mark.parametrize("when", ["execute", "restore"])
def test_dry_run_moves_nothing(world, tmp_path, monkeypatch, when):
    first, second = world.zones
    before = world.snapshot_defaults()
    if when == "execute":
        monkeypatch.setattr(Globals, "dry_run", True)
    snap = SnapshotRTCmd(world.ec2, str(tmp_path), world.vpc_id, [], None).execute()
    move = NatGwTrafficCmd(world.ec2, first.nat_gw_id, first.public_subnet, world.vpc_id,
                           str(tmp_path)).moveTraffic(second.public_subnet)
    moved = world.snapshot_defaults()
    if when == "restore":
        monkeypatch.setattr(Globals, "dry_run", True)
    for memento in (move, snap):
        roundtrip(memento).restore()
    assert world.snapshot_defaults() == (before if when == "execute" else moved)


class _SpokeMemento:
    """Stands in for a spoke gateway's memento: deleting the spoke frees
    its Elastic IP address."""

    def __init__(self, world, spoke):
        self.instance_id, self.allocation_id = spoke["instance_id"], spoke["allocation_id"]
        self.ec2 = world.ec2

    def restore(self):
        self.ec2.terminate_instances(InstanceIds=[self.instance_id])
        address = self.ec2.describe_addresses(AllocationIds=[self.allocation_id])["Addresses"][0]
        self.ec2.disassociate_address(AssociationId=address["AssociationId"])


def test_whole_replacement_then_revert_in_a_later_process(aws, tmp_path):
    """The collaborators in the order a run calls them, with instances for
    spoke gateways that the controller points the zone's tables at; then
    every memento restored newest first after a JSON round trip."""
    world = AwsWorld.build(zones=3)
    before = world.snapshot_defaults()
    folder, ec2, vpc = str(tmp_path), world.ec2, world.vpc_id
    inp, out = str(tmp_path / "in.json"), str(tmp_path / "out.json")
    natgws = get_existing_natgws(ec2, None, vpc)
    backupAllRtbs(ec2, folder, vpc, None, [n["NatGatewayId"] for n in natgws])
    sizing = DetermineGwSizeCmd(ec2, world.cw, 3, natgws)
    sizing.execute()
    # As in a run: the records the steps see are the recorded discovery's.
    CommandHistory.init(folder, vpc)
    CommandHistory.log_discover_natgw_cmd(sizing.getNatGwInfo())
    infos = CommandHistory.get_discovered_natgws()
    zones = {z.public_subnet: z for z in world.zones}
    history = [TestCmd(inp, out, [{"nat_gw_id": x["nat_gw_id"], "gw_name": x["nat_gw_id"],
                                   "gw_public_ip": x["eip"], "gw_private_ip": x["private_ip"],
                                   "gw_subnet_id": x["subnet_id"]} for x in infos]).execute()]

    def replace_with_spoke(info):
        zone = zones[info["subnet_id"]]
        history.append(NatGwCmd(ec2, vpc, folder).delete(info))
        spoke = world.spoke(zone)
        spoke["allocation_id"] = zone.allocation_id
        history.append(_SpokeMemento(world, spoke))
        return zone, spoke

    history.append(SnapshotRTCmd(ec2, folder, vpc, infos, "bucket", tag="s1").execute())
    history.append(NatGwTrafficCmd(ec2, infos[0]["nat_gw_id"], infos[0]["subnet_id"], vpc,
                                   folder).moveTraffic(infos[1]["subnet_id"]))
    for i, info in enumerate(infos):
        zone, spoke = replace_with_spoke(info)
        if i == 0:
            history.append(SnapshotRTCmd(ec2, folder, vpc, infos, "bucket", tag="s2").execute())
        for rtb in zone.route_tables:  # what the controller does for a new spoke
            ec2.replace_route(RouteTableId=rtb, DestinationCidrBlock="0.0.0.0/0",
                              InstanceId=spoke["instance_id"])
        Test.generate_test_config(inp, out, {"gw_name": f"spoke-{i}", "gw_public_ip": zone.eip,
                                             "gw_private_ip": spoke["private_ip"],
                                             "gw_subnet_id": zone.public_subnet,
                                             "gw_subnet_cidr": zone.public_cidr})
        assert Test.run_test() is True

    for memento in reversed(history):
        if isinstance(memento, _SpokeMemento):
            memento.restore()
        else:
            roundtrip(memento).restore()

    expected = dict(before)
    for zone in world.zones:
        live = world.live_natgws(zone.public_subnet)
        assert len(live) == 1
        assert live[0]["NatGatewayAddresses"][0]["AllocationId"] == zone.allocation_id
        for rtb in zone.route_tables:
            expected[rtb] = ("NatGatewayId", live[0]["NatGatewayId"])
    assert world.snapshot_defaults() == expected
    assert not os.path.exists(inp)


@pytest.mark.parametrize("revived", [False, True])
def test_a_route_recorded_as_a_blackhole_is_never_restored_onto_a_live_gateway(
        aws, tmp_path, revived):
    from morvent.sim import ec2_facts

    with ec2_facts.patched():
        world = AwsWorld.build(zones=2)
        ec2, zone = world.ec2, world.zones[0]
        # An unused table whose NAT gateway was deleted long ago, in the subnet
        # where zone a's NAT gateway serves now.
        address = ec2.allocate_address(Domain="vpc")
        old = ec2.create_nat_gateway(SubnetId=zone.public_subnet,
                                     AllocationId=address["AllocationId"])["NatGateway"]
        rtb = ec2.create_route_table(VpcId=world.vpc_id)["RouteTable"]["RouteTableId"]
        ec2.create_route(RouteTableId=rtb, DestinationCidrBlock="0.0.0.0/0",
                         NatGatewayId=old["NatGatewayId"])
        ec2.delete_nat_gateway(NatGatewayId=old["NatGatewayId"])
        memento = SnapshotRTCmd(ec2, str(tmp_path), world.vpc_id, [], "bucket").execute()
        if revived:  # as SNAT and its undo would leave it
            ec2.replace_route(RouteTableId=rtb, DestinationCidrBlock="0.0.0.0/0",
                              NatGatewayId=zone.nat_gw_id)

        roundtrip(memento).restore()

        table = ec2.describe_route_tables(RouteTableIds=[rtb])["RouteTables"][0]
        default = [r for r in table["Routes"] if r.get("DestinationCidrBlock") == "0.0.0.0/0"]
        if revived:
            assert default == []  # EC2 takes no route to the gone gateway
        else:
            assert [(r["NatGatewayId"], r["State"]) for r in default] == \
                [(old["NatGatewayId"], "blackhole")]
        assert world.default_target(zone.route_tables[0]) == ("NatGatewayId", zone.nat_gw_id)


@pytest.mark.parametrize("then", ["resume", "revert"])
def test_routes_a_stopped_traffic_move_moved_without_a_record_come_back(aws, tmp_path, then):
    """A traffic move stopped after its first route: the run started again
    records that route too; a revert instead sends it home at its last step."""
    world = AwsWorld.build(zones=2)
    ec2, vpc, folder = world.ec2, world.vpc_id, str(tmp_path)
    a, b = world.zones
    rtb = a.route_tables[0]
    ec2.create_route(RouteTableId=rtb, DestinationCidrBlock="198.51.100.0/24",
                     NatGatewayId=a.nat_gw_id)
    natgws = get_existing_natgws(ec2, None, vpc)
    CommandHistory.init(folder, vpc)
    CommandHistory.log_discover_natgw_cmd(
        DetermineGwSizeCmd(ec2, world.cw, 2, natgws).getNatGwInfo())
    infos = CommandHistory.get_discovered_natgws()
    s1 = SnapshotRTCmd(ec2, folder, vpc, infos, "bucket", tag="s1").execute()
    ec2.replace_route(RouteTableId=rtb, DestinationCidrBlock="198.51.100.0/24",
                      NatGatewayId=b.nat_gw_id)  # the stopped attempt's first change

    undo = [s1]
    if then == "resume":
        moved = NatGwTrafficCmd(ec2, a.nat_gw_id, a.public_subnet, vpc, folder).moveTraffic(
            b.public_subnet)
        assert sorted(r[2] for r in moved.routes) == ["0.0.0.0/0", "198.51.100.0/24"]
        undo.append(moved)
    for memento in reversed(undo):
        roundtrip(memento).restore()

    table = ec2.describe_route_tables(RouteTableIds=[rtb])["RouteTables"][0]
    assert {r["DestinationCidrBlock"]: r.get("NatGatewayId") for r in table["Routes"]
            if r.get("NatGatewayId")} == {"0.0.0.0/0": a.nat_gw_id,
                                          "198.51.100.0/24": a.nat_gw_id}
