"""What the simulated EC2 does that plain moto does not, and handles on its state.

moto models the EC2 API well enough for the package, but leaves out a few
facts that decide whether a replacement is sound.  While a simulated cloud
runs (`patched()`), these hold:

- deleting a NAT gateway frees its Elastic IP addresses (moto keeps them
  associated with the gateway's network interface for ever);
- a route whose target is gone (a NAT gateway deleted or failed, an instance
  terminated, a network interface deleted) reads as State "blackhole";
- CreateRoute and ReplaceRoute refuse a NAT gateway that does not exist or
  no longer serves (deleted, failed), as EC2 does (moto would make a route
  with no target);
- CreateNatGateway takes SecondaryAllocationIds, and every address of a NAT
  gateway says whether it is the primary one (IsPrimary).

The functions below change the state of the simulated cloud directly, for
worlds that need what the API cannot make: a NAT gateway stuck in "pending"
or "failed", or one whose secondary address is listed before its primary.
moto keeps its state in this process, so they work while an `AwsEndpoint`
of this process runs.
"""

from __future__ import annotations

import inspect
from typing import Any

from .patches import SharedPatch

#: NAT gateway states in which a gateway carries traffic.
SERVING_NAT_STATES = ("pending", "available")
_DEAD_INSTANCE_STATES = ("shutting-down", "terminated")

_saved: dict[str, Any] = {}


def backend(region: str = "us-east-1") -> Any:
    """moto's EC2 state of the default account in ``region``."""
    from moto.core import DEFAULT_ACCOUNT_ID
    from moto.ec2.models import ec2_backends

    return ec2_backends[DEFAULT_ACCOUNT_ID][region]


def _nat_not_found(nat_id: str) -> Exception:
    from moto.ec2.exceptions import EC2ClientError

    return EC2ClientError("InvalidNatGatewayID.NotFound",
                          f"The natGateway ID '{nat_id}' does not exist")


def _check_nat_target(ec2_backend: Any, nat_id: str | None) -> None:
    if nat_id is None:
        return
    nat = ec2_backend.nat_gateways.get(nat_id)
    if nat is None or nat.state not in SERVING_NAT_STATES:
        raise _nat_not_found(nat_id)


def _route_state(route: Any) -> str:
    nat = route.nat_gateway
    if nat is not None and nat.state not in SERVING_NAT_STATES:
        return "blackhole"
    instance = route.instance
    if instance is not None and instance.state in _DEAD_INSTANCE_STATES:
        return "blackhole"
    eni = route.interface
    if eni is not None and eni.id not in route.route_table.ec2_backend.enis:
        return "blackhole"
    return "active"


def _install() -> None:
    from moto.ec2.models.nat_gateways import NatGatewayBackend
    from moto.ec2.models.route_tables import Route, RouteBackend
    from moto.ec2.responses.nat_gateways import NatGateways

    _saved.update(delete=NatGatewayBackend.delete_nat_gateway,
                  create=NatGatewayBackend.create_nat_gateway,
                  create_response=NatGateways.create_nat_gateway,
                  state=Route.__dict__["state"],
                  create_route=RouteBackend.create_route,
                  replace_route=RouteBackend.replace_route)

    def delete_nat_gateway(self: Any, nat_gateway_id: str) -> Any:
        nat = _saved["delete"](self, nat_gateway_id)
        release_addresses(self, nat)
        return nat

    def create_nat_gateway(self: Any, subnet_id: str, allocation_id: str,
                           tags: Any = None, connectivity_type: str = "public",
                           secondary_allocation_ids: list[str] | None = None) -> Any:
        nat = _saved["create"](self, subnet_id, allocation_id, tags, connectivity_type)
        for address in nat.address_set:
            address["isPrimary"] = True
            address["status"] = "succeeded"
        primary_ip = nat._eni.public_ip
        for secondary in secondary_allocation_ids or []:
            eip = self.associate_address(eni=nat._eni, allocation_id=secondary)
            nat.address_set.append({
                "allocationId": secondary, "publicIp": eip.public_ip,
                "associationId": eip.association_id, "networkInterfaceId": nat._eni.id,
                "privateIp": nat._eni.private_ip_address, "isPrimary": False,
                "status": "succeeded"})
        nat._eni.public_ip = primary_ip
        return nat

    def create_response(self: Any) -> Any:
        from moto.core.responses import ActionResult
        from moto.ec2.utils import add_tag_specification

        nat = self.ec2_backend.create_nat_gateway(
            subnet_id=self._get_param("SubnetId"),
            allocation_id=self._get_param("AllocationId"),
            tags=add_tag_specification(self._get_param("TagSpecifications", [])),
            connectivity_type=self._get_param("ConnectivityType"),
            secondary_allocation_ids=self._get_param("SecondaryAllocationIds", []))
        return ActionResult({"NatGateway": nat})

    def checking(name: str) -> Any:
        original = _saved[name]
        signature = inspect.signature(original)

        def method(self: Any, *args: Any, **kwargs: Any) -> Any:
            bound = signature.bind(self, *args, **kwargs)
            _check_nat_target(self, bound.arguments.get("nat_gateway_id"))
            return original(self, *args, **kwargs)
        return method

    create_route, replace_route = checking("create_route"), checking("replace_route")

    NatGatewayBackend.delete_nat_gateway = delete_nat_gateway
    NatGatewayBackend.create_nat_gateway = create_nat_gateway
    NatGateways.create_nat_gateway = create_response
    Route.state = property(_route_state)
    RouteBackend.create_route = create_route
    RouteBackend.replace_route = replace_route


def _uninstall() -> None:
    from moto.ec2.models.nat_gateways import NatGatewayBackend
    from moto.ec2.models.route_tables import Route, RouteBackend
    from moto.ec2.responses.nat_gateways import NatGateways

    NatGatewayBackend.delete_nat_gateway = _saved["delete"]
    NatGatewayBackend.create_nat_gateway = _saved["create"]
    NatGateways.create_nat_gateway = _saved["create_response"]
    Route.state = _saved["state"]
    RouteBackend.create_route = _saved["create_route"]
    RouteBackend.replace_route = _saved["replace_route"]
    _saved.clear()


#: ``with patched():`` the facts above hold; nested and concurrent uses share one patch.
patched = SharedPatch(_install, _uninstall)


def release_addresses(ec2_backend: Any, nat: Any) -> None:
    """Let go of every Elastic IP held by the NAT gateway's network interface."""
    eni = getattr(nat, "_eni", None)
    for eip in list(getattr(ec2_backend, "addresses", [])):
        if eni is not None and getattr(eip, "eni", None) is eni:
            ec2_backend.disassociate_address(address=eip.public_ip)


def set_nat_state(nat_id: str, state: str, region: str = "us-east-1",
                  failure: str | None = None) -> None:
    """Put a NAT gateway into ``state`` ("pending", "failed", ...).

    A failed gateway lets go of its addresses, as one that never came up.
    """
    ec2_backend = backend(region)
    nat = ec2_backend.nat_gateways[nat_id]
    nat.state = state
    if state == "failed":
        release_addresses(ec2_backend, nat)
        nat.failure_code = "Gateway.NotAttached"
        nat.failure_message = failure or "Network vpc-... has no Internet gateway attached"


def list_secondary_first(nat_id: str, region: str = "us-east-1") -> None:
    """Reorder the NAT gateway's addresses so that a secondary one comes first."""
    nat = backend(region).nat_gateways[nat_id]
    nat.address_set.sort(key=lambda a: bool(a.get("isPrimary")))
