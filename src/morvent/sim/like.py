"""Copy the shape of an operator's own VPC into the simulated cloud.

`read_source(config)` reads, with the AWS access the configuration names,
what a replacement depends on: the VPC's CIDR blocks, subnets and their
zones, route tables with their associations (main table included) and
routes, NAT gateways (public and private, in any state, with their
addresses), and the NAT gateways' traffic figures.  Every request it sends
is a read: its clients refuse any other before it leaves this process.

`copy_into(sim, source)` builds the same shape in the simulated cloud, under
new ids: the same CIDR blocks, the zones in the same order, the tables with
their routes and associations in the same order, a NAT gateway for each
(with as many secondary addresses, the same state; one deleted for every
route that leads to a NAT gateway that is gone), and the traffic figures
under the new NAT gateway ids.  Targets of other kinds get a stand-in of
the kind the simulated cloud has (a transit gateway, peering connection,
VPN gateway, egress-only internet gateway, network interface), so that
`morvent plan` on the copy says what it says on the original, up to ids and
addresses: `Copy.mapping` maps every id and public address of the original
to the copy's.  NAT gateways that share a zone may come out in another
order, as ids decide between them.
"""

from __future__ import annotations

import datetime
from dataclasses import dataclass, field
from typing import Any

from . import ec2_facts, routes
from .world import World, Zone, _primary, _tags

#: Operations a source client may send (everything else is refused).
READ_PREFIXES = ("Describe", "Get", "List")
#: How far back the traffic figures are copied (the sizing reads 14 days).
METRIC_DAYS = 15
METRICS = ("BytesOutToDestination", "BytesInFromDestination")


class WriteRefused(RuntimeError):
    """A request to the source account that is not a read."""


def _reads_only(model: Any, **_: Any) -> None:
    if not model.name.startswith(READ_PREFIXES):
        raise WriteRefused(f"{model.name} refused: the source VPC is only read")


def read_only(client: Any) -> Any:
    """``client`` refusing every request but reads, before it is sent."""
    client.meta.events.register("before-call", _reads_only,
                                unique_id="morvent-like-read-only")
    return client


@dataclass
class Source:
    """What was read of the original VPC."""

    region: str
    vpc: dict
    subnets: list[dict]
    tables: list[dict]
    natgws: list[dict]
    zones: list[str]                    # the zones of its subnets, in name order
    #: NAT gateway id -> [(metric, timestamp, value)]
    traffic: dict[str, list[tuple]] = field(default_factory=dict)


def _all(client: Any, operation: str, key: str, **params: Any) -> list[dict]:
    found: list[dict] = []
    for page in client.get_paginator(operation).paginate(**params):
        found.extend(page.get(key, []))
    return found


def read_source(config: Any, now: datetime.datetime | None = None) -> Source:
    """Read the configured VPC, read-only (see the module)."""
    from morvent.lib.aws_cred import AwsClientManager

    clients = AwsClientManager(config)
    ec2 = read_only(clients.getEc2Client())
    cw = read_only(clients.getCwClient())
    vpc_filter = [{"Name": "vpc-id", "Values": [config.vpc_id]}]
    vpc = ec2.describe_vpcs(VpcIds=[config.vpc_id])["Vpcs"][0]
    subnets = _all(ec2, "describe_subnets", "Subnets", Filters=vpc_filter)
    # The zones the VPC uses, from its subnets: no read beyond what plan and
    # execute need (examples/iam-policy.json covers the copy too).
    source = Source(
        region=config.region, vpc=vpc, subnets=subnets,
        tables=_all(ec2, "describe_route_tables", "RouteTables", Filters=vpc_filter),
        natgws=_all(ec2, "describe_nat_gateways", "NatGateways", Filter=vpc_filter),
        zones=sorted({s["AvailabilityZone"] for s in subnets}))
    end = (now or datetime.datetime.now(datetime.timezone.utc)).replace(
        minute=0, second=0, microsecond=0)
    start = end - datetime.timedelta(days=METRIC_DAYS)
    for nat in source.natgws:
        queries = [{"Id": f"m{i}", "ReturnData": True, "MetricStat": {
            "Metric": {"Namespace": "AWS/NATGateway", "MetricName": name,
                       "Dimensions": [{"Name": "NatGatewayId", "Value": nat["NatGatewayId"]}]},
            "Period": 3600, "Stat": "Sum"}} for i, name in enumerate(METRICS)]
        points = []
        for result in _all(cw, "get_metric_data", "MetricDataResults",
                           MetricDataQueries=queries, StartTime=start, EndTime=end):
            name = METRICS[int(result["Id"][1:])]
            points += [(name, t, v) for t, v in zip(result["Timestamps"], result["Values"])]
        source.traffic[nat["NatGatewayId"]] = points
    return source


@dataclass
class Copy:
    world: World
    #: Id or public address of the original -> the copy's.
    mapping: dict[str, str] = field(default_factory=dict)
    #: What the copy could not make as it is, in words.
    notes: list[str] = field(default_factory=list)


class _Copier:
    def __init__(self, sim: Any, source: Source) -> None:
        self.sim = sim
        self.ec2 = sim.ec2
        self.source = source
        self.copy = Copy(World(sim.aws.region, "", source.vpc["CidrBlock"], "", "", []))
        self.map = self.copy.mapping
        self.stand_ins: dict[str, str] = {}
        #: (NAT gateway, state, failure message) to set once the routes are made.
        self.states: list[tuple[str, str, str | None]] = []
        #: (NAT gateway, allocation) made to be deleted: targets of dead routes.
        self.deleted: list[tuple[str, str]] = []

    def run(self) -> Copy:
        ec2, src = self.ec2, self.source
        vpc_id = ec2.create_vpc(CidrBlock=src.vpc["CidrBlock"], TagSpecifications=_tags(
            "vpc", f"copy-of-{src.vpc['VpcId']}"))["Vpc"]["VpcId"]
        self.copy.world.vpc_id = self.map[src.vpc["VpcId"]] = vpc_id
        for assoc in src.vpc.get("CidrBlockAssociationSet", []):
            if assoc["CidrBlock"] != src.vpc["CidrBlock"]:
                ec2.associate_vpc_cidr_block(VpcId=vpc_id, CidrBlock=assoc["CidrBlock"])
        here = [z["ZoneName"] for z in ec2.describe_availability_zones()["AvailabilityZones"]]
        for i, zone in enumerate(src.zones):
            if i < len(here):
                self.map[zone] = here[i]
        self._subnets()
        self._natgws()
        self._tables()
        for nat_id, state, failure in self.states:
            ec2_facts.set_nat_state(nat_id, state, self.copy.world.region, failure)
        self._traffic()
        return self.copy

    def _subnets(self) -> None:
        for subnet in sorted(self.source.subnets, key=lambda s: s["SubnetId"]):
            made = self.ec2.create_subnet(VpcId=self.copy.world.vpc_id,
                                          CidrBlock=subnet["CidrBlock"],
                                          AvailabilityZone=self.map[subnet["AvailabilityZone"]])
            self.map[subnet["SubnetId"]] = made["Subnet"]["SubnetId"]

    def _natgws(self) -> None:
        ec2 = self.ec2
        for nat in self.source.natgws:
            if nat.get("State") in ("deleted", "deleting"):
                continue
            private = nat.get("ConnectivityType") == "private"
            params: dict[str, Any] = {"SubnetId": self.map[nat["SubnetId"]]}
            addresses = nat.get("NatGatewayAddresses") or []
            primary = _primary(nat) if addresses else {}
            if private:
                params["ConnectivityType"] = "private"
            else:
                allocations = {}
                for address in addresses:
                    if address.get("PublicIp"):
                        made = ec2.allocate_address(Domain="vpc")
                        allocations[address["PublicIp"]] = made["AllocationId"]
                        self.map[address["PublicIp"]] = made["PublicIp"]
                        if address.get("AllocationId"):
                            self.map[address["AllocationId"]] = made["AllocationId"]
                if primary.get("PublicIp") in allocations:
                    params["AllocationId"] = allocations.pop(primary["PublicIp"])
                if allocations and nat.get("State") != "failed":
                    params["SecondaryAllocationIds"] = list(allocations.values())
            made = ec2.create_nat_gateway(**params)["NatGateway"]
            self.map[nat["NatGatewayId"]] = made["NatGatewayId"]
            if not private and nat.get("State") == "available" and "AllocationId" in params:
                subnet = next(s for s in self.source.subnets if s["SubnetId"] == nat["SubnetId"])
                self.copy.world.zones.append(Zone(
                    self.map[subnet["AvailabilityZone"]], params["SubnetId"],
                    subnet["CidrBlock"], made["NatGatewayId"], params["AllocationId"],
                    self.map[primary["PublicIp"]], _primary(made).get("PrivateIp", ""), 0.0))
            if primary.get("PrivateIp"):
                self.map[primary["PrivateIp"]] = _primary(made).get("PrivateIp", "")
            if addresses and addresses[0] is not primary:
                ec2_facts.list_secondary_first(made["NatGatewayId"], self.copy.world.region)
            if nat.get("State") in ("pending", "failed"):
                # Once the routes to it are made (none can be made to a failed one).
                self.states.append((made["NatGatewayId"], nat["State"],
                                    nat.get("FailureMessage")))

    def _gone_natgw(self, nat_id: str, subnet_id: str | None) -> str:
        """A NAT gateway made and deleted, for a route that leads to one that is gone."""
        if nat_id in self.map:
            return self.map[nat_id]
        ec2 = self.ec2
        subnet = self.map.get(subnet_id) or next(iter(
            s for k, s in self.map.items() if k.startswith("subnet-")))
        address = ec2.allocate_address(Domain="vpc")
        made = ec2.create_nat_gateway(SubnetId=subnet, AllocationId=address["AllocationId"])
        made_id = made["NatGateway"]["NatGatewayId"]
        self.deleted.append((made_id, address["AllocationId"]))
        self.map[nat_id] = made_id
        return made_id

    def _stand_in(self, key: str, target: str) -> tuple[str, str]:
        """A target of the copy for a non-NAT target of the original."""
        if target in self.map:
            new = self.map[target]
        else:
            ec2, vpc_id = self.ec2, self.copy.world.vpc_id
            if target.startswith("igw-"):
                new = ec2.create_internet_gateway()["InternetGateway"]["InternetGatewayId"]
                ec2.attach_internet_gateway(InternetGatewayId=new, VpcId=vpc_id)
                self.copy.world.internet_gateway_id = self.copy.world.internet_gateway_id or new
            elif target.startswith("eigw-"):
                new = ec2.create_egress_only_internet_gateway(VpcId=vpc_id)[
                    "EgressOnlyInternetGateway"]["EgressOnlyInternetGatewayId"]
                key = "EgressOnlyInternetGatewayId"
            elif target.startswith("vgw-"):
                new = ec2.create_vpn_gateway(Type="ipsec.1")["VpnGateway"]["VpnGatewayId"]
                ec2.attach_vpn_gateway(VpnGatewayId=new, VpcId=vpc_id)
            elif target.startswith("tgw-"):
                new = ec2.create_transit_gateway()["TransitGateway"]["TransitGatewayId"]
                key = "TransitGatewayId"
            elif key in ("NetworkInterfaceId", "InstanceId"):
                subnet = next(v for k, v in self.map.items() if k.startswith("subnet-"))
                new = ec2.create_network_interface(SubnetId=subnet)["NetworkInterface"][
                    "NetworkInterfaceId"]
                key = "NetworkInterfaceId"
            else:
                # Peering connections, endpoints, local and carrier gateways: a
                # peering connection to a VPC of its own stands in for them.
                peer = ec2.create_vpc(CidrBlock="192.168.0.0/16")["Vpc"]["VpcId"]
                new = ec2.create_vpc_peering_connection(VpcId=vpc_id, PeerVpcId=peer)[
                    "VpcPeeringConnection"]["VpcPeeringConnectionId"]
                if not target.startswith("pcx-"):
                    self.copy.notes.append(f"{target} stands in as peering connection {new}")
                key = "VpcPeeringConnectionId"
            self.map[target] = new
        self.stand_ins[new] = key
        return self.stand_ins[new], new

    def _tables(self) -> None:
        ec2, vpc_id = self.ec2, self.copy.world.vpc_id
        main = next(t["RouteTableId"] for t in routes.vpc_route_tables(ec2, vpc_id)
                    if any(a.get("Main") for a in t["Associations"]))
        nats = {n["NatGatewayId"]: n for n in self.source.natgws}
        for table in sorted(self.source.tables, key=lambda t: t["RouteTableId"]):
            if any(a.get("Main") for a in table.get("Associations", [])):
                rtb = main
            else:
                rtb = ec2.create_route_table(VpcId=vpc_id)["RouteTable"]["RouteTableId"]
            self.map[table["RouteTableId"]] = rtb
            for route in table.get("Routes", []):
                if route.get("GatewayId") == "local" or route.get("Origin") == \
                        "CreateRouteTable":
                    continue
                dest = {k: route[k] for k in ("DestinationCidrBlock", "DestinationIpv6CidrBlock")
                        if route.get(k)}
                if not dest:
                    self.copy.notes.append(f"{table['RouteTableId']}: route to prefix list "
                                           f"{route.get('DestinationPrefixListId')} not copied")
                    continue
                nat_id = route.get("NatGatewayId")
                if nat_id:
                    nat = nats.get(nat_id)
                    if nat_id not in self.map or (nat or {}).get("State") in ("deleted",
                                                                              "deleting"):
                        self._gone_natgw(nat_id, (nat or {}).get("SubnetId"))
                    target = ("NatGatewayId", self.map[nat_id])
                else:
                    found = routes.route_target(route)
                    if found is None:
                        continue
                    target = self._stand_in(*found)
                ec2.create_route(RouteTableId=rtb, **dest, **dict([target]))
            for assoc in table.get("Associations", []):
                if assoc.get("SubnetId"):
                    ec2.associate_route_table(RouteTableId=rtb,
                                              SubnetId=self.map[assoc["SubnetId"]])
        for nat_id, allocation in self.deleted:
            ec2.delete_nat_gateway(NatGatewayId=nat_id)
            ec2.release_address(AllocationId=allocation)

    def _traffic(self) -> None:
        cloudwatch = self.sim.cloudwatch
        for nat_id, points in self.source.traffic.items():
            new = self.map.get(nat_id)
            if not new or not points:
                continue
            data = [{"MetricName": name, "Timestamp": stamp, "Value": float(value),
                     "Unit": "Bytes", "Dimensions": [{"Name": "NatGatewayId", "Value": new}]}
                    for name, stamp, value in points]
            for first in range(0, len(data), 20):
                cloudwatch.put_metric_data(Namespace="AWS/NATGateway",
                                           MetricData=data[first:first + 20])


def copy_into(sim: Any, source: Source) -> Copy:
    """Build the shape of ``source`` in ``sim`` (a started `SimulatedWorld`)."""
    return _Copier(sim, source).run()
