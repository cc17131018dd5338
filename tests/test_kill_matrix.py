"""Kill drills: `morvent execute` killed at one request, then resumed or reverted.

The whole matrix is tools/kill_matrix.py; here the harness itself and a
representative slice of it.
"""

import signal

import pytest

import iam_policy
from morvent.sim import SimulatedWorld, drills

ZONES = 2

# A client that makes `n` state-changing requests of one kind, one after the
# other, and prints the number of each answer it got.
CLIENT = r"""
import sys, boto3, requests, urllib3
urllib3.disable_warnings()
kind, url, cid, n = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
for i in range(1, n + 1):
    if kind == "controller":
        requests.post(url, verify=False, data={
            "action": "setup_account_profile", "CID": cid, "account_name": f"acct{i}",
            "cloud_type": "1", "aws_account_number": "123456789012"}).json()
    else:
        boto3.client("ec2", endpoint_url=url).allocate_address(Domain="vpc")
    print(i, flush=True)
"""


@pytest.fixture(scope="module")
def sim():
    drills.inheritable_sigint()
    with SimulatedWorld() as world, iam_policy.watch(world):
        yield world


@pytest.fixture(scope="module")
def points(sim):
    return drills.kill_points(sim, ZONES)


def _made(sim, kind):
    if kind == "controller":
        return sorted(sim.controller.state.accounts)
    return [a["PublicIp"] for a in sim.ec2.describe_addresses()["Addresses"]]


@pytest.mark.parametrize("moment, made, answered", [
    ("before", 1, 1),   # the 2nd request is never carried out
    ("after", 2, 1),    # it is carried out; its answer never arrives
])
@pytest.mark.parametrize("kind, operation", [("controller", "setup_account_profile"),
                                             ("ec2", "AllocateAddress")])
def test_kill_switch_strikes_at_the_nth_request(sim, tmp_path, kind, operation, moment, made,
                                                answered):
    sim.reset()
    url = sim.url(2) if kind == "controller" else sim.aws.url
    point = drills.KillPoint(1, drills.Request(kind, operation, 2), moment)
    switch = drills.KillSwitch(point, signal.SIGKILL)
    switch.install(sim)
    sim.ec2.allocate_address(Domain="vpc")  # not the child's: does not count
    switch.remove(sim)
    before = len(_made(sim, kind))

    run = drills.run_child(sim, [kind, url, sim.controller.login(), "4"], str(tmp_path),
                           switch.tag, switch=switch, program=("-c", CLIENT))

    assert switch.fired.is_set()
    assert run.status == -signal.SIGKILL, run.stderr
    assert run.stderr.split() == [str(i) for i in range(1, answered + 1)]
    assert len(_made(sim, kind)) - before == made


def _point(points, label, moment):
    found = [p for p in points if p.request.label == label and p.moment == moment]
    assert len(found) == 1, f"no single kill point {label} {moment} in {points}"
    return found[0]


@pytest.mark.parametrize("label, moment, sig, follow", [
    # Carried out with no record: revert must stop and say so, execute finishes it.
    ("controller create_multicloud_primary_gateway", "after", "KILL", "c"),
    # Told to stop: records and lock left in order; another machine goes on.
    ("ec2 DeleteNatGateway #2", "before", "TERM", "b"),
    ("controller enable_snat", "after", "INT", "a"),
])
def test_kill_drill(sim, points, label, moment, sig, follow):
    scenario = drills.KillScenario(ZONES, _point(points, label, moment), sig, follow)
    cell = drills.kill_drill(sim, scenario)
    assert cell.ok, "\n".join(cell.details)
    assert cell.text == ("ok*" if follow == "c" else "ok")


def test_kill_points_of_a_two_zone_run(points):
    steps = iter(p.request.label for p in points if p.moment == "before")
    # In this order, whatever else comes between.
    assert all(label in steps for label in [
        "ec2 ReplaceRoute", "ec2 DeleteNatGateway", "controller create_multicloud_primary_gateway",
        "controller enable_snat", "ec2 DeleteNatGateway #2",
        "controller create_multicloud_ha_gateway", "controller change_gateway_size"])
    assert [p.step for p in points] == sorted(p.step for p in points)
    assert not any(p.request.operation.startswith(("Describe", "get_", "list_")) for p in points)


def test_cloud_requests_are_named_as_the_clients_name_them(sim):
    seen = []

    def note(moment, request):
        seen.append((moment, request.service, request.operation))

    sim.aws.add_interceptor(note)
    try:
        s3 = sim.client("s3")
        s3.create_bucket(Bucket="named")
        s3.put_object(Bucket="named", Key="a/b.json", Body=b"{}")
        s3.list_objects_v2(Bucket="named", Prefix="a/")
        s3.delete_objects(Bucket="named", Delete={"Objects": [{"Key": "a/b.json"}]})
        s3.delete_object(Bucket="named", Key="a/c.json")
        sim.ec2.describe_vpcs()
        sim.client("cloudwatch").list_metrics()
    finally:
        sim.aws.remove_interceptor(note)
    names = [(service, operation) for moment, service, operation in seen if moment == "before"]
    assert names == [("s3", "CreateBucket"), ("s3", "PutObject"), ("s3", "ListObjectsV2"),
                     ("s3", "DeleteObjects"), ("s3", "DeleteObject"), ("ec2", "DescribeVpcs"),
                     ("monitoring", "ListMetrics")]
    assert [m for m, *_ in seen] == ["before", "after"] * len(names)
