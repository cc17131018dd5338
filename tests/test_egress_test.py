import json
import logging
import os

import pytest

from aws_world import roundtrip
from aws_world import aws, world  # noqa: F401 - fixtures
from morvent.core.Globals import Globals
from morvent.lib.awsutil import AwsStepError
from morvent.lib.test import Test, TestCmd


def _gateways(world):
    return [{"nat_gw_id": z.nat_gw_id, "gw_name": z.nat_gw_id, "gw_public_ip": z.eip,
             "gw_private_ip": None, "gw_subnet_id": z.public_subnet} for z in world.zones]


@pytest.fixture
def files(tmp_path):
    return str(tmp_path / "egress-in.json"), str(tmp_path / "egress-out.json")


@pytest.mark.parametrize("had_input", [False, True])
def test_preparation_records_route_tables_and_restore_puts_files_back(world, files, had_input):
    inp, out = files
    if had_input:
        with open(inp, "w") as f:
            f.write("earlier content\n")
    memento = TestCmd(inp, out, _gateways(world)).execute()

    prepared = json.load(open(inp))["gateways"]
    assert [(g["nat_gw_id"], g["route_table_ids"]) for g in prepared] == [
        (z.nat_gw_id, z.route_tables) for z in world.zones]

    roundtrip(memento).restore()
    if had_input:
        assert open(inp).read() == "earlier content\n"
    else:
        assert not os.path.exists(inp)


def _replace(world, zone, route_via="interface", take_eip=True):
    """Stand-in for a replacement: the NAT gateway goes, a spoke with its
    address comes, and the zone's route tables are pointed as asked."""
    world.ec2.delete_nat_gateway(NatGatewayId=zone.nat_gw_id)
    spoke = world.spoke(zone, take_eip=take_eip)
    for rtb in zone.route_tables:
        if route_via == "interface":
            world.ec2.replace_route(RouteTableId=rtb, DestinationCidrBlock="0.0.0.0/0",
                                    NetworkInterfaceId=spoke["eni"])
        elif route_via == "none":
            world.ec2.delete_route(RouteTableId=rtb, DestinationCidrBlock="0.0.0.0/0")
    return {"gw_private_ip": spoke["private_ip"], "gw_name": "spoke-1",
            "gw_public_ip": zone.eip, "gw_subnet_id": zone.public_subnet,
            "gw_subnet_cidr": zone.public_cidr}


@pytest.mark.parametrize("route_via, take_eip, passes, reason", [
    ("interface", True, True, None),
    ("old nat", True, False, "no public address"),   # still on the deleted NAT gateway
    ("interface", False, False, "no public address"),  # spoke without the address
    ("none", True, False, "has no default route"),
])
def test_run_test(world, files, caplog, route_via, take_eip, passes, reason):
    inp, out = files
    TestCmd(inp, out, _gateways(world)).execute()
    spoke_info = _replace(world, world.zones[0], route_via, take_eip)

    Test.generate_test_config(inp, out, spoke_info)
    with caplog.at_level(logging.INFO, logger="morvent.lib.test"):
        assert Test.run_test() is passes
    if reason:
        errors = [r.getMessage() for r in caplog.records if r.levelno == logging.ERROR]
        assert any(reason in m and world.zones[0].route_tables[0] in m for m in errors)


def test_checks_accumulate_and_a_run_without_new_spoke_reruns_them(world, files):
    inp, out = files
    TestCmd(inp, out, _gateways(world)).execute()
    Test.generate_test_config(inp, out, _replace(world, world.zones[0]))
    Test.generate_test_config(inp, out, _replace(world, world.zones[1]))
    assert [c["nat_gw_id"] for c in json.load(open(out))["checks"]] == [
        z.nat_gw_id for z in world.zones]

    Test.generate_test_config(inp, out, None)  # resumed run, no creation yet
    assert Test.run_test() is True
    # Break the first zone's egress: the re-run check catches it.
    world.ec2.delete_route(RouteTableId=world.zones[0].route_tables[0],
                           DestinationCidrBlock="0.0.0.0/0")
    assert Test.run_test() is False


def test_dry_run_reports_but_does_not_fail(world, files, monkeypatch, caplog):
    inp, out = files
    TestCmd(inp, out, _gateways(world)).execute()
    spoke_info = _replace(world, world.zones[0], route_via="old nat")
    monkeypatch.setattr(Globals, "dry_run", True)
    Test.generate_test_config(inp, out, spoke_info)
    with caplog.at_level(logging.ERROR, logger="morvent.lib.test"):
        assert Test.run_test() is True
    assert caplog.records


def test_unknown_spoke_is_an_error_not_a_pass(world, files):
    inp, out = files
    TestCmd(inp, out, _gateways(world)).execute()
    with pytest.raises(AwsStepError, match="replaces none"):
        Test.generate_test_config(inp, out, {"gw_name": "x", "gw_public_ip": "192.0.2.1",
                                             "gw_subnet_id": "subnet-0", "gw_private_ip": None,
                                             "gw_subnet_cidr": None})


def test_missing_files_are_clear_errors(world, tmp_path):
    with pytest.raises(AwsStepError, match="names no file"):
        TestCmd(None, None, _gateways(world)).execute()
    assert Test.run_test() is False  # nothing was prepared in this run


def test_dry_run_spoke_that_was_not_created_gets_no_check(world, files, monkeypatch):
    # In a dry run the spoke creation returns only the name it would have.
    inp, out = files
    TestCmd(inp, out, _gateways(world)).execute()
    monkeypatch.setattr(Globals, "dry_run", True)
    Test.generate_test_config(inp, out, {"gw_name": "spoke-1"})
    assert json.load(open(out))["checks"] == []
    assert Test.run_test() is True
