"""Reading and writing single routes of a VPC's route tables.

DescribeRouteTables reports a route's destination and target under one of
several keys; ReplaceRoute and CreateRoute take them back as parameters of
(mostly) the same names.  This module keeps that mapping in one place.
"""

from __future__ import annotations

from typing import Optional

from morvent.lib.awsutil import is_not_found

DEFAULT_DESTINATION = "0.0.0.0/0"

#: Keys under which a route names its destination, and the same parameter
#: names for CreateRoute / ReplaceRoute.
DESTINATION_KEYS = (
    "DestinationCidrBlock",
    "DestinationIpv6CidrBlock",
    "DestinationPrefixListId",
)

#: Keys under which a route names its target, most specific first.  A route
#: through an instance carries both InstanceId and NetworkInterfaceId; the
#: interface is the more precise of the two, so it wins.
TARGET_KEYS = (
    "NatGatewayId",
    "NetworkInterfaceId",
    "InstanceId",
    "TransitGatewayId",
    "VpcPeeringConnectionId",
    "GatewayId",
    "EgressOnlyInternetGatewayId",
    "LocalGatewayId",
    "CarrierGatewayId",
    "CoreNetworkArn",
)


def route_tables(ec2, vpc_id: str) -> list[dict]:
    """All route tables of the VPC, in route table id order."""
    tables: list[dict] = []
    paginator = ec2.get_paginator("describe_route_tables")
    for page in paginator.paginate(Filters=[{"Name": "vpc-id", "Values": [vpc_id]}]):
        tables.extend(page.get("RouteTables", []))
    tables.sort(key=lambda t: t["RouteTableId"])
    return tables


def route_tables_by_id(ec2, vpc_id: str) -> dict[str, dict]:
    """All route tables of the VPC by id, from one describe.

    For a restore that changes many tables: one look at all of them just
    before the changes instead of one describe per table.
    """
    return {table["RouteTableId"]: table for table in route_tables(ec2, vpc_id)}


def route_table(ec2, route_table_id: str) -> Optional[dict]:
    """One route table, or None when it no longer exists."""
    try:
        found = ec2.describe_route_tables(RouteTableIds=[route_table_id])["RouteTables"]
    except Exception as exc:  # noqa: BLE001 - only "not found" is expected
        if is_not_found(exc):
            return None
        raise
    return found[0] if found else None


def destination(route: dict) -> Optional[tuple[str, str]]:
    """The route's destination as (parameter name, value), or None."""
    for key in DESTINATION_KEYS:
        if route.get(key):
            return key, route[key]
    return None


def find_route(table: dict, dest_key: str, dest_value: str) -> Optional[dict]:
    """The table's route for that destination, or None."""
    for route in table.get("Routes", []):
        if route.get(dest_key) == dest_value:
            return route
    return None


def default_route(table: dict) -> Optional[dict]:
    """The table's IPv4 default route (0.0.0.0/0), or None."""
    return find_route(table, "DestinationCidrBlock", DEFAULT_DESTINATION)


def target(route: dict) -> Optional[tuple[str, str]]:
    """The route's target as (describe key, id), or None."""
    for key in TARGET_KEYS:
        value = route.get(key)
        if value:
            return key, value
    return None


def target_param(key: str, value: str) -> str:
    """The CreateRoute/ReplaceRoute parameter for a target of that key."""
    if key == "GatewayId" and value.startswith("vpce-"):
        # Gateway Load Balancer endpoints are listed as gateways but must be
        # given back as endpoints.
        return "VpcEndpointId"
    return key


def set_route(
    ec2,
    route_table_id: str,
    dest_key: str,
    dest_value: str,
    target_key: str,
    target_id: str,
    create: bool = False,
) -> None:
    """Point one route at a target (ReplaceRoute, or CreateRoute if ``create``)."""
    params = {
        "RouteTableId": route_table_id,
        dest_key: dest_value,
        target_param(target_key, target_id): target_id,
    }
    if create:
        ec2.create_route(**params)
    else:
        ec2.replace_route(**params)
