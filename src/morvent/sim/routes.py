"""Route-table facts shared by the simulated controller and the world helpers."""

from __future__ import annotations

from typing import Any, Iterable

DEFAULT_ROUTE = "0.0.0.0/0"

# Keys of an EC2 route that name where the traffic goes, most specific first.
TARGET_KEYS = (
    "NatGatewayId",
    "InstanceId",
    "NetworkInterfaceId",
    "TransitGatewayId",
    "VpcPeeringConnectionId",
    "EgressOnlyInternetGatewayId",
    "CarrierGatewayId",
    "LocalGatewayId",
    "GatewayId",
)


LIVE_NAT_STATES = ("pending", "available")
DEAD_INSTANCE_STATES = ("shutting-down", "terminated")


def default_route(table: dict) -> dict | None:
    """The IPv4 default route of a route table, or None."""
    for route in table.get("Routes", []):
        if route.get("DestinationCidrBlock") == DEFAULT_ROUTE:
            return route
    return None


def route_target(route: dict | None) -> tuple[str, str] | None:
    """(key, id) of the target of a route, e.g. ("NatGatewayId", "nat-1")."""
    if route is None:
        return None
    for key in TARGET_KEYS:
        value = route.get(key)
        if value:
            return key, value
    return None


def is_public(table: dict) -> bool:
    """A public route table sends its default route to an internet gateway."""
    target = route_target(default_route(table))
    return target is not None and target[0] == "GatewayId" and target[1].startswith("igw-")


def vpc_route_tables(ec2: Any, vpc_id: str | None = None) -> list[dict]:
    filters = [{"Name": "vpc-id", "Values": [vpc_id]}] if vpc_id else []
    tables: list[dict] = []
    for page in ec2.get_paginator("describe_route_tables").paginate(Filters=filters):
        tables.extend(page["RouteTables"])
    return tables


def private_route_tables(ec2: Any, vpc_id: str | None = None) -> list[dict]:
    return [t for t in vpc_route_tables(ec2, vpc_id) if not is_public(t)]


def associated_subnets(table: dict) -> list[str]:
    return [a["SubnetId"] for a in table.get("Associations", []) if a.get("SubnetId")]


def subnet_table(tables: Iterable[dict], subnet_id: str) -> dict | None:
    """The route table a subnet uses: its explicit one, else the VPC's main one."""
    main = None
    for table in tables:
        for assoc in table.get("Associations", []):
            if assoc.get("SubnetId") == subnet_id:
                return table
            if assoc.get("Main"):
                main = table
    return main


def nat_gateway(ec2: Any, nat_id: str) -> dict | None:
    found = ec2.describe_nat_gateways(
        Filters=[{"Name": "nat-gateway-id", "Values": [nat_id]}])["NatGateways"]
    return found[0] if found else None


def instance(ec2: Any, instance_id: str) -> dict | None:
    try:
        found = ec2.describe_instances(InstanceIds=[instance_id])["Reservations"]
    except ec2.exceptions.ClientError as err:
        if "NotFound" in err.response.get("Error", {}).get("Code", ""):
            return None
        raise
    for reservation in found:
        for inst in reservation["Instances"]:
            return inst
    return None


def target_exists(ec2: Any, target: tuple[str, str] | None, route: dict | None = None) -> bool:
    """Whether the target of a route is still there to carry traffic."""
    if target is None:
        return False
    if route is not None and route.get("State") == "blackhole":
        return False
    key, value = target
    if key == "NatGatewayId":
        nat = nat_gateway(ec2, value)
        return nat is not None and nat["State"] in LIVE_NAT_STATES
    if key == "InstanceId":
        inst = instance(ec2, value)
        return inst is not None and inst["State"]["Name"] not in DEAD_INSTANCE_STATES
    if key == "NetworkInterfaceId":
        try:
            ec2.describe_network_interfaces(NetworkInterfaceIds=[value])
        except ec2.exceptions.ClientError:
            return False
        return True
    # Gateways, peerings and the like are not created or removed here.
    return True


def point_default_route(ec2: Any, table: dict, key: str, value: str) -> None:
    """Send a table's default route to a target, creating the route if needed."""
    params = {"RouteTableId": table["RouteTableId"], "DestinationCidrBlock": DEFAULT_ROUTE,
              key: value}
    if default_route(table) is None:
        ec2.create_route(**params)
    else:
        ec2.replace_route(**params)
