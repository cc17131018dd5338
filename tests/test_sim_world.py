"""The world builder, the egress helpers and the simulated cloud itself."""

import datetime
import ipaddress

import boto3
import pytest

from morvent.sim import blackhole_tables, build_world, routes
from morvent.sim.world import METRIC_NAMESPACE, hourly_profile
from sim_fixtures import sim  # noqa: F401


@pytest.fixture(scope="module")
def ec2(sim):
    return sim.ec2


@pytest.mark.parametrize("zones, per_zone", [(1, 1), (2, 2), (3, 1)])
def test_world_shape(sim, ec2, zones, per_zone):
    world = sim.build(zones=zones, private_subnets_per_zone=per_zone)
    assert len(world.zones) == zones
    assert len({z.name for z in world.zones}) == zones
    vpc_net = ipaddress.ip_network(world.vpc_cidr)
    cidrs = [z.public_cidr for z in world.zones] + [p.cidr for z in world.zones for p in z.private_subnets]
    nets = [ipaddress.ip_network(c) for c in cidrs]
    assert all(n.subnet_of(vpc_net) for n in nets)
    assert not any(a.overlaps(b) for i, a in enumerate(nets) for b in nets[i + 1:])

    tables = routes.vpc_route_tables(ec2, world.vpc_id)
    for zone in world.zones:
        nat = routes.nat_gateway(ec2, zone.nat_gateway_id)
        assert nat["State"] == "available" and nat["SubnetId"] == zone.public_subnet_id
        assert nat["NatGatewayAddresses"][0]["PublicIp"] == zone.eip
        public = routes.subnet_table(tables, zone.public_subnet_id)
        assert routes.is_public(public)
        assert len(zone.private_subnets) == per_zone
        for private in zone.private_subnets:
            table = routes.subnet_table(tables, private.subnet_id)
            assert table["RouteTableId"] == private.route_table_id
            assert not routes.is_public(table)
            assert routes.route_target(routes.default_route(table)) == ("NatGatewayId", zone.nat_gateway_id)
            subnet = ec2.describe_subnets(SubnetIds=[private.subnet_id])["Subnets"][0]
            assert subnet["AvailabilityZone"] == zone.name
    assert world.eips == [z.eip for z in world.zones]
    assert len(set(world.eips)) == zones


def test_traffic_figures_for_sizing(sim):
    world = sim.build(zones=2, peaks=[1.0e9, 6.0e9], days=2)
    end = datetime.datetime.now(datetime.timezone.utc)
    for zone, peak in zip(world.zones, (1.0e9, 6.0e9)):
        stats = sim.cloudwatch.get_metric_statistics(
            Namespace=METRIC_NAMESPACE, MetricName="BytesOutToDestination",
            Dimensions=[{"Name": "NatGatewayId", "Value": zone.nat_gateway_id}],
            StartTime=end - datetime.timedelta(days=3), EndTime=end,
            Period=3600, Statistics=["Maximum"])["Datapoints"]
        assert len(stats) == 48
        assert max(p["Maximum"] for p in stats) == pytest.approx(peak, rel=0.01)
        assert min(p["Maximum"] for p in stats) == pytest.approx(peak / 3, rel=0.01)


def test_hourly_profile_is_hourly_and_ends_before_now():
    end = datetime.datetime(2024, 5, 1, 12, tzinfo=datetime.timezone.utc)
    points = hourly_profile(3000.0, 24, end)
    stamps = [p[0] for p in points]
    assert stamps[-1] == end - datetime.timedelta(hours=1) and len(set(stamps)) == 24
    assert max(p[1] for p in points) == 3000 and min(p[1] for p in points) == 1000


@pytest.mark.parametrize("options, words", [
    ({"zones": 0}, "at least one zone"),
    ({"zones": 2, "peaks": [1.0]}, "1 value(s) for 2 zone(s)"),
    ({"zones": 2, "vpc_cidr": "10.0.0.0/24"}, "no room"),
    ({"zones": 9}, "has only"),
])
def test_world_options_are_checked(ec2, options, words):
    with pytest.raises(ValueError, match=words.replace("(", r"\(").replace(")", r"\)")):
        build_world(ec2, **options)


def _launch(ec2, subnet_id, with_address=True):
    inst = ec2.run_instances(ImageId="ami-0a1b2c3d4e5f60718", InstanceType="t3.small",
                             SubnetId=subnet_id, MinCount=1, MaxCount=1)["Instances"][0]
    ip = None
    if with_address:
        addr = ec2.allocate_address(Domain="vpc")
        ec2.associate_address(AllocationId=addr["AllocationId"], InstanceId=inst["InstanceId"])
        ip = addr["PublicIp"]
    return inst["InstanceId"], ip


def test_snapshot_resolves_nat_and_instance_egress(sim, ec2):
    world = sim.build(zones=2)
    snap = sim.snapshot(world.vpc_id)
    for zone in world.zones:
        egress = snap[zone.private_subnets[0].route_table_id]
        assert (egress.target_kind, egress.target_id) == ("NatGatewayId", zone.nat_gateway_id)
        assert egress.public_ip == zone.eip and egress.alive
    assert world.public_route_table_id not in snap

    instance_id, ip = _launch(ec2, world.zones[0].public_subnet_id)
    table = world.zones[1].private_subnets[0].route_table_id
    ec2.replace_route(RouteTableId=table, DestinationCidrBlock="0.0.0.0/0", InstanceId=instance_id)
    egress = sim.snapshot(world.vpc_id)[table]
    assert (egress.target_kind, egress.target_id, egress.public_ip) == ("InstanceId", instance_id, ip)


def test_blackholes_count_gone_targets(sim, ec2):
    world = sim.build(zones=2, private_subnets_per_zone=2)
    assert sim.blackholes(world.vpc_id) == 0
    ec2.delete_nat_gateway(NatGatewayId=world.nat_gateway_ids[0])
    zone0 = {p.route_table_id for p in world.zones[0].private_subnets}
    assert set(blackhole_tables(ec2, world.vpc_id)) == zone0
    assert all(sim.snapshot(world.vpc_id)[t].public_ip is None for t in zone0)

    instance_id, _ = _launch(ec2, world.zones[1].public_subnet_id, with_address=False)
    table = world.zones[1].private_subnets[0].route_table_id
    ec2.replace_route(RouteTableId=table, DestinationCidrBlock="0.0.0.0/0", InstanceId=instance_id)
    assert sim.blackholes(world.vpc_id) == 2
    ec2.terminate_instances(InstanceIds=[instance_id])
    assert sim.blackholes(world.vpc_id) == 3
    # Other VPCs are not counted against this one.
    assert sim.blackholes(sim.build(zones=1).vpc_id) == 0


def test_deleted_nat_gateway_frees_its_eip(sim, ec2):
    world = sim.build(zones=1)
    ec2.delete_nat_gateway(NatGatewayId=world.nat_gateway_ids[0])
    addr = ec2.describe_addresses(AllocationIds=[world.zones[0].allocation_id])["Addresses"][0]
    assert not addr.get("AssociationId")
    assert routes.nat_gateway(ec2, world.nat_gateway_ids[0])["State"] == "deleted"


def test_environment_points_boto3_at_the_simulated_cloud(sim, monkeypatch):
    world = sim.build(zones=1)
    for key, value in sim.environ().items():
        monkeypatch.setenv(key, value)
    client = boto3.session.Session().client("ec2")
    vpcs = client.describe_vpcs(VpcIds=[world.vpc_id])["Vpcs"]
    assert vpcs[0]["CidrBlock"] == world.vpc_cidr


def test_reset_starts_over_on_the_same_addresses(sim):
    world = sim.build(zones=1)
    sim.controller.add_account("acct")
    url = sim.url(2)
    sim.reset()
    assert sim.ec2.describe_vpcs(Filters=[{"Name": "vpc-id", "Values": [world.vpc_id]}])["Vpcs"] == []
    assert sim.controller.state.accounts == {} and sim.requests == []
    assert sim.url(2) == url
    assert sim.build(zones=1).vpc_id


def test_fast_dead_route_check_agrees_with_blackholes(sim, ec2):
    from morvent.sim.monitor import dead_route_tables

    world = sim.build(zones=2, private_subnets_per_zone=2)
    assert dead_route_tables(ec2, world.vpc_id) == []
    instance_id, _ = _launch(ec2, world.zones[1].public_subnet_id, with_address=False)
    table = world.zones[1].private_subnets[0].route_table_id
    ec2.replace_route(RouteTableId=table, DestinationCidrBlock="0.0.0.0/0", InstanceId=instance_id)
    ec2.delete_nat_gateway(NatGatewayId=world.nat_gateway_ids[0])
    ec2.terminate_instances(InstanceIds=[instance_id])
    expected = sorted(blackhole_tables(ec2, world.vpc_id))
    assert len(expected) == 3
    assert dead_route_tables(ec2, world.vpc_id) == expected


def _ec2_of(sim, agent):
    """An EC2 client of the simulated cloud that tries once, under user agent `agent`."""
    import botocore.config

    config = botocore.config.Config(retries={"total_max_attempts": 1, "mode": "standard"},
                                    user_agent_extra=agent)
    return boto3.client("ec2", region_name="us-east-1", endpoint_url=sim.aws.url,
                        aws_access_key_id="testing", aws_secret_access_key="testing",
                        config=config)


def _refused(client, calls):
    """Which of `calls` DescribeVpcs requests the cloud refused, as 0/1."""
    found = []
    for _ in range(calls):
        try:
            client.describe_vpcs()
            found.append(0)
        except client.exceptions.ClientError as e:
            assert e.response["Error"]["Code"] == "RequestLimitExceeded"
            assert e.response["ResponseMetadata"]["HTTPStatusCode"] == 503
            found.append(1)
    return found


@pytest.mark.parametrize("spec, expected", [
    ("burst=3", [1, 1, 1, 0, 0, 0]),
    ({"burst": 2, "after": 3}, [0, 0, 0, 1, 1, 0]),
    ("100%", [1] * 6),
    ("2/s", [0, 0, 1, 1, 1, 1]),
])
def test_ec2_throttles_the_tools_requests_only(sim, spec, expected):
    from morvent.sim.throttle import parse_throttle

    sim.aws.throttle.set(**(parse_throttle(spec) if isinstance(spec, str) else spec))
    try:
        assert _refused(_ec2_of(sim, "morvent/0.1.0"), len(expected)) == expected
        assert _refused(_ec2_of(sim, "someone-else"), 3) == [0, 0, 0]
        assert sim.aws.throttle.throttled == sum(expected)
    finally:
        sim.aws.throttle.off()


def test_a_share_of_throttled_requests_is_the_same_each_time(sim):
    runs = []
    for _ in range(2):
        sim.aws.throttle.set(share=0.3, seed=4)
        runs.append(_refused(_ec2_of(sim, "morvent/0.1.0"), 30))
    sim.aws.throttle.off()
    assert runs[0] == runs[1] and 3 <= sum(runs[0]) <= 18


@pytest.mark.parametrize("text", ["0%", "101%", "burst=0", "burst=x", "0/s", "fast", "nan/s"])
def test_a_throttle_that_means_nothing_is_refused(text):
    from morvent.sim.throttle import parse_throttle

    with pytest.raises(ValueError, match="expected a share"):
        parse_throttle(text)


# -- what the simulated EC2 adds to moto ----------------------------------------------

def _route(ec2, table, dest):
    found = ec2.describe_route_tables(RouteTableIds=[table])["RouteTables"][0]["Routes"]
    return next(r for r in found if r.get("DestinationCidrBlock") == dest)


@pytest.mark.parametrize("gone", ["nat-deleted", "nat-failed", "instance"])
def test_a_route_to_something_gone_reads_as_a_blackhole_and_none_can_be_made(sim, ec2, gone):
    from morvent.sim import ec2_facts

    world = sim.build(zones=2)
    table = world.zones[0].private_subnets[0].route_table_id
    if gone == "instance":
        instance_id, _ = _launch(ec2, world.zones[0].public_subnet_id, with_address=False)
        ec2.replace_route(RouteTableId=table, DestinationCidrBlock="0.0.0.0/0",
                          InstanceId=instance_id)
        ec2.terminate_instances(InstanceIds=[instance_id])
    elif gone == "nat-failed":
        ec2_facts.set_nat_state(world.nat_gateway_ids[0], "failed", world.region)
    else:
        ec2.delete_nat_gateway(NatGatewayId=world.nat_gateway_ids[0])
    assert _route(ec2, table, "0.0.0.0/0")["State"] == "blackhole"
    assert _route(ec2, world.zones[1].private_subnets[0].route_table_id,
                  "0.0.0.0/0")["State"] == "active"
    if gone != "instance":
        other = world.zones[1].private_subnets[0].route_table_id
        with pytest.raises(ec2.exceptions.ClientError, match="InvalidNatGatewayID.NotFound"):
            ec2.create_route(RouteTableId=table, DestinationCidrBlock="198.51.100.0/24",
                             NatGatewayId=world.nat_gateway_ids[0])
        with pytest.raises(ec2.exceptions.ClientError, match="InvalidNatGatewayID.NotFound"):
            ec2.replace_route(RouteTableId=other, DestinationCidrBlock="0.0.0.0/0",
                              NatGatewayId=world.nat_gateway_ids[0])


def test_secondary_addresses_are_marked_and_freed_with_their_gateway(sim, ec2):
    from morvent.sim import ec2_facts

    world = sim.build(zones=1, secondary_addresses=[2])
    nat_id = world.nat_gateway_ids[0]
    ec2_facts.list_secondary_first(nat_id, world.region)
    nat = routes.nat_gateway(ec2, nat_id)
    assert [a["IsPrimary"] for a in nat["NatGatewayAddresses"]] == [False, False, True]
    assert nat["NatGatewayAddresses"][-1]["PublicIp"] == world.zones[0].eip
    assert sim.snapshot(world.vpc_id)[
        world.zones[0].private_subnets[0].route_table_id].public_ip == world.zones[0].eip
    ec2.delete_nat_gateway(NatGatewayId=nat_id)
    mine = [a["AllocationId"] for a in nat["NatGatewayAddresses"]]
    held = ec2.describe_addresses(AllocationIds=mine)["Addresses"]
    assert len(held) == 3 and not any(a.get("AssociationId") for a in held)


def test_indexed_tags_answer_as_moto_does(sim, ec2):
    from moto.ec2.models import ec2_backends

    from morvent.sim import indexes
    from morvent.sim.cloud import DEFAULT_ACCOUNT

    world = sim.build(zones=2)
    ec2.create_tags(Resources=[world.vpc_id], Tags=[{"Key": "b", "Value": "2"},
                                                    {"Key": "a", "Value": "1"}])
    backend = ec2_backends[DEFAULT_ACCOUNT][sim.aws.region]
    resources = [*backend.vpcs.values(), *backend.subnets[world.zones[0].name].values(),
                 *backend.route_tables.values(), *backend.nat_gateways.values()]
    assert any(not r.get_tags() for r in resources) and any(r.get_tags() for r in resources)
    for resource in resources:
        assert indexes._tags_by_id(resource) == indexes._saved["get_tags"](resource)


def test_indexed_metric_queries_answer_as_moto_does(sim):
    from moto.cloudwatch.models import cloudwatch_backends

    from morvent.sim import indexes
    from morvent.sim.cloud import DEFAULT_ACCOUNT

    end = datetime.datetime.now(datetime.timezone.utc).replace(minute=0, second=0, microsecond=0)
    nats = ["nat-indexed-a", "nat-indexed-b"]
    data = [{"MetricName": metric, "Dimensions": [{"Name": "NatGatewayId", "Value": nat}],
             "Timestamp": end - datetime.timedelta(minutes=25 * n), "Value": float(n + k),
             "Unit": "Bytes"}
            for k, nat in enumerate(nats) for metric in ("BytesOutToDestination", "BytesInFromSource")
            for n in range(0, 40)]
    for first in range(0, len(data), 20):
        sim.cloudwatch.put_metric_data(Namespace=METRIC_NAMESPACE, MetricData=data[first:first + 20])

    def query(i, nat, metric, stat="Sum", period=3600, **extra):
        stat = {"Metric": {"Namespace": METRIC_NAMESPACE, "MetricName": metric,
                           "Dimensions": [{"Name": "NatGatewayId", "Value": nat}]},
                "Period": period, "Stat": stat}
        return {"Id": f"q{i}", "MetricStat": stat, **extra}

    queries = [query(0, nats[0], "BytesOutToDestination"),
               query(1, nats[1], "BytesInFromSource", "Maximum", 1800),
               query(2, "nat-without-points", "BytesOutToDestination"),
               query(3, nats[0], "BytesInFromSource", "SampleCount", ReturnData=False)]
    backend = cloudwatch_backends[DEFAULT_ACCOUNT][sim.aws.region]
    # moto keeps and compares times without a zone.
    end = end.replace(tzinfo=None)
    start = end - datetime.timedelta(hours=10, minutes=30)
    for scan in ("TimestampAscending", "TimestampDescending"):
        ours = indexes._indexed_get_metric_data(backend, queries, start, end, scan)
        theirs = indexes._saved["get_metric_data"](backend, queries, start, end, scan)
        assert ours == theirs
        assert [len(r["values"]) for r in ours] == [11, 21, 0]
