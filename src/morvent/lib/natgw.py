"""NAT gateway discovery, lookup and deletion.

Only public NAT gateways take part in a replacement: a private one has no
Elastic IP address for a spoke gateway to take over, so the look-ups here
leave private NAT gateways out.

Deleting a NAT gateway frees its Elastic IP address only once the gateway
is gone, which takes minutes.  `NatGwCmd.delete` waits for both, within the
bounds below, so that the next step can hand the address to a spoke gateway.
Its memento puts an equivalent NAT gateway back: same subnet, same Elastic
IP allocation, and the routes that used the old gateway pointed at the new.

The descriptions handed out here list the address AWS marks as primary
first: AWS promises no order, and the replacement takes the first listed
address as the one a spoke gateway takes over.

Before a NAT gateway is deleted, every route that still uses it is parked
where it keeps working (see `nat_routes`): nothing is deleted while a route
points at it.

A replacement refreshes its NAT gateway records, one subnet at a time,
right after the discovery has described every NAT gateway of the VPC.  So
`get_existing_natgws` keeps what it saw, and `get_natgw_by_subnet` answers
from it instead of asking EC2 again -- once per subnet, for the same client
and VPC, within `DISCOVERY_FRESH_FOR` seconds, and only while nothing was
changed through that client or by this module since.  The sizing that
comes in between takes the subnets' CIDR blocks and zones, which never
change, from what the discovery read too.  Every other look-up, in
particular the one made just before a change, asks EC2.
"""

from __future__ import annotations

import copy
import logging
import os
import time
from typing import Any, Iterable, Optional

from botocore.exceptions import ClientError

from morvent.commands.memento import Memento
from morvent.lib import nat_routes, routes
from morvent.lib.awsutil import (
    AwsStepError,
    WaitTimeout,
    describe_interface,
    dry_run,
    ec2_client,
    is_not_found,
    wait_until,
    write_json_atomic,
)

#: Seconds to wait for a NAT gateway to reach "deleted" (AWS: a few minutes).
NATGW_DELETE_TIMEOUT = 900.0
#: Seconds to wait for a new NAT gateway to become "available".
NATGW_CREATE_TIMEOUT = 900.0
#: Seconds to wait for an Elastic IP address to be let go of by its holder.
EIP_RELEASE_TIMEOUT = 600.0
#: Seconds between two polls of any of these waits.
POLL_INTERVAL = 15.0

#: States of a NAT gateway that serves, or is about to serve, traffic.
LIVE_STATES = ("available", "pending")
#: Seconds for which the discovery's view answers the look-ups by subnet.
DISCOVERY_FRESH_FOR = 30.0


def _is_public(natgw: dict) -> bool:
    return natgw.get("ConnectivityType", "public") != "private"


def _describe(ec2, filters: list[dict]) -> list[dict]:
    found: list[dict] = []
    paginator = ec2.get_paginator("describe_nat_gateways")
    for page in paginator.paginate(Filter=filters):
        found.extend(page.get("NatGateways", []))
    return found


def describe_natgw(ec2, nat_gw_id: str) -> Optional[dict]:
    """The NAT gateway's description in any state, or None if EC2 has none."""
    try:
        found = ec2.describe_nat_gateways(NatGatewayIds=[nat_gw_id])["NatGateways"]
    except ClientError as exc:
        if is_not_found(exc):
            return None
        raise
    return found[0] if found else None


def primary_address(natgw: dict) -> dict:
    """The NAT gateway's primary address entry (an empty dict if none)."""
    addresses = natgw.get("NatGatewayAddresses") or []
    for address in addresses:
        if address.get("IsPrimary"):
            return address
    return addresses[0] if addresses else {}


def primary_first(natgw: dict) -> dict:
    """The description with its primary address listed first (a copy when it moves)."""
    addresses = natgw.get("NatGatewayAddresses") or []
    primary = primary_address(natgw)
    if not addresses or addresses[0] is primary:
        return natgw
    return {**natgw, "NatGatewayAddresses": [primary] + [a for a in addresses
                                                          if a is not primary]}


# -- what the discovery saw ------------------------------------------------------

class _Discovery:
    """The public live NAT gateways of one VPC as one describe saw them, by subnet."""

    def __init__(self, ec2: Any, vpc_id: str, natgws: list[dict]):
        self.ec2 = ec2
        self.vpc_id = vpc_id
        self.fresh_until = time.monotonic() + DISCOVERY_FRESH_FOR
        self.by_subnet: dict[str, list[dict]] = {}
        #: Descriptions of the subnets read meanwhile, by id.
        self.subnets: dict[str, dict] = {}
        #: True once every subnet of the VPC is among them.
        self.all_subnets = False
        for natgw in natgws:
            self.by_subnet.setdefault(natgw["SubnetId"], []).append(copy.deepcopy(natgw))


_discovery: Optional[_Discovery] = None
_HANDLER_ID = "morvent-natgw-discovery"


def forget_discovery() -> None:
    """Stop answering look-ups from the last discovery (EC2 is asked again)."""
    global _discovery
    _discovery = None


def _forget_on_change(model: Any, **_: Any) -> None:
    if not model.name.startswith(("Describe", "Get", "List")):
        forget_discovery()


def _remember_discovery(ec2: Any, vpc_id: str, natgws: list[dict]) -> None:
    global _discovery
    events = getattr(getattr(ec2, "meta", None), "events", None)
    if events is None:
        _discovery = None  # no way to notice changes made through this client
        return
    events.register("before-call", _forget_on_change, unique_id=_HANDLER_ID)
    _discovery = _Discovery(ec2, vpc_id, natgws)


def _fresh_discovery(ec2: Any) -> Optional[_Discovery]:
    """The last discovery when it was made through ``ec2`` and is still fresh."""
    seen = _discovery
    if seen is None or seen.ec2 is not ec2:
        return None
    if time.monotonic() > seen.fresh_until:
        forget_discovery()
        return None
    return seen


def _discovered(ec2: Any, subnet_id: str, vpc_id: str) -> Optional[list[dict]]:
    """The discovery's NAT gateways of the subnet, once; None when EC2 must be asked."""
    seen = _fresh_discovery(ec2)
    if seen is None or seen.vpc_id != vpc_id:
        return None
    return seen.by_subnet.pop(subnet_id, None)


def describe_subnets(ec2: Any, subnet_ids: Iterable[str]) -> dict[str, dict]:
    """Subnet id -> DescribeSubnets entry, for each of ``subnet_ids``.

    A subnet's CIDR block and zone never change, so what the discovery read
    serves the sizing that follows it.
    """
    ids = sorted(set(subnet_ids))
    if not ids:
        return {}
    seen = _fresh_discovery(ec2)
    if seen is not None and all(i in seen.subnets for i in ids):
        return {i: copy.deepcopy(seen.subnets[i]) for i in ids}
    found = {s["SubnetId"]: s for s in ec2.describe_subnets(SubnetIds=ids)["Subnets"]}
    if seen is not None:
        seen.subnets.update(copy.deepcopy(found))
    return found


def vpc_subnets(ec2: Any, vpc_id: str) -> dict[str, dict]:
    """Subnet id -> DescribeSubnets entry, for every subnet of the VPC.

    Right after the discovery, what it read answers (it reads them all).
    """
    seen = _fresh_discovery(ec2)
    if seen is not None and seen.vpc_id == vpc_id and seen.all_subnets:
        return copy.deepcopy(seen.subnets)
    found = {}
    paginator = ec2.get_paginator("describe_subnets")
    for page in paginator.paginate(Filters=[{"Name": "vpc-id", "Values": [vpc_id]}]):
        found.update({s["SubnetId"]: s for s in page.get("Subnets", [])})
    if seen is not None and seen.vpc_id == vpc_id:
        seen.subnets.update(copy.deepcopy(found))
        seen.all_subnets = True
    return found


def get_existing_natgws(ec2, nat_gw_ids: Optional[Iterable[str]], vpc_id: str) -> list[dict]:
    """The VPC's available public NAT gateways, as DescribeNatGateways entries.

    With ``nat_gw_ids`` given, only those gateways.  The order is stable
    from run to run: by availability zone, then subnet id, then gateway id;
    the first one becomes the primary spoke gateway.  The pending ones are
    described too, so that what was seen can answer the look-ups by subnet
    that follow (see the module's description).
    """
    logger = logging.getLogger(__name__)
    filters = [
        {"Name": "vpc-id", "Values": [vpc_id]},
        {"Name": "state", "Values": list(LIVE_STATES)},
    ]
    described = _describe(ec2, filters)
    _remember_discovery(ec2, vpc_id, [n for n in described
                                      if _is_public(n) and n.get("State") in LIVE_STATES])
    natgws = []
    wanted = set(nat_gw_ids) if nat_gw_ids is not None else None
    for natgw in described:
        if natgw.get("State") != "available":
            continue
        if wanted is not None and natgw["NatGatewayId"] not in wanted:
            continue
        if not _is_public(natgw):
            logger.info("  skipping private NAT gateway %s (no Elastic IP to take over)",
                        natgw["NatGatewayId"])
            continue
        natgws.append(primary_first(natgw))
    zones = {i: s.get("AvailabilityZone", "") for i, s in vpc_subnets(ec2, vpc_id).items()}
    natgws.sort(key=lambda n: (zones.get(n["SubnetId"], ""), n["SubnetId"], n["NatGatewayId"]))
    logger.info("- Found %d available NAT gateway(s) in %s", len(natgws), vpc_id)
    for natgw in natgws:
        logger.info("  %s in %s (%s), %s", natgw["NatGatewayId"], natgw["SubnetId"],
                    zones.get(natgw["SubnetId"], "?"), primary_address(natgw).get("PublicIp"))
    return natgws


def get_natgw_by_subnet(ec2, subnet_id: str, vpc_id: str) -> list[dict]:
    """The subnet's public NAT gateways that are available or pending.

    Ordered available before pending, then newest first, then by id, so the
    first entry is the one that serves the subnet now (or is about to); each
    lists its primary address first.  Right after `get_existing_natgws`, the
    answer may be what it saw.
    """
    natgws = _discovered(ec2, subnet_id, vpc_id)
    if natgws is None:
        filters = [
            {"Name": "vpc-id", "Values": [vpc_id]},
            {"Name": "subnet-id", "Values": [subnet_id]},
            {"Name": "state", "Values": list(LIVE_STATES)},
        ]
        natgws = _describe(ec2, filters)
    natgws = [primary_first(n) for n in natgws
              if _is_public(n) and n.get("State") in LIVE_STATES]
    # Three stable sorts, least significant key first.
    natgws.sort(key=lambda n: n["NatGatewayId"])
    natgws.sort(key=lambda n: str(n.get("CreateTime", "")), reverse=True)
    natgws.sort(key=lambda n: LIVE_STATES.index(n["State"]))
    return natgws


def find_address(ec2, public_ip: Optional[str] = None,
                 allocation_id: Optional[str] = None) -> Optional[dict]:
    """The Elastic IP address entry by allocation id or public IP, or None."""
    try:
        if allocation_id:
            found = ec2.describe_addresses(AllocationIds=[allocation_id])["Addresses"]
        elif public_ip:
            found = ec2.describe_addresses(PublicIps=[public_ip])["Addresses"]
        else:
            return None
    except ClientError as exc:
        if is_not_found(exc) or "InvalidAddress" in str(exc):
            return None
        raise
    return found[0] if found else None


def routes_using(ec2, vpc_id: str, nat_gw_id: str) -> list[list[str]]:
    """[route table id, destination key, destination] of every route of the
    VPC whose target is the NAT gateway."""
    return _routes_through(routes.route_tables(ec2, vpc_id), nat_gw_id)


def _routes_through(tables: Iterable[dict], nat_gw_id: str) -> list[list[str]]:
    used = []
    for table in tables:
        for route in table.get("Routes", []):
            dest = routes.destination(route)
            if dest and route.get("NatGatewayId") == nat_gw_id:
                used.append([table["RouteTableId"], dest[0], dest[1]])
    return used


def _holder(address: dict) -> str:
    instance, interface = address.get("InstanceId"), address.get("NetworkInterfaceId")
    if instance:
        return f"instance {instance}" + (f" (interface {interface})" if interface else "")
    if interface:
        return f"network interface {interface}"
    return address.get("AssociationId", "?")


def address_instance(ec2, address: dict) -> Optional[str]:
    """The EC2 instance that holds the Elastic IP address entry, or None.

    An address associated through a network interface names the instance
    only on the interface's attachment.
    """
    if address.get("InstanceId"):
        return address["InstanceId"]
    eni_id = address.get("NetworkInterfaceId")
    if not eni_id:
        return None
    eni = describe_interface(ec2, eni_id)
    return ((eni or {}).get("Attachment") or {}).get("InstanceId")


def _let_go_of_address(ec2, address: dict, logger: logging.Logger) -> None:
    """Drop an association that a deleted NAT gateway's interface still holds.

    EC2 lets go of it by itself once the gateway is deleted; asking for it
    does no harm and covers EC2 look-alikes that never do.
    """
    try:
        ec2.disassociate_address(AssociationId=address["AssociationId"])
        logger.info("  released %s from the deleted NAT gateway's interface %s",
                    address.get("PublicIp"), address.get("NetworkInterfaceId"))
    except ClientError as exc:
        logger.info("  %s is still being released (%s)", address.get("PublicIp"), exc)


def wait_address_free(ec2, public_ip: Optional[str], allocation_id: Optional[str],
                      stale_interfaces: Iterable[str], logger: logging.Logger,
                      give_up_on_other_holder: bool) -> Optional[dict]:
    """Wait until the Elastic IP address has no association.

    ``stale_interfaces`` are network interfaces of NAT gateways that were
    deleted; an association with one of them is dropped.  An association
    with anything else is waited out, unless ``give_up_on_other_holder``,
    in which case the address entry is returned at once (the caller warns).
    Returns None when the address is free.
    """
    stale = set(stale_interfaces)
    label = public_ip or allocation_id
    held_by_other: list[dict] = []

    def check():
        address = find_address(ec2, public_ip, allocation_id)
        if address is None:
            raise AwsStepError(
                f"Elastic IP {label} is no longer allocated in this account and region"
            )
        if not address.get("AssociationId"):
            return True
        if address.get("NetworkInterfaceId") in stale:
            _let_go_of_address(ec2, address, logger)
            address = find_address(ec2, public_ip, allocation_id) or {}
            return not address.get("AssociationId")
        held_by_other.append(address)
        return give_up_on_other_holder

    try:
        wait_until(check, f"Elastic IP {label} to be free",
                   EIP_RELEASE_TIMEOUT, POLL_INTERVAL, logger)
    except WaitTimeout as exc:
        holder = _holder(held_by_other[-1]) if held_by_other else "a NAT gateway"
        timeout = WaitTimeout(f"{exc}; it is still associated with {holder}")
        # For callers that phrase their own message: what the wait saw last.
        timeout.address = held_by_other[-1] if held_by_other else None
        timeout.waited = str(exc)
        raise timeout from None
    return held_by_other[-1] if give_up_on_other_holder and held_by_other else None


def run_records(record: dict) -> tuple[list[dict], int]:
    """The NAT gateway records of the run under way and the position of ``record``
    among them; ([record], 0) outside a run (no discovery recorded)."""
    from morvent.commands.history import CommandHistory

    try:
        records = CommandHistory.get_discovered_natgws()
    except Exception:  # noqa: BLE001 - no history bound: not inside a run
        records = []
    for index, known in enumerate(records):
        if known is record or (isinstance(known, dict)
                               and known.get("subnet_id") == record.get("subnet_id")):
            return records, index
    return [record], 0


class NatGwCmd:
    """Deletes NAT gateways of one VPC, keeping what it takes to put them back."""

    def __init__(self, ec2, vpc_id: str, folder: str, version: str = "v2"):
        self.ec2 = ec2
        self.vpc_id = vpc_id
        self.folder = folder
        self.version = version

    def delete(self, record: dict) -> "NatGwDeleteMemento":
        """Delete the record's NAT gateway and wait until its Elastic IP is free.

        First, when an earlier NAT gateway of the run was replaced, the routes
        the tool moves are settled onto its spoke gateway and every route is
        checked against the plan (AwsStepError when one differs: that
        replacement is then undone).  Then every route that still uses this
        NAT gateway is parked where it keeps working.  When the gateway is
        already gone (a resumed run), nothing is deleted and the memento is
        built from what the record carries.
        """
        logger = logging.getLogger(__name__)
        forget_discovery()
        ec2 = self.ec2
        subnet_id = record["subnet_id"]
        nat_gw_id = record.get("nat_gw_id")
        natgw = describe_natgw(ec2, nat_gw_id) if nat_gw_id else None
        if natgw is None and not nat_gw_id:
            live = get_natgw_by_subnet(ec2, subnet_id, self.vpc_id)
            natgw = live[0] if live else None
            nat_gw_id = natgw["NatGatewayId"] if natgw else None
        state = natgw.get("State") if natgw else "deleted"
        logger.info("- Deleting NAT gateway %s in %s", nat_gw_id, subnet_id)
        if natgw is not None and (natgw.get("VpcId") != self.vpc_id
                                  or natgw.get("SubnetId") != subnet_id):
            # A record that names another subnet's or VPC's gateway is
            # damaged; deleting that gateway would cut someone else's traffic.
            raise AwsStepError(
                f"refusing to delete {nat_gw_id}: it is in {natgw.get('SubnetId')} of "
                f"{natgw.get('VpcId')}, but the record says {subnet_id} of {self.vpc_id}"
            )
        records, index = run_records(record)
        if index > 0 and state not in ("deleted", "deleting"):
            previous = records[index - 1]
            nat_routes.settle_and_check(
                ec2, self.vpc_id, records, logger,
                f"the replacement of {previous.get('nat_gw_id')} ({previous.get('eip')})")

        address = primary_address(natgw) if natgw else {}
        eip = address.get("PublicIp") or record.get("eip")
        allocation_id = address.get("AllocationId")
        if not allocation_id and eip:
            found = find_address(ec2, public_ip=eip)
            allocation_id = found.get("AllocationId") if found else None
        allocation_id = allocation_id or record.get("allocation_id")
        if not allocation_id:
            logger.warning("  the Elastic IP allocation of %s (%s) cannot be found; "
                           "the NAT gateway cannot be put back without it", nat_gw_id, eip)
        secondary = [a.get("AllocationId") for a in (natgw or {}).get("NatGatewayAddresses", [])
                     if a.get("AllocationId") and a.get("AllocationId") != allocation_id]
        interfaces = [a["NetworkInterfaceId"] for a in (natgw or {}).get("NatGatewayAddresses", [])
                      if a.get("NetworkInterfaceId")]
        memento = NatGwDeleteMemento.make(
            vpc_id=self.vpc_id,
            subnet_id=subnet_id,
            subnet_cidr=record.get("subnet_cidr"),
            nat_gw_id=nat_gw_id,
            eip=eip,
            allocation_id=allocation_id,
            secondary_allocation_ids=secondary,
            private_ip=address.get("PrivateIp") or record.get("private_ip"),
            network_interface_ids=interfaces,
            tags=[t for t in (natgw or {}).get("Tags", [])
                  if not t.get("Key", "").startswith("aws:")],
            routes=routes_using(ec2, self.vpc_id, nat_gw_id) if nat_gw_id else [],
            parked=[],
            made_in_dry_run=dry_run(),
        )
        for rtb, _key, dest in memento.routes:
            logger.info("  used by %s for %s", rtb, dest)

        if state == "deleted":
            logger.info("  %s is already deleted", nat_gw_id)
            if dry_run():
                return memento
            self._wait_address(eip, allocation_id, interfaces, logger)
        elif dry_run():
            nat_routes.park(ec2, self.vpc_id, nat_gw_id, records, index, logger)
            logger.info("  would delete %s and wait for %s to be free", nat_gw_id, eip)
            return memento
        elif state == "deleting":
            # Started by an earlier run; only the waiting is left.
            self._wait_deleted(nat_gw_id, logger)
            self._wait_address(eip, allocation_id, interfaces, logger)
        else:
            moves = nat_routes.park(ec2, self.vpc_id, nat_gw_id, records, index, logger)
            memento.parked = [move.stored() for move in moves]
            if natgw is not None:
                self._keep_description(natgw)
            try:
                left = routes_using(ec2, self.vpc_id, nat_gw_id)
                if left:
                    raise AwsStepError(f"refusing to delete {nat_gw_id}: {left[0][0]} "
                                       f"{left[0][2]} still uses it")
                ec2.delete_nat_gateway(NatGatewayId=nat_gw_id)
                self._wait_deleted(nat_gw_id, logger)
                self._wait_address(eip, allocation_id, interfaces, logger)
            except Exception as exc:
                # The caller records the step only when this returns: a
                # deletion that went through (even if its answer was lost)
                # must not be left without its undo record.
                self._put_back(memento, exc, logger, moves)
                raise
        logger.info("  deleted %s", nat_gw_id)
        return memento

    def _wait_address(self, eip: Optional[str], allocation_id: Optional[str],
                      interfaces: list[str], logger: logging.Logger) -> None:
        if not (eip or allocation_id):
            return
        other = wait_address_free(self.ec2, eip, allocation_id, interfaces, logger,
                                  give_up_on_other_holder=True)
        if other is not None:
            logger.warning("  Elastic IP %s is held by %s, not by a NAT gateway; "
                           "it is left as it is", eip, _holder(other))
        else:
            logger.info("  Elastic IP %s is free", eip)

    def _put_back(self, memento: "NatGwDeleteMemento", error: Exception,
                  logger: logging.Logger, moves: list) -> None:
        """After a failed deletion: if the NAT gateway is gone or going, put an
        equivalent one back, so that the VPC matches the undo records again;
        if it still serves, the routes parked for its deletion go back to it."""
        try:
            natgw = describe_natgw(self.ec2, memento.nat_gw_id)
            if natgw is not None and natgw.get("State") in LIVE_STATES:
                nat_routes.undo_moves(self.ec2, moves, logger)
                return  # the deletion never happened
            logger.error("  deleting %s failed after the deletion started (%s); putting it "
                         "back", memento.nat_gw_id, error)
            memento.restore()
        except Exception as exc:
            logger.error("  could not put back %s (%s): create a NAT gateway in %s with "
                         "Elastic IP %s (%s) and point %s at it", memento.nat_gw_id, exc,
                         memento.subnet_id, memento.eip, memento.allocation_id,
                         ", ".join(r[0] for r in memento.routes) or "no route")

    def _wait_deleted(self, nat_gw_id: str, logger: logging.Logger) -> None:
        def check():
            natgw = describe_natgw(self.ec2, nat_gw_id)
            return natgw is None or natgw.get("State") == "deleted"

        wait_until(check, f"NAT gateway {nat_gw_id} to be deleted",
                   NATGW_DELETE_TIMEOUT, POLL_INTERVAL, logger)

    def _keep_description(self, natgw: dict) -> None:
        """Keep the gateway's last description in the backup folder, for people."""
        if not self.folder:
            return
        path = os.path.join(self.folder, f"natgw-{natgw['NatGatewayId']}.json")
        write_json_atomic(path, natgw)


class NatGwDeleteMemento(Memento):
    """Undo record of a NAT gateway deletion.

    Holds identifiers only (the state is stored as JSON and rebuilt without
    calling a constructor); `restore` takes its EC2 client from the run's
    client manager.
    """

    def restore(self) -> None:
        """Create a NAT gateway in the same subnet with the same Elastic IP,
        wait until it is available and point the old gateway's routes at it."""
        logger = logging.getLogger(__name__)
        forget_discovery()
        old_id = self.nat_gw_id
        logger.info("- Putting back NAT gateway %s in %s with %s",
                    old_id, self.subnet_id, self.eip)
        if self.made_in_dry_run:
            logger.info("  nothing to undo: %s was not deleted (dry run)", old_id)
            return
        ec2 = ec2_client()
        allocation_id = self.allocation_id
        if not allocation_id:
            found = find_address(ec2, public_ip=self.eip) if self.eip else None
            allocation_id = found.get("AllocationId") if found else None
        if not allocation_id:
            raise AwsStepError(
                f"cannot put back NAT gateway {old_id}: Elastic IP {self.eip} is no "
                f"longer allocated in this account and region"
            )

        natgw = self._existing(ec2, allocation_id)
        if natgw is not None:
            logger.info("  %s in %s already holds %s", natgw["NatGatewayId"],
                        self.subnet_id, self.eip)
        elif dry_run():
            logger.info("  would create a NAT gateway in %s with %s (%s) and point %d "
                        "route(s) of %s at it", self.subnet_id, self.eip, allocation_id,
                        len(self.routes), old_id)
            return
        else:
            natgw = self._create(ec2, allocation_id, logger)
        new_id = natgw["NatGatewayId"]
        if natgw.get("State") != "available":
            natgw = self._wait_available(ec2, new_id, logger)
        self._repoint(ec2, old_id, new_id, logger)
        logger.info("  %s is back as %s", old_id, new_id)

    def _existing(self, ec2, allocation_id: str) -> Optional[dict]:
        for natgw in get_natgw_by_subnet(ec2, self.subnet_id, self.vpc_id):
            if any(a.get("AllocationId") == allocation_id
                   for a in natgw.get("NatGatewayAddresses", [])):
                return natgw
        return None

    def _create(self, ec2, allocation_id: str, logger: logging.Logger) -> dict:
        # A spoke gateway the controller has just deleted can take a moment
        # to let go of the address: wait for it.
        try:
            wait_address_free(ec2, None, allocation_id, self.network_interface_ids,
                              logger, give_up_on_other_holder=False)
        except WaitTimeout as exc:
            address = getattr(exc, "address", None)
            instance = address_instance(ec2, address) if address else None
            if instance is None:
                raise
            raise WaitTimeout(
                f"cannot put back NAT gateway {self.nat_gw_id} in {self.subnet_id}: Elastic IP "
                f"{self.eip} is still held by {_holder({**address, 'InstanceId': instance})}, "
                "not by a NAT gateway "
                f"({exc.waited}); if that is a spoke gateway of an interrupted run, "
                "`morvent execute` records it, and `morvent revert` then removes it first"
            ) from None
        params = {"SubnetId": self.subnet_id, "AllocationId": allocation_id}
        secondary = [a for a in self.secondary_allocation_ids or [] if a != allocation_id]
        if secondary:
            params["SecondaryAllocationIds"] = secondary
        if self.tags:
            params["TagSpecifications"] = [{"ResourceType": "natgateway", "Tags": self.tags}]
        natgw = ec2.create_nat_gateway(**params)["NatGateway"]
        logger.info("  created %s", natgw["NatGatewayId"])
        return natgw

    def _wait_available(self, ec2, nat_gw_id: str, logger: logging.Logger) -> dict:
        seen: dict = {}

        def check():
            natgw = describe_natgw(ec2, nat_gw_id)
            state = natgw.get("State") if natgw else "missing"
            if state in ("failed", "deleting", "deleted", "missing"):
                reason = (natgw or {}).get("FailureMessage", "")
                raise AwsStepError(
                    f"new NAT gateway {nat_gw_id} in {self.subnet_id} is {state}"
                    + (f": {reason}" if reason else "")
                )
            seen["natgw"] = natgw
            return state == "available"

        wait_until(check, f"NAT gateway {nat_gw_id} to be available",
                   NATGW_CREATE_TIMEOUT, POLL_INTERVAL, logger)
        return seen["natgw"]

    def _repoint(self, ec2, old_id: str, new_id: str, logger: logging.Logger) -> None:
        # The routes recorded at deletion time, and any other route that still
        # names the deleted gateway (a blackhole) and so belongs to it.  A
        # recorded route is taken back from where the deletion parked it, and
        # from a target that is gone (the spoke gateway it was settled on).
        todo = [list(r) for r in self.routes or []]
        parked = {p[4] for p in getattr(self, "parked", None) or [] if len(p) > 4}
        tables = routes.route_tables_by_id(ec2, self.vpc_id)
        if old_id:
            for found in _routes_through(tables.values(), old_id):
                if found not in todo:
                    todo.append(found)
        for rtb, key, dest in todo:
            table = tables.get(rtb)
            route = routes.find_route(table, key, dest) if table else None
            if route is None:
                logger.warning("  route %s of %s is gone; not recreated", dest, rtb)
                continue
            current = route.get("NatGatewayId")
            if current == new_id:
                logger.info("  %s %s already points at %s", rtb, dest, new_id)
            elif (current == old_id or route.get("State") == "blackhole"
                  or (current or route.get("InstanceId")) in parked):
                if dry_run():
                    logger.info("  would point %s %s at %s", rtb, dest, new_id)
                    continue
                routes.set_route(ec2, rtb, key, dest, "NatGatewayId", new_id)
                logger.info("  pointed %s %s at %s", rtb, dest, new_id)
            else:
                target = routes.target(route)
                logger.info("  %s %s now points at %s; left as it is", rtb, dest,
                            target[1] if target else "nothing")
