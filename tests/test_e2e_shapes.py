"""The VPC shapes real VPCs have (morvent.sim.shapes), each migrated and reverted through the
command line on the simulated world, or refused as documented (see morvent.sim.shape_drills
for what is checked); and `morvent sim --like`'s copy of a VPC, planned as the original."""

import json
from pathlib import Path

import pytest

from e2e_fixtures import migration, sim  # noqa: F401
from morvent.core.config import load_config
from morvent.sim import drills
from morvent.sim.demo import write_config
from morvent.sim.like import WriteRefused, copy_into, read_only, read_source
from morvent.sim.monitor import RunMonitor
from morvent.sim.shape_drills import shape_drill
from morvent.sim.shapes import SHAPES


# Each shape takes some ten seconds; the suite runs one of each kind of route
# work, and every refusal.  tools/shape_matrix.py runs them all.
SLICE = ["split-defaults", "partner-route", "private-natgw-route", "secondary-first",
         "cross-zone", "main-table", "hs-mode-1", "private-natgw-isolated", "natgw-pending",
         "natgw-failed", "blackhole-unused"]


def test_the_slice_is_of_known_shapes():
    assert set(SLICE) <= set(SHAPES)


@pytest.mark.parametrize("name", SLICE)
def test_shape(sim, name):
    cell = shape_drill(sim, name)
    assert cell.ok, "\n".join(cell.details)
    execute, revert = cell.text.split(" | ")
    outcome = SHAPES[name].outcome
    assert execute.startswith({"ok": "ok", "accept": "ok, ", "refused": "refused"}[outcome])
    assert revert == ("-" if outcome == "refused" else "ok")


def _canonical(value, key=None):
    """The plan with lists that follow id order sorted (ids differ in a copy)."""
    if isinstance(value, dict):
        return {k: _canonical(v, k) for k, v in value.items()}
    if isinstance(value, list):
        items = [_canonical(v) for v in value]
        if all(isinstance(v, str) for v in items) or key in ("routes", "address_changes"):
            return sorted(items, key=json.dumps)
        return items
    return value


@pytest.mark.parametrize("shape", ["cross-zone", "secondary-first",
                                   "natgw-failed", "blackhole-unused", "private-natgw-isolated"])
def test_a_copy_plans_as_its_original_and_its_source_is_only_read(sim, tmp_path, shape):
    stage = drills.Stage(sim, str(tmp_path), shape=shape)
    ec2, zones = sim.ec2, stage.world.zones
    # Something that is not a NAT gateway, and a partner network, beside it.
    tgw = ec2.create_transit_gateway()["TransitGateway"]["TransitGatewayId"]
    table = zones[1].private_subnets[0].route_table_id
    ec2.create_route(RouteTableId=table, DestinationCidrBlock="10.200.0.0/16",
                     TransitGatewayId=tgw)
    ec2.create_route(RouteTableId=table, DestinationCidrBlock="198.51.100.0/24",
                     NatGatewayId=zones[1].nat_gateway_id)
    original = stage.config("a")

    with drills._environ(drills.run_environment(sim, str(tmp_path))), \
            RunMonitor(sim) as monitor:
        source = read_source(load_config(original))
    assert monitor.aws_requests > 0 and monitor.aws_changes(None) == {}

    copy = copy_into(sim, source)
    folder = tmp_path / "copy"
    folder.mkdir()
    copied = write_config(sim, copy.world, folder, spoke=drills.SPOKE)
    plans = [drills.run_inline(sim, ["plan", "--config", path, "--output", "json"], str(where))
             for path, where in ((original, tmp_path), (copied, folder))]
    # The same verdict of the gate too (refused and address-change shapes exit 1).
    assert plans[0].status == plans[1].status in (0, 1), plans[0].stderr + plans[1].stderr
    # The gate's refusals name the configuration file.
    text = plans[0].stdout.replace(str(Path(original).parent), str(folder))
    for old in sorted(copy.mapping, key=len, reverse=True):
        text = text.replace(old, copy.mapping[old])
    assert copy.world.vpc_id != stage.world.vpc_id
    assert _canonical(json.loads(text)) == _canonical(json.loads(plans[1].stdout))


def test_a_source_client_refuses_every_request_but_reads(sim):
    ec2 = read_only(sim.aws.client("ec2", "eu-west-1"))
    ec2.describe_vpcs()
    with pytest.raises(WriteRefused, match="CreateVpc refused"):
        ec2.create_vpc(CidrBlock="10.9.0.0/16")
    assert ec2.describe_vpcs()["Vpcs"] == [v for v in ec2.describe_vpcs()["Vpcs"]
                                           if v["CidrBlock"] != "10.9.0.0/16"]


@pytest.mark.parametrize("zones, where", [(3, "at the next deletion"), (2, "after the run")])
def test_a_table_the_controller_sends_elsewhere_than_planned_undoes_that_replacement(
        migration, monkeypatch, zones, where):
    from morvent.sim.gateways import GatewayCloud

    m = migration(zones)
    # A controller that keeps every table on the primary.
    monkeypatch.setattr(GatewayCloud, "_member_for", staticmethod(lambda zone, members:
                                                                  members[0]))
    result = m.execute()
    assert result.status == 1, result.stderr
    assert "not as planned" in result.stderr and "as planned" in result.stderr
    # The first replacement stays, the second one was undone.
    records = json.loads((m.backup_folder / "memento_history.json").read_text())["mementos"]
    assert len(records) == 6
    assert m.blackholes() == [] and m.egress_problems() == []
    monkeypatch.undo()
    assert m.revert().status == 0
    assert m.reverted_problems() == []


def test_a_run_with_nothing_to_do_says_what_is_not_as_planned_and_undoes_nothing(migration):
    m = migration(2)
    assert m.execute().status == 0
    path = m.backup_folder / "memento_history.json"
    held = json.loads(path.read_text())["mementos"]
    table = m.world.zones[1].private_subnets[0].route_table_id
    m.sim.ec2.delete_route(RouteTableId=table, DestinationCidrBlock="0.0.0.0/0")

    result = m.execute()

    assert result.status == 1
    assert f"{table} 0.0.0.0/0 (through" in result.stderr and "is gone" in result.stderr
    assert "nothing was changed but the routes" in result.stderr
    assert json.loads(path.read_text())["mementos"] == held
