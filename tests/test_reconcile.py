"""Changes that an interrupted run made without an undo record, found in EC2."""

import json

import pytest

from aws_world import aws, world  # noqa: F401 - fixtures
from morvent.core.exceptions import HistoryError
from morvent.core.reconcile import describe_record, read_backup_state, unrecorded_changes
from morvent.lib.natgw import NatGwCmd


def deletion_record(memento):
    return {"module": "morvent.lib.natgw", "qualname": "NatGwDeleteMemento",
            "state": json.loads(json.dumps(memento.toDict())), "mark_begin": True}


def spoke_record(zone, name="spoke-hagw"):
    return {"module": "morvent.lib.spoke", "qualname": "HsSpokeCreateMemento",
            "state": {"spoke_info": {"gw_name": name, "gw_public_ip": zone.eip,
                                     "gw_subnet_id": zone.public_subnet,
                                     "gw_subnet_cidr": zone.public_cidr}},
            "mark_begin": False}


def write_backup(folder, world, mementos):
    (folder / "command_history.json").write_text(json.dumps({
        "format": 1, "version": "v2", "vpc_id": world.vpc_id, "commands": [
            {"index": 0, "name": "discover_natgw",
             "natgws": [z.record() for z in world.zones]}]}))
    (folder / "memento_history.json").write_text(json.dumps({"format": 1,
                                                             "mementos": mementos}))
    return read_backup_state(str(folder))


def delete_without_record(world, zone):
    world.ec2.delete_nat_gateway(NatGatewayId=zone.nat_gw_id)


# Zone 0 as an interrupted run may leave it; zone 1 untouched throughout.
@pytest.mark.parametrize("nat, spoke, found", [
    ("live", None, []),
    ("deleted-recorded", None, []),
    ("deleted-unrecorded", None, ["natgw-deleted"]),
    ("deleted-recorded", "recorded", []),
    ("deleted-recorded", "unrecorded", ["spoke-created"]),
    # Killed between the two: both steps missing from the records.
    ("deleted-unrecorded", "unrecorded", ["natgw-deleted", "spoke-created"]),
])
def test_unrecorded_changes(world, tmp_path, nat, spoke, found):
    zone = world.zones[0]
    mementos = []
    if nat == "deleted-recorded":
        memento = NatGwCmd(world.ec2, world.vpc_id, str(tmp_path)).delete(zone.record())
        mementos.append(deletion_record(memento))
    elif nat == "deleted-unrecorded":
        delete_without_record(world, zone)
    if spoke is not None:
        instance = world.spoke(zone)["instance_id"]
        if spoke == "recorded":
            mementos.append(spoke_record(zone))
    state = write_backup(tmp_path, world, mementos)

    findings = unrecorded_changes(world.ec2, world.vpc_id, state)

    assert [f.kind for f in findings] == found
    assert {f.subnet_id for f in findings} <= {zone.public_subnet}
    for finding in findings:
        text = str(finding)
        assert zone.public_subnet in text and "\n" not in text
        if finding.kind == "spoke-created":
            assert f"held by instance {instance}" in text and zone.eip in text
        else:
            assert zone.nat_gw_id in text


def test_backup_state_reads_what_is_there(tmp_path):
    state = read_backup_state(str(tmp_path))
    assert (state.discovered, state.natgws, state.mementos) == (False, [], [])
    (tmp_path / "memento_history.json").write_text("{not json")
    with pytest.raises(HistoryError, match="memento_history.json is damaged"):
        read_backup_state(str(tmp_path))


@pytest.mark.parametrize("record, words", [
    ({"qualname": "NatGwDeleteMemento", "state": {"nat_gw_id": "nat-1", "subnet_id": "s-1"}},
     "deletion of NAT gateway nat-1 in s-1"),
    ({"qualname": "HsSpokeCreateMemento",
      "state": {"spoke_info": {"gw_name": "sp-hagw", "gw_subnet_id": "s-2"}}},
     "creation of spoke gateway sp-hagw in s-2"),
    ({"qualname": "SomethingNew", "state": {}}, "SomethingNew"),
])
def test_describe_record(record, words):
    assert describe_record(record) == words
