"""The VPC lock: who holds it, whether that run is alive, breaking it by id, its heartbeat,
and the fence that stops a run whose lock was broken."""

import json
import os
import socket
import time

import botocore.exceptions
import pytest

from awsconf_fixtures import BUCKET, aws_env, globals_state, s3  # noqa: F401
from backup_fixtures import allow_kinds, gone_pid, write_lock
from morvent.commands.history import MementoHistory
from morvent.commands.memento import Memento
from morvent.core import backup
from morvent.core.backup import BackupDescriptor
from morvent.core.exceptions import BackupConflict, BackupUnavailable
from morvent.lib import lock as lock_module
from morvent.lib.lock import LockHeldError, VpcLock, judge, process_start
from morvent.lib.s3 import BackupError, S3BackupCmdV2

PREFIX = "morvent/prod-acct/eu-central-1/vpc-0123456789abcdef0"
HERE = socket.gethostname()
OWNER = {"host": "ops-1", "pid": 4242, "user": "alice", "time": "2024-05-01T10:00:00+00:00",
         "command": "morvent execute --config prod.yaml"}


@pytest.fixture
def des(tmp_path):
    return BackupDescriptor(BUCKET, PREFIX, tmp_path / "backup")


@pytest.fixture(autouse=True)
def no_fences(monkeypatch):
    monkeypatch.setattr(backup, "_fences", {})
    monkeypatch.setattr(backup, "_mirrors", {})


def stored_lock(s3, des):  # noqa: F811
    body = s3.get_object(Bucket=BUCKET, Key=des.lock_key)["Body"].read()
    return json.loads(body)


# -- whether the holder is alive -------------------------------------------------------

MINE = process_start(os.getpid())[1]


@pytest.mark.parametrize("record, age, alive, why", [
    # Same host: the process decides.
    ({"host": HERE, "pid": os.getpid(), "pid_start": MINE, "heartbeat": "T"}, 999, True,
     "still runs on this host"),
    ({"host": HERE, "pid": "gone", "pid_start": 1, "heartbeat": "T"}, 0, False, "no process"),
    ({"host": HERE, "pid": os.getpid(), "pid_start": (MINE or 0) + 1, "heartbeat": "T"}, 0,
     False, "another program"),
    # Another host: the heartbeat, by S3's clock.
    ({"host": "ops-1", "pid": 1, "heartbeat": "T", "renew_every": 30}, 89, True,
     "heartbeat is 89 s old"),
    ({"host": "ops-1", "pid": 1, "heartbeat": "T", "renew_every": 30}, 91, False,
     "no heartbeat for 91 s"),
    ({"host": "ops-1", "pid": 1, "heartbeat": "T", "renew_every": 5}, 16, False, "every 5 s"),
    # This host name, another boot (restarted, or a clone): the heartbeat decides.
    ({"host": HERE, "pid": os.getpid(), "boot_id": "another-boot", "heartbeat": "T"}, 10, True,
     "heartbeat is 10 s old"),
    # Locks of earlier releases: gone only when provably so.
    ({"host": HERE, "pid": "gone", "token": "t"}, None, False, "no process"),
    ({"host": HERE, "pid": os.getpid(), "token": "t"}, None, None, "does not tell"),
    ({"host": "ops-1", "pid": 1, "token": "t"}, None, None, "cannot be seen from here"),
])
def test_whether_the_holder_is_alive(record, age, alive, why, monkeypatch):
    if record.get("pid") == "gone":
        record = {**record, "pid": gone_pid()}
    if "boot_id" in record:
        monkeypatch.setattr(lock_module, "boot_id", lambda: "this-boot")
    found, reason = judge(record, age)
    assert found is alive and why in reason


# -- taking, refusing, giving back --------------------------------------------------------

def test_the_lock_names_its_holder_and_a_second_run_is_refused(s3, des):
    with VpcLock(s3, des) as held:
        lock_id = held.id
        record = stored_lock(s3, des)
        assert record["id"] == held.id and len(held.id) == 32
        assert (record["host"], record["pid"]) == (HERE, os.getpid())
        assert record["pid_start"] == MINE and record["renew_every"] == 30
        with pytest.raises(LockHeldError) as info:
            VpcLock(s3, des, owner=OWNER).acquire()
    text = str(info.value)
    assert lock_id in text and "still running" in text and "--break-lock" not in text
    assert info.value.state.alive is True and info.value.holder["id"] == lock_id
    assert VpcLock(s3, des).holder() is None


@pytest.mark.parametrize("ending", [RuntimeError("boom"), SystemExit(1), KeyboardInterrupt(),
                                    BackupUnavailable("S3 cannot be written")])
def test_lock_is_released_however_the_run_ends(s3, des, ending):
    with pytest.raises(type(ending)):
        with VpcLock(s3, des, owner=OWNER) as held:
            raise ending
    assert VpcLock(s3, des).holder() is None
    assert held._thread is None and backup._fences == {}


def test_release_leaves_a_lock_that_someone_else_took_after_a_break(s3, des):
    first = VpcLock(s3, des, owner=OWNER)
    first.acquire()
    s3.delete_object(Bucket=BUCKET, Key=des.lock_key)  # broken by hand
    second = VpcLock(s3, des, owner={**OWNER, "user": "bob"})
    second.acquire()
    first.release()
    assert VpcLock(s3, des).holder()["user"] == "bob"
    second.release()


class ConflictingStore:
    """A store that refuses every conditional put, as S3 does while another write races;
    ``own`` makes the lock found afterwards the one this very put wrote (a retried put)."""

    def __init__(self, code, status, own=False):
        self.code, self.status, self.own = code, status, own
        self.calls = []

    def put_object(self, **kw):
        self.calls.append(kw)
        raise botocore.exceptions.ClientError(
            {"Error": {"Code": self.code, "Message": "no"},
             "ResponseMetadata": {"HTTPStatusCode": self.status}}, "PutObject")

    def get_object(self, **kw):
        if self.own and self.calls:
            body = self.calls[-1]["Body"]
            return {"Body": type("B", (), {"read": lambda self: body})(), "ETag": '"e"'}
        raise botocore.exceptions.ClientError(
            {"Error": {"Code": "NoSuchKey", "Message": "gone"},
             "ResponseMetadata": {"HTTPStatusCode": 404}}, "GetObject")


@pytest.mark.parametrize("code, status", [("PreconditionFailed", 412),
                                          ("ConditionalRequestConflict", 409)])
def test_conditional_write_refusal_means_held_unless_the_lock_is_our_own(des, code, status):
    store = ConflictingStore(code, status)
    with pytest.raises(LockHeldError, match="just let go of it"):
        VpcLock(store, des, owner=OWNER).acquire()
    assert store.calls[0]["IfNoneMatch"] == "*"
    # The answer to our own put was lost and the retry was refused: we hold it.
    own = VpcLock(ConflictingStore(code, status, own=True), des, owner=OWNER)
    own.renew_every = 3600
    own.acquire()
    assert own.id is not None
    own._stop_heartbeat()


def test_other_put_failures_are_not_reported_as_held(des):
    with pytest.raises(BackupError, match="AccessDenied"):
        VpcLock(ConflictingStore("AccessDenied", 403), des, owner=OWNER).acquire()


# -- breaking by id --------------------------------------------------------------------------

def legacy(s3, des, **record):  # noqa: F811
    """A lock as an earlier release wrote it: no id, no heartbeat."""
    body = json.dumps({**OWNER, **record}).encode()
    s3.put_object(Bucket=BUCKET, Key=des.lock_key, Body=body)
    return body


@pytest.mark.parametrize("case, broken, says", [
    ("gone here", True, "no process"),
    ("alive here", False, "still running"),
    ("fresh heartbeat elsewhere", False, "heartbeat is"),
    ("stale heartbeat elsewhere", True, "no heartbeat for"),
    ("wrong id", False, "not wrong-id"),
    ("earlier release, gone here", True, "no process"),
    ("earlier release elsewhere", False, "aws s3 rm"),
])
def test_break_lock_takes_the_id_and_spares_a_live_holder(s3, des, monkeypatch, case, broken,
                                                          says):
    if case == "earlier release, gone here":
        legacy(s3, des, host=HERE, pid=gone_pid(), token="0ld70k3n")
        lock_id = "0ld70k3n"
    elif case == "earlier release elsewhere":
        body = legacy(s3, des)
        lock_id = VpcLock(s3, des).state().id
        assert lock_id.startswith("old-") and lock_id == VpcLock(s3, des).state().id
        assert body == s3.get_object(Bucket=BUCKET, Key=des.lock_key)["Body"].read()
    else:
        pid = {"gone here": gone_pid(), "alive here": os.getpid()}.get(case, 1)
        host = "ops-1" if case.endswith("elsewhere") else HERE
        lock_id = write_lock(s3, des, host=host, pid=pid,
                             pid_start=MINE if pid == os.getpid() else None)["id"]
    if case == "stale heartbeat elsewhere":
        later = lock_module._utcnow()
        monkeypatch.setattr(lock_module, "_utcnow",
                            lambda: later.replace(year=later.year + 1))
    before = s3.get_object(Bucket=BUCKET, Key=des.lock_key)["Body"].read()
    if broken:
        state = VpcLock(s3, des).break_lock(lock_id)
        assert state.id == lock_id and says in state.why
        assert VpcLock(s3, des).holder() is None
    else:
        with pytest.raises(LockHeldError) as info:
            VpcLock(s3, des).break_lock("wrong-id" if case == "wrong id" else lock_id)
        assert says in str(info.value) and lock_id in str(info.value)
        assert s3.get_object(Bucket=BUCKET, Key=des.lock_key)["Body"].read() == before
    assert VpcLock(s3, des).break_lock("anything") is None if broken else True


# -- the heartbeat and the fence ----------------------------------------------------------------

def wait_for(condition, seconds=5.0):
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.01)


def test_the_heartbeat_renews_the_lock_until_it_is_released(s3, des):
    held = VpcLock(s3, des, owner=OWNER)
    held.renew_every = 0.05
    held.acquire()
    first = stored_lock(s3, des)["heartbeat"]
    etag = held._etag
    wait_for(lambda: held._etag != etag)
    assert stored_lock(s3, des)["id"] == held.id and stored_lock(s3, des)["heartbeat"] >= first
    thread = held._thread
    held.release()
    assert held._thread is None and VpcLock(s3, des).holder() is None
    assert not thread.is_alive()


class Step(Memento):
    def __init__(self, n):
        self.n = n


@pytest.mark.parametrize("how", ["removed", "taken by another run"])
@pytest.mark.parametrize("noticed_by", ["the heartbeat", "the next step"])
def test_a_run_whose_lock_was_broken_stops_before_its_next_step(s3, des, monkeypatch,
                                                                 globals_state, how,  # noqa: F811
                                                                 noticed_by):
    allow_kinds(monkeypatch, Step, n=(int,))
    for name, value in [("_path", None), ("_entries", []), ("_undoing", None)]:
        monkeypatch.setattr(MementoHistory, name, value)
    monkeypatch.setattr(backup, "_pending", {})
    held = VpcLock(s3, des, owner=OWNER)
    held.renew_every = 0.05 if noticed_by == "the heartbeat" else 3600
    held.acquire()
    S3BackupCmdV2(s3, des).download()
    MementoHistory.init(des.local_folder)
    MementoHistory.append(Step(1), MarkBegin=True)
    steps = MementoHistory.is_memento_exist()
    assert next(steps) is True

    s3.delete_object(Bucket=BUCKET, Key=des.lock_key)
    if how == "taken by another run":
        write_lock(s3, des, user="bob")
    if noticed_by == "the heartbeat":
        wait_for(lambda: held.lost is not None)
    with pytest.raises(BackupConflict) as info:
        next(steps)
    message = str(info.value)
    assert "no longer this run's" in message and des.local_folder in message
    assert ("bob" in message) is (how == "taken by another run")
    with pytest.raises(BackupConflict):  # and at its next write: the record stays local
        MementoHistory.append(Step(2))
    assert MementoHistory.size() == 2
    held.release()
    assert (VpcLock(s3, des).holder() is None) is (how == "removed")
