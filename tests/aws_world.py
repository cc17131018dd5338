"""An in-process EC2/CloudWatch world for the AWS step tests.

`AwsWorld.build(zones=N)` makes a VPC with, per availability zone, a public
subnet holding a NAT gateway with its Elastic IP, and private subnets whose
route tables send 0.0.0.0/0 to their zone's NAT gateway.  The public subnets
share one route table with a default route to the internet gateway.

Import the ``world`` fixture into a test module to use it.
"""

from __future__ import annotations

import datetime
import json
from dataclasses import dataclass, field

import boto3
import pytest
from moto import mock_aws

from morvent.core.Globals import Globals
from morvent.lib import natgw, test

REGION = "us-east-1"
ZONES = ("us-east-1a", "us-east-1b", "us-east-1c", "us-east-1d")


class FakeClientManager:
    """Hands out fresh moto clients, like a client manager of a later run."""

    def getEc2Client(self):
        return boto3.client("ec2", region_name=REGION)

    def getCwClient(self):
        return boto3.client("cloudwatch", region_name=REGION)

    def getS3Client(self):
        return boto3.client("s3", region_name=REGION)


@dataclass
class Zone:
    name: str
    public_subnet: str
    public_cidr: str
    nat_gw_id: str
    eip: str
    allocation_id: str
    private_subnets: list = field(default_factory=list)
    route_tables: list = field(default_factory=list)

    def record(self) -> dict:
        """The NAT gateway info record that discovery would write."""
        return {"subnet_id": self.public_subnet, "subnet_cidr": self.public_cidr,
                "initial_size": "c5.large", "size": "t3.small",
                "nat_gw_id": self.nat_gw_id, "private_ip": None, "eip": self.eip}


class AwsWorld:
    def __init__(self):
        self.ec2 = boto3.client("ec2", region_name=REGION)
        self.cw = boto3.client("cloudwatch", region_name=REGION)
        self.zones: list[Zone] = []

    @classmethod
    def build(cls, zones: int = 2, private_per_zone: int = 1,
              zone_order=None) -> "AwsWorld":
        world = cls()
        ec2 = world.ec2
        world.vpc_id = ec2.create_vpc(CidrBlock="10.0.0.0/16")["Vpc"]["VpcId"]
        world.igw = ec2.create_internet_gateway()["InternetGateway"]["InternetGatewayId"]
        ec2.attach_internet_gateway(InternetGatewayId=world.igw, VpcId=world.vpc_id)
        world.public_rtb = ec2.create_route_table(VpcId=world.vpc_id)["RouteTable"]["RouteTableId"]
        ec2.create_route(RouteTableId=world.public_rtb, DestinationCidrBlock="0.0.0.0/0",
                         GatewayId=world.igw)
        for n in (zone_order or range(zones)):
            az = ZONES[n]
            cidr = f"10.0.{n * 16}.0/24"
            public = ec2.create_subnet(VpcId=world.vpc_id, CidrBlock=cidr,
                                       AvailabilityZone=az)["Subnet"]["SubnetId"]
            ec2.associate_route_table(RouteTableId=world.public_rtb, SubnetId=public)
            address = ec2.allocate_address(Domain="vpc")
            nat = ec2.create_nat_gateway(SubnetId=public, AllocationId=address["AllocationId"],
                                         TagSpecifications=[{"ResourceType": "natgateway",
                                                             "Tags": [{"Key": "Name",
                                                                       "Value": f"nat-{az}"}]}])
            zone = Zone(az, public, cidr, nat["NatGateway"]["NatGatewayId"],
                        address["PublicIp"], address["AllocationId"])
            for p in range(private_per_zone):
                sub = ec2.create_subnet(VpcId=world.vpc_id, CidrBlock=f"10.0.{n * 16 + 1 + p}.0/24",
                                        AvailabilityZone=az)["Subnet"]["SubnetId"]
                rtb = ec2.create_route_table(VpcId=world.vpc_id)["RouteTable"]["RouteTableId"]
                ec2.associate_route_table(RouteTableId=rtb, SubnetId=sub)
                ec2.create_route(RouteTableId=rtb, DestinationCidrBlock="0.0.0.0/0",
                                 NatGatewayId=zone.nat_gw_id)
                zone.private_subnets.append(sub)
                zone.route_tables.append(rtb)
            world.zones.append(zone)
        return world

    # -- looking at the world ------------------------------------------------

    def default_target(self, rtb: str):
        """(key, id) of the table's default route, or None."""
        table = self.ec2.describe_route_tables(RouteTableIds=[rtb])["RouteTables"][0]
        for route in table["Routes"]:
            if route.get("DestinationCidrBlock") == "0.0.0.0/0":
                for key in ("NatGatewayId", "NetworkInterfaceId", "InstanceId", "GatewayId"):
                    if route.get(key):
                        return key, route[key]
        return None

    def live_natgws(self, subnet_id: str) -> list[dict]:
        found = self.ec2.describe_nat_gateways(
            Filter=[{"Name": "subnet-id", "Values": [subnet_id]}])["NatGateways"]
        return [n for n in found if n["State"] in ("available", "pending")]

    def state(self, nat_gw_id: str) -> str:
        return self.ec2.describe_nat_gateways(NatGatewayIds=[nat_gw_id])["NatGateways"][0]["State"]

    def address(self, eip: str) -> dict:
        return self.ec2.describe_addresses(PublicIps=[eip])["Addresses"][0]

    def snapshot_defaults(self) -> dict:
        """route table id -> default target, for every table of the VPC."""
        tables = self.ec2.describe_route_tables(
            Filters=[{"Name": "vpc-id", "Values": [self.vpc_id]}])["RouteTables"]
        return {t["RouteTableId"]: self.default_target(t["RouteTableId"]) for t in tables}

    # -- changing the world --------------------------------------------------

    def spoke(self, zone: Zone, take_eip: bool = True) -> dict:
        """An instance in the zone's public subnet standing in for a spoke
        gateway; it takes the zone's Elastic IP when ``take_eip``."""
        # Any image id does; listing moto's images would take seconds.
        instance = self.ec2.run_instances(ImageId="ami-12345678", MinCount=1, MaxCount=1,
                                          SubnetId=zone.public_subnet,
                                          InstanceType="t3.small")["Instances"][0]
        eni = instance["NetworkInterfaces"][0]["NetworkInterfaceId"]
        if take_eip:
            address = self.address(zone.eip)
            if address.get("AssociationId"):
                self.ec2.disassociate_address(AssociationId=address["AssociationId"])
            self.ec2.associate_address(AllocationId=zone.allocation_id,
                                       NetworkInterfaceId=eni)
        return {"instance_id": instance["InstanceId"], "eni": eni,
                "private_ip": instance["PrivateIpAddress"]}

    def put_traffic(self, nat_gw_id: str, hours_ago: int, out_bytes: float,
                    in_bytes: float = 0.0) -> None:
        """One hour of traffic figures, ``hours_ago`` full hours back."""
        hour = datetime.datetime.now(datetime.timezone.utc).replace(
            minute=30, second=0, microsecond=0) - datetime.timedelta(hours=hours_ago)
        data = []
        for name, value in (("BytesOutToDestination", out_bytes),
                            ("BytesInFromDestination", in_bytes)):
            data.append({"MetricName": name, "Timestamp": hour, "Value": value,
                         "Unit": "Bytes",
                         "Dimensions": [{"Name": "NatGatewayId", "Value": nat_gw_id}]})
        self.cw.put_metric_data(Namespace="AWS/NATGateway", MetricData=data)


def roundtrip(memento):
    """The memento as a later process rebuilds it: class plus JSON state,
    no constructor, and a fresh client manager in Globals."""
    cls = type(memento)
    state = json.loads(json.dumps(memento.toDict()))
    rebuilt = cls.__new__(cls)
    rebuilt.__dict__.update(state)
    Globals.aws_client_manager = FakeClientManager()
    return rebuilt


@pytest.fixture
def aws(monkeypatch):
    """A mocked AWS account with fake credentials, fast waits, and Globals
    set up as a run would."""
    for name, value in (("AWS_DEFAULT_REGION", REGION), ("AWS_ACCESS_KEY_ID", "testing"),
                        ("AWS_SECRET_ACCESS_KEY", "testing"), ("AWS_SESSION_TOKEN", "testing")):
        monkeypatch.setenv(name, value)
    monkeypatch.setattr(natgw, "POLL_INTERVAL", 0)
    monkeypatch.setattr(test, "POLL_INTERVAL", 0)
    monkeypatch.setattr(test, "TEST_TIMEOUT", 0)
    monkeypatch.setattr(Globals, "dry_run", False)
    monkeypatch.setattr(Globals, "aws_client_manager", None)
    monkeypatch.setattr(test.Test, "input_test_config", None)
    monkeypatch.setattr(test.Test, "output_test_config", None)
    with mock_aws():
        Globals.aws_client_manager = FakeClientManager()
        yield


@pytest.fixture
def world(aws):
    """Two zones, one private subnet each."""
    return AwsWorld.build(zones=2)
