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
from morvent.lib.s3 import BackupDiverged, BackupUnavailable, S3BackupCmdV2

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

    CommandHistory.log_discover_natgw_cmd([{"subnet_id": "subnet-1"}])
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
    CommandHistory.log_discover_natgw_cmd([{"subnet_id": "subnet-1"}])
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
# stored before S3 went away; a record is never lost: a new one is kept, and a
# removal S3 never saw means the undo is retried (every undo can run again).
FAILING = {
    "append": (lambda: MementoHistory.append(Step(2)), 2),
    "pop": (MementoHistory.pop, 1),
    "settle": (MementoHistory.isEmpty, 1),
    "put back": (lambda: MementoHistory.append(MementoHistory.pop(), MarkBegin=True), 1),
    "discovery": (lambda: CommandHistory.log_discover_natgw_cmd([{"subnet_id": "s-1"}]), 1),
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


# -- merging the histories at download ---------------------------------------------------

def memento_versions(tmp_path, n):
    """The bytes of a memento history after 0..n appends, as the history writes them."""
    folder = str(tmp_path / "source")
    MementoHistory.init(folder)
    versions = [json.dumps({"format": 1, "mementos": []}).encode()]
    for i in range(1, n + 1):
        MementoHistory.append(Step(i), MarkBegin=i % 2 == 1)
        versions.append(local(folder))
    return versions


def command_versions():
    def doc(*commands):
        return json.dumps({"format": 1, "version": "v2", "vpc_id": VPC,
                           "commands": list(commands)}).encode()
    discovery = {"index": 0, "name": "discover_natgw", "natgws": [{"subnet_id": "s-1"}]}
    return [doc(), doc(discovery), doc(discovery, {"index": 1, "name": "later"})]


def versions_of(name, tmp_path, monkeypatch):
    versions = memento_versions(tmp_path, 3) if name == MEMENTOS else command_versions()
    new_process(monkeypatch)
    return versions


def put(s3, name, body):  # noqa: F811
    s3.put_object(Bucket=BUCKET, Key=f"{PREFIX}/{name}", Body=body)


def write(folder, name, body):
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(body)


@pytest.mark.parametrize("name", [MEMENTOS, COMMANDS])
@pytest.mark.parametrize("local_version, s3_version", [(2, 1), (2, None), (1, 2), (None, 2)])
def test_the_longer_history_is_kept_and_a_longer_local_one_is_stored_at_once(
        s3, des, tmp_path, monkeypatch, caplog, name, local_version, s3_version):
    versions = versions_of(name, tmp_path, monkeypatch)
    if local_version is not None:
        write(des.local_folder, name, versions[local_version])
    if s3_version is not None:
        put(s3, name, versions[s3_version])
    caplog.set_level(logging.INFO)
    S3BackupCmdV2(s3, des).download()

    assert local(des.local_folder, name) == in_s3(s3, name) == versions[2]
    warned = [r.getMessage() for r in caplog.records if r.levelno == logging.WARNING]
    assert bool(warned) is (local_version == 2)  # says that a run ended early
    # A second download (the command line's, then the native run's) changes nothing.
    caplog.clear()
    S3BackupCmdV2(s3, des).download()
    assert local(des.local_folder, name) == in_s3(s3, name) == versions[2]
    assert not [r for r in caplog.records if r.levelno >= logging.WARNING]


def test_a_record_marked_as_being_undone_is_the_same_record(s3, des, tmp_path, monkeypatch):
    versions = memento_versions(tmp_path, 2)
    marked = json.loads(versions[2])
    marked["mementos"][-1]["undoing"] = True
    new_process(monkeypatch)
    write(des.local_folder, MEMENTOS, json.dumps(marked).encode())
    put(s3, MEMENTOS, versions[2])
    S3BackupCmdV2(s3, des).download()
    assert json.loads(local(des.local_folder)) == marked and in_s3(s3, MEMENTOS) == versions[2]
    MementoHistory.init(des.local_folder)
    assert MementoHistory.size() == 2 and MementoHistory.isCmdBegin() is False


def diverged(name, versions):
    """A copy whose last entry differs from ``versions[2]``'s."""
    content = json.loads(versions[2])
    if name == MEMENTOS:
        content["mementos"][-1]["state"]["n"] = 99
    else:
        content["commands"][-1]["name"] = "other"
    return json.dumps(content).encode()


@pytest.mark.parametrize("name", [MEMENTOS, COMMANDS])
@pytest.mark.parametrize("case, where", [
    ("diverged", "at entry 2"),
    ("local damaged", "the local copy cannot be read"),
    ("s3 damaged", "the S3 copy cannot be read"),
])
def test_diverged_histories_stop_the_download_before_any_change(
        s3, des, tmp_path, monkeypatch, name, case, where):
    versions = versions_of(name, tmp_path, monkeypatch)
    mine, theirs = {"diverged": (versions[2], diverged(name, versions)),
                    "local damaged": (b"{", versions[2]),
                    "s3 damaged": (versions[2], b"[]")}[case]
    write(des.local_folder, name, mine)
    put(s3, name, theirs)
    put(s3, "route-snapshot-s1.json", b"s3 only")
    before = (folder_contents(des.local_folder), s3_contents(s3))

    with pytest.raises(BackupDiverged) as info:
        S3BackupCmdV2(s3, des).download()

    message = str(info.value)
    path, url = os.path.join(des.local_folder, name), f"{des.url}{name}"
    assert "\n" not in message and where in message
    assert f"remove {path}" in message and f"delete {url}" in message
    assert (folder_contents(des.local_folder), s3_contents(s3)) == before
    assert backup.mirror_of(des.local_folder) is None  # no write-through either
