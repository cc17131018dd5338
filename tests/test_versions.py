"""Placing a local copy of a history against S3's: versions, the remembered S3 version,
and the checks of every record kind."""

import copy
import json
import re

import pytest

from morvent.commands import records, versions
from morvent.commands.records import HistoryDamaged
from morvent.commands.versions import Copy, HistoryDiverged, Synced, decide

NAME = records.MEMENTO_HISTORY_FILE


def snat(n):
    return {"module": "morvent.lib.spoke", "qualname": "SnatEnableMemento",
            "state": {"spoke_gw_name": f"gw-{n}"}, "mark_begin": n == 1}


def history(records_held, serial=None, lineage="a" * 32, etag=None):
    """A copy holding ``records_held`` undo records; ``serial`` None: the earlier layout."""
    held = [snat(n) for n in range(1, records_held + 1)]
    body = ({"format": 1, "mementos": held} if serial is None else
            {"format": 2, "lineage": lineage, "serial": serial, "mementos": held})
    data = json.dumps(body).encode()
    return Copy(data, records.parse(NAME, data, "test"), etag)


def synced(c, etag="base"):
    return Synced(c.history.lineage, c.history.serial, etag, versions.digest(c.data))


B = "b" * 32
# (local, S3, remembered: a copy whose version the folder was in step with, or None)
CASES = {
    # S3 is the truth; a copy behind it is replaced, whatever it holds.
    "behind: S3 moved on (a revert elsewhere)": (
        history(9, 10), history(0, 19, etag="new"), history(9, 10), "remote"),
    "ahead: S3 did not move": (history(3, 4), history(2, 3, etag="base"), history(2, 3),
                               "local"),
    "in step": (history(2, 3), history(2, 3, etag="base"), history(2, 3), "same"),
    "first write never stored": (history(1, 1), None, None, "local"),
    "only in S3": (None, history(1, 1), None, "remote"),
    "neither": (None, None, None, "none"),
    # Layout 1 (no version): version 0; upgraded at the first write.
    "earlier layout, upgraded here": (history(2, 1), history(1, etag="base"), history(1),
                                      "local"),
    "earlier layout, upgraded elsewhere": (history(1), history(2, 1, etag="new"), history(1),
                                           "remote"),
    "earlier layouts, S3 holds all of it": (history(1), history(2), None, "remote"),
}
DIVERGED = {
    "both moved": (history(3, 4), history(2, 5, etag="new"), history(2, 3),
                   "both moved since they were last in step"),
    "born again in S3": (history(1, 1), history(1, 1, lineage=B, etag="new"), history(1, 1),
                         "belongs to another history"),
    "S3 put back by hand": (history(2, 3), history(1, 2, etag="old"), history(2, 3),
                            "older than the one this folder was in step with"),
    "changed outside morvent": (history(3, 3), history(2, 3, etag="base"), history(2, 3),
                                "changed outside morvent"),
    "earlier layouts, local holds more": (history(2), history(1), None,
                                          "holds 1 more record(s) than S3"),
    "no remembered version, other lineage": (history(1, 2), history(1, 2, lineage=B), None,
                                             "different histories"),
}


@pytest.mark.parametrize("local, remote, base, decision", CASES.values(), ids=CASES)
def test_where_the_local_copy_stands(local, remote, base, decision):
    assert decide(local, remote, synced(base) if base else None) == decision


@pytest.mark.parametrize("local, remote, base, why", DIVERGED.values(), ids=DIVERGED)
def test_copies_that_cannot_be_placed_are_diverged(local, remote, base, why):
    with pytest.raises(HistoryDiverged, match=re.escape(why)):
        decide(local, remote, synced(base) if base else None)


def test_the_remembered_versions_survive_a_damaged_file(tmp_path):
    versions.write_synced(str(tmp_path), NAME, synced(history(1, 1)))
    assert versions.read_synced(str(tmp_path))[NAME].serial == 1
    versions.write_synced(str(tmp_path), NAME, None)
    assert versions.read_synced(str(tmp_path)) == {}
    (tmp_path / versions.SYNC_FILE).write_text("{")
    assert versions.read_synced(str(tmp_path)) == {}  # judged by content alone then


# -- what each record kind holds ----------------------------------------------------------

ROUTE = ["rtb-1", "DestinationCidrBlock", "0.0.0.0/0"]
STATES = {  # as the tool writes them (see a run's memento_history.json)
    "morvent.lib.route_table.SnapshotRTMemento": {
        "vpc_id": "vpc-1", "tag": "s1", "made_in_dry_run": False,
        "routes": [{"route_table_id": "rtb-1", "destination_key": "DestinationCidrBlock",
                    "destination": "0.0.0.0/0", "target_key": "NatGatewayId",
                    "target_id": "nat-1", "subnet_id": "subnet-1", "instance_id": None,
                    "state": "active"}],
        "tables_without_default": ["rtb-2"]},
    "morvent.lib.route_table.NatGwTrafficMemento": {
        "vpc_id": "vpc-1", "tag": "s1", "from_nat_gw_id": "nat-1", "from_subnet_id": "subnet-1",
        "to_nat_gw_id": "nat-2", "to_subnet_id": "subnet-2", "routes": [ROUTE],
        "made_in_dry_run": False},
    "morvent.lib.natgw.NatGwDeleteMemento": {
        "vpc_id": "vpc-1", "subnet_id": "subnet-1", "subnet_cidr": "10.0.0.0/24",
        "nat_gw_id": "nat-1", "eip": "198.51.100.1", "allocation_id": "eipalloc-1",
        "secondary_allocation_ids": [], "private_ip": "10.0.0.5",
        "network_interface_ids": ["eni-1"], "tags": [{"Key": "Name", "Value": "n"}],
        "routes": [], "made_in_dry_run": False},
    "morvent.lib.spoke.HsSpokeCreateMemento": {
        "spoke_info": {"gw_private_ip": "10.0.0.4", "gw_name": "spoke",
                       "gw_public_ip": "198.51.100.1", "gw_subnet_id": "subnet-1",
                       "gw_subnet_cidr": "10.0.0.0/24"}},
    "morvent.lib.spoke.SnatEnableMemento": {"spoke_gw_name": "spoke"},
    "morvent.lib.spoke.ResizeSpokeGatewayMemento": {
        "spoke_gw_name": "spoke", "from_gw_size": "c5.large", "to_gw_size": "t3.small"},
    "morvent.lib.test.TestPrepMemento": {
        "input_test_config": "in.json", "output_test_config": "out.json",
        "previous_input": None, "previous_output": "{}"},
}


def memento_file(path, state):
    module, qualname = path.rsplit(".", 1)
    return {"format": 1, "mementos": [{"module": module, "qualname": qualname, "state": state,
                                       "mark_begin": True}]}


def test_every_record_kind_has_a_sample_here():
    assert set(STATES) == set(records.MEMENTO_KINDS)


def _nested(state):
    return any(isinstance(v, (list, dict)) and v for v in state.values())


@pytest.mark.parametrize("path, damage", [
    (path, damage) for path in STATES
    for damage in ["emptied", "missing", "wrong type", "nested wrong type"]
    if damage != "nested wrong type" or _nested(STATES[path])])
def test_each_record_kind_is_checked(path, damage):
    records.check(NAME, memento_file(path, STATES[path]), "here")  # as written: fine
    state = copy.deepcopy(STATES[path])
    kind = records.MEMENTO_KINDS[path]
    first = next(iter(kind.required))
    if damage == "emptied":
        state, wanted = {}, f"has no '{first}'"
    elif damage == "missing":
        last = list(kind.required)[-1]
        del state[last]
        wanted = f"has no '{last}'"
    elif damage == "wrong type":
        state[first] = 7
        wanted = f"['{first}'] is a whole number"
    else:
        key = next(k for k, v in state.items() if isinstance(v, (list, dict)) and v)
        inner = state[key]
        if isinstance(inner, dict):
            inner[next(iter(inner))] = [1]
        elif isinstance(inner[0], dict):
            inner[0][next(iter(inner[0]))] = True
        else:
            inner[0] = 3.5
        wanted = f"['{key}']"
    with pytest.raises(HistoryDamaged) as info:
        records.check(NAME, memento_file(path, state), "memento_history.json here")
    message = str(info.value)
    assert message.startswith("memento_history.json here is damaged: undo record 1 (")
    assert wanted in message and "\n" not in message
