"""What a VPC's backup records, and where EC2 no longer agrees with it.

A run that is stopped while a request is under way (killed, or its answer
lost) can leave a change that no undo record describes: a NAT gateway
deleted, or a spoke gateway created with a zone's Elastic IP.  A revert
that went ahead would restore everything else and leave that zone going
out through another zone's NAT gateway with the wrong public address.
``unrecorded_changes`` finds those changes by comparing the backup's
records with EC2 (no controller needed); ``morvent execute`` finishes the
interrupted step and records it.

The records are read from the histories' JSON files as they are; no memento
is rebuilt.
"""

from __future__ import annotations

import json
import os
from dataclasses import dataclass, field, replace
from typing import Any

from morvent.commands.history import describe_copy, read_history
from morvent.commands.records import COMMAND_HISTORY_FILE, MEMENTO_HISTORY_FILE, HistoryDamaged
from morvent.lib.natgw import (LIVE_STATES, address_instance, describe_natgw, find_address,
                               get_natgw_by_subnet)

__all__ = ["BackupState", "Finding", "describe_record", "migration_traces",
           "read_backup_state", "unrecorded_changes", "unrecorded_gateways"]

NATGW_DELETION = "NatGwDeleteMemento"
SPOKE_CREATION = "HsSpokeCreateMemento"


@dataclass
class BackupState:
    """The records of one VPC's local backup folder."""

    folder: str
    #: True when the NAT gateway discovery is recorded (command 0).
    discovered: bool = False
    #: The discovery's NAT gateway records, in discovery order.
    natgws: list[dict] = field(default_factory=list)
    #: The undo records, oldest first: {"module", "qualname", "state", "mark_begin"}.
    mementos: list[dict] = field(default_factory=list)

    def records_of(self, qualname: str) -> list[dict]:
        """The states of the undo records of one memento class."""
        return [m.get("state") or {} for m in self.mementos if m.get("qualname") == qualname]


def read_backup_state(folder: str, des: Any = None) -> BackupState:
    """The discovery and the undo records kept in ``folder`` (empty when absent).

    Both files are checked (``morvent.commands.records``), and against each
    other: undo records need a discovery of the NAT gateways they were made
    on.  HistoryDamaged otherwise, naming the file -- with its S3 object and
    local copy when the backup descriptor ``des`` is given (``folder`` may
    then be a scratch copy).
    """
    def where(name: str) -> str:
        if des is None:
            return describe_copy(os.path.join(folder, name))
        return f"{name} in S3 ({des.url}{name}; local copy {os.path.join(des.local_folder, name)})"

    state = BackupState(folder)
    commands = read_history(os.path.join(folder, COMMAND_HISTORY_FILE), where(COMMAND_HISTORY_FILE))
    if commands is not None:
        for command in commands.entries:  # the discovery is the only kind
            state.discovered = True
            state.natgws = command["natgws"]
    mementos = read_history(os.path.join(folder, MEMENTO_HISTORY_FILE), where(MEMENTO_HISTORY_FILE))
    if mementos is not None:
        state.mementos = list(mementos.entries)
    if state.mementos and not state.natgws:
        lacks = "records no NAT gateway" if state.discovered else "has no NAT gateway discovery"
        raise HistoryDamaged(
            f"{where(COMMAND_HISTORY_FILE)} is damaged: it {lacks}, while "
            f"{MEMENTO_HISTORY_FILE} holds {len(state.mementos)} undo records made on the "
            "discovered NAT gateways; nothing was changed; put back an intact copy of "
            f"{COMMAND_HISTORY_FILE}, then run again")
    return state


def describe_record(record: dict) -> str:
    """One undo record in words, e.g. "deletion of NAT gateway nat-1 in subnet-1"."""
    qualname = record.get("qualname", "?")
    s = record.get("state") or {}
    if qualname == NATGW_DELETION:
        return f"deletion of NAT gateway {s.get('nat_gw_id')} in {s.get('subnet_id')}"
    if qualname == SPOKE_CREATION:
        info = s.get("spoke_info") or {}
        return f"creation of spoke gateway {info.get('gw_name')} in {info.get('gw_subnet_id')}"
    if qualname == "SnapshotRTMemento":
        return f"route snapshot {s.get('tag')}"
    if qualname == "NatGwTrafficMemento":
        return f"traffic move from {s.get('from_nat_gw_id')} to {s.get('to_nat_gw_id')}"
    if qualname == "SnatEnableMemento":
        return f"SNAT switched on for {s.get('spoke_gw_name')}"
    if qualname == "ResizeSpokeGatewayMemento":
        return (f"resize of {s.get('spoke_gw_name')} from {s.get('from_gw_size')} to "
                f"{s.get('to_gw_size')}")
    return qualname


@dataclass(frozen=True)
class Finding:
    """A change in EC2 that no undo record describes."""

    #: "natgw-deleted", "spoke-created" (seen in EC2) or "spoke-unrecorded"
    #: (seen on the controller).
    kind: str
    subnet_id: str
    subnet_cidr: str | None
    eip: str | None
    nat_gw_id: str | None
    #: The instance that holds the Elastic IP ("spoke-created"), with its name;
    #: the controller gateway's name ("spoke-unrecorded").
    holder: str | None = None

    def __str__(self) -> str:
        where = f"{self.subnet_id} ({self.subnet_cidr})"
        if self.kind == "natgw-deleted":
            return (f"NAT gateway {self.nat_gw_id} of {where} is gone and no undo record has "
                    f"its deletion: an interrupted run deleted it")
        if self.kind == "spoke-unrecorded":
            return (f"controller gateway {self.holder} in {where} with {self.eip} is named like "
                    "the spoke gateway and no undo record has it: an interrupted run created "
                    "it, or it is not this migration's")
        return (f"Elastic IP {self.eip} of {where} is held by {self.holder} and no undo "
                f"record has a spoke gateway there: an interrupted run created it")


def _instance_label(ec2: Any, instance_id: str) -> str:
    """ "instance i-1 (name)", the name from its Name tag when it can be read."""
    try:
        reservations = ec2.describe_instances(InstanceIds=[instance_id])["Reservations"]
        tags = reservations[0]["Instances"][0].get("Tags") or []
    except Exception:  # the id alone still names it
        tags = []
    name = next((t.get("Value") for t in tags if t.get("Key") == "Name"), None)
    return f"instance {instance_id}" + (f" ({name})" if name else "")


def unrecorded_changes(ec2: Any, vpc_id: str, state: BackupState) -> list[Finding]:
    """Changes an interrupted run made without a record, one per finding.

    For each NAT gateway record of the discovery: no live NAT gateway in its
    subnet and no deletion record for that subnet means a NAT gateway was
    deleted without a record; its Elastic IP associated with an EC2 instance
    while no spoke creation record has a spoke in that subnet means a spoke
    gateway was created without a record.  Reads EC2 only.
    """
    deleted = {s.get("subnet_id") for s in state.records_of(NATGW_DELETION)}
    spokes = [s.get("spoke_info") or {} for s in state.records_of(SPOKE_CREATION)]
    spoke_subnets = {i.get("gw_subnet_id") for i in spokes} | {i.get("gw_subnet_cidr")
                                                               for i in spokes}
    spoke_subnets.discard(None)
    findings = []
    for record in state.natgws:
        subnet_id = record.get("subnet_id")
        if not subnet_id:
            continue
        deletion = Finding("natgw-deleted", subnet_id, record.get("subnet_cidr"),
                           record.get("eip"), record.get("nat_gw_id"))
        if subnet_id not in deleted and not get_natgw_by_subnet(ec2, subnet_id, vpc_id):
            findings.append(deletion)
        if record.get("eip") or record.get("allocation_id"):
            address = find_address(ec2, record.get("eip"), record.get("allocation_id"))
            instance_id = address_instance(ec2, address) if address else None
            if instance_id and not ({subnet_id, record.get("subnet_cidr")} & spoke_subnets):
                findings.append(replace(deletion, kind="spoke-created",
                                        holder=_instance_label(ec2, instance_id)))
    return findings


def unrecorded_gateways(gateways: list[dict], spoke_gw_name: str, vpc_id: str,
                        state: BackupState) -> list[Finding]:
    """Controller gateways named like the spoke gateway that no undo record knows.

    ``gateways`` are the controller's gateway records (``list_vpcs_summary``:
    primaries, each with its HA gateways in "hagw_details_list").  A gateway
    whose name begins with ``spoke_gw_name`` and that sits in ``vpc_id`` (when
    the record says where it sits) is this migration's kind of gateway; one
    that no spoke creation record names was made by a run that was stopped
    before it could record it, or by someone else.
    """
    known = {(s.get("spoke_info") or {}).get("gw_name") for s in state.records_of(SPOKE_CREATION)}
    findings, seen = [], set()
    for primary in gateways:
        if not isinstance(primary, dict):
            continue
        for gateway in [primary, *(primary.get("hagw_details_list") or [])]:
            name = gateway.get("gw_name")
            if (not isinstance(name, str) or not name.startswith(spoke_gw_name) or name in known
                    or name in seen or gateway.get("vpc_id", vpc_id) != vpc_id):
                continue
            seen.add(name)
            findings.append(Finding("spoke-unrecorded", gateway.get("gw_subnet_id") or "?",
                                    gateway.get("public_subnet"), gateway.get("public_ip"),
                                    None, holder=name))
    return findings


def _backed_up_natgws(folder: str) -> dict[str, str | None]:
    """NAT gateway id -> its subnet (None: not known), from the route tables' backups and the
    NAT gateway descriptions that a run keeps in the backup folder."""
    found: dict[str, str | None] = {}
    try:
        names = sorted(os.listdir(folder))
    except OSError:
        return found
    for name in names:
        if not name.endswith(".json") or not name.startswith(("route-tables-", "natgw-")):
            continue
        try:
            with open(os.path.join(folder, name), encoding="utf-8") as f:
                content = json.load(f)
        except (OSError, ValueError):
            continue
        if not isinstance(content, dict):
            continue
        if name.startswith("natgw-") and isinstance(content.get("NatGatewayId"), str):
            found[content["NatGatewayId"]] = content.get("SubnetId")
        for nat_gw_id in content.get("nat_gw_ids") or []:
            if isinstance(nat_gw_id, str):
                found.setdefault(nat_gw_id, None)
    return found


def migration_traces(ec2: Any, vpc_id: str, state: BackupState,
                     gateways: list[dict] | None, spoke_gw_name: str) -> list[str]:
    """What shows that a migration changed the VPC, for a revert that has no undo record.

    A NAT gateway of the discovery, or of the route tables' backup in the
    folder, that is gone from its subnet; an Elastic IP of the discovery held
    by an instance; a controller gateway named like the spoke gateway in the
    VPC (``gateways``: the controller's records, None when not read).  Reads
    EC2 only.
    """
    traces = [str(f) for f in unrecorded_changes(ec2, vpc_id, state)]
    if not state.discovered:
        for nat_gw_id, subnet_id in _backed_up_natgws(state.folder).items():
            natgw = describe_natgw(ec2, nat_gw_id)
            if natgw is not None and natgw.get("State") in LIVE_STATES:
                continue
            subnet_id = subnet_id or (natgw or {}).get("SubnetId")
            if subnet_id and get_natgw_by_subnet(ec2, subnet_id, vpc_id):
                continue  # put back under a new id
            traces.append(f"NAT gateway {nat_gw_id}" + (f" of {subnet_id}" if subnet_id else "")
                          + " named in the route tables' backup is gone")
    if gateways:
        traces += [str(f) for f in unrecorded_gateways(gateways, spoke_gw_name, vpc_id, state)]
    return traces
