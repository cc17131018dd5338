"""examples/iam-policy.json grants exactly what the tool sends to AWS.

One test drives every kind of run on a simulated VPC -- plan, status, an
execute whose step fails and is rolled back, the execute that resumes it,
plan --revert, and a revert that has to put back a route someone deleted --
and records every AWS request they send (iam_policy.PolicyWatch).  It fails
when the policy would refuse one, or grants an action none of them needed.
Being one test, it sees all of its runs in one process however xdist
spreads the suite; the end-to-end, fault and kill tests check the first side
on their own runs (their worlds carry a watch).
"""

import json
import re

import pytest

import iam_policy
from e2e_fixtures import BUCKET, migration, sim  # noqa: F401
from iam_policy import Need, allows, load_policy, needs
from morvent.lib import route_table
from morvent.sim.cloud import AwsRequest

REGION = "us-east-1"
FOLDER = "morvent/acct/us-east-1/vpc-0123456789abcdef0"


def test_the_policy_grants_what_the_runs_send_and_nothing_else(migration, monkeypatch):
    m = migration(2, enable_test=True)  # egress checks after each replacement too
    watch = iam_policy.PolicyWatch(m.sim.region)
    m.sim.aws.add_interceptor(watch)
    try:
        assert m.cli("plan").status == 0
        assert m.cli("status").status == 0
        # The second zone's spoke cannot be made: its NAT gateway, deleted
        # just before, is made again (with its tags) and its routes put back.
        m.sim.inject("create_multicloud_ha_gateway", 1)
        failed = m.execute()
        assert failed.status == 1 and "run it again to resume" in failed.stderr
        m.sim.reset_faults()
        assert m.execute().status == 0
        assert m.cli("status").status == 0
        assert m.cli("plan", "--revert").status == 0
        # Someone deletes a default route while the revert runs: putting back
        # the first snapshot of the routes creates it.
        table = m.world.zones[1].private_subnets[0].route_table_id
        restore = route_table.SnapshotRTMemento.restore

        def delete_first(memento):
            if memento.tag == "s1":
                m.sim.ec2.delete_route(RouteTableId=table, DestinationCidrBlock="0.0.0.0/0")
            return restore(memento)

        monkeypatch.setattr(route_table.SnapshotRTMemento, "restore", delete_first)
        # The second NAT gateway cannot be put back at first; the revert run
        # again finds the first one's address on that gateway's interface.
        m.monitor.inject_aws("CreateNatGateway", 2)
        assert m.revert().status == 1
        m.monitor.clear_faults()
        reverted = m.revert()
        assert reverted.status == 0, reverted.stderr
    finally:
        m.sim.aws.remove_interceptor(watch)
    assert m.reverted_problems() == []

    policy = load_policy(BUCKET, "morvent", m.sim.region)
    assert watch.problems(policy) == []
    assert watch.unused(policy) == set(), "granted, but no run needed it"
    assert not any("*" in action for action in iam_policy.granted(policy)), \
        "a least-privilege policy names each action"


def _object(action, key, region=REGION):
    return Need(action, f"arn:aws:s3:::{BUCKET}/{key}", (("aws:RequestedRegion", region),))


def _ec2(action, region=REGION, **context):
    return Need(action, "*", (("aws:RequestedRegion", region), *context.items()))


# The check must be able to say no, or it proves nothing.
@pytest.mark.parametrize("prefix, need, allowed", [
    ("morvent", _object("s3:PutObject", f"{FOLDER}/memento_history.json"), True),
    ("morvent", _object("s3:GetObject", f"{FOLDER}.lock"), True),
    ("morvent", _object("s3:GetObject", "other/secret.json"), False),
    ("morvent", _object("s3:GetObject", "morvent-old/x.json"), False),
    ("morvent", Need("s3:PutObject", "arn:aws:s3:::another-bucket/morvent/x"), False),
    ("team/net", _object("s3:DeleteObject", "team/net/acct/r/vpc-1/x.json"), True),
    ("team/net", _object("s3:DeleteObject", f"{FOLDER}/x.json"), False),
    ("morvent", _ec2("ec2:ReplaceRoute"), True),
    ("morvent", _ec2("ec2:ReplaceRoute", region="eu-west-1"), False),
    ("morvent", _ec2("ec2:DeleteVpc"), False),
    ("morvent", _ec2("ec2:CreateTags", **{"ec2:CreateAction": "CreateNatGateway"}), True),
    ("morvent", _ec2("ec2:CreateTags"), False),  # tagging anything else
])
def test_the_policy_check_can_refuse(prefix, need, allowed):
    assert allows(load_policy(BUCKET, prefix, REGION), need) is allowed


@pytest.mark.parametrize("request_, expected", [
    (AwsRequest("s3", "DeleteObjects", "POST", f"/{BUCKET}", "", query="delete",
                keys=("a/b.json", "a/c d.json")),
     ["s3:DeleteObject on arn:aws:s3:::B/a/b.json", "s3:DeleteObject on arn:aws:s3:::B/a/c d.json"]),
    (AwsRequest("s3", "ListObjectsV2", "GET", f"/{BUCKET}", "",
                query="list-type=2&prefix=morvent%2Fa%2F"),
     ["s3:ListBucket on arn:aws:s3:::B (s3:prefix='morvent/a/')"]),
    (AwsRequest("s3", "GetObject", "GET", f"/{BUCKET}/a/x%20y.json", "", query="versionId=3"),
     ["s3:GetObjectVersion on arn:aws:s3:::B/a/x y.json"]),
    (AwsRequest("ec2", "CreateNatGateway", "POST", "/", "",
                params={"TagSpecification.1.ResourceType": ["natgateway"]}),
     ["ec2:CreateNatGateway", "ec2:CreateTags (ec2:CreateAction='CreateNatGateway')"]),
    (AwsRequest("monitoring", "GetMetricData", "POST", "/", ""), ["cloudwatch:GetMetricData"]),
])
def test_what_a_request_needs(request_, expected):
    found = [str(need).replace(BUCKET, "B").replace(f" (aws:RequestedRegion='{REGION}')", "")
             for need in needs(request_, REGION)]
    assert found == expected


def test_readme_shows_the_policy_as_it_is():
    readme = (iam_policy.POLICY_FILE.parent.parent / "README.md").read_text()
    (block,) = re.findall(r"```json\n(.*?)```", readme, re.DOTALL)
    assert json.loads(block) == json.loads(iam_policy.POLICY_FILE.read_text())
