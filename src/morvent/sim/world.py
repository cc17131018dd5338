"""Build a VPC with NAT gateways in the simulated cloud, and look at its egress.

`build_world(ec2, cloudwatch, zones=2)` makes a VPC whose every availability
zone has a public subnet with a NAT gateway (and its Elastic IP) and private
subnets whose default routes go to their zone's NAT gateway, plus hourly
traffic figures for each NAT gateway.  `snapshot` and `blackholes` tell where
the private route tables send internet traffic now.
"""

from __future__ import annotations

import datetime
import ipaddress
import math
from dataclasses import dataclass, field
from typing import Any, Sequence

from . import routes

METRIC_NAMESPACE = "AWS/NATGateway"
METRIC_NAMES = ("BytesOutToDestination", "BytesInFromSource")
DEFAULT_PEAK = 2.0e9          # bytes per hour of the first zone's NAT gateway
_METRIC_BATCH = 20


@dataclass
class PrivateSubnet:
    subnet_id: str
    cidr: str
    route_table_id: str


@dataclass
class Zone:
    name: str
    public_subnet_id: str
    public_cidr: str
    nat_gateway_id: str
    allocation_id: str
    eip: str
    nat_private_ip: str
    peak_bytes_per_hour: float
    private_subnets: list[PrivateSubnet] = field(default_factory=list)


@dataclass
class World:
    """What `build_world` made (and a shape of `shapes` changed)."""

    region: str
    vpc_id: str
    vpc_cidr: str
    internet_gateway_id: str
    public_route_table_id: str
    zones: list[Zone]
    #: The shape's name (see `shapes`); "tidy" for what `build_world` makes.
    shape: str = "tidy"
    #: Configuration keys the shape needs (``{"hs_mode": 1}``).
    options: dict = field(default_factory=dict)
    #: (route table, address before, address after) of every table whose
    #: traffic cannot keep its address, as the shape's author worked it out.
    address_changes: list = field(default_factory=list)
    #: Ids a refusal of this shape must name (route tables, NAT gateways).
    refused: list = field(default_factory=list)

    @property
    def nat_gateway_ids(self) -> list[str]:
        return [z.nat_gateway_id for z in self.zones]

    @property
    def eips(self) -> list[str]:
        return [z.eip for z in self.zones]

    @property
    def public_cidrs(self) -> list[str]:
        return [z.public_cidr for z in self.zones]

    @property
    def private_route_table_ids(self) -> list[str]:
        return [p.route_table_id for z in self.zones for p in z.private_subnets]

    def zone_of_table(self, route_table_id: str) -> Zone:
        for zone in self.zones:
            if any(p.route_table_id == route_table_id for p in zone.private_subnets):
                return zone
        raise KeyError(route_table_id)


def _tags(kind: str, name: str) -> list[dict]:
    return [{"ResourceType": kind, "Tags": [{"Key": "Name", "Value": name}]}]


def build_world(ec2: Any, cloudwatch: Any = None, *, zones: int = 2,
                private_subnets_per_zone: int = 1, vpc_cidr: str = "10.0.0.0/16",
                name: str = "morvent-sim", peaks: Sequence[float] | None = None,
                days: int = 3, secondary_addresses: Sequence[int] | None = None) -> World:
    """Make the VPC; `peaks` gives each zone's NAT traffic peak in bytes per hour,
    `secondary_addresses` how many secondary Elastic IPs each zone's NAT gateway has."""
    if zones < 1 or private_subnets_per_zone < 0:
        raise ValueError("a world needs at least one zone and no negative subnet count")
    if peaks is not None and len(peaks) != zones:
        raise ValueError(f"peaks has {len(peaks)} value(s) for {zones} zone(s)")
    network = ipaddress.ip_network(vpc_cidr)
    blocks = list(network.subnets(new_prefix=24)) if network.prefixlen <= 24 else []
    need = (zones + 1) * 16
    if len(blocks) < need or zones > 15 or private_subnets_per_zone > 16:
        raise ValueError(f"{vpc_cidr} has no room for {zones} zone(s) of "
                         f"{private_subnets_per_zone} private subnet(s); use a /16")
    az_names = [z["ZoneName"] for z in ec2.describe_availability_zones()["AvailabilityZones"]]
    if zones > len(az_names):
        raise ValueError(f"region {ec2.meta.region_name} has only {len(az_names)} zones")

    vpc_id = ec2.create_vpc(CidrBlock=vpc_cidr,
                            TagSpecifications=_tags("vpc", name))["Vpc"]["VpcId"]
    igw = ec2.create_internet_gateway(
        TagSpecifications=_tags("internet-gateway", name))["InternetGateway"]["InternetGatewayId"]
    ec2.attach_internet_gateway(InternetGatewayId=igw, VpcId=vpc_id)
    public_rt = ec2.create_route_table(
        VpcId=vpc_id, TagSpecifications=_tags("route-table", f"{name}-public"))["RouteTable"]["RouteTableId"]
    ec2.create_route(RouteTableId=public_rt, DestinationCidrBlock=routes.DEFAULT_ROUTE, GatewayId=igw)

    world = World(ec2.meta.region_name, vpc_id, vpc_cidr, igw, public_rt, [])
    for i in range(zones):
        az = az_names[i]
        cidr = str(blocks[i])
        subnet = ec2.create_subnet(VpcId=vpc_id, CidrBlock=cidr, AvailabilityZone=az,
                                   TagSpecifications=_tags("subnet", f"{name}-public-{az}"))
        subnet_id = subnet["Subnet"]["SubnetId"]
        ec2.associate_route_table(RouteTableId=public_rt, SubnetId=subnet_id)
        address = ec2.allocate_address(Domain="vpc")
        extra = {}
        if secondary_addresses and secondary_addresses[i]:
            extra["SecondaryAllocationIds"] = [
                ec2.allocate_address(Domain="vpc")["AllocationId"]
                for _ in range(secondary_addresses[i])]
        nat = ec2.create_nat_gateway(SubnetId=subnet_id, AllocationId=address["AllocationId"],
                                     TagSpecifications=_tags("natgateway", f"{name}-nat-{az}"),
                                     **extra)
        nat = nat["NatGateway"]
        ec2.get_waiter("nat_gateway_available").wait(
            NatGatewayIds=[nat["NatGatewayId"]], WaiterConfig={"Delay": 1, "MaxAttempts": 60})
        zone = Zone(name=az, public_subnet_id=subnet_id, public_cidr=cidr,
                    nat_gateway_id=nat["NatGatewayId"], allocation_id=address["AllocationId"],
                    eip=address["PublicIp"],
                    nat_private_ip=_primary(nat).get("PrivateIp", ""),
                    peak_bytes_per_hour=float(peaks[i]) if peaks else DEFAULT_PEAK * (i + 1))
        for j in range(private_subnets_per_zone):
            pcidr = str(blocks[(i + 1) * 16 + j])
            psub = ec2.create_subnet(
                VpcId=vpc_id, CidrBlock=pcidr, AvailabilityZone=az,
                TagSpecifications=_tags("subnet", f"{name}-private-{az}-{j + 1}"))["Subnet"]["SubnetId"]
            rt = ec2.create_route_table(
                VpcId=vpc_id,
                TagSpecifications=_tags("route-table", f"{name}-private-{az}-{j + 1}"))["RouteTable"]["RouteTableId"]
            ec2.create_route(RouteTableId=rt, DestinationCidrBlock=routes.DEFAULT_ROUTE,
                             NatGatewayId=zone.nat_gateway_id)
            ec2.associate_route_table(RouteTableId=rt, SubnetId=psub)
            zone.private_subnets.append(PrivateSubnet(psub, pcidr, rt))
        world.zones.append(zone)

    if cloudwatch is not None:
        put_traffic(cloudwatch, world, days=days)
    return world


def _primary(nat: dict) -> dict:
    """The address entry AWS marks as primary (the first one when none is marked)."""
    addresses = nat.get("NatGatewayAddresses") or [{}]
    return next((a for a in addresses if a.get("IsPrimary")), addresses[0])


def hourly_profile(peak: float, hours: int, end: datetime.datetime) -> list[tuple[datetime.datetime, float]]:
    """(time, bytes) for each of the last `hours` hours: a daily curve that
    reaches `peak` in the afternoon and falls to a third of it at night."""
    points = []
    for back in range(hours, 0, -1):
        stamp = end - datetime.timedelta(hours=back)
        daylight = max(0.0, math.sin(math.pi * (stamp.hour - 6) / 16)) if 6 <= stamp.hour <= 22 else 0.0
        points.append((stamp, round(peak * (1 / 3 + 2 / 3 * daylight))))
    return points


def put_traffic(cloudwatch: Any, world: World, days: int = 3) -> None:
    """Hourly NAT gateway traffic figures over the last `days` days."""
    end = datetime.datetime.now(datetime.timezone.utc).replace(minute=0, second=0, microsecond=0)
    for zone in world.zones:
        data = []
        for stamp, value in hourly_profile(zone.peak_bytes_per_hour, days * 24, end):
            for metric in METRIC_NAMES:
                data.append({
                    "MetricName": metric,
                    "Dimensions": [{"Name": "NatGatewayId", "Value": zone.nat_gateway_id}],
                    "Timestamp": stamp, "Value": float(value), "Unit": "Bytes"})
        for start in range(0, len(data), _METRIC_BATCH):
            cloudwatch.put_metric_data(Namespace=METRIC_NAMESPACE,
                                       MetricData=data[start:start + _METRIC_BATCH])


@dataclass(frozen=True)
class Egress:
    """Where one private route table sends internet traffic."""

    target_kind: str | None       # "NatGatewayId", "InstanceId", ... or None
    target_id: str | None
    public_ip: str | None         # the address the traffic leaves with, None if nowhere
    alive: bool                   # the target still exists


def _public_ip(ec2: Any, kind: str, target_id: str) -> str | None:
    if kind == "NatGatewayId":
        nat = routes.nat_gateway(ec2, target_id)
        if nat is None or nat["State"] not in routes.LIVE_NAT_STATES:
            return None
        return _primary(nat).get("PublicIp")
    if kind == "InstanceId":
        inst = routes.instance(ec2, target_id)
        if inst is None or inst["State"]["Name"] in routes.DEAD_INSTANCE_STATES:
            return None
        if inst.get("PublicIpAddress"):
            return inst["PublicIpAddress"]
        found = ec2.describe_addresses(
            Filters=[{"Name": "instance-id", "Values": [target_id]}])["Addresses"]
        return found[0]["PublicIp"] if found else None
    if kind == "NetworkInterfaceId":
        try:
            enis = ec2.describe_network_interfaces(NetworkInterfaceIds=[target_id])["NetworkInterfaces"]
        except ec2.exceptions.ClientError:
            return None
        return (enis[0].get("Association") or {}).get("PublicIp") if enis else None
    return None


def snapshot(ec2: Any, vpc_id: str | None = None) -> dict[str, Egress]:
    """Per private route table (of one VPC, or all): its default-route target
    and the public address that traffic resolves to."""
    result = {}
    for table in routes.private_route_tables(ec2, vpc_id):
        route = routes.default_route(table)
        target = routes.route_target(route)
        if target is None:
            result[table["RouteTableId"]] = Egress(None, None, None, False)
            continue
        alive = routes.target_exists(ec2, target, route)
        ip = _public_ip(ec2, *target) if alive else None
        result[table["RouteTableId"]] = Egress(target[0], target[1], ip, alive)
    return result


def blackhole_tables(ec2: Any, vpc_id: str | None = None) -> list[str]:
    """Private route tables whose default route leads to something gone."""
    found = []
    for table in routes.private_route_tables(ec2, vpc_id):
        route = routes.default_route(table)
        if route is None:
            continue
        if not routes.target_exists(ec2, routes.route_target(route), route):
            found.append(table["RouteTableId"])
    return found


def blackholes(ec2: Any, vpc_id: str | None = None) -> int:
    """How many private default routes point at a deleted NAT gateway, a
    terminated instance or are in state blackhole."""
    return len(blackhole_tables(ec2, vpc_id))
