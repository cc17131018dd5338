"""Every route that leads to a NAT gateway being replaced, and where each one ends.

Two hands move these routes during a replacement:

- the controller: single-IP SNAT on the primary spoke gateway takes the
  default route (0.0.0.0/0) of every private route table of the VPC (one
  whose default route does not go to an internet gateway) and points it at
  the spoke gateway of the table's zone, or at the primary when its zone has
  none; each new HA gateway takes the tables of its zone.  The zone of a
  table is the zone of its first associated subnet; a table without subnets
  (the main table, an unused one) stays with the zone of the NAT gateway its
  default route uses when SNAT is switched on;
- this tool: every other route to a NAT gateway (split defaults such as
  0.0.0.0/1, a partner network, a prefix list, a route in a public table)
  ends on the spoke gateway that takes over that NAT gateway's Elastic IP,
  so it keeps its address.  Until that spoke gateway exists, the route is
  *parked* on the primary (or, before the primary exists, on the second NAT
  gateway), and it is *settled* onto its spoke gateway as soon as that one is
  up: at the next NAT gateway's deletion, or when the run has finished.

The discovery writes, into each NAT gateway record, the routes that use that
NAT gateway and where each one ends (`map_routes`): the record's key
"routes", a list of {"route_table_id", "destination_key", "destination",
"snat", "spoke"}, where "snat" says the controller moves it and "spoke" is
the index of the record whose spoke gateway carries it in the end (None: it
stays on its NAT gateway, which is not replaced).  That is what the plan
shows (`address_changes`) and what the run checks after each replacement
(`check_routes`).  `refusals` names what the tool cannot handle.

A spoke gateway is found by its Elastic IP: the instance that holds the
address of a record is that record's spoke gateway.
"""

from __future__ import annotations

import logging
from dataclasses import asdict, dataclass
from typing import Any, Iterable, Optional

from botocore.exceptions import ClientError

from morvent.lib import routes
from morvent.lib.awsutil import AwsStepError, describe_interface, dry_run, is_not_found

__all__ = ["AddressChange", "Move", "address_changes", "check_routes", "evacuate",
           "map_routes", "mapped", "park", "refusals", "replaced_indexes", "send_home", "settle",
           "settle_and_check", "spoke_instances", "table_zone", "undo_moves"]

SNAT_DESTINATION = ("DestinationCidrBlock", routes.DEFAULT_DESTINATION)
SERVING_NAT_STATES = ("available", "pending")


def is_public(table: dict) -> bool:
    """A public table sends its default route to an internet gateway."""
    default = routes.default_route(table)
    target = routes.target(default) if default else None
    return bool(target) and target[0] == "GatewayId" and target[1].startswith("igw-")


def snat_takes(table: dict, dest_key: str, dest: str) -> bool:
    """Whether single-IP SNAT takes this route of this table."""
    return (dest_key, dest) == SNAT_DESTINATION and not is_public(table)


def table_subnet_zones(table: dict, zone_of: dict[str, str]) -> list[str]:
    """The zones of the table's associated subnets, in the order EC2 lists them."""
    zones = []
    for association in table.get("Associations", []):
        zone = zone_of.get(association.get("SubnetId"))
        if zone and zone not in zones:
            zones.append(zone)
    return zones


def table_zone(table: dict, zone_of: dict[str, str]) -> Optional[str]:
    """The zone the controller files the table under: its first subnet's."""
    zones = table_subnet_zones(table, zone_of)
    return zones[0] if zones else None


def replaced_indexes(count: int, hs_mode: Any) -> list[int]:
    """The records whose NAT gateways the run replaces, in the order it does."""
    return list(range(min(count, 2))) if hs_mode == 1 else list(range(count))


def record_zones(records: list[dict], zone_of: dict[str, str]) -> list[Optional[str]]:
    return [zone_of.get(r.get("subnet_id")) or r.get("availability_zone") for r in records]


def _landing(index: int, snat: bool, table: dict, zones: list[Optional[str]],
             replaced: list[int], zone_of: dict[str, str]) -> Optional[int]:
    if not snat:
        return index if index in replaced else None
    zone = table_zone(table, zone_of)
    if zone is None:
        # When SNAT comes on, the first NAT gateway's routes use the second's.
        zone = zones[1 if index == 0 and len(zones) > 1 else index]
    return next((i for i in replaced if zones[i] == zone), replaced[0] if replaced else None)


def map_routes(tables: list[dict], records: list[dict], zone_of: dict[str, str],
               hs_mode: Any) -> None:
    """Write into each record its key "routes": every route of ``tables`` that uses
    the record's NAT gateway, and where it ends (see the module's description)."""
    by_nat = {r.get("nat_gw_id"): i for i, r in enumerate(records)}
    zones = record_zones(records, zone_of)
    replaced = replaced_indexes(len(records), hs_mode)
    for record in records:
        record["routes"] = []
    for table in tables:
        for route in table.get("Routes", []):
            index = by_nat.get(route.get("NatGatewayId"))
            dest = routes.destination(route)
            if index is None or dest is None:
                continue
            snat = snat_takes(table, *dest)
            records[index]["routes"].append({
                "route_table_id": table["RouteTableId"], "destination_key": dest[0],
                "destination": dest[1], "snat": snat,
                "spoke": _landing(index, snat, table, zones, replaced, zone_of)})


def mapped(records: list[dict]) -> bool:
    """Whether the records carry their routes (records of older versions do not)."""
    return bool(records) and all(isinstance(r.get("routes"), list) for r in records)


# -- what the plan shows -------------------------------------------------------------

@dataclass
class AddressChange:
    """A route table whose traffic leaves with another address after the run."""

    route_table_id: str
    zone: Optional[str]
    destinations: list[str]
    nat_gateway: Optional[str]
    before: Optional[str]
    after: Optional[str]
    #: Why, in words.
    reason: str = ""

    def to_dict(self) -> dict[str, Any]:
        return asdict(self)

    def line(self) -> str:
        return (f"{self.route_table_id}{f' ({self.zone})' if self.zone else ''}: "
                f"{', '.join(self.destinations)} leaves with {self.before} now (through "
                f"{self.nat_gateway}), with {self.after} after the run: {self.reason}")


def _reason(index: int, spoke: Optional[int], table: Optional[dict], records: list[dict],
            zones: list[Optional[str]], zone_of: dict[str, str], hs_mode: Any) -> str:
    if hs_mode == 1 and index > 1:
        return ("hs_mode 1 replaces only the first two NAT gateways; SNAT sends this default "
                "route to the primary spoke gateway")
    subnet_zones = table_subnet_zones(table, zone_of) if table else []
    if not subnet_zones:
        return (f"the table has no subnet of its own (the main table, or an unused one); SNAT "
                f"files it under the zone of the NAT gateway it uses then ("
                f"{zones[1 if index == 0 and len(zones) > 1 else index]})")
    first = subnet_zones[0]
    where = (f"the spoke gateway of {first}" if spoke is not None and zones[spoke] == first
             else f"the primary spoke gateway ({first} has no NAT gateway of its own)")
    if len(subnet_zones) > 1:
        return (f"its subnets are in {', '.join(subnet_zones)}; SNAT takes the zone of the "
                f"first, and sends it to {where}")
    return (f"its subnets are in {first}, its NAT gateway in {zones[index]}; SNAT sends it "
            f"to {where}")


def address_changes(records: list[dict], tables: list[dict], zone_of: dict[str, str],
                    hs_mode: Any) -> list[AddressChange]:
    """The route tables whose traffic will leave with another address, one entry
    per table and pair of addresses."""
    by_id = {t["RouteTableId"]: t for t in tables}
    zones = record_zones(records, zone_of)
    found: dict[tuple, AddressChange] = {}
    for index, record in enumerate(records):
        for route in record.get("routes") or []:
            spoke = route.get("spoke")
            after = records[spoke].get("eip") if spoke is not None else record.get("eip")
            if after == record.get("eip"):
                continue
            rtb = route["route_table_id"]
            key = (rtb, record.get("eip"), after)
            if key not in found:
                table = by_id.get(rtb)
                found[key] = AddressChange(
                    rtb, table_zone(table, zone_of) if table else None, [],
                    record.get("nat_gw_id"), record.get("eip"), after,
                    _reason(index, spoke, table, records, zones, zone_of, hs_mode))
            found[key].destinations.append(route["destination"])
    return list(found.values())


def _describe_target(target: tuple[str, str], nat: Optional[dict]) -> str:
    if target[0] == "NatGatewayId" and nat is not None:
        kind = "private NAT gateway" if nat.get("ConnectivityType") == "private" \
            else "NAT gateway"
        return f"{kind} {target[1]} ({nat.get('State')})"
    return target[1]


def refusals(tables: list[dict], natgws: list[dict], records: list[dict],
             spokes: Iterable[str] = (), resumed: bool = False) -> list[str]:
    """Why the run cannot go ahead, one line per route table or NAT gateway.

    ``natgws`` are all NAT gateway descriptions of the VPC (any state and
    kind); ``spokes`` the instances of spoke gateways already made by an
    earlier run (their routes are the run's own).  In a ``resumed`` run, a
    NAT gateway pending in a record's subnet is one the run puts back.
    """
    ours = {r.get("nat_gw_id") for r in records} | set(spokes)
    subnets = {r.get("subnet_id") for r in records} if resumed else set()
    by_id = {n["NatGatewayId"]: n for n in natgws}
    lines = []
    for nat in natgws:
        if (nat.get("State") == "pending" and nat.get("ConnectivityType") != "private"
                and nat["NatGatewayId"] not in ours and nat.get("SubnetId") not in subnets):
            lines.append(f"NAT gateway {nat['NatGatewayId']} in {nat.get('SubnetId')} is still "
                         "pending: the run would leave it out and its zone would go out through "
                         "another zone's address; wait until it is available (or delete it), "
                         "then run again")
    for table in tables:
        rtb = table["RouteTableId"]
        for route in table.get("Routes", []):
            if route.get("NatGatewayId") in ours and route.get("DestinationIpv6CidrBlock"):
                lines.append(f"{rtb}: {route['DestinationIpv6CidrBlock']} (IPv6, NAT64) goes "
                             f"through {route['NatGatewayId']}; a spoke gateway does not "
                             "translate IPv6 to IPv4, so the tool cannot replace that NAT "
                             "gateway for it")
        if is_public(table):
            continue
        default = routes.default_route(table)
        target = routes.target(default) if default else None
        if default is None or (target and target[1] in ours
                               and default.get("State") != "blackhole"):
            continue
        if target and default.get("InstanceId") in ours:
            continue
        nat = by_id.get(target[1]) if target else None
        dead = (default.get("State") == "blackhole" or target is None
                or (nat is not None and nat.get("State") not in SERVING_NAT_STATES))
        if dead:
            lines.append(f"{rtb}: its default route leads to "
                         f"{_describe_target(target, nat) if target else 'nothing'}, a "
                         "blackhole: the table has no internet egress, and SNAT on the primary "
                         "spoke gateway would give it some (and the route could not be put "
                         "back as it was). Delete that route (it carries nothing), then run "
                         "again")
        elif nat is not None and nat.get("ConnectivityType") == "private":
            lines.append(f"{rtb}: its default route goes to private NAT gateway {target[1]} "
                         "(no internet egress); SNAT on the primary spoke gateway takes every "
                         "private default route and would send this table to the internet. "
                         "The tool does not replace NAT gateways in such a VPC")
        elif nat is not None and nat.get("State") == "pending":
            lines.append(f"{rtb}: its default route goes to {target[1]}, which is still "
                         "pending; wait until it is available, then run again")
        else:
            lines.append(f"{rtb}: its default route goes to {target[1]}, not to a NAT gateway "
                         "being replaced; SNAT on the primary spoke gateway would take it and "
                         "send its traffic out through a spoke gateway. The tool does not "
                         "replace NAT gateways in such a VPC")
    return lines


# -- moving routes during the run --------------------------------------------------------

@dataclass
class Move:
    """One route pointed elsewhere: which route, its target before and after
    (each as (describe key, id))."""

    route_table_id: str
    destination_key: str
    destination: str
    was: tuple[str, str]
    now: tuple[str, str]

    def stored(self) -> list[str]:
        """As an undo record keeps it: [table, destination key, destination,
        target key, target id after the move]."""
        return [self.route_table_id, self.destination_key, self.destination, *self.now]


def spoke_instances(ec2: Any, records: list[dict]) -> dict[int, str]:
    """Record index -> the instance that holds the record's Elastic IP now: the
    spoke gateway that took it over.  Records whose address a NAT gateway (or
    nothing) holds are left out."""
    eips = {r.get("eip"): i for i, r in enumerate(records) if r.get("eip")}
    if not eips:
        return {}
    found = ec2.describe_addresses(
        Filters=[{"Name": "public-ip", "Values": sorted(eips)}])["Addresses"]
    attached = _attachments(ec2, [a["NetworkInterfaceId"] for a in found
                                  if not a.get("InstanceId") and a.get("NetworkInterfaceId")])
    holders = {}
    for address in found:
        # Associated through an interface, the instance is on its attachment
        # (a NAT gateway's interface has none).
        instance = address.get("InstanceId") or attached.get(address.get("NetworkInterfaceId"))
        if instance and address.get("PublicIp") in eips:
            holders[eips[address["PublicIp"]]] = instance
    return holders


def _attachments(ec2: Any, eni_ids: list[str]) -> dict[str, str]:
    """Network interface id -> the instance it is attached to, for those attached."""
    if not eni_ids:
        return {}
    try:
        found = ec2.describe_network_interfaces(NetworkInterfaceIds=eni_ids)["NetworkInterfaces"]
    except ClientError as exc:
        if not is_not_found(exc):
            raise
        found = [eni for eni in (describe_interface(ec2, i) for i in eni_ids) if eni]
    return {eni["NetworkInterfaceId"]: eni["Attachment"]["InstanceId"] for eni in found
            if (eni.get("Attachment") or {}).get("InstanceId")}


def _on_instance(route: dict) -> Optional[str]:
    return route.get("InstanceId")


def _target_of(route: dict) -> tuple[str, str]:
    if route.get("InstanceId"):
        return "InstanceId", route["InstanceId"]
    return routes.target(route) or ("", "")


def _point(ec2: Any, logger: logging.Logger, move: Move, verb: str) -> None:
    if dry_run():
        logger.info("  would %s %s %s to %s", verb, move.route_table_id, move.destination,
                    move.now[1])
        return
    routes.set_route(ec2, move.route_table_id, move.destination_key, move.destination,
                     *move.now)
    logger.info("  %s %s %s: %s -> %s", verb, move.route_table_id, move.destination,
                move.was[1], move.now[1])


def undo_moves(ec2: Any, moves: list[Move], logger: logging.Logger) -> None:
    """Point the moved routes back, newest first; what cannot go back is logged."""
    for move in reversed(moves):
        try:
            routes.set_route(ec2, move.route_table_id, move.destination_key, move.destination,
                             *move.was)
            logger.info("  %s %s back to %s", move.route_table_id, move.destination,
                        move.was[1])
        except Exception as exc:  # noqa: BLE001 - the others must still go back
            logger.error("  %s %s could not go back to %s: %s", move.route_table_id,
                         move.destination, move.was[1], exc)


def _serving_nats(ec2: Any, vpc_id: str) -> dict[str, dict]:
    found = {}
    paginator = ec2.get_paginator("describe_nat_gateways")
    for page in paginator.paginate(Filter=[{"Name": "vpc-id", "Values": [vpc_id]}]):
        for nat in page.get("NatGateways", []):
            if nat.get("State") in SERVING_NAT_STATES:
                found[nat["NatGatewayId"]] = nat
    return found


def _live_instances(ec2: Any, ids: Iterable[str]) -> set[str]:
    ids = sorted(set(ids))
    if not ids:
        return set()
    found = ec2.describe_instances(Filters=[{"Name": "instance-id", "Values": ids}])
    return {i["InstanceId"] for r in found.get("Reservations", []) for i in r["Instances"]
            if i.get("State", {}).get("Name") not in ("shutting-down", "terminated")}


def _alive(route: dict, nats: dict[str, dict], instances: set[str]) -> bool:
    if route.get("State") == "blackhole":
        return False
    if route.get("NatGatewayId"):
        return route["NatGatewayId"] in nats
    if route.get("InstanceId"):
        return route["InstanceId"] in instances
    return routes.target(route) is not None


def _tool_routes(records: list[dict]) -> Iterable[tuple[int, dict]]:
    """The routes the tool moves itself (not the controller), with their record."""
    for index, record in enumerate(records):
        for route in record.get("routes") or []:
            if not route.get("snat"):
                yield index, route


def settle(ec2: Any, vpc_id: str, records: list[dict], logger: logging.Logger) -> list[Move]:
    """Point every route the tool moves at its spoke gateway, where that one is up.

    A route is moved only from where the run puts routes (a NAT gateway of
    the records, a spoke gateway) or from a target that is gone; one that
    leads somewhere else was changed by someone else and stays (the check
    that follows reports it).  On an error the routes moved so far go back
    before it is raised.
    """
    spokes = spoke_instances(ec2, records)
    todo = [(i, r) for i, r in _tool_routes(records) if r.get("spoke") in spokes]
    if not todo:
        return []
    tables = routes.route_tables_by_id(ec2, vpc_id)
    nats = _serving_nats(ec2, vpc_id)
    ours = {r.get("nat_gw_id") for r in records} | set(spokes.values())
    found = []
    for _index, route in todo:
        table = tables.get(route["route_table_id"])
        current = routes.find_route(table, route["destination_key"],
                                    route["destination"]) if table else None
        want = ("InstanceId", spokes[route["spoke"]])
        if current is not None and _on_instance(current) != want[1]:
            found.append((route, current, want))
    instances = _live_instances(ec2, [c["InstanceId"] for _, c, _ in found
                                      if c.get("InstanceId")])
    moves: list[Move] = []
    try:
        for route, current, want in found:
            was = _target_of(current)
            if was[1] not in ours and _alive(current, nats, instances):
                continue  # someone else's doing: the check reports it
            move = Move(route["route_table_id"], route["destination_key"],
                        route["destination"], was, want)
            _point(ec2, logger, move, "settle")
            moves.append(move)
    except BaseException:
        undo_moves(ec2, moves, logger)
        raise
    return moves


def park(ec2: Any, vpc_id: str, nat_gw_id: str, records: list[dict], index: int,
         logger: logging.Logger) -> list[Move]:
    """Before ``nat_gw_id`` is deleted: point every route that still uses it at a
    target that lives on -- the spoke gateway where the route ends, if it is up,
    else the primary spoke gateway, else the NAT gateway of another record
    (outside a run: another public NAT gateway of the VPC).

    AwsStepError when a route has nowhere to go; on any error the routes
    moved so far go back first.
    """
    using = [(t, r) for t in routes.route_tables(ec2, vpc_id) for r in t.get("Routes", [])
             if r.get("NatGatewayId") == nat_gw_id and routes.destination(r)]
    if not using:
        return []
    spokes = spoke_instances(ec2, records)
    landing = {(r["route_table_id"], r["destination_key"], r["destination"]): r.get("spoke")
               for r in (records[index].get("routes") if 0 <= index < len(records) else None)
               or []}
    nats = _serving_nats(ec2, vpc_id)
    others = [r.get("nat_gw_id") for i, r in enumerate(records) if i != index]
    others += sorted(n for n, nat in nats.items() if nat.get("ConnectivityType") != "private")
    fallback = next((("NatGatewayId", n) for n in others if n in nats and n != nat_gw_id), None)
    moves: list[Move] = []
    try:
        for table, route in using:
            dest_key, dest = routes.destination(route)
            spoke = landing.get((table["RouteTableId"], dest_key, dest), index)
            if spoke in spokes:
                now = ("InstanceId", spokes[spoke])
            elif 0 in spokes:
                now = ("InstanceId", spokes[0])
            elif fallback is not None:
                now = fallback
            else:
                raise AwsStepError(
                    f"refusing to delete {nat_gw_id}: {table['RouteTableId']} {dest} still "
                    "uses it and no spoke gateway or other NAT gateway is there to take it")
            move = Move(table["RouteTableId"], dest_key, dest, ("NatGatewayId", nat_gw_id), now)
            _point(ec2, logger, move, "park")
            moves.append(move)
    except BaseException:
        undo_moves(ec2, moves, logger)
        raise
    return moves


def check_routes(ec2: Any, vpc_id: str, records: list[dict]) -> list[str]:
    """Where the routes of the records are not what the plan said, one line each.

    Every route must lead to something alive; one whose spoke gateway is up
    must go through it (the controller's default routes included: that is
    the plan's guess of where the controller sends them).
    """
    spokes = spoke_instances(ec2, records)
    tables = routes.route_tables_by_id(ec2, vpc_id)
    nats = _serving_nats(ec2, vpc_id)
    current = {}
    for record in records:
        for route in record.get("routes") or []:
            table = tables.get(route["route_table_id"])
            current[id(route)] = routes.find_route(table, route["destination_key"],
                                                   route["destination"]) if table else None
    instances = _live_instances(ec2, [c["InstanceId"] for c in current.values()
                                      if c and c.get("InstanceId")])
    found = []
    for record in records:
        for route in record.get("routes") or []:
            now = current[id(route)]
            where = f"{route['route_table_id']} {route['destination']}"
            if now is None:
                found.append(f"{where} (through {record.get('nat_gw_id')} before the run) "
                             "is gone")
            elif not _alive(now, nats, instances):
                found.append(f"{where} leads to {_target_of(now)[1]}, which is gone")
            elif route.get("spoke") in spokes and _on_instance(now) != spokes[route["spoke"]]:
                found.append(f"{where} goes to {_target_of(now)[1]}, not to the spoke gateway "
                             f"with {records[route['spoke']].get('eip')} "
                             f"({spokes[route['spoke']]}) as planned")
    return found


def evacuate(ec2: Any, vpc_id: str, records: list[dict], spoke_index: Optional[int],
             logger: logging.Logger) -> list[Move]:
    """Before spoke gateways are deleted: move the tool's routes off them.

    ``spoke_index`` None: off every HA spoke gateway, onto the primary
    (before a revert deletes the HA gateways).  0: off the primary (before
    a revert deletes it), onto the NAT gateway now serving the route's own
    subnet, else the second record's, else any NAT gateway of the records.
    """
    spokes = spoke_instances(ec2, records)
    if spoke_index is None:
        leaving = {v for k, v in spokes.items() if k != 0}
        if not leaving or 0 not in spokes:
            return []
    else:
        leaving = {spokes[spoke_index]} if spoke_index in spokes else set()
        if not leaving:
            return []
    tables = routes.route_tables_by_id(ec2, vpc_id)
    nats = _serving_nats(ec2, vpc_id) if spoke_index is not None else {}
    in_subnet = {}
    for nat in nats.values():
        in_subnet.setdefault(nat.get("SubnetId"), nat["NatGatewayId"])
    order = [r.get("subnet_id") for r in records]
    fallbacks = [in_subnet[s] for s in order[1:] + order[:1] if s in in_subnet]
    moves: list[Move] = []
    for index, route in _tool_routes(records):
        table = tables.get(route["route_table_id"])
        current = routes.find_route(table, route["destination_key"],
                                    route["destination"]) if table else None
        if current is None or _on_instance(current) not in leaving:
            continue
        if spoke_index is None:
            now = ("InstanceId", spokes[0])
        else:
            nat = in_subnet.get(records[index].get("subnet_id")) or \
                (fallbacks[0] if fallbacks else None)
            if nat is None:
                logger.warning("  %s %s stays on %s: no NAT gateway is there to take it",
                               route["route_table_id"], route["destination"],
                               _on_instance(current))
                continue
            now = ("NatGatewayId", nat)
        move = Move(route["route_table_id"], route["destination_key"], route["destination"],
                    _target_of(current), now)
        _point(ec2, logger, move, "move")
        moves.append(move)
    return moves


def send_home(ec2: Any, vpc_id: str, records: list[dict], logger: logging.Logger) -> list[Move]:
    """Point each route the tool moves back at the NAT gateway now serving its
    own record's subnet, where there is one (a revert's last word on them).

    Only from where the run puts routes (a NAT gateway, a spoke gateway) or
    from a target that is gone: a route someone pointed elsewhere stays.
    """
    todo = list(_tool_routes(records))
    if not todo:
        return []
    nats = _serving_nats(ec2, vpc_id)
    home: dict[str, str] = {}
    for nat in sorted(nats.values(), key=lambda n: n.get("State") != "available"):
        if nat.get("ConnectivityType") != "private":
            home.setdefault(nat.get("SubnetId"), nat["NatGatewayId"])
    spokes = set(spoke_instances(ec2, records).values())
    tables = routes.route_tables_by_id(ec2, vpc_id)
    found = []
    for index, route in todo:
        own = home.get(records[index].get("subnet_id"))
        table = tables.get(route["route_table_id"])
        current = routes.find_route(table, route["destination_key"],
                                    route["destination"]) if table else None
        if own is None or current is None or current.get("NatGatewayId") == own:
            continue
        found.append((route, current, own))
    instances = _live_instances(ec2, [c["InstanceId"] for _, c, _ in found
                                      if c.get("InstanceId")])
    moves = []
    for route, current, own in found:
        was = _target_of(current)
        if not (current.get("NatGatewayId") or was[1] in spokes
                or not _alive(current, nats, instances)):
            continue
        move = Move(route["route_table_id"], route["destination_key"], route["destination"],
                    was, ("NatGatewayId", own))
        _point(ec2, logger, move, "move home")
        moves.append(move)
    return moves


def settle_and_check(ec2: Any, vpc_id: str, records: list[dict], logger: logging.Logger,
                     after: str, keep_settled: bool = False) -> None:
    """After a replacement: settle the tool's routes, then check every route of
    the records against the plan.  AwsStepError when one differs; the routes
    settled go back first (so that undoing the replacement finds them where
    it left them) unless ``keep_settled``.  ``after`` names the replacement
    in that message."""
    if not mapped(records):
        return
    if dry_run():
        logger.info("  (dry run) the route tables are not checked")
        return
    moves = settle(ec2, vpc_id, records, logger)
    problems = check_routes(ec2, vpc_id, records)
    if not problems:
        logger.info("  the route tables are as planned after %s", after)
        return
    for problem in problems:
        logger.error("  not as planned: %s", problem)
    if not keep_settled:
        undo_moves(ec2, moves, logger)
    more = f" (and {len(problems) - 1} more, see above)" if len(problems) > 1 else ""
    raise AwsStepError(f"after {after}, the route tables are not as planned: "
                       f"{problems[0]}{more}")
