"""Damage and two-machine drills: a slice of tools/damage_matrix.py.

Each damage kind once, each command and each place of the damage at least
once, on one half-migrated VPC; the two sequences that the issue found
broken, a revert made elsewhere and a lock broken under a live run; and a
revert that has no history to go by on a half-migrated VPC.
"""

import json
import threading

import botocore.exceptions
import pytest

from backup_fixtures import deletion_state, natgw_record
from morvent.commands import records
from morvent.sim import SimulatedWorld, damage

C, M = records.COMMAND_HISTORY_FILE, records.MEMENTO_HISTORY_FILE


@pytest.fixture(scope="module")
def sim():
    with SimulatedWorld() as world:
        yield world


@pytest.mark.parametrize("file, kind, command, where", [
    (M, "null", "execute", "S3/empty"),          # was: the steps redone, records overwritten
    (M, "emptied", "revert", "S3/same"),          # was: a revert that cannot restore
    (M, "unknown kind", "plan", "S3/empty"),
    (M, "truncated", "revert", "local"),
    (C, "null", "execute", "S3/same"),            # was: a fresh discovery
    (C, "wrong type", "status", "S3/empty"),      # was: "unexpected TypeError"
    (C, "emptied", "revert", "S3/empty"),         # undo records, but no NAT gateway to undo on
    (C, "emptied", "plan", "local"),              # the same, in the local pair of copies
    (C, "not JSON", "status", "local"),
    (C, "missing field", "execute", "local"),
    (M, "wrong top-level type", "status", "S3/same"),
])
def test_a_damaged_history_stops_every_command_naming_it(sim, file, kind, command, where):
    cell = damage.damage_drill(sim, damage.DamageScenario(file, kind, command, where))
    assert cell.ok, "\n".join(cell.details)


@pytest.mark.parametrize("name", ["execute A, revert B, execute A",
                                  "lock broken under a live run",
                                  "execute A stopped, histories lost, revert B"])
def test_two_machines_keep_one_truth(sim, name):
    cell = damage.sequence_drill(sim, damage.SequenceScenario(name))
    assert cell.ok, "\n".join(cell.details)


@pytest.mark.parametrize("name", [C, M])
@pytest.mark.parametrize("kind", damage.DAMAGE_KINDS)
def test_every_damage_kind_is_damage_to_the_reader(name, kind):
    written = {C: {"format": 2, "lineage": "a" * 32, "serial": 1, "version": "v2",
                   "vpc_id": "vpc-1", "commands": [{"index": 0, "name": "discover_natgw",
                                                    "natgws": [natgw_record("a"), natgw_record("b")]}]},
               M: {"format": 2, "lineage": "a" * 32, "serial": 1, "mementos": [
                   {"module": "morvent.lib.natgw", "qualname": "NatGwDeleteMemento",
                    "state": deletion_state("a"), "mark_begin": True}]}}
    data = json.dumps(written[name]).encode()
    records.parse(name, data, "here")
    spoiled = damage.damage(name, kind, data)
    if name == C and kind == "emptied":
        # What a discovery that found nothing writes; damage next to undo records.
        assert records.parse(name, spoiled, "here").entries[0]["natgws"] == []
        return
    with pytest.raises(records.HistoryDamaged, match="^here is damaged"):
        records.parse(name, spoiled, "here")



@pytest.mark.parametrize("condition", ["IfNoneMatch", "IfMatch"])
def test_conditional_writes_race_as_in_s3(sim, condition):
    # Of several writes on the same condition, at once, exactly one lands.
    s3 = sim.client("s3")
    s3.create_bucket(Bucket="race")
    etag = s3.put_object(Bucket="race", Key="k", Body=b"0")["ETag"] \
        if condition == "IfMatch" else None
    if condition == "IfNoneMatch":
        s3.delete_object(Bucket="race", Key="k")
    landed, start = [], threading.Barrier(8)

    def write(n):
        start.wait()
        try:
            sim.aws.client("s3").put_object(Bucket="race", Key="k", Body=str(n).encode(),
                                            **{condition: etag or "*"})
            landed.append(n)
        except botocore.exceptions.ClientError as e:
            assert e.response["Error"]["Code"] == "PreconditionFailed"

    threads = [threading.Thread(target=write, args=(n,)) for n in range(1, 9)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(landed) == 1
    assert s3.get_object(Bucket="race", Key="k")["Body"].read() == str(landed[0]).encode()
