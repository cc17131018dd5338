"""Spoke gateways of the simulated controller and what they do in EC2.

A gateway is one small EC2 instance in a public subnet holding an Elastic
IP: the address the client asked for, or a fresh one.  Single-IP SNAT on a
primary gateway sends the private default routes of its VPC through the
gateway instance of each route table's zone.
"""

from __future__ import annotations

import re
import time
from dataclasses import dataclass, field
from typing import Any, Callable

from botocore.exceptions import ClientError

from . import routes

GATEWAY_AMI = "ami-0a1b2c3d4e5f60718"
SIZE_PATTERN = re.compile(
    r"^[a-z][a-z0-9-]*[0-9][a-z0-9-]*\.(nano|micro|small|medium|large|[0-9]*xlarge|metal)$")
NAME_PATTERN = re.compile(r"^[A-Za-z0-9][A-Za-z0-9_-]{0,49}$")
GONE_NAT_STATES = ("deleting", "deleted", "failed")
UNRESOLVED_TAG = "snat-restore-unresolved"


class ControllerError(Exception):
    """A request the controller refuses; the message is the answer's reason."""


@dataclass
class SnatRoute:
    """A private default route that SNAT took over, and where it went before."""

    zone: str | None
    target: tuple[str, str]
    nat_subnet_id: str | None = None


@dataclass
class Gateway:
    name: str
    kind: str                      # "multicloud" or "classic"
    account_name: str
    vpc_id: str
    region: str
    subnet_id: str
    subnet_cidr: str
    zone: str
    size: str
    primary: str | None = None     # name of the primary, for an HA gateway
    instance_id: str = ""
    private_ip: str = ""
    public_ip: str = ""
    allocation_id: str = ""
    eip_given: bool = False        # the address came with the request
    snat: bool = False
    snat_routes: dict[str, SnatRoute] = field(default_factory=dict)
    created: float = field(default_factory=time.time)
    #: The AWS account of its controller account (None: the cloud's default one).
    account_number: str | None = None

    @property
    def is_ha(self) -> bool:
        return self.primary is not None


def check_name(name: str) -> None:
    if not NAME_PATTERN.match(name):
        raise ControllerError(
            f"Invalid gateway name {name!r}: use up to 50 letters, digits, '-' or '_'")


def check_size(size: str) -> None:
    if not SIZE_PATTERN.match(size):
        raise ControllerError(f"Invalid gateway size {size!r}: expected an instance type such as t3.small")


def _aws_reason(err: ClientError) -> str:
    error = err.response.get("Error", {})
    return f"AWS error {error.get('Code', 'Unknown')}: {error.get('Message', err)}"


class GatewayCloud:
    """The EC2 side of gateways; `client(region, account)` gives an EC2
    client of that region in that AWS account (None: the default one)."""

    def __init__(self, client: Callable[[str, str | None], Any]) -> None:
        self._client = client

    def ec2(self, region: str, account: str | None = None) -> Any:
        return self._client(region, account)

    # -- placement ---------------------------------------------------------

    def find_subnet(self, region: str, vpc_id: str, cidr: str,
                    account: str | None = None) -> dict:
        ec2 = self.ec2(region, account)
        try:
            vpcs = ec2.describe_vpcs(Filters=[{"Name": "vpc-id", "Values": [vpc_id]}])["Vpcs"]
        except ClientError as err:
            raise ControllerError(_aws_reason(err)) from None
        if not vpcs:
            raise ControllerError(f"VPC {vpc_id} does not exist in region {region}")
        subnets = ec2.describe_subnets(Filters=[
            {"Name": "vpc-id", "Values": [vpc_id]},
            {"Name": "cidr-block", "Values": [cidr]},
        ])["Subnets"]
        if not subnets:
            raise ControllerError(f"Subnet {cidr} does not exist in VPC {vpc_id}")
        subnet = subnets[0]
        table = routes.subnet_table(routes.vpc_route_tables(ec2, vpc_id), subnet["SubnetId"])
        if table is None or not routes.is_public(table):
            raise ControllerError(
                f"Subnet {cidr} of VPC {vpc_id} is not a public subnet: "
                "its route table has no default route to an internet gateway")
        return subnet

    # -- Elastic IPs --------------------------------------------------------

    def find_address(self, region: str, public_ip: str, account: str | None = None) -> dict:
        found = self.ec2(region, account).describe_addresses(
            Filters=[{"Name": "public-ip", "Values": [public_ip]}])["Addresses"]
        if not found:
            raise ControllerError(f"Elastic IP {public_ip} is not allocated in region {region}")
        return found[0]

    def address_holder(self, region: str, address: dict, owners: dict[str, str],
                       account: str | None = None) -> str | None:
        """Who holds an Elastic IP now, as text, or None when it is free.

        `owners` maps instance ids of gateways to gateway names.  A NAT gateway
        holds its address until it is deleted; an association left over from a
        deleted NAT gateway or a terminated instance does not count.
        """
        ec2 = self.ec2(region, account)
        dead_enis = set()
        for page in ec2.get_paginator("describe_nat_gateways").paginate():
            for nat in page["NatGateways"]:
                for addr in nat.get("NatGatewayAddresses", []):
                    same = (addr.get("AllocationId") == address.get("AllocationId")
                            or addr.get("PublicIp") == address.get("PublicIp"))
                    if nat["State"] in GONE_NAT_STATES:
                        if addr.get("NetworkInterfaceId"):
                            dead_enis.add(addr["NetworkInterfaceId"])
                    elif same:
                        return f"NAT gateway {nat['NatGatewayId']}"
        instance_id = address.get("InstanceId")
        if instance_id:
            inst = routes.instance(ec2, instance_id)
            if inst is None or inst["State"]["Name"] in routes.DEAD_INSTANCE_STATES:
                return None
            if instance_id in owners:
                return f"gateway {owners[instance_id]} (instance {instance_id})"
            return f"instance {instance_id}"
        eni = address.get("NetworkInterfaceId")
        if eni and eni not in dead_enis:
            if routes.target_exists(ec2, ("NetworkInterfaceId", eni)):
                return f"network interface {eni}"
        return None

    # -- instances ---------------------------------------------------------

    def launch(self, gw: Gateway, eip: str | None, owners: dict[str, str]) -> None:
        """Start the gateway's instance and give it its Elastic IP.

        Refuses before creating anything when the requested address is held
        elsewhere; undoes what it made when a later step fails.
        """
        ec2 = self.ec2(gw.region, gw.account_number)
        address = None
        if eip:
            address = self.find_address(gw.region, eip, gw.account_number)
            holder = self.address_holder(gw.region, address, owners, gw.account_number)
            if holder:
                raise ControllerError(f"Elastic IP {eip} is in use by {holder}")
        made: list[Callable[[], Any]] = []
        try:
            inst = ec2.run_instances(
                ImageId=GATEWAY_AMI, InstanceType=gw.size, SubnetId=gw.subnet_id,
                MinCount=1, MaxCount=1,
                TagSpecifications=[{"ResourceType": "instance", "Tags": [
                    {"Key": "Name", "Value": gw.name},
                    {"Key": "corvane-gateway", "Value": gw.name},
                ]}],
            )["Instances"][0]
            gw.instance_id = inst["InstanceId"]
            gw.private_ip = inst.get("PrivateIpAddress", "")
            made.append(lambda: ec2.terminate_instances(InstanceIds=[gw.instance_id]))
            # A gateway forwards traffic that is neither from nor to itself.
            ec2.modify_instance_attribute(InstanceId=gw.instance_id,
                                          SourceDestCheck={"Value": False})
            if address is None:
                address = ec2.allocate_address(Domain="vpc")
                alloc = address["AllocationId"]
                made.append(lambda: ec2.release_address(AllocationId=alloc))
            ec2.associate_address(AllocationId=address["AllocationId"],
                                  InstanceId=gw.instance_id, AllowReassociation=True)
        except ClientError as err:
            for undo in reversed(made):
                try:
                    undo()
                except ClientError:
                    pass
            raise ControllerError(f"Creating gateway {gw.name} failed: {_aws_reason(err)}") from None
        gw.allocation_id = address["AllocationId"]
        gw.public_ip = address["PublicIp"]
        gw.eip_given = bool(eip)

    def terminate(self, gw: Gateway) -> None:
        """Stop the gateway's instance; a given address goes back unassociated,
        an address the gateway allocated itself is released."""
        ec2 = self.ec2(gw.region, gw.account_number)
        if gw.allocation_id:
            try:
                addr = ec2.describe_addresses(AllocationIds=[gw.allocation_id])["Addresses"]
            except ClientError:
                addr = []
            if addr and addr[0].get("AssociationId") and addr[0].get("InstanceId") == gw.instance_id:
                ec2.disassociate_address(AssociationId=addr[0]["AssociationId"])
            if addr and not gw.eip_given:
                ec2.release_address(AllocationId=gw.allocation_id)
        if gw.instance_id:
            ec2.terminate_instances(InstanceIds=[gw.instance_id])

    def resize(self, gw: Gateway, size: str) -> None:
        try:
            self.ec2(gw.region, gw.account_number).modify_instance_attribute(
                InstanceId=gw.instance_id, InstanceType={"Value": size})
        except ClientError as err:
            raise ControllerError(f"Resizing gateway {gw.name} failed: {_aws_reason(err)}") from None

    # -- single-IP SNAT ----------------------------------------------------

    def _zones(self, ec2: Any, vpc_id: str) -> dict[str, str]:
        subnets = ec2.describe_subnets(Filters=[{"Name": "vpc-id", "Values": [vpc_id]}])["Subnets"]
        return {s["SubnetId"]: s["AvailabilityZone"] for s in subnets}

    @staticmethod
    def _member_for(zone: str | None, members: list[Gateway]) -> Gateway:
        """The gateway of a zone: the primary if it is there, else the oldest HA
        gateway there, else the primary."""
        for gw in members:
            if zone is not None and gw.zone == zone:
                return gw
        return members[0]

    def snat_enable(self, members: list[Gateway]) -> dict[str, SnatRoute]:
        """Point every private default route of the primary's VPC at a gateway.

        `members` is the primary followed by its HA gateways.  Returns, per
        route table, where its default route went before.
        """
        primary = members[0]
        ec2 = self.ec2(primary.region, primary.account_number)
        zones = self._zones(ec2, primary.vpc_id)
        taken: dict[str, SnatRoute] = {}
        for table in routes.private_route_tables(ec2, primary.vpc_id):
            route = routes.default_route(table)
            target = routes.route_target(route)
            if target is None:
                continue
            nat_subnet = None
            if target[0] == "NatGatewayId":
                nat = routes.nat_gateway(ec2, target[1])
                nat_subnet = nat["SubnetId"] if nat else None
            zone = None
            for subnet_id in routes.associated_subnets(table):
                zone = zones.get(subnet_id)
                if zone:
                    break
            if zone is None and nat_subnet:
                zone = zones.get(nat_subnet)
            gw = self._member_for(zone, members)
            routes.point_default_route(ec2, table, "InstanceId", gw.instance_id)
            taken[table["RouteTableId"]] = SnatRoute(zone, target, nat_subnet)
        return taken

    def snat_repoint(self, members: list[Gateway]) -> None:
        """After an HA gateway came or went: send each zone to its gateway now."""
        primary = members[0]
        ec2 = self.ec2(primary.region, primary.account_number)
        tables = {t["RouteTableId"]: t for t in routes.vpc_route_tables(ec2, primary.vpc_id)}
        for table_id, taken in primary.snat_routes.items():
            table = tables.get(table_id)
            if table is None:
                continue
            gw = self._member_for(taken.zone, members)
            if routes.route_target(routes.default_route(table)) != ("InstanceId", gw.instance_id):
                routes.point_default_route(ec2, table, "InstanceId", gw.instance_id)

    def snat_restore(self, primary: Gateway) -> list[str]:
        """Put every route SNAT took back where it was; returns notes on the
        routes that could not go back."""
        ec2 = self.ec2(primary.region, primary.account_number)
        tables = {t["RouteTableId"]: t for t in routes.vpc_route_tables(ec2, primary.vpc_id)}
        notes = []
        for table_id, taken in primary.snat_routes.items():
            table = tables.get(table_id)
            if table is None:
                notes.append(f"route table {table_id} no longer exists")
                continue
            target = taken.target
            if not routes.target_exists(ec2, target):
                target = self._nat_in_subnet(ec2, taken.nat_subnet_id)
            if target is None:
                old = "=".join(taken.target)
                ec2.create_tags(Resources=[table_id], Tags=[
                    {"Key": UNRESOLVED_TAG, "Value": f"previous default route target {old} no longer exists"}])
                notes.append(f"route table {table_id} left on gateway {primary.name}: "
                             f"its previous target {taken.target[1]} no longer exists")
                continue
            routes.point_default_route(ec2, table, *target)
        return notes

    @staticmethod
    def _nat_in_subnet(ec2: Any, subnet_id: str | None) -> tuple[str, str] | None:
        if not subnet_id:
            return None
        nats = ec2.describe_nat_gateways(Filters=[
            {"Name": "subnet-id", "Values": [subnet_id]},
            {"Name": "state", "Values": list(routes.LIVE_NAT_STATES)},
        ])["NatGateways"]
        nats.sort(key=lambda n: n["State"] != "available")
        return ("NatGatewayId", nats[0]["NatGatewayId"]) if nats else None
