"""Fault drills: one controller answer goes wrong, then the command runs again.

The whole matrix is tools/fault_matrix.py; here a representative slice of it
and the checks the drills rely on.
"""

import pytest

import iam_policy
from morvent.sim import SimulatedWorld, drills

ZONES = 2


@pytest.fixture(scope="module")
def sim():
    with SimulatedWorld() as world, iam_policy.watch(world):
        yield world


@pytest.mark.parametrize("phase, action, occurrence, kind", [
    # Carried out, answer lost: the next run must find the gateway, not make a second.
    ("execute", "create_multicloud_ha_gateway", 1, "drop-after"),
    ("execute", "change_gateway_size", 1, "garbled"),
    # A refused deletion must not let the revert go on as if it were done.
    ("revert", "delete_multicloud_gateway", 1, "fail"),
    # No answer at all: the run gives up after its controller_timeout.
    ("execute", "create_multicloud_primary_gateway", 1, "hang-after"),
])
def test_fault_drill(sim, phase, action, occurrence, kind):
    scenario = drills.FaultScenario(ZONES, phase, drills.FaultTarget(action, occurrence), kind)
    cell = drills.fault_drill(sim, scenario)
    assert cell.ok, "\n".join(cell.details)


def test_fault_targets_follow_the_run(sim):
    targets = [t.label for t in drills.fault_targets(sim, ZONES, "execute")]
    changes = [t for t in targets if not t.startswith(("get_gateway_info", "setup_account"))]
    assert changes == ["create_multicloud_primary_gateway#1", "enable_snat#1",
                       "create_multicloud_ha_gateway#1", "change_gateway_size#1"]
    assert "get_gateway_info#1" in targets


def test_checks_see_a_leaked_address_and_a_lost_nat_gateway(sim, tmp_path):
    stage = drills.Stage(sim, str(tmp_path), ZONES)
    assert stage.reverted() == []
    extra = sim.ec2.allocate_address(Domain="vpc")["PublicIp"]
    sim.ec2.delete_nat_gateway(NatGatewayId=stage.world.zones[1].nat_gateway_id)
    problems = stage.reverted()
    assert any(extra in p for p in problems)
    assert any(stage.world.zones[1].name in p and "0 live NAT gateways" in p for p in problems)
