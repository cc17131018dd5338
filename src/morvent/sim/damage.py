"""Damage and two-machine drills: the backup stays the one truth across copies and machines.

The promise under test: a history that is not exactly what morvent writes is
never taken for "no history", a copy of a history never goes back in time,
and a run whose lock was broken never overwrites what another run stored.

- A damage drill starts from a half-migrated VPC (an `execute` stopped by a
  refused HA gateway creation: six undo records, one zone on its spoke
  gateway, the other on its NAT gateway), spoils one history file -- in S3,
  seen from the machine that ran ("S3/same") or from an empty local folder
  ("S3/empty"), or the local copy ("local") -- and runs one command.  It must
  stop before any change with exit status 1 and a line naming the file (its
  S3 object and its local path), and leave every copy as it was.  The VPC
  is built once per worker and its backup put back before each drill.
- A sequence drill runs commands on two machines (local folders "a" and
  "b") sharing the S3 backup, and must end in the sound state with nothing
  overwritten; "lock broken under a live run" holds a running `execute` at
  one of its S3 writes, breaks its lock, lets another run finish, then lets
  the first one go on: it must stop at that write; with both histories lost
  on a half-migrated VPC, a revert must stop on the traces it finds.

`damage_drill` and `sequence_drill` run one scenario each and return a
`Cell` (`drill` either); tools/damage_matrix.py runs them all with
`drills.run_drills`.
"""

from __future__ import annotations

import atexit
import json
import os
import shutil
import tempfile
import threading
from dataclasses import dataclass
from typing import Any

from morvent.commands.records import COMMAND_HISTORY_FILE, MEMENTO_HISTORY_FILE

from .cloud import AwsRequest
from .demo import BUCKET
from .drills import (RUN_TIMEOUT, SPOKE, Cell, Run, Stage, _expect, _Failed, _finish, _tail,
                     next_tag)

HISTORIES = (COMMAND_HISTORY_FILE, MEMENTO_HISTORY_FILE)
DAMAGE_KINDS = ("not JSON", "truncated", "null", "wrong top-level type", "unknown kind",
                "missing field", "wrong type", "emptied")
COMMANDS = ("plan", "status", "execute", "revert")
#: Where the damage is: S3's copy seen from the machine that ran, S3's copy seen
#: from an empty local folder (another machine), or the local copy.
WHERE = ("S3/same", "S3/empty", "local")
ZONES = 2


def damage(name: str, kind: str, data: bytes) -> bytes:
    """The history file ``name`` held in ``data``, spoiled in the way ``kind`` says."""
    if kind == "not JSON":
        return b"<html><body>503 Service Unavailable</body></html>\n"
    if kind == "truncated":
        return data[:len(data) // 2]
    if kind == "null":
        return b"null"
    body = json.loads(data)
    if kind == "wrong top-level type":
        return json.dumps(body["commands" if name == COMMAND_HISTORY_FILE else "mementos"],
                          indent=2).encode()
    if name == COMMAND_HISTORY_FILE:
        discovery = body["commands"][0]
        if kind == "unknown kind":
            discovery.update(index=1, name="rediscover_natgw")
        elif kind == "missing field":
            del discovery["natgws"][-1]["eip"]
        elif kind == "wrong type":
            discovery["natgws"][0]["subnet_id"] = 42
        else:  # emptied
            discovery["natgws"] = []
    else:
        record = next(m for m in body["mementos"] if m["qualname"] == "NatGwDeleteMemento")
        if kind == "unknown kind":
            record["qualname"] = "NatGwRemoveMemento"
        elif kind == "missing field":
            del record["state"]["subnet_id"]
        elif kind == "wrong type":
            record["state"]["routes"] = "rtb-all"
        else:  # emptied
            record["state"] = {}
    return json.dumps(body, indent=2).encode()


# -- one stage's backup, in S3 and on the machines ---------------------------------------

def _objects(stage: Stage) -> dict[str, bytes]:
    """Key -> content of every object of the VPC's backup and of its lock."""
    s3 = stage.sim.client("s3")
    des = stage._descriptor()
    found = {}
    for prefix in (des.folder_key, des.lock_key):
        for page in s3.get_paginator("list_objects_v2").paginate(Bucket=BUCKET, Prefix=prefix):
            for item in page.get("Contents", ()):
                found[item["Key"]] = s3.get_object(Bucket=BUCKET, Key=item["Key"])["Body"].read()
    return found


def _files(folder: str) -> dict[str, bytes]:
    found = {}
    for root, _, names in os.walk(folder):
        for name in names:
            path = os.path.join(root, name)
            with open(path, "rb") as f:
                found[os.path.relpath(path, folder)] = f.read()
    return found


def _histories(files: dict[str, bytes]) -> dict[str, bytes]:
    return {k: v for k, v in files.items() if os.path.basename(k) in HISTORIES}


def s3_records(stage: Stage) -> list[dict]:
    """The undo records of the memento history in S3 (none when there is none)."""
    key = stage._descriptor().folder_key + MEMENTO_HISTORY_FILE
    data = _objects(stage).get(key)
    return json.loads(data)["mementos"] if data else []


def _deleted_natgws(entries: list[dict]) -> set[str]:
    return {m["state"].get("nat_gw_id") for m in entries if m["qualname"] == "NatGwDeleteMemento"}


def stop_half_way(stage: Stage, machine: str = "a") -> Run:
    """`execute` on ``machine`` stopped by a refused HA gateway creation: the first NAT
    gateway's six steps are done, the second's deletion is rolled back."""
    stage.sim.inject("create_multicloud_ha_gateway", 1, "fail")
    try:
        stopped = stage.run_inline("execute", machine)
    finally:
        stage.sim.reset_faults()
    if stopped.status != 1:
        raise _Failed(f"{machine}: the faulted {stopped.describe()}", _tail(stopped))
    return stopped


# -- damage drills -------------------------------------------------------------------------

@dataclass(frozen=True)
class DamageScenario:
    file: str      # a history file name
    kind: str      # a DAMAGE_KINDS entry
    command: str   # a COMMANDS entry
    where: str     # a WHERE entry

    @property
    def row(self) -> str:
        return f"{self.file.split('_')[0]}: {self.kind}"

    @property
    def column(self) -> str:
        return f"{self.command} {self.where}"


class _HalfMigrated:
    """A VPC left half-migrated, and its backup as it was then (S3 and machine a)."""

    def __init__(self, sim: Any) -> None:
        self.folder = tempfile.mkdtemp(prefix="morvent-damage-")
        atexit.register(shutil.rmtree, self.folder, True)
        self.stage = Stage(sim, self.folder, ZONES)
        stopped = stop_half_way(self.stage)
        if len(s3_records(self.stage)) != 6:
            raise _Failed(f"the half-migrated VPC has {len(s3_records(self.stage))} undo records, "
                          "not 6", _tail(stopped))
        self.objects = _objects(self.stage)
        self.local = _files(self.local_folder("a"))
        self.state = self.stage.state()

    def local_folder(self, machine: str) -> str:
        return self.stage._descriptor(machine).local_folder

    def intact(self) -> bool:
        try:
            return self.stage.state() == self.state
        except Exception:  # noqa: BLE001 - a world reset meanwhile: build anew
            return False

    def restore(self) -> None:
        """Put the backup back as the stopped run left it, in S3 and on machine a; machine b
        has an empty folder."""
        s3 = self.stage.sim.client("s3")
        for key in set(_objects(self.stage)) - set(self.objects):
            s3.delete_object(Bucket=BUCKET, Key=key)
        for key, data in self.objects.items():
            s3.put_object(Bucket=BUCKET, Key=key, Body=data)
        for machine in ("a", "b"):
            shutil.rmtree(self.local_folder(machine), ignore_errors=True)
        for rel, data in self.local.items():
            path = os.path.join(self.local_folder("a"), rel)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)


_half_migrated: dict[int, _HalfMigrated] = {}


def _base(sim: Any) -> _HalfMigrated:
    base = _half_migrated.get(id(sim))
    if base is None or not base.intact():
        base = _half_migrated[id(sim)] = _HalfMigrated(sim)
    base.restore()
    return base


def damage_drill(sim: Any, scenario: DamageScenario) -> Cell:
    """Spoil one history file, run one command: it must stop, naming the file, changing
    nothing."""
    return _finish(lambda: _damage_drill(sim, scenario))


def _damage_drill(sim: Any, scenario: DamageScenario) -> str:
    base = _base(sim)
    stage = base.stage
    machine = "b" if scenario.where == "S3/empty" else "a"
    key = stage._descriptor().folder_key + scenario.file
    local_path = os.path.join(base.local_folder(machine), scenario.file)
    if scenario.where == "local":
        with open(local_path, "wb") as f:
            f.write(damage(scenario.file, scenario.kind, base.local[scenario.file]))
    else:
        sim.client("s3").put_object(Bucket=BUCKET, Key=key, Body=damage(
            scenario.file, scenario.kind, base.objects[key]))
    objects, local = _objects(stage), _histories(_files(base.local_folder("a")))

    run = stage.run_inline(scenario.command, machine)

    if run.status != 1:
        raise _Failed(f"{run.describe()}, not a stop (exit 1)", _tail(run))
    url = f"s3://{BUCKET}/{key}"
    named = [line for line in run.stderr.splitlines()
             if url in line and local_path in line and "damaged" in line]
    if not named:
        raise _Failed("no line says the file is damaged, naming it in S3 and locally",
                      _tail(run))
    if stage.state() != base.state:
        raise _Failed(f"{scenario.command} changed the VPC or the controller", _tail(run))
    if _objects(stage) != objects:
        raise _Failed(f"{scenario.command} changed the backup in S3 (or left its lock)",
                      _tail(run))
    if _histories(_files(base.local_folder("a"))) != local:
        raise _Failed(f"{scenario.command} changed the local histories", _tail(run))
    return "stop"


# -- two machines ---------------------------------------------------------------------------

@dataclass(frozen=True)
class SequenceScenario:
    name: str   # a SEQUENCES key

    @property
    def row(self) -> str:
        return self.name


def _revert_elsewhere(stage: Stage) -> str:
    _expect("A execute: ", stage.run_inline("execute", "a"), stage.replaced)
    first = _deleted_natgws(s3_records(stage))
    _expect("B revert: ", stage.run_inline("revert", "b"), stage.reverted)
    again = stage.run_inline("execute", "a")
    _expect("A execute again: ", again, stage.replaced)
    if _deleted_natgws(s3_records(stage)) & first:
        raise _Failed("A's stale undo records came back to S3", _tail(again))
    _expect("A revert: ", stage.run_inline("revert", "a"), stage.reverted)
    return "ok"


def _execute_twice(stage: Stage) -> str:
    _expect("A execute: ", stage.run_inline("execute", "a"), stage.replaced)
    records = s3_records(stage)
    again = stage.run_inline("execute", "b")
    _expect("B execute: ", again, stage.replaced)
    if s3_records(stage) != records:
        raise _Failed("B's execute of a finished migration changed its records", _tail(again))
    _expect("A revert: ", stage.run_inline("revert", "a"), stage.reverted)
    if s3_records(stage):
        raise _Failed("undo records left in S3 after A's revert")
    return "ok"


def _finish_elsewhere(stage: Stage) -> str:
    stop_half_way(stage)
    _expect("B execute: ", stage.run_inline("execute", "b"), stage.replaced)
    _expect("A revert: ", stage.run_inline("revert", "a"), stage.reverted)
    if s3_records(stage):
        raise _Failed("undo records left in S3 after A's revert")
    return "ok"


class HoldSwitch:
    """Holds one S3 write of a child run until released, then lets it be carried out.

    The write is the `occurrence`-th PutObject of the child (its user agent
    carries `tag`) whose key ends with `suffix`.  Same interface as
    `drills.KillSwitch` for `drills.run_child`.
    """

    def __init__(self, suffix: str, occurrence: int, hold: float = RUN_TIMEOUT) -> None:
        self.suffix, self.occurrence, self.hold = suffix, occurrence, hold
        self.tag = next_tag()
        self.fired = threading.Event()
        self._released = threading.Event()
        self._lock = threading.Lock()
        self._seen = 0

    def install(self, sim: Any) -> None:
        sim.aws.add_interceptor(self._on_aws)

    def remove(self, sim: Any) -> None:
        sim.aws.remove_interceptor(self._on_aws)

    def attach(self, proc: Any) -> None:
        pass

    def child_gone(self) -> None:
        self.release()

    def release(self) -> None:
        self._released.set()

    def _on_aws(self, moment: str, request: AwsRequest) -> None:
        if moment != "before" or f"app/{self.tag}" not in request.user_agent \
                or request.operation != "PutObject" or not request.path.endswith(self.suffix):
            return None
        with self._lock:
            self._seen += 1
            if self._seen != self.occurrence:
                return None
            self.fired.set()
        self._released.wait(self.hold)
        return None


def _lock_broken(stage: Stage) -> str:
    from morvent.core.ConfigAdaptor import ConfigAdaptor
    from morvent.core.config import load_config

    # A's third undo record (its NAT gateway deletion) is held on its way to S3.
    hold = HoldSwitch("/" + MEMENTO_HISTORY_FILE, 3)
    ran: list[Run] = []
    runner = threading.Thread(target=lambda: ran.append(stage.run("execute", "a", switch=hold)),
                              daemon=True)
    runner.start()
    try:
        if not hold.fired.wait(RUN_TIMEOUT):
            raise _Failed("A never reached its third undo record")
        lock_id = stage.lock_id()
        refused = stage.run_inline("execute", "b", "--break-lock", lock_id or "?")
        if refused.status != 3 or "refusing to break the lock" not in refused.stderr:
            raise _Failed(f"B broke the lock of a live run ({refused.describe()})",
                          _tail(refused))
        des = ConfigAdaptor(load_config(stage.config("b"))).backup_descriptor
        stage.sim.client("s3").delete_object(Bucket=BUCKET, Key=des.lock_key)  # anyway
        _expect("B execute: ", stage.run_inline("execute", "b"), stage.replaced)
        finished = _objects(stage)
    finally:
        hold.release()
    runner.join(RUN_TIMEOUT)
    if not ran:
        raise _Failed("A did not end")
    a = ran[0]
    if a.status != 1 or "changed since this run read it" not in a.stderr:
        raise _Failed(f"A went on after its lock was broken ({a.describe()})", _tail(a))
    key = des.folder_key + MEMENTO_HISTORY_FILE
    if _objects(stage).get(key) != finished.get(key):
        raise _Failed("A overwrote B's undo records", _tail(a))
    problems = stage.replaced()
    if problems:
        raise _Failed(f"after A stopped: {problems[0]}", *problems[1:])
    # A's local copy holds a record S3 never got: A's next run stops, naming both copies.
    before, records = stage.state(), _objects(stage)
    again = stage.run_inline("execute", "a")
    local_path = os.path.join(stage._descriptor("a").local_folder, MEMENTO_HISTORY_FILE)
    if again.status != 1 or "have diverged" not in again.stderr or local_path not in again.stderr:
        raise _Failed(f"A's next run did not stop on its diverged copy ({again.describe()})",
                      _tail(again))
    if stage.state() != before or _objects(stage) != records:
        raise _Failed("A's stopped run changed something", _tail(again))
    os.unlink(local_path)  # as the message says, to keep the S3 copy
    _expect("A revert: ", stage.run_inline("revert", "a"), stage.reverted)
    return "ok*"


def _histories_lost(stage: Stage) -> str:
    stop_half_way(stage)
    des = stage._descriptor()
    for name in HISTORIES:
        stage.sim.client("s3").delete_object(Bucket=BUCKET, Key=des.folder_key + name)
    before = stage.state()
    revert = stage.run_inline("revert", "b")
    if revert.status != 1 or "traces of a migration" not in revert.stderr \
            or f"controller gateway {SPOKE} " not in revert.stderr:
        raise _Failed(f"B: revert without histories did not stop on the traces "
                      f"({revert.describe()})", _tail(revert))
    if stage.state() != before:
        raise _Failed("B: the stopped revert changed the VPC", _tail(revert))
    return "stop"


SEQUENCES = {
    "execute A, revert B, execute A": _revert_elsewhere,
    "execute A, execute B, revert A": _execute_twice,
    "execute A stopped, execute B, revert A": _finish_elsewhere,
    "lock broken under a live run": _lock_broken,
    "execute A stopped, histories lost, revert B": _histories_lost,
}


def sequence_drill(sim: Any, scenario: SequenceScenario) -> Cell:
    """Run one two-machine sequence on a fresh VPC."""
    folder = tempfile.mkdtemp(prefix="morvent-drill-")
    try:
        return _finish(lambda: SEQUENCES[scenario.name](Stage(sim, folder, ZONES)))
    finally:
        sim.reset_faults()
        shutil.rmtree(folder, ignore_errors=True)


def drill(sim: Any, scenario: DamageScenario | SequenceScenario) -> Cell:
    """The drill of ``scenario``, whichever kind it is (one pool of workers runs both)."""
    if isinstance(scenario, SequenceScenario):
        return sequence_drill(sim, scenario)
    return damage_drill(sim, scenario)
