import logging

import pytest

from aws_world import AwsWorld
from aws_world import aws  # noqa: F401 - fixtures
from morvent.lib.gateway_size import DetermineGwSizeCmd, size_for
from morvent.lib.natgw import get_existing_natgws

MBIT_HOUR = 1e6 / 8 * 3600  # bytes of one hour at 1 Mbit/s


@pytest.mark.parametrize("mbps, size", [
    (None, "t3.small"), (0, "t3.small"), (50, "t3.small"), (50.1, "c5.large"),
    (1000, "c5.xlarge"), (2500.1, "c5.4xlarge"), (1e9, "c5.4xlarge"),
])
def test_size_table_bounds(mbps, size):
    assert size_for(mbps) == size


def _plan(world, num_of_spoke=None, hs_mode=None):
    natgws = get_existing_natgws(world.ec2, None, world.vpc_id)
    cmd = DetermineGwSizeCmd(world.ec2, world.cw, num_of_spoke or len(natgws), natgws,
                             hs_mode=hs_mode)
    cmd.execute()
    return natgws, cmd.getNatGwInfo()


@pytest.mark.parametrize("same_hour, initial", [(True, "c5.xlarge"), (False, "c5.large")])
def test_sizes_from_peaks(aws, same_hour, initial):
    """The first spoke carries the VPC's busiest hour: the peaks of two
    gateways add up only when they fall into the same hour."""
    world = AwsWorld.build(zones=2)
    a, b = world.zones
    world.put_traffic(a.nat_gw_id, 3, 380 * MBIT_HOUR, 100 * MBIT_HOUR)  # 480 Mbit/s
    world.put_traffic(a.nat_gw_id, 30, 10 * MBIT_HOUR)
    world.put_traffic(b.nat_gw_id, 3 if same_hour else 5, 40 * MBIT_HOUR)
    world.put_traffic(b.nat_gw_id, 24 * 20, 900 * MBIT_HOUR)  # outside the window

    natgws, records = _plan(world)

    assert [r["nat_gw_id"] for r in records] == [n["NatGatewayId"] for n in natgws]
    by_id = {r["nat_gw_id"]: r for r in records}
    assert by_id[a.nat_gw_id]["size"] == "c5.large"
    assert by_id[b.nat_gw_id]["size"] == "t3.small"
    assert {r["initial_size"] for r in records} == {initial}
    assert by_id[a.nat_gw_id]["peak_mbps"] == pytest.approx(480)
    assert by_id[a.nat_gw_id]["subnet_cidr"] == a.public_cidr
    assert by_id[a.nat_gw_id]["eip"] == a.eip
    assert by_id[a.nat_gw_id]["private_ip"]


def test_no_figures_at_all_gives_the_smallest_size_with_a_warning(aws, caplog):
    world = AwsWorld.build(zones=3)
    with caplog.at_level(logging.WARNING, logger="morvent.lib.gateway_size"):
        _, records = _plan(world)
    assert {(r["size"], r["initial_size"]) for r in records} == {("t3.small", "t3.small")}
    assert len(records) == 3
    assert any("no traffic figures" in r.getMessage() for r in caplog.records)


@pytest.mark.parametrize("hs_mode, planned, sizes", [
    # Every NAT gateway gets a spoke gateway that carries its own traffic.
    (0, [True, True, True], ["c5.large", "c5.large", "c5.large"]),
    (2, [True, True, True], ["c5.large", "c5.large", "c5.large"]),
    # Only two: the primary carries the third zone too (SNAT sends it there).
    (1, [True, True, False], ["c5.xlarge", "c5.large", "c5.large"]),
])
def test_each_spoke_is_sized_for_what_it_carries(aws, hs_mode, planned, sizes):
    world = AwsWorld.build(zones=3)
    for zone in world.zones:
        world.put_traffic(zone.nat_gw_id, 2, 400 * MBIT_HOUR)  # 1200 Mbit/s in all

    _, records = _plan(world, num_of_spoke=2, hs_mode=hs_mode)

    assert len(records) == 3, "every NAT gateway keeps its record"
    assert [r["spoke_planned"] for r in records] == planned
    assert [r["size"] for r in records] == sizes
    assert {r["initial_size"] for r in records} == {"c5.2xlarge"}


def test_without_hs_mode_the_runs_configuration_decides(aws, monkeypatch):
    import types

    from morvent.core.Globals import Globals

    world = AwsWorld.build(zones=3)
    run = types.SimpleNamespace(config=types.SimpleNamespace(hs_mode=1))
    monkeypatch.setattr(Globals, "aws_client_manager", run)
    natgws = get_existing_natgws(world.ec2, None, world.vpc_id)
    records = DetermineGwSizeCmd(world.ec2, world.cw, 3, natgws).getNatGwInfo()
    assert [r["spoke_planned"] for r in records] == [True, True, False]
    assert records[0]["carries"] == [records[0]["nat_gw_id"], records[2]["nat_gw_id"]]
