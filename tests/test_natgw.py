import logging

import pytest

from aws_world import AwsWorld, roundtrip
from aws_world import aws, world  # noqa: F401 - fixtures
from morvent.core.Globals import Globals
from morvent.lib import natgw
from morvent.lib.awsutil import AwsStepError, WaitTimeout
from morvent.lib.gateway_size import DetermineGwSizeCmd
from morvent.lib.natgw import NatGwCmd, get_existing_natgws, get_natgw_by_subnet


@pytest.mark.parametrize("wanted", [None, [1, 2]])
def test_existing_natgws_sorted_by_zone_and_filtered(aws, wanted):
    w = AwsWorld.build(zone_order=[2, 0, 1])
    other = AwsWorld.build(zones=1)  # another VPC's gateway never shows up
    by_zone = sorted(w.zones, key=lambda z: z.name)
    # A deleted gateway of the VPC is left out too.
    w.ec2.delete_nat_gateway(NatGatewayId=by_zone[0].nat_gw_id)
    ids = None if wanted is None else [by_zone[i].nat_gw_id for i in wanted]

    found = get_existing_natgws(w.ec2, ids, w.vpc_id)

    assert [n["NatGatewayId"] for n in found] == [z.nat_gw_id for z in by_zone[1:]]
    assert other.zones[0].nat_gw_id not in [n["NatGatewayId"] for n in found]


def test_natgw_by_subnet_lists_only_live_gateways(world):
    zone = world.zones[0]
    assert [n["NatGatewayId"] for n in get_natgw_by_subnet(
        world.ec2, zone.public_subnet, world.vpc_id)] == [zone.nat_gw_id]
    world.ec2.delete_nat_gateway(NatGatewayId=zone.nat_gw_id)
    assert get_natgw_by_subnet(world.ec2, zone.public_subnet, world.vpc_id) == []
    assert get_natgw_by_subnet(world.ec2, zone.private_subnets[0], world.vpc_id) == []


@pytest.mark.parametrize("already_gone", [False, True])
def test_delete_then_restore_in_a_later_process(world, tmp_path, already_gone):
    zone = world.zones[0]
    record = zone.record()
    if already_gone:
        # A resumed run: the gateway went away before its memento was stored.
        world.ec2.delete_nat_gateway(NatGatewayId=zone.nat_gw_id)
        assoc = world.address(zone.eip)["AssociationId"]
        world.ec2.disassociate_address(AssociationId=assoc)

    memento = NatGwCmd(world.ec2, world.vpc_id, str(tmp_path)).delete(record)

    assert world.state(zone.nat_gw_id) == "deleted"
    assert not world.address(zone.eip).get("AssociationId"), "EIP must be free for the spoke"
    assert memento.allocation_id == zone.allocation_id
    assert memento.routes == [[zone.route_tables[0], "DestinationCidrBlock", "0.0.0.0/0"]]

    rebuilt = roundtrip(memento)
    rebuilt.restore()

    live = world.live_natgws(zone.public_subnet)
    assert len(live) == 1
    new = live[0]
    assert new["NatGatewayId"] != zone.nat_gw_id
    assert new["NatGatewayAddresses"][0]["AllocationId"] == zone.allocation_id
    assert world.default_target(zone.route_tables[0]) == ("NatGatewayId", new["NatGatewayId"])
    # The other zone was not touched.
    other = world.zones[1]
    assert world.default_target(other.route_tables[0]) == ("NatGatewayId", other.nat_gw_id)

    rebuilt.restore()  # a second restore (a revert after a rollback) creates nothing
    assert [n["NatGatewayId"] for n in world.live_natgws(zone.public_subnet)] == \
        [new["NatGatewayId"]]


@pytest.mark.parametrize("damage", ["subnet", "vpc"])
def test_delete_refuses_a_gateway_outside_the_record(world, tmp_path, damage):
    zone, other = world.zones
    record = zone.record()
    if damage == "subnet":
        record["nat_gw_id"] = other.nat_gw_id
        vpc_id = world.vpc_id
    else:
        vpc_id = "vpc-0123456789abcdef0"
    with pytest.raises(AwsStepError, match="refusing to delete"):
        NatGwCmd(world.ec2, vpc_id, str(tmp_path)).delete(record)
    assert world.state(zone.nat_gw_id) == world.state(other.nat_gw_id) == "available"


def test_restore_keeps_name_tag(world, tmp_path):
    zone = world.zones[1]
    memento = NatGwCmd(world.ec2, world.vpc_id, str(tmp_path)).delete(zone.record())
    roundtrip(memento).restore()
    new = world.live_natgws(zone.public_subnet)[0]
    assert {"Key": "Name", "Value": f"nat-{zone.name}"} in new["Tags"]
    assert (tmp_path / f"natgw-{zone.nat_gw_id}.json").exists()


@pytest.mark.parametrize("when", ["delete", "restore"])
def test_dry_run_changes_nothing(world, tmp_path, monkeypatch, caplog, when):
    zone = world.zones[0]
    before = world.snapshot_defaults()
    if when == "delete":
        monkeypatch.setattr(Globals, "dry_run", True)
    with caplog.at_level(logging.INFO, logger="morvent.lib.natgw"):
        memento = NatGwCmd(world.ec2, world.vpc_id, str(tmp_path)).delete(zone.record())
        if when == "restore":
            monkeypatch.setattr(Globals, "dry_run", True)
        roundtrip(memento).restore()
    if when == "delete":
        assert world.state(zone.nat_gw_id) == "available"
        assert world.snapshot_defaults() == before
    else:
        assert world.live_natgws(zone.public_subnet) == []
    assert any("would" in r.getMessage() or "dry run" in r.getMessage() for r in caplog.records)


def test_restore_waits_for_eip_held_by_a_spoke_and_names_it(world, tmp_path, monkeypatch):
    zone = world.zones[0]
    memento = NatGwCmd(world.ec2, world.vpc_id, str(tmp_path)).delete(zone.record())
    spoke = world.spoke(zone)  # the spoke gateway has not let go of the address
    monkeypatch.setattr(natgw, "EIP_RELEASE_TIMEOUT", 0)
    with pytest.raises(WaitTimeout, match=spoke["eni"]) as raised:
        roundtrip(memento).restore()
    assert world.live_natgws(zone.public_subnet) == []
    # One line: who holds it, and what to do when it is an unrecorded spoke gateway.
    message = str(raised.value)
    assert "\n" not in message and f"held by instance {spoke['instance_id']}" in message
    assert f"put back NAT gateway {zone.nat_gw_id}" in message
    assert "`morvent execute` records it" in message


def test_restore_without_allocation_is_a_clear_error(world, tmp_path):
    zone = world.zones[0]
    memento = NatGwCmd(world.ec2, world.vpc_id, str(tmp_path)).delete(zone.record())
    world.ec2.release_address(AllocationId=zone.allocation_id)
    state = memento.toDict()
    state["allocation_id"] = None
    with pytest.raises(AwsStepError, match="no longer allocated"):
        roundtrip(memento).restore()


class _StuckEc2:
    """Delegates to a real client but reports gateways in a fixed state."""

    def __init__(self, ec2, state):
        self._ec2, self._state = ec2, state

    def __getattr__(self, name):
        return getattr(self._ec2, name)

    def describe_nat_gateways(self, **kwargs):
        answer = self._ec2.describe_nat_gateways(**kwargs)
        for n in answer["NatGateways"]:
            n["State"] = self._state
            n["FailureMessage"] = "subnet has no free address"
        return answer


def test_delete_wait_is_bounded(world, tmp_path, monkeypatch):
    monkeypatch.setattr(natgw, "NATGW_DELETE_TIMEOUT", 0)
    stuck = _StuckEc2(world.ec2, "deleting")
    with pytest.raises(WaitTimeout, match="to be deleted"):
        NatGwCmd(stuck, world.vpc_id, str(tmp_path)).delete(world.zones[0].record())


def test_failed_new_gateway_is_reported(world, tmp_path, monkeypatch):
    zone = world.zones[0]
    memento = NatGwCmd(world.ec2, world.vpc_id, str(tmp_path)).delete(zone.record())
    rebuilt = roundtrip(memento)

    class Manager:
        def getEc2Client(self):
            ec2 = world.ec2
            real = ec2.create_nat_gateway

            def create(**kw):
                answer = real(**kw)
                answer["NatGateway"]["State"] = "pending"
                return answer

            stuck = _StuckEc2(ec2, "failed")
            stuck.create_nat_gateway = create
            # get_natgw_by_subnet must still see nothing live before creation.
            stuck.get_paginator = ec2.get_paginator
            return stuck

    monkeypatch.setattr(Globals, "aws_client_manager", Manager())
    with pytest.raises(AwsStepError, match="failed: subnet has no free address"):
        rebuilt.restore()


class _LostAnswerEc2(_StuckEc2):
    """Deletes for real, then fails as if the answer never came back."""

    def __init__(self, ec2):
        self._ec2 = ec2

    def describe_nat_gateways(self, **kwargs):
        return self._ec2.describe_nat_gateways(**kwargs)

    def delete_nat_gateway(self, **kwargs):
        self._ec2.delete_nat_gateway(**kwargs)
        raise natgw.ClientError({"Error": {"Code": "RequestTimeout", "Message": "lost"}},
                                "DeleteNatGateway")


@pytest.mark.parametrize("failure", ["answer lost", "address wait"])
def test_deletion_failing_half_way_puts_the_gateway_back(world, tmp_path, monkeypatch,
                                                         failure):
    # The caller records the step only when delete() returns; a gateway
    # deleted without a record could never be put back by a rollback.
    zone = world.zones[0]
    ec2 = world.ec2
    if failure == "answer lost":
        ec2, expected = _LostAnswerEc2(world.ec2), natgw.ClientError
    else:
        def stuck(*args, **kwargs):
            raise WaitTimeout("timed out waiting for the address")
        monkeypatch.setattr(NatGwCmd, "_wait_address", stuck)
        expected = WaitTimeout

    with pytest.raises(expected):
        NatGwCmd(ec2, world.vpc_id, str(tmp_path)).delete(zone.record())

    assert world.state(zone.nat_gw_id) == "deleted"
    (new,) = world.live_natgws(zone.public_subnet)
    assert new["NatGatewayAddresses"][0]["AllocationId"] == zone.allocation_id
    assert world.default_target(zone.route_tables[0]) == ("NatGatewayId", new["NatGatewayId"])


def test_deletion_refused_by_ec2_changes_nothing(world, tmp_path):
    zone = world.zones[0]

    class Refusing(_LostAnswerEc2):
        def delete_nat_gateway(self, **kwargs):
            raise natgw.ClientError({"Error": {"Code": "UnauthorizedOperation",
                                               "Message": "no"}}, "DeleteNatGateway")

    with pytest.raises(natgw.ClientError):
        NatGwCmd(Refusing(world.ec2), world.vpc_id, str(tmp_path)).delete(zone.record())
    assert [n["NatGatewayId"] for n in world.live_natgws(zone.public_subnet)] == [zone.nat_gw_id]


# -- look-ups answered from the discovery ---------------------------------------------

def _count_describes(ec2, what="DescribeNatGateways") -> list:
    seen = []
    ec2.meta.events.register(f"after-call.ec2.{what}", lambda **kw: seen.append(1))
    return seen


def test_lookups_right_after_the_discovery_send_nothing_and_answer_as_ec2(aws):
    w = AwsWorld.build(zones=3)
    expected = {z.public_subnet: get_natgw_by_subnet(w.ec2, z.public_subnet, w.vpc_id)
                for z in w.zones}
    describes = _count_describes(w.ec2)
    subnet_reads = _count_describes(w.ec2, "DescribeSubnets")
    natgws = get_existing_natgws(w.ec2, None, w.vpc_id)
    records = DetermineGwSizeCmd(w.ec2, w.cw, 3, natgws).getNatGwInfo()
    assert [r["subnet_cidr"] for r in records] == [z.public_cidr for z in w.zones]
    assert len(describes) == 1 and len(subnet_reads) == 1
    for zone in w.zones:
        assert get_natgw_by_subnet(w.ec2, zone.public_subnet, w.vpc_id) == \
            expected[zone.public_subnet]
    assert len(describes) == 1
    # Each subnet is answered once: the next look-up (a traffic move's,
    # just before it changes routes) asks EC2.
    get_natgw_by_subnet(w.ec2, w.zones[1].public_subnet, w.vpc_id)
    assert len(describes) == 2


@pytest.mark.parametrize("meanwhile", [
    "deleted through the client", "another VPC", "another client", "too late",
    "a NAT gateway command",
])
def test_lookups_ask_ec2_when_the_discovery_may_be_stale(aws, monkeypatch, tmp_path, meanwhile):
    w = AwsWorld.build(zones=2)
    zone = w.zones[0]
    get_existing_natgws(w.ec2, None, w.vpc_id)
    ec2, subnet, vpc = w.ec2, zone.public_subnet, w.vpc_id
    if meanwhile == "deleted through the client":
        w.ec2.delete_nat_gateway(NatGatewayId=zone.nat_gw_id)
    elif meanwhile == "another VPC":
        vpc = "vpc-0000000000000000"
    elif meanwhile == "another client":
        ec2 = AwsWorld().ec2
    elif meanwhile == "too late":
        monkeypatch.setattr(natgw, "DISCOVERY_FRESH_FOR", -1.0)
        get_existing_natgws(w.ec2, None, w.vpc_id)
    else:
        NatGwCmd(w.ec2, w.vpc_id, str(tmp_path)).delete(w.zones[1].record())
    describes = _count_describes(ec2)
    found = get_natgw_by_subnet(ec2, subnet, vpc)
    assert len(describes) == 1
    if meanwhile == "deleted through the client":
        assert found == []
