"""The steps of a NAT gateway replacement and of its revert, in the order the runs take them.

``Manager.execute`` walks a fixed sequence of steps.  Each step that
completes leaves one undo record in the memento history, and a run skips as
many steps as the history holds, from the first: the first N steps are done
exactly when the history holds N records.  :func:`replacement_steps` lays the
sequence out from the NAT gateway records of the discovery and the
configuration:

- the egress test preparation, when ``enable_test`` is on;
- for the first NAT gateway (one group): route snapshot s1, the move of its
  routes to the second NAT gateway, its deletion, the primary spoke gateway
  with its Elastic IP, route snapshot s2, single-IP SNAT on the primary;
- for each further NAT gateway (one group each): its deletion and an HA
  spoke gateway with its Elastic IP; with ``hs_mode`` 1 only the second NAT
  gateway, and ``Globals.cmdcnt`` (0 or more) stops before the record with
  that index;
- the resize of the primary, when no ``spoke_gw_size`` is configured and the
  size planned for it differs from the size it was created with.

:func:`revert_steps` lays out a revert: the undo records, newest first.

The functions that read AWS (:func:`discover`, :func:`refresh`,
:func:`read_route_tables`) only read; ``plan_*`` put it all together.
Which routes a step moves comes from the routes the discovery mapped (see
``morvent.lib.nat_routes``): the controller decides which tables single-IP
SNAT and an HA gateway take, and the plan assumes it takes the VPC's
private route tables, each to the gateway of its zone.  Where that leaves a
table with another address than it had, the plan says so
(``Plan.address_changes``); where the tool cannot go ahead at all, it says
why (``Plan.refusals``).
"""

from __future__ import annotations

from dataclasses import asdict, dataclass, field
from typing import Any

from morvent.core.Globals import Globals

__all__ = ["Plan", "RouteTable", "Settings", "Step", "discover", "plan_replacement",
           "plan_revert", "read_route_tables", "refresh", "replacement_steps", "revert_steps",
           "too_few_natgws", "undo_title", "nat_warnings"]

# Kinds of the replacement's steps, and the undo record each one leaves.
TEST_PREP = "test-prep"
SNAPSHOT = "snapshot"
MOVE_TRAFFIC = "move-traffic"
DELETE_NATGW = "delete-natgw"
CREATE_PRIMARY = "create-primary"
ENABLE_SNAT = "enable-snat"
CREATE_HA = "create-ha"
RESIZE = "resize"

MEMENTO_OF = {
    TEST_PREP: "TestPrepMemento",
    SNAPSHOT: "SnapshotRTMemento",
    MOVE_TRAFFIC: "NatGwTrafficMemento",
    DELETE_NATGW: "NatGwDeleteMemento",
    CREATE_PRIMARY: "HsSpokeCreateMemento",
    ENABLE_SNAT: "SnatEnableMemento",
    CREATE_HA: "HsSpokeCreateMemento",
    RESIZE: "ResizeSpokeGatewayMemento",
}

#: Kind of the undo of each undo record (a revert's steps).
UNDO_OF = {
    "TestPrepMemento": "undo-test-prep",
    "SnapshotRTMemento": "restore-snapshot",
    "NatGwTrafficMemento": "move-traffic-back",
    "NatGwDeleteMemento": "put-back-natgw",
    "HsSpokeCreateMemento": "delete-spoke",
    "SnatEnableMemento": "disable-snat",
    "ResizeSpokeGatewayMemento": "resize-back",
}

DEFAULT_ROUTE = "0.0.0.0/0"


@dataclass
class Step:
    """One step of a run, at its position in the run's step sequence (1 = first)."""

    position: int
    kind: str
    title: str
    #: Index of the NAT gateway record the step belongs to (its group); None
    #: for the test preparation, the resize and a revert's steps.
    record: int | None = None
    opens_group: bool = False
    done: bool = False
    #: What the step touches: NAT gateway, subnet, Elastic IP, spoke gateway, size ...
    resources: dict[str, Any] = field(default_factory=dict)
    #: The routes the step moves, "rtb-... 0.0.0.0/0" (an estimate, see the module).
    routes: list[str] = field(default_factory=list)

    def to_dict(self) -> dict[str, Any]:
        return asdict(self)


@dataclass(frozen=True)
class Settings:
    """What of the configuration decides the steps of a replacement."""

    vpc_id: str
    spoke_gw_name: str
    spoke_gw_size: str | None = None
    hs_mode: int = 0
    enable_test: bool = False
    input_test_config: str | None = None
    output_test_config: str | None = None
    #: ``Globals.cmdcnt``: when 0 or more, the run stops before that record.
    cmdcnt: int = -1

    @classmethod
    def of(cls, config: Any) -> "Settings":
        """From a Config or a ConfigAdaptor, with the process's ``Globals.cmdcnt``."""
        return cls(vpc_id=config.vpc_id, spoke_gw_name=config.spoke_gw_name,
                   spoke_gw_size=config.spoke_gw_size, hs_mode=config.hs_mode,
                   enable_test=config.enable_test, input_test_config=config.input_test_config,
                   output_test_config=config.output_test_config, cmdcnt=Globals.cmdcnt)


# -- the replacement -----------------------------------------------------------------

def replacement_steps(settings: Settings, records: list[dict], held: int = 0) -> list[Step]:
    """The replacement's steps for the NAT gateway records, the first ``held`` of them done."""
    steps: list[Step] = []
    name = settings.spoke_gw_name

    def add(kind: str, title: str, record: int | None = None, opens: bool = False,
            **resources: Any) -> None:
        steps.append(Step(len(steps) + 1, kind, title, record, opens,
                          resources={k: v for k, v in resources.items() if v is not None}))

    if settings.enable_test == True:  # noqa: E712 - the run compares it with True
        add(TEST_PREP, f"Prepare the egress test of {len(records)} NAT gateway(s)",
            input_test_config=settings.input_test_config,
            output_test_config=settings.output_test_config)
    for i, record in enumerate(records):
        if settings.hs_mode == 1 and i > 1:
            continue
        if settings.cmdcnt >= 0 and i >= settings.cmdcnt:
            break
        nat, subnet, eip = record.get("nat_gw_id"), record.get("subnet_id"), record.get("eip")
        cidr = record.get("subnet_cidr")
        if i == 0:
            size = settings.spoke_gw_size if settings.spoke_gw_size is not None \
                else record.get("initial_size")
            second = records[1] if len(records) > 1 else {}
            add(SNAPSHOT, f"Snapshot the default routes of {settings.vpc_id} (s1)", i, True,
                tag="s1")
            add(MOVE_TRAFFIC, f"Move the routes of NAT gateway {nat} to NAT gateway "
                f"{second.get('nat_gw_id')} in {second.get('subnet_id')}", i,
                nat_gateway=nat, to_nat_gateway=second.get("nat_gw_id"),
                to_subnet=second.get("subnet_id"))
            add(DELETE_NATGW, f"Delete NAT gateway {nat} in {subnet} ({eip})", i,
                nat_gateway=nat, subnet=subnet, elastic_ip=eip)
            add(CREATE_PRIMARY, f"Create primary spoke gateway {name} ({size}) in {subnet} "
                f"({cidr}) with {eip}", i, spoke_gateway=name, size=size, subnet=subnet,
                subnet_cidr=cidr, elastic_ip=eip)
            add(SNAPSHOT, f"Snapshot the default routes of {settings.vpc_id} (s2)", i, tag="s2")
            add(ENABLE_SNAT, f"Switch on single-IP SNAT on {name}", i, spoke_gateway=name)
        else:
            size = settings.spoke_gw_size if settings.spoke_gw_size is not None \
                else record.get("size")
            add(DELETE_NATGW, f"Delete NAT gateway {nat} in {subnet} ({eip})", i, True,
                nat_gateway=nat, subnet=subnet, elastic_ip=eip)
            add(CREATE_HA, f"Create an HA spoke gateway of {name} ({size}) in {subnet} "
                f"({cidr}) with {eip}", i, spoke_gateway=name, size=size, subnet=subnet,
                subnet_cidr=cidr, elastic_ip=eip)
    first = records[0] if records else None
    if (settings.spoke_gw_size is None and first is not None
            and first.get("size") != first.get("initial_size")):
        add(RESIZE, f"Resize spoke gateway {name} from {first.get('initial_size')} to "
            f"{first.get('size')}", spoke_gateway=name, from_size=first.get("initial_size"),
            to_size=first.get("size"))
    for step in steps:
        step.done = step.position <= held
    return steps


def too_few_natgws(records: list[dict], vpc_id: str) -> str | None:
    """Why a replacement cannot run on these records (fewer than two), or None."""
    if not records:
        return (f"no available public NAT gateway was found in {vpc_id}: nothing to replace "
                "(replaced already, or none to begin with)")
    if len(records) == 1:
        return (f"only 1 NAT gateway was found in {vpc_id} ({records[0].get('nat_gw_id')} in "
                f"{records[0].get('subnet_id')}); the replacement needs at least two")
    return None


def check_records(steps: list[Step], mementos: list[dict]) -> list[str]:
    """Where the undo records held do not fit the steps at their positions.

    A run skips steps by count, so records made with another configuration
    (``enable_test``, ``hs_mode``, ``spoke_gw_size`` changed since) would make
    it skip the wrong steps.
    """
    problems = []
    if len(mementos) > len(steps):
        problems.append(f"the backup holds {len(mementos)} undo records but the replacement "
                        f"has {len(steps)} steps: was the configuration (enable_test, hs_mode, "
                        "spoke_gw_size) changed since the run that made them?")
    for step, memento in zip(steps, mementos):
        qualname = memento.get("qualname")
        if qualname != MEMENTO_OF.get(step.kind):
            problems.append(
                f"undo record {step.position} is a {qualname}, but step {step.position} is: "
                f"{step.title}; was the configuration (enable_test, hs_mode, spoke_gw_size) "
                "changed since the run that made the records? A run would skip the wrong steps")
            break
    return problems


def nat_warnings(natgws: list[dict], records: list[dict]) -> list[str]:
    """What the operator should know about the VPC's NAT gateways: those left
    alone (failed, being deleted) and the secondary addresses a spoke gateway
    does not take over."""
    from morvent.lib.natgw import primary_address

    ours = {r.get("nat_gw_id") for r in records}
    found = []
    for nat in natgws:
        nat_id, state = nat.get("NatGatewayId"), nat.get("State")
        if state in ("failed", "deleting") and nat_id not in ours:
            found.append(f"NAT gateway {nat_id} in {nat.get('SubnetId')} is {state}: it carries "
                         "no traffic and is left alone")
        if nat_id in ours and state == "available":
            primary = primary_address(nat)
            others = [a.get("PublicIp") for a in nat.get("NatGatewayAddresses") or []
                      if a is not primary and a.get("PublicIp")]
            if others:
                found.append(f"NAT gateway {nat_id} also has {', '.join(others)}: the spoke "
                             f"gateway takes over only its primary address "
                             f"{primary.get('PublicIp')}, which its traffic then leaves with")
    return found


# -- the revert ------------------------------------------------------------------------

def undo_title(record: dict) -> str:
    """What undoing one stored undo record does, in one line."""
    qualname = record.get("qualname", "?")
    s = record.get("state") or {}
    if qualname == "TestPrepMemento":
        return "Put back the egress test configuration"
    if qualname == "SnapshotRTMemento":
        return (f"Restore snapshot {s.get('tag')} of the default routes of {s.get('vpc_id')} "
                f"({len(s.get('routes') or [])} route tables)")
    if qualname == "NatGwTrafficMemento":
        return (f"Move {len(s.get('routes') or [])} route(s) back from NAT gateway "
                f"{s.get('to_nat_gw_id')} to the NAT gateway in {s.get('from_subnet_id')} "
                f"(was {s.get('from_nat_gw_id')})")
    if qualname == "NatGwDeleteMemento":
        return (f"Put back NAT gateway {s.get('nat_gw_id')} in {s.get('subnet_id')} with "
                f"{s.get('eip')} (under a new id)")
    if qualname == "HsSpokeCreateMemento":
        info = s.get("spoke_info") or {}
        return (f"Delete spoke gateway {info.get('gw_name')} in {info.get('gw_subnet_id')} "
                f"({info.get('gw_public_ip')})")
    if qualname == "SnatEnableMemento":
        return f"Switch off single-IP SNAT on {s.get('spoke_gw_name')}"
    if qualname == "ResizeSpokeGatewayMemento":
        return (f"Resize spoke gateway {s.get('spoke_gw_name')} back from "
                f"{s.get('to_gw_size')} to {s.get('from_gw_size')}")
    return f"Undo {qualname}"


def _undo_resources(record: dict) -> dict[str, Any]:
    qualname = record.get("qualname")
    s = record.get("state") or {}
    if qualname == "NatGwDeleteMemento":
        found = {"nat_gateway": s.get("nat_gw_id"), "subnet": s.get("subnet_id"),
                 "elastic_ip": s.get("eip"), "allocation_id": s.get("allocation_id")}
    elif qualname == "HsSpokeCreateMemento":
        info = s.get("spoke_info") or {}
        found = {"spoke_gateway": info.get("gw_name"), "subnet": info.get("gw_subnet_id"),
                 "subnet_cidr": info.get("gw_subnet_cidr"), "elastic_ip": info.get("gw_public_ip")}
    elif qualname == "NatGwTrafficMemento":
        found = {"nat_gateway": s.get("to_nat_gw_id"), "to_subnet": s.get("from_subnet_id")}
    elif qualname in ("SnatEnableMemento", "ResizeSpokeGatewayMemento"):
        found = {"spoke_gateway": s.get("spoke_gw_name"), "from_size": s.get("to_gw_size"),
                 "to_size": s.get("from_gw_size")}
    elif qualname == "SnapshotRTMemento":
        found = {"tag": s.get("tag")}
    else:
        found = {}
    return {k: v for k, v in found.items() if v is not None}


def _recorded_routes(routes: Any) -> list[str]:
    """Routes an undo record stores as [table, destination key, destination]."""
    return [f"{r[0]} {r[2]}" for r in routes or [] if isinstance(r, (list, tuple)) and len(r) > 2]


def revert_steps(mementos: list[dict]) -> list[Step]:
    """A revert's steps: the undo records (oldest first in ``mementos``), newest first."""
    steps = []
    for position, record in enumerate(reversed(mementos), 1):
        qualname = record.get("qualname")
        state = record.get("state") or {}
        routes: list[str] = []
        if qualname in ("NatGwTrafficMemento", "NatGwDeleteMemento"):
            routes = _recorded_routes(state.get("routes"))
        steps.append(Step(position, UNDO_OF.get(qualname, "undo"), undo_title(record),
                          resources=_undo_resources(record), routes=routes))
    return steps


# -- reading AWS -----------------------------------------------------------------------

def discover(ec2: Any, cw: Any, vpc_id: str, hs_mode: int) -> list[dict]:
    """The NAT gateway records a run's discovery would make now, read-only.

    The same collaborators as the run's discovery: the VPC's available
    public NAT gateways, sized from their traffic.
    """
    from morvent.lib.gateway_size import DetermineGwSizeCmd
    from morvent.lib.natgw import get_existing_natgws

    nat_gws = get_existing_natgws(ec2, None, vpc_id)
    num_of_spoke = len(nat_gws) if hs_mode == 2 else min(Globals.HS_LIMIT, len(nat_gws))
    sizing = DetermineGwSizeCmd(ec2, cw, num_of_spoke, nat_gws, hs_mode=hs_mode)
    sizing.execute()
    return [dict(record) for record in sizing.getNatGwInfo()]


def refresh(ec2: Any, vpc_id: str, records: list[dict]) -> list[dict]:
    """Copies of the recorded NAT gateway records, each brought up to date with
    the NAT gateway now in its subnet, as a run does before its steps."""
    from morvent.lib.natgw import get_natgw_by_subnet, primary_address

    fresh = []
    for record in records:
        record = dict(record)
        found = get_natgw_by_subnet(ec2, record["subnet_id"], vpc_id) \
            if record.get("subnet_id") else []
        if found:
            address = primary_address(found[0])
            record["nat_gw_id"] = found[0]["NatGatewayId"]
            record["private_ip"] = address.get("PrivateIp")
            record["eip"] = address.get("PublicIp")
        fresh.append(record)
    return fresh


@dataclass
class RouteTable:
    """What the plan needs to know of one route table."""

    route_table_id: str
    #: The zone of its subnets (of the NAT gateway it uses when it has none).
    zone: str | None
    #: It has a default route that does not lead to an internet gateway.
    private: bool
    #: Where its default route leads (an id), or None.
    default_target: str | None = None
    #: NAT gateway id -> the destinations routed through it.
    nat_routes: dict[str, list[str]] = field(default_factory=dict)


def subnet_zones(ec2: Any, vpc_id: str) -> dict[str, str]:
    """Subnet id -> availability zone of every subnet of the VPC."""
    subnets = ec2.describe_subnets(Filters=[{"Name": "vpc-id", "Values": [vpc_id]}])["Subnets"]
    return {s["SubnetId"]: s.get("AvailabilityZone") for s in subnets}


def read_route_tables(ec2: Any, vpc_id: str, records: list[dict],
                      zone_of: dict[str, str]) -> list[RouteTable]:
    """The VPC's route tables with their zones, read-only.

    ``zone_of`` maps the VPC's subnets to their zones (:func:`subnet_zones`).
    """
    from morvent.lib import routes
    from morvent.lib.nat_routes import record_zones

    nat_zone = dict(zip((r.get("nat_gw_id") for r in records), record_zones(records, zone_of)))
    tables = []
    for table in routes.route_tables(ec2, vpc_id):
        nat_routes: dict[str, list[str]] = {}
        for route in table.get("Routes", []):
            dest = routes.destination(route)
            if dest and route.get("NatGatewayId"):
                nat_routes.setdefault(route["NatGatewayId"], []).append(dest[1])
        default = routes.default_route(table)
        target = routes.target(default) if default else None
        private = target is not None and not (target[0] == "GatewayId"
                                              and target[1].startswith("igw-"))
        zone = next((zone_of[a["SubnetId"]] for a in table.get("Associations", [])
                     if a.get("SubnetId") in zone_of), None)
        if zone is None and target is not None and target[0] == "NatGatewayId":
            zone = nat_zone.get(target[1])
        tables.append(RouteTable(table["RouteTableId"], zone, private,
                                 target[1] if target else None, nat_routes))
    return tables


def add_routes(steps: list[Step], records: list[dict], mementos: list[dict]) -> None:
    """Fill in the routes each step of a replacement moves, from the routes the
    records map (see ``morvent.lib.nat_routes``):

    - the traffic move: every route of the first NAT gateway (to the second);
    - SNAT on the primary: the default routes SNAT takes (to the primary);
    - a deletion: the routes the tool parks away from that NAT gateway;
    - a spoke gateway: the default routes SNAT sends to it, and the routes the
      tool settles onto it once it is up.
    """
    def listed(index: int, snat: bool | None = None) -> list[str]:
        if not 0 <= index < len(records):
            return []
        return [f"{r['route_table_id']} {r['destination']}"
                for r in records[index].get("routes") or []
                if snat is None or bool(r.get("snat")) == snat]

    def landing(spoke: int) -> list[str]:
        found = []
        for index, record in enumerate(records):
            found += [f"{r['route_table_id']} {r['destination']}"
                      for r in record.get("routes") or []
                      if r.get("spoke") == spoke and (r.get("snat") or index == spoke)]
        return found

    for step in steps:
        if step.kind == MOVE_TRAFFIC:
            held = mementos[step.position - 1] if step.position <= len(mementos) else None
            if held is not None and held.get("qualname") == "NatGwTrafficMemento":
                step.routes = _recorded_routes((held.get("state") or {}).get("routes"))
            else:
                step.routes = listed(0)
        elif step.kind == SNAPSHOT:
            step.resources["route_tables"] = sorted(
                {r["route_table_id"] for record in records for r in record.get("routes") or []
                 if r.get("destination") == DEFAULT_ROUTE})
            continue
        elif step.kind == ENABLE_SNAT:
            step.routes = [route for index in range(len(records))
                           for route in listed(index, snat=True)]
        elif step.kind == DELETE_NATGW and step.record:
            step.routes = listed(step.record, snat=False)
        elif step.kind == CREATE_PRIMARY:
            step.routes = listed(0, snat=False)
        elif step.kind == CREATE_HA and step.record is not None:
            step.routes = landing(step.record)
        if step.routes:
            step.resources["route_tables"] = sorted({r.split()[0] for r in step.routes})


# -- plans ---------------------------------------------------------------------------

#: What the plan of a revert says when the backup holds no undo record.
NOTHING_TO_REVERT = "no undo record in the backup: nothing to revert"


@dataclass
class Plan:
    """What a run of ``execute`` or ``revert`` would do, step by step."""

    command: str
    vpc_id: str
    steps: list[Step] = field(default_factory=list)
    #: Things the operator should know before the run.
    warnings: list[str] = field(default_factory=list)
    #: Why the run cannot go ahead at all, or None.
    fatal: str | None = None
    #: Where the NAT gateway records come from: "recorded" (the backup's
    #: discovery) or "read-only" (a discovery made for the plan); "" for a revert.
    discovery: str = ""
    #: The NAT gateway records, in discovery order (a replacement's plan).
    records: list[dict] = field(default_factory=list)
    #: Why the run must not go ahead, one line per route table or NAT gateway
    #: (the run refuses before any change).
    refusals: list[str] = field(default_factory=list)
    #: The route tables whose traffic will leave with another address
    #: (``morvent.lib.nat_routes.AddressChange``); the run goes ahead only
    #: when the operator accepts them.
    address_changes: list[Any] = field(default_factory=list)
    #: For which steps of the run a zone's traffic leaves through another zone's
    #: address, one line per zone (``borrowed_addresses``).
    borrowed: list[str] = field(default_factory=list)
    #: What the run would do with the controller's cloud account (see
    #: ``CreateCorvaneAccount.intent``); None when it was not asked.
    account: dict[str, Any] | None = None

    @property
    def creates_account(self) -> bool:
        return bool(self.account and self.account.get("action") == "create")

    @property
    def to_do(self) -> list[Step]:
        return [s for s in self.steps if not s.done]

    def counts(self) -> dict[str, int]:
        to_do = self.to_do
        kinds = [s.kind for s in to_do]
        counts = {"steps": len(self.steps), "done": len(self.steps) - len(to_do),
                  "to_do": len(to_do),
                  "controller_accounts_to_create": int(self.creates_account)}
        if self.command == "revert":
            counts.update(
                nat_gateways_to_put_back=kinds.count("put-back-natgw"),
                spoke_gateways_to_delete=kinds.count("delete-spoke"),
                routes_to_move_back=sum(len(s.routes) for s in to_do),
                resizes_back=kinds.count("resize-back"))
        else:
            counts.update(
                spoke_gateways_to_create=kinds.count(CREATE_PRIMARY) + kinds.count(CREATE_HA),
                nat_gateways_to_delete=kinds.count(DELETE_NATGW),
                routes_to_move=sum(len(s.routes) for s in to_do),
                resizes=kinds.count(RESIZE))
        return counts

    def summary(self) -> str:
        """The closing count, e.g. "3 spoke gateways to create, 3 NAT gateways to delete, ..."."""
        if self.fatal:
            return f"nothing can be done: {self.fatal}"
        if self.refusals:
            n = len(self.refusals)
            return f"refused: {n} problem{'' if n == 1 else 's'} to fix first (see above)"
        counts = self.counts()
        account = (f"controller account {self.account.get('name')} to create"
                   if self.creates_account else "")
        if not counts["to_do"]:
            return account or "nothing to do"
        if self.command == "revert":
            parts = [(counts["nat_gateways_to_put_back"], "NAT gateway", "to put back"),
                     (counts["spoke_gateways_to_delete"], "spoke gateway", "to delete"),
                     (counts["routes_to_move_back"], "route", "to move back"),
                     (counts["resizes_back"], "resize", "back")]
        else:
            parts = [(counts["spoke_gateways_to_create"], "spoke gateway", "to create"),
                     (counts["nat_gateways_to_delete"], "NAT gateway", "to delete"),
                     (counts["routes_to_move"], "route", "to move"),
                     (counts["resizes"], "resize", "")]
        text = ", ".join(f"{n} {word}{'' if n == 1 else 's'}" + (f" {rest}" if rest else "")
                         for n, word, rest in parts)
        return (f"{account + ', ' if account else ''}{text} ({counts['to_do']} of "
                f"{counts['steps']} steps to do)")

    def to_dict(self) -> dict[str, Any]:
        return {"command": self.command, "vpc_id": self.vpc_id, "discovery": self.discovery,
                "fatal": self.fatal, "warnings": list(self.warnings),
                "refusals": list(self.refusals),
                "address_changes": [c.to_dict() for c in self.address_changes],
                "borrowed_addresses": list(self.borrowed),
                "account": self.account, "counts": self.counts(), "summary": self.summary(),
                "records": [dict(r) for r in self.records],
                "steps": [s.to_dict() for s in self.steps]}


def plan_replacement(settings: Settings, state: Any, ec2: Any, cw: Any) -> Plan:
    """The plan of ``execute`` for a VPC whose backup holds ``state`` (a BackupState).

    With a recorded discovery its records are refreshed as the run refreshes
    them; on a fresh VPC a read-only discovery stands in for the run's own.
    """
    from morvent.lib import nat_routes, routes

    if state.discovered:
        records, discovery = refresh(ec2, settings.vpc_id, state.natgws), "recorded"
    else:
        records, discovery = discover(ec2, cw, settings.vpc_id, settings.hs_mode), "read-only"
    plan = Plan("execute", settings.vpc_id, discovery=discovery, records=records)
    plan.fatal = too_few_natgws(records, settings.vpc_id)
    if plan.fatal:
        return plan
    plan.steps = replacement_steps(settings, records, held=len(state.mementos))
    zone_of = subnet_zones(ec2, settings.vpc_id)
    tables = routes.route_tables(ec2, settings.vpc_id)
    if not nat_routes.mapped(records):
        # Records of an earlier version: map the routes as they are now.
        records = [dict(r) for r in records]
        nat_routes.map_routes(tables, records, zone_of, settings.hs_mode)
        plan.records = records
    add_routes(plan.steps, records, state.mementos)
    natgws = _all_natgws(ec2, settings.vpc_id)
    spokes = nat_routes.spoke_instances(ec2, records).values() if state.mementos else ()
    plan.refusals = nat_routes.refusals(tables, natgws, records, spokes,
                                        resumed=bool(state.mementos))
    plan.address_changes = nat_routes.address_changes(records, tables, zone_of,
                                                      settings.hs_mode)
    plan.warnings = check_records(plan.steps, state.mementos) + nat_warnings(natgws, records)
    plan.borrowed = borrowed_addresses(plan.steps, records, zone_of)
    return plan


def borrowed_addresses(steps: list[Step], records: list[dict],
                       zone_of: dict[str, str]) -> list[str]:
    """For which steps still to do a zone leaves through another zone's address
    (see ``morvent.core.egress.borrowed_during_run``)."""
    from morvent.core.egress import borrowed_during_run

    def at(kind: str) -> int | None:
        return next((s.position for s in steps if s.kind == kind and s.record == 0), None)

    move = at(MOVE_TRAFFIC)
    if move is None:
        return []
    ha = {s.record: s.position for s in steps if s.kind == CREATE_HA and s.record is not None}
    done = sum(1 for s in steps if s.done)
    return borrowed_during_run(records, move, at(ENABLE_SNAT), ha, len(steps), zone_of,
                               done=done)


def _all_natgws(ec2: Any, vpc_id: str) -> list[dict]:
    """Every NAT gateway of the VPC, in any state, public or private."""
    found: list[dict] = []
    paginator = ec2.get_paginator("describe_nat_gateways")
    for page in paginator.paginate(Filter=[{"Name": "vpc-id", "Values": [vpc_id]}]):
        found.extend(page.get("NatGateways", []))
    return found


def plan_revert(vpc_id: str, state: Any, ec2: Any | None = None,
                look_for_unrecorded: bool = True) -> Plan:
    """The plan of ``revert``: the undo records newest first.

    With ``ec2`` the routes that switching SNAT off gives back are counted,
    and (``look_for_unrecorded``) the changes no undo record describes are
    looked for: the revert stops before any change when there are some.
    """
    plan = Plan("revert", vpc_id, steps=revert_steps(state.mementos), records=state.natgws)
    if ec2 is not None and state.mementos:
        from morvent.run.reconcile import unrecorded_changes

        # Switching SNAT off gives back the default routes that lead to the
        # spoke gateways now.
        tables = read_route_tables(ec2, vpc_id, state.natgws, subnet_zones(ec2, vpc_id))
        on_spokes = [f"{t.route_table_id} {DEFAULT_ROUTE}" for t in tables
                     if t.private and (t.default_target or "").startswith(("i-", "eni-"))]
        for step in plan.steps:
            if step.kind == "disable-snat":
                step.routes = on_spokes

        findings = unrecorded_changes(ec2, vpc_id, state) if look_for_unrecorded else []
        if findings:
            plan.fatal = ("the VPC does not match its undo records: "
                          + "; ".join(str(f) for f in findings)
                          + "; `morvent execute` finishes the interrupted step, then "
                            "`morvent revert` restores the VPC")
    return plan
