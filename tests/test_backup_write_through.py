"""The histories' write-through to S3, and the download's merge of local and S3 records."""

import json
import logging
import os

import botocore.exceptions
import pytest

from awsconf_fixtures import (BUCKET, aws_env, folder_contents, globals_state,  # noqa: F401
                              s3, s3_contents)
from morvent.commands.history import CommandHistory, MementoHistory
from morvent.commands.memento import Memento
from morvent.core import backup
from morvent.core.backup import BackupDescriptor
from morvent.core.exceptions import BackupConflict
from morvent.lib.s3 import BackupDiverged, BackupUnavailable, HistoryDamaged, S3BackupCmdV2
from backup_fixtures import allow_kinds, natgw_record

PREFIX = "morvent/prod-acct/eu-central-1/vpc-0123456789abcdef0"
MEMENTOS, COMMANDS = "memento_history.json", "command_history.json"
VPC = "vpc-0123456789abcdef0"


class Step(Memento):
    def __init__(self, n):
        self.n = n

    def restore(self):
        pass


@pytest.fixture(autouse=True)
def fresh(monkeypatch, globals_state):  # noqa: F811
    """Histories and folder registrations as in a new process."""
    new_process(monkeypatch)
    monkeypatch.setattr(backup, "_mirrors", {})
    monkeypatch.setattr(backup, "_pending", {})
    allow_kinds(monkeypatch, Step, n=(int,))


def new_process(monkeypatch):
    for name, value in [("_path", None), ("_vpc_id", None), ("_version", None),
                        ("_commands", []), ("_natgws", [])]:
        monkeypatch.setattr(CommandHistory, name, value)
    for name, value in [("_path", None), ("_entries", []), ("_undoing", None)]:
        monkeypatch.setattr(MementoHistory, name, value)


@pytest.fixture
def des(tmp_path):
    return BackupDescriptor(BUCKET, PREFIX, tmp_path / "backup")


def start_run(s3, des):  # noqa: F811
    """What execute and revert do first: download, then open the histories."""
    S3BackupCmdV2(s3, des).download()
    folder = des.getAbsolutePath()
    MementoHistory.init(folder)
    CommandHistory.init(folder, VPC)
    return folder


def in_s3(s3, name):  # noqa: F811
    return s3_contents(s3).get(f"{PREFIX}/{name}")


def stored(data):
    """(n, mark_begin, undoing) of every memento in a memento history file's bytes."""
    return [(m["state"]["n"], m["mark_begin"], m.get("undoing", False))
            for m in json.loads(data)["mementos"]]


def local(folder, name=MEMENTOS):
    with open(os.path.join(folder, name), "rb") as f:
        return f.read()


# -- write-through -------------------------------------------------------------------

def test_every_history_change_is_in_s3_when_the_call_returns(s3, des):
    folder = start_run(s3, des)

    def check(expected):
        assert in_s3(s3, MEMENTOS) == local(folder)
        assert stored(local(folder)) == expected

    CommandHistory.log_discover_natgw_cmd([natgw_record("a")])
    assert in_s3(s3, COMMANDS) == local(folder, COMMANDS)
    MementoHistory.append(Step(1), MarkBegin=True)
    check([(1, True, False)])
    MementoHistory.append(Step(2))
    check([(1, True, False), (2, False, False)])
    two = MementoHistory.pop()
    check([(1, True, False), (2, False, True)])  # kept while its undo runs
    assert MementoHistory.isCmdBegin() is True
    check([(1, True, False)])
    one = MementoHistory.pop()
    MementoHistory.append(one, MarkBegin=True)  # its undo failed: back as it was
    check([(1, True, False)])
    MementoHistory.append(two)
    check([(1, True, False), (2, False, False)])


@pytest.mark.parametrize("real_run_before", [False, True])
def test_a_dry_run_stores_nothing_in_s3(s3, des, monkeypatch, globals_state,  # noqa: F811
                                        real_run_before):
    if real_run_before:  # the real folder has a mirror in this process
        start_run(s3, des)
        MementoHistory.append(Step(1), MarkBegin=True)
        new_process(monkeypatch)
    before = s3_contents(s3)
    globals_state.dry_run = True
    folder = start_run(s3, des)
    assert folder != des.local_folder
    CommandHistory.log_discover_natgw_cmd([natgw_record("a")])
    MementoHistory.append(Step(7))
    MementoHistory.pop()
    MementoHistory.isEmpty()
    MementoHistory.append(Step(8))
    S3BackupCmdV2(s3, des).upload()
    assert s3_contents(s3) == before
    assert stored(local(folder))[-1] == (8, False, False)


def unreachable(*args, **kwargs):
    raise botocore.exceptions.EndpointConnectionError(endpoint_url="https://s3.example")


# op -> mementos held once a later run has downloaded again.  Memento 1 was
# stored before S3 went away; the local copy, ahead of an S3 copy that did not
# move, is the truth: a new record is kept, a pop S3 never saw keeps the record
# (its undo did not run), a removal after the undo ran is kept too.
FAILING = {
    "append": (lambda: MementoHistory.append(Step(2)), 2),
    "pop": (MementoHistory.pop, 1),
    "settle": (MementoHistory.isEmpty, 0),
    "put back": (lambda: MementoHistory.append(MementoHistory.pop(), MarkBegin=True), 1),
    "discovery": (lambda: CommandHistory.log_discover_natgw_cmd([natgw_record("a")]), 1),
}


@pytest.mark.parametrize("op", FAILING)
def test_s3_unavailable_stops_the_run_and_the_next_run_stores_the_records(s3, des,
                                                                           monkeypatch, op):
    folder = start_run(s3, des)
    MementoHistory.append(Step(1), MarkBegin=True)
    change, held_later = FAILING[op]
    if op == "settle":
        MementoHistory.pop()  # its undo is done; storing the removal is what fails
        change = MementoHistory.isEmpty
    with monkeypatch.context() as outage:
        outage.setattr(s3, "put_object", unreachable)
        with pytest.raises(BackupUnavailable) as info:
            change()
        assert not isinstance(info.value, Exception)  # passes the rollback by
        message = str(info.value)
        assert "\n" not in message and folder in message and des.url in message
        assert "next run stores them" in message
        # The local file has the change; S3 still the state before it.
        assert in_s3(s3, MEMENTOS) != local(folder) or op == "discovery"
        if op == "append":
            assert stored(local(folder)) == [(1, True, False), (2, False, False)]
        if op == "discovery":
            assert in_s3(s3, COMMANDS) is None and os.path.exists(f"{folder}/{COMMANDS}")
        # The end-of-run upload of the native code fails the same way.
        with pytest.raises(BackupUnavailable):
            S3BackupCmdV2(s3, des).upload()

    new_process(monkeypatch)
    folder = start_run(s3, des)
    records = [(n, mark) for n, mark, _ in stored(local(folder))]
    assert [(n, mark) for n, mark, _ in stored(in_s3(s3, MEMENTOS))] == records
    assert MementoHistory.size() == len(records) == held_later
    assert CommandHistory.is_command_i_done(0) is (op == "discovery")
    assert in_s3(s3, COMMANDS) == (local(folder, COMMANDS) if op == "discovery" else None)


def test_an_upload_after_a_failed_pop_keeps_the_record(s3, des, monkeypatch):
    # The memento was never handed out, so its undo never ran.
    folder = start_run(s3, des)
    MementoHistory.append(Step(1), MarkBegin=True)
    with monkeypatch.context() as outage:
        outage.setattr(s3, "put_object", unreachable)
        with pytest.raises(BackupUnavailable):
            MementoHistory.pop()
    S3BackupCmdV2(s3, des).upload()
    assert [n for n, _, _ in stored(in_s3(s3, MEMENTOS))] == [1]
    assert MementoHistory.size() == 1 and [n for n, _, _ in stored(local(folder))] == [1]


def test_an_upload_finishes_an_undo_that_no_later_operation_did(s3, des):
    # The rollback of execute stops after the opening step of the newest group
    # and goes straight to the upload.
    folder = start_run(s3, des)
    MementoHistory.append(Step(1), MarkBegin=True)
    MementoHistory.append(Step(2), MarkBegin=True)
    MementoHistory.pop().restore()
    S3BackupCmdV2(s3, des).upload()
    assert stored(in_s3(s3, MEMENTOS)) == stored(local(folder)) == [(1, True, False)]


# -- two machines, one truth ---------------------------------------------------------------

@pytest.fixture
def machines(s3, des, tmp_path, monkeypatch):
    """machines(name) switches to the local folder of machine ``name`` as a new process
    does: downloads and opens the histories there; returns the folder."""
    def switch(name):
        new_process(monkeypatch)
        monkeypatch.setattr(backup, "_mirrors", {})
        return start_run(s3, BackupDescriptor(BUCKET, PREFIX, tmp_path / name))
    return switch


def in_both(s3, folder):
    return stored(local(folder)), stored(in_s3(s3, MEMENTOS))


def test_a_copy_behind_s3_is_replaced_and_never_stored_back(s3, machines, caplog):
    # execute on A; revert on B; A again: it must see B's revert, not push its records back.
    folder_a = machines("a")
    for n in (1, 2, 3):
        MementoHistory.append(Step(n), MarkBegin=n == 1)
    machines("b")
    while not MementoHistory.isEmpty():
        MementoHistory.pop()
    reverted = in_s3(s3, MEMENTOS)
    caplog.set_level(logging.INFO)
    machines("a")
    assert MementoHistory.size() == 0
    assert local(folder_a) == in_s3(s3, MEMENTOS) == reverted
    assert any("holds a newer memento_history.json" in m for m in caplog.messages)


def test_a_write_based_on_a_stale_copy_fails_instead_of_landing(s3, machines):
    folder_a = machines("a")
    MementoHistory.append(Step(1), MarkBegin=True)
    put(s3, MEMENTOS, in_s3(s3, MEMENTOS) + b" ")  # another run's write meanwhile
    moved = in_s3(s3, MEMENTOS)
    with pytest.raises(BackupConflict) as info:
        MementoHistory.append(Step(2))
    assert not isinstance(info.value, Exception)  # passes the rollback by
    message = str(info.value)
    assert "changed since this run read it" in message and "\n" not in message
    assert os.path.join(folder_a, MEMENTOS) in message
    assert in_s3(s3, MEMENTOS) == moved  # nothing overwritten
    assert [n for n, _, _ in stored(local(folder_a))] == [1, 2]  # the record is kept


def test_a_copy_ahead_of_an_unmoved_s3_is_kept_and_stored(s3, machines, monkeypatch, caplog):
    folder = machines("a")
    MementoHistory.append(Step(1), MarkBegin=True)
    with monkeypatch.context() as outage:
        outage.setattr(s3, "put_object", unreachable)
        with pytest.raises(BackupUnavailable):
            MementoHistory.append(Step(2))
    caplog.set_level(logging.INFO)
    machines("a")
    assert in_both(s3, folder) == ([(1, True, False), (2, False, False)],) * 2
    assert any("lacks (a run ended before storing them)" in m for m in caplog.messages)


def put(s3, name, body):  # noqa: F811
    s3.put_object(Bucket=BUCKET, Key=f"{PREFIX}/{name}", Body=body)


def write(folder, name, body):
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(body)


def _both_moved(s3, machines, monkeypatch):
    machines("a")
    MementoHistory.append(Step(1), MarkBegin=True)
    with monkeypatch.context() as outage:  # A's next record stays local
        outage.setattr(s3, "put_object", unreachable)
        with pytest.raises(BackupUnavailable):
            MementoHistory.append(Step(2))
    machines("b")
    MementoHistory.append(Step(7))


def _born_again(s3, machines, monkeypatch):
    machines("a")
    MementoHistory.append(Step(1), MarkBegin=True)
    s3.delete_object(Bucket=BUCKET, Key=f"{PREFIX}/{MEMENTOS}")
    machines("b")
    MementoHistory.append(Step(1), MarkBegin=True)


def _put_back_by_hand(s3, machines, monkeypatch):
    machines("a")
    MementoHistory.append(Step(1), MarkBegin=True)
    older = in_s3(s3, MEMENTOS)
    MementoHistory.append(Step(2))
    put(s3, MEMENTOS, older)


def _legacy_longer_locally(s3, machines, monkeypatch):
    entries = [{"module": Step.__module__, "qualname": "Step", "state": {"n": n},
                "mark_begin": n == 1} for n in (1, 2)]
    put(s3, MEMENTOS, json.dumps({"format": 1, "mementos": entries[:1]}).encode())
    write(str(machines.folder("a")), MEMENTOS,
          json.dumps({"format": 1, "mementos": entries}).encode())


@pytest.mark.parametrize("setup, why", [
    (_both_moved, "both moved since they were last in step"),
    (_born_again, "belongs to another history"),
    (_put_back_by_hand, "is older than the one this folder was in step with"),
    (_legacy_longer_locally, "holds 1 more record(s) than S3, and no version tells"),
])
def test_copies_that_cannot_be_placed_stop_before_any_change(s3, des, machines, tmp_path,
                                                             monkeypatch, setup, why):
    machines.folder = lambda name: tmp_path / name
    setup(s3, machines, monkeypatch)
    put(s3, "route-snapshot-s1.json", b"s3 only")
    folder = tmp_path / "a"
    before = (folder_contents(folder), s3_contents(s3))
    new_process(monkeypatch)
    monkeypatch.setattr(backup, "_mirrors", {})
    with pytest.raises(BackupDiverged) as info:
        S3BackupCmdV2(s3, BackupDescriptor(BUCKET, PREFIX, folder)).download()
    message = str(info.value)
    path, url = str(folder / MEMENTOS), f"{des.url}{MEMENTOS}"
    assert "\n" not in message and why in message
    assert f"remove {path}" in message and f"delete {url}" in message
    assert (folder_contents(folder), s3_contents(s3)) == before
    assert backup.mirror_of(str(folder)) is None  # no write-through either


def test_a_history_of_the_earlier_layout_is_read_and_versioned_at_its_first_write(s3, des):
    entry = {"module": Step.__module__, "qualname": "Step", "state": {"n": 1},
             "mark_begin": True}
    legacy = json.dumps({"format": 1, "mementos": [entry]}).encode()
    put(s3, MEMENTOS, legacy)
    write(des.local_folder, MEMENTOS, legacy)
    folder = start_run(s3, des)
    assert MementoHistory.size() == 1
    MementoHistory.append(Step(2))
    written = json.loads(in_s3(s3, MEMENTOS))
    assert (written["format"], written["serial"], len(written["lineage"])) == (2, 1, 32)
    assert [m["state"]["n"] for m in written["mementos"]] == [1, 2]
    assert local(folder) == in_s3(s3, MEMENTOS)


@pytest.mark.parametrize("name", [MEMENTOS, COMMANDS])
@pytest.mark.parametrize("damaged, hint", [
    ("s3", "reads well"), ("local", "to use the S3 copy"), ("s3 only", "put back an intact copy")])
def test_a_damaged_copy_stops_the_download_naming_both(s3, des, name, damaged, hint):
    start_run(s3, des)
    CommandHistory.log_discover_natgw_cmd([natgw_record("a")])
    MementoHistory.append(Step(1), MarkBegin=True)
    if damaged == "s3 only":
        os.unlink(os.path.join(des.local_folder, name))
    target = "local" if damaged == "local" else "s3"
    if target == "s3":
        put(s3, name, b"null")
    else:
        write(des.local_folder, name, b'{"format": 2, "mementos": [')
    before = (folder_contents(des.local_folder), s3_contents(s3))
    with pytest.raises(HistoryDamaged) as info:
        S3BackupCmdV2(s3, des).download()
    message = str(info.value)
    assert "\n" not in message and hint in message and "nothing was changed" in message
    assert f"{des.url}{name}" in message and os.path.join(des.local_folder, name) in message
    assert (folder_contents(des.local_folder), s3_contents(s3)) == before


def test_the_s3_version_of_each_history_now(s3, des):
    cmd = S3BackupCmdV2(s3, des)
    assert cmd.s3_versions() == {COMMANDS: None, MEMENTOS: None}
    start_run(s3, des)
    MementoHistory.append(Step(1), MarkBegin=True)
    MementoHistory.append(Step(2))
    found = cmd.s3_versions()
    written = json.loads(in_s3(s3, MEMENTOS))
    assert found[COMMANDS] is None
    assert (found[MEMENTOS].lineage, found[MEMENTOS].serial) == (written["lineage"], 2)
    assert found[MEMENTOS].etag == s3.head_object(Bucket=BUCKET, Key=f"{PREFIX}/{MEMENTOS}")["ETag"]
    put(s3, MEMENTOS, b"[]")
    with pytest.raises(HistoryDamaged, match="it holds a list"):
        cmd.s3_versions()
